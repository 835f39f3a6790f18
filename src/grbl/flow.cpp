#include "grbl/flow.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "grbl/debug_text.hpp"
#include "grbl/pattern_unicode.hpp"
#include "log/facade.hpp"
#include "rt/timed_wait.hpp"

namespace vantorix::grbl {

namespace {

constexpr const char* TARGET = "vantorix::grbl::flow";

// Valid UTF-8 throughout: device lines that are not are dropped whole.
bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        Utf8Char c = decode_utf8_at(bytes, i);
        if (!c.valid) return false;
        i += c.length;
    }
    return true;
}

// ---- patterns --------------------------------------------------------------------------

RE2::Options latin1_options() {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    return options;
}

// An acknowledgement: "ok", any number of carriage returns, a line feed.
const RE2& ok_ack_re() {
    static const RE2* const OK_ACK_RE = new RE2(R"(ok\r*\n)", latin1_options());
    return *OK_ACK_RE;
}

// An "ok" with NUL bytes between its letters, as a noisy link delivers it.
const RE2& nul_ok_re() {
    static const RE2* const NUL_OK_RE = new RE2(R"(o\x00+k\r*\n)", latin1_options());
    return *NUL_OK_RE;
}

// Position and length of the leftmost match of `re` in `text`.
std::optional<std::pair<std::size_t, std::size_t>> find(const RE2& re, std::string_view text) {
    re2::StringPiece match;
    if (!re.Match(re2::StringPiece(text.data(), text.size()), 0, text.size(), RE2::UNANCHORED,
                  &match, 1)) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<std::size_t>(match.data() - text.data()), match.size());
}

std::string op_index_text(const std::optional<std::int64_t>& op_index) {
    return op_index ? "Some(" + std::to_string(*op_index) + ")" : std::string("None");
}

constexpr std::string_view HARDWARE_FAULT =
    "HARDWARE FAULT DETECTED: A corrupted 'ok' acknowledgement with NULL bytes was received. "
    "This indicates a critical problem with the USB cable, electrical noise (EMI), or power "
    "supply. The hardware connection MUST be fixed for reliable operation.";

}  // namespace

std::size_t FlowControl::rx_buffer_size() const {
    std::lock_guard lock(mutex_);
    return inner_.rx_buffer_size.value_or(DEFAULT_RX_BUFFER_SIZE);
}

std::optional<std::size_t> FlowControl::stored_rx_buffer_size() const {
    std::lock_guard lock(mutex_);
    return inner_.rx_buffer_size;
}

void FlowControl::set_rx_buffer_size(std::size_t size) {
    if (size == 0) return;
    log::info(TARGET, "GRBL RX buffer size set to {} bytes", size);
    std::lock_guard lock(mutex_);
    inner_.rx_buffer_size = size;
}

std::size_t FlowControl::buffer_count() const {
    std::lock_guard lock(mutex_);
    return inner_.buffer_count;
}

bool FlowControl::needs_space_locked(const Inner& inner, std::size_t size) {
    std::size_t capacity = inner.rx_buffer_size.value_or(DEFAULT_RX_BUFFER_SIZE);
    // Written as a comparison that cannot overflow for any size.
    return size > capacity || inner.buffer_count > capacity - size;
}

bool FlowControl::needs_space(std::size_t size) const {
    std::lock_guard lock(mutex_);
    return needs_space_locked(inner_, size);
}

void FlowControl::track_command(std::size_t size, std::optional<std::int64_t> op_index,
                                std::string command) {
    std::lock_guard lock(mutex_);
    inner_.pending.push_back(PendingCommand{op_index, std::move(command), size});
    inner_.buffer_count += size;
}

std::vector<PendingCommand> FlowControl::pending_queue() const {
    std::lock_guard lock(mutex_);
    return {inner_.pending.begin(), inner_.pending.end()};
}

std::size_t FlowControl::partial_input_size() const {
    std::lock_guard lock(mutex_);
    return inner_.raw.size();
}

std::optional<PendingCommand> FlowControl::ack_ok_locked(Inner& inner) {
    if (inner.pending.empty()) return std::nullopt;
    PendingCommand done = std::move(inner.pending.front());
    inner.pending.pop_front();
    // The quoted command and the index text cost two allocations per line: only for a
    // record that is written.
    if (log::level_enabled(log::Level::DEBUG)) {
        log::debug(TARGET, "Buffer ack: freeing {} bytes for {} (op_index={}, remaining: {})",
                   done.size, quoted(done.command), op_index_text(done.op_index),
                   inner.pending.size());
    }
    inner.buffer_count -= std::min(inner.buffer_count, done.size);
    return done;
}

// Frees the oldest line for an "ok", records what to wake, and emits the response.
void FlowControl::acknowledge_ok_locked(Inner& inner, std::vector<GrblResponse>& out) {
    std::optional<PendingCommand> acked = ack_ok_locked(inner);
    inner.space_freed = true;
    if (inner.pending.empty()) inner.pending_drained = true;
    out.push_back(GrblResponse{std::move(acked), "ok", GrblResponse::Kind::OK});
}

void FlowControl::take_acks_locked(Inner& inner, std::vector<GrblResponse>& out) {
    // Removing a match closes the buffer up around it, which also rejoins a line that
    // had an "ok" interleaved into it.
    while (auto match = find(ok_ack_re(), inner.raw)) {
        inner.raw.erase(match->first, match->second);
        acknowledge_ok_locked(inner, out);
    }
}

void FlowControl::take_nul_corrupted_acks_locked(Inner& inner, std::vector<GrblResponse>& out) {
    while (auto match = find(nul_ok_re(), inner.raw)) {
        inner.raw.erase(match->first, match->second);
        log::error(TARGET, "{}", HARDWARE_FAULT);
        acknowledge_ok_locked(inner, out);
    }
}

void FlowControl::take_error_replies_locked(Inner& inner, std::vector<GrblResponse>& out) {
    std::size_t from = 0;
    for (;;) {
        std::size_t start = inner.raw.find("error:", from);
        if (start == std::string::npos) return;
        std::size_t newline = inner.raw.find('\n', start);
        if (newline == std::string::npos) return;  // the rest of the reply is still coming
        std::string reply = inner.raw.substr(start, newline + 1 - start);
        inner.raw.erase(start, reply.size());
        from = start;
        if (!is_valid_utf8(reply)) continue;
        std::string line(trim_unicode_whitespace(reply));
        log::debug(TARGET, "Extracted '{}' from raw buffer (interleaved recovery)", line);
        // An error reply answers the oldest line just as an "ok" does, but the response
        // does not carry it.
        ack_ok_locked(inner);
        inner.space_freed = true;
        if (inner.pending.empty()) inner.pending_drained = true;
        out.push_back(GrblResponse{std::nullopt, std::move(line), GrblResponse::Kind::ERROR});
    }
}

void FlowControl::take_lines_locked(Inner& inner, std::vector<GrblResponse>& out) {
    std::size_t newline;
    while ((newline = inner.raw.find('\n')) != std::string::npos) {
        std::string bytes = inner.raw.substr(0, newline + 1);
        inner.raw.erase(0, newline + 1);
        if (std::exchange(inner.discarding_line, false)) continue;
        if (!is_valid_utf8(bytes)) {
            log::warn(TARGET, "Dropped invalid UTF-8 bytes");
            continue;
        }
        std::string_view line = trim_unicode_whitespace(bytes);
        if (line.empty()) continue;
        if (line == "ok") {
            // An "ok" with other whitespace around it than carriage returns.
            acknowledge_ok_locked(inner, out);
            continue;
        }
        out.push_back(
            GrblResponse{std::nullopt, std::string(line), GrblResponse::Kind::OTHER_LINE});
    }
}

void FlowControl::bound_partial_line_locked(Inner& inner) {
    if (inner.raw.size() <= MAX_PARTIAL_LINE) return;
    if (!inner.discarding_line) {
        log::warn(TARGET, "Discarding a device line longer than {} bytes without a line feed",
                  MAX_PARTIAL_LINE);
        inner.discarding_line = true;
    }
    inner.raw.erase(0, inner.raw.size() - PARTIAL_LINE_TAIL);
}

std::vector<GrblResponse> FlowControl::parse_incoming(std::span<const std::uint8_t> bytes) {
    std::vector<GrblResponse> out;
    std::lock_guard lock(mutex_);
    inner_.raw.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    take_acks_locked(inner_, out);
    take_nul_corrupted_acks_locked(inner_, out);
    take_error_replies_locked(inner_, out);
    take_lines_locked(inner_, out);
    bound_partial_line_locked(inner_);
    return out;
}

void FlowControl::flush_notifications() {
    bool space;
    bool drained;
    {
        std::lock_guard lock(mutex_);
        space = std::exchange(inner_.space_freed, false);
        drained = std::exchange(inner_.pending_drained, false);
    }
    if (space) space_freed_.notify();
    if (drained) pending_drained_.notify();
}

void FlowControl::notify_space_freed() {
    space_freed_.notify();
}

void FlowControl::reset_flow_control() {
    {
        std::lock_guard lock(mutex_);
        inner_.buffer_count = 0;
        inner_.pending.clear();
    }
    space_freed_.notify();
    pending_drained_.notify();
}

void FlowControl::reset() {
    reset_flow_control();
    std::lock_guard lock(mutex_);
    inner_.raw.clear();
    inner_.discarding_line = false;
}

asio::awaitable<bool> FlowControl::wait_for_space(std::size_t size, rt::Duration timeout) {
    const rt::Clock::time_point deadline = rt::Clock::now() + timeout;
    for (;;) {
        if (!needs_space(size)) co_return true;
        rt::Clock::time_point now = rt::Clock::now();
        if (now >= deadline) co_return false;
        // Take the epoch before the final check: an acknowledgement flushed in between
        // then ends the wait at once instead of being missed.
        rt::Notify::Epoch seen = space_freed_.epoch();
        if (!needs_space(size)) co_return true;
        bool woken = co_await rt::notified_within(space_freed_, seen, deadline - now);
        if (!woken) co_return !needs_space(size);
    }
}

asio::awaitable<bool> FlowControl::wait_pending_empty(std::optional<rt::Duration> timeout) {
    std::optional<rt::Clock::time_point> deadline;
    if (timeout) deadline = rt::Clock::now() + *timeout;
    auto still_pending = [this] {
        std::lock_guard lock(mutex_);
        return !inner_.pending.empty();
    };
    for (;;) {
        if (!still_pending()) co_return false;
        rt::Notify::Epoch seen = pending_drained_.epoch();
        if (!still_pending()) co_return false;
        if (!deadline) {
            co_await pending_drained_.notified(seen);
            continue;
        }
        rt::Clock::time_point now = rt::Clock::now();
        if (now >= *deadline) co_return still_pending();
        bool woken = co_await rt::notified_within(pending_drained_, seen, *deadline - now);
        if (!woken) co_return still_pending();
    }
}

}  // namespace vantorix::grbl
