// The part of a GRBL 1.1 controller that a streaming host can observe: a 128-byte receive
// buffer that holds every line until its reply is sent, realtime bytes picked out before they
// reach that buffer, and a fixed processing time per line. Time is passed in by the caller, so
// the same model serves an instant link and a paced serial link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace vantorix::bench {

using Clock = std::chrono::steady_clock;

class Trace;
enum class TraceKind : char;

struct Counters {
    std::uint64_t lines = 0;       // lines answered
    std::uint64_t bytes = 0;       // bytes accepted into the receive buffer
    std::uint64_t overflows = 0;   // bytes dropped because the buffer was full
    std::uint64_t realtime = 0;    // realtime bytes ("?", "!", "~", 0x18, 0x80-0xFF)
    std::size_t max_buffered = 0;  // highest receive-buffer fill seen
};

// Where the model's replies go, stamped with the moment the controller produced them, and
// with what they are for the trace.
class ReplySink {
  public:
    virtual ~ReplySink() = default;
    virtual void send(std::string_view bytes, Clock::time_point at, TraceKind kind,
                      std::uint32_t value) = 0;
};

// What the benchmarks observe besides the counters.
struct Observation {
    Trace* trace = nullptr;  // timestamps of lines, realtime bytes and replies
    // Status reports carry their sequence number as the X position, so every report differs
    // from the one before and the host can tell which one it received.
    bool numbered_reports = false;
};

class GrblModel {
  public:
    static constexpr std::size_t RX_BUFFER_SIZE = 128;

    GrblModel(Clock::duration line_time, Counters& counters, ReplySink& replies,
              Observation observation = {})
        : line_time_(line_time),
          counters_(counters),
          replies_(replies),
          observation_(observation) {}

    // One byte that crossed the link at `arrival`. Arrival times never go backwards.
    void receive(unsigned char byte, Clock::time_point arrival);

    // Sends the replies of every line whose processing has finished by `now`.
    void complete_until(Clock::time_point now);

    bool has_queued_lines() const { return !queued_.empty(); }
    Clock::time_point next_completion() const { return queued_.front().done_at; }

  private:
    struct QueuedLine {
        std::string text;
        std::size_t size;  // buffer bytes, line feed included
        Clock::time_point done_at;
    };

    void receive_realtime(unsigned char byte, Clock::time_point arrival);
    void finish_line(Clock::time_point arrival);
    void answer(const QueuedLine& line);
    void send_status_report(Clock::time_point arrival);

    Clock::duration line_time_;
    Counters& counters_;
    ReplySink& replies_;
    Observation observation_;
    std::uint32_t reports_sent_ = 0;
    std::string partial_;           // the line still arriving, without carriage returns
    std::size_t partial_size_ = 0;  // its bytes in the buffer, carriage returns included
    std::deque<QueuedLine> queued_;
    std::size_t buffered_ = 0;
    Clock::time_point busy_until_{};
};

}  // namespace vantorix::bench
