// One host connection to the modelled controller: the descriptor, the GRBL model behind it and
// the pacing of a serial link in each direction. With a baud rate each byte takes 10 bit times
// to cross (8N1); without one, bytes cross instantly.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "grbl_model.hpp"

namespace vantorix::bench {

struct LinkTiming {
    std::uint32_t baud = 0;  // 0: no link delay
    Clock::duration line_time{};
};

class PacedLink : public ReplySink {
  public:
    PacedLink(int fd, const LinkTiming& timing, Counters& counters, Observation observation = {});
    PacedLink(const PacedLink&) = delete;
    PacedLink& operator=(const PacedLink&) = delete;

    int fd() const { return fd_; }

    // Reads what the host wrote and feeds it to the model. False once the peer has gone.
    bool on_readable(Clock::time_point now);

    // Completes the lines and writes the replies that are due. False on a broken connection.
    bool advance(Clock::time_point now);

    // When `advance` next has something to do, if ever.
    std::optional<Clock::time_point> next_wakeup() const;

    // Whether to wake up for input. While the modelled wire still carries earlier bytes, new
    // input would only queue behind them: reading it at a wake-up that comes anyway, before
    // the wire runs idle, gives it the same arrival time and saves a wake-up per line.
    bool wants_readable(Clock::time_point now) const;

    // Due replies are waiting for the descriptor to accept them.
    bool wants_writable() const { return ready_ > 0; }

    void send(std::string_view bytes, Clock::time_point at, TraceKind kind,
              std::uint32_t value) override;

  private:
    struct ScheduledReply {
        std::size_t bytes;
        Clock::time_point due;
    };
    // A reply on its way out, for the trace: stamped when its last byte has been written.
    struct TracedReply {
        std::size_t unwritten;
        TraceKind kind;
        std::uint32_t value;
    };

    void trace_written(std::size_t bytes, Clock::time_point now);

    Clock::time_point arrival_of_next_byte(Clock::time_point now);

    int fd_;
    Clock::duration byte_time_;
    Clock::time_point rx_cursor_{};  // when the host-to-controller wire is free again
    Clock::time_point tx_cursor_{};  // when the controller-to-host wire is free again
    std::string tx_;                 // unwritten replies, from tx_head_ on
    std::size_t tx_head_ = 0;
    std::size_t ready_ = 0;  // bytes from tx_head_ on whose time has come
    std::deque<ScheduledReply> scheduled_;
    Trace* trace_;
    std::deque<TracedReply> traced_;
    GrblModel model_;
};

}  // namespace vantorix::bench
