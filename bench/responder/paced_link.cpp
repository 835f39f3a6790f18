#include "paced_link.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "trace.hpp"

namespace vantorix::bench {

namespace {

constexpr std::size_t READ_CHUNK = 65536;
constexpr std::size_t COMPACT_AFTER = 65536;
constexpr std::size_t SHORTEST_REPLY = 4;  // "ok\r\n"
// Input is polled for again this long before the wire runs idle, so that wake-up latency does
// not delay the next byte.
constexpr auto READ_AHEAD = std::chrono::milliseconds(1);

Clock::duration byte_time_for(std::uint32_t baud) {
    if (baud == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                       baud);
}

}  // namespace

PacedLink::PacedLink(int fd, const LinkTiming& timing, Counters& counters, Observation observation)
    : fd_(fd),
      byte_time_(byte_time_for(timing.baud)),
      trace_(observation.trace),
      model_(timing.line_time, counters, *this, observation) {}

// Bytes that the host wrote while the wire was idle start crossing now; bytes written while it
// was busy queue up behind the ones before them.
Clock::time_point PacedLink::arrival_of_next_byte(Clock::time_point now) {
    if (byte_time_ == Clock::duration::zero()) return now;
    rx_cursor_ = std::max(rx_cursor_, now) + byte_time_;
    return rx_cursor_;
}

bool PacedLink::on_readable(Clock::time_point now) {
    unsigned char buffer[READ_CHUNK];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    // The model runs ahead of the clock on purpose: a byte's effects are stamped with its
    // arrival time, and the replies wait in `scheduled_` until that time has come.
    for (ssize_t i = 0; i < n; ++i) model_.receive(buffer[i], arrival_of_next_byte(now));
    return true;
}

void PacedLink::send(std::string_view bytes, Clock::time_point at, TraceKind kind,
                     std::uint32_t value) {
    if (trace_) traced_.push_back({bytes.size(), kind, value});
    Clock::time_point due = at;
    if (byte_time_ != Clock::duration::zero()) {
        tx_cursor_ = std::max(tx_cursor_, at) + byte_time_ * static_cast<int64_t>(bytes.size());
        due = tx_cursor_;
    }
    tx_.append(bytes);
    scheduled_.push_back({bytes.size(), due});
}

bool PacedLink::advance(Clock::time_point now) {
    model_.complete_until(now);
    while (!scheduled_.empty() && scheduled_.front().due <= now) {
        ready_ += scheduled_.front().bytes;
        scheduled_.pop_front();
    }
    if (ready_ == 0) return true;
    ssize_t n = ::write(fd_, tx_.data() + tx_head_, ready_);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    tx_head_ += static_cast<std::size_t>(n);
    ready_ -= static_cast<std::size_t>(n);
    if (trace_) trace_written(static_cast<std::size_t>(n), Clock::now());
    if (tx_head_ == tx_.size()) {
        tx_.clear();
        tx_head_ = 0;
    } else if (tx_head_ >= COMPACT_AFTER) {
        tx_.erase(0, tx_head_);
        tx_head_ = 0;
    }
    return true;
}

void PacedLink::trace_written(std::size_t bytes, Clock::time_point now) {
    while (bytes > 0 && !traced_.empty()) {
        TracedReply& reply = traced_.front();
        std::size_t taken = std::min(bytes, reply.unwritten);
        reply.unwritten -= taken;
        bytes -= taken;
        if (reply.unwritten > 0) break;
        trace_->record(reply.kind, reply.value, now);
        traced_.pop_front();
    }
}

bool PacedLink::wants_readable(Clock::time_point now) const {
    if (rx_cursor_ <= now + READ_AHEAD) return true;
    auto next = next_wakeup();
    return !next || *next > rx_cursor_ - READ_AHEAD;
}

std::optional<Clock::time_point> PacedLink::next_wakeup() const {
    std::optional<Clock::time_point> next;
    // A line's reply can be written no earlier than the link needs to carry an "ok": waking
    // up at that moment instead of at the completion itself saves a wake-up for most lines.
    // Completing a line late is harmless, its reply keeps the completion time.
    if (model_.has_queued_lines()) {
        auto completion =
            model_.next_completion() + byte_time_ * static_cast<int64_t>(SHORTEST_REPLY);
        next = next ? std::min(*next, completion) : completion;
    }
    if (!scheduled_.empty()) {
        next = next ? std::min(*next, scheduled_.front().due) : scheduled_.front().due;
    }
    return next;
}

}  // namespace vantorix::bench
