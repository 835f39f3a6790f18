// GRBL character counting: the host keeps track of how many bytes of sent-but-unanswered
// lines occupy the controller's receive buffer and sends a line only when it fits. Every
// "ok" or "error:" reply frees the oldest pending line. `parse_incoming` is also the
// first stage of receive handling: it assembles lines and recognises acknowledgements,
// including ones interleaved into other output or corrupted by NUL bytes.
//
// Callers wait for space before `track_command`, track a line before writing it (so an
// answer that arrives at once finds its entry), and call `flush_notifications` after
// handling each batch returned by `parse_incoming`.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rt/notify.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

// GRBL's serial receive buffer holds 128 bytes; one is kept free.
inline constexpr std::size_t DEFAULT_RX_BUFFER_SIZE = 127;

// The longest unterminated input kept while waiting for its line feed. No GRBL or grblHAL
// reply comes near it; a device that sends more without a line feed (noise, a wrong baud
// rate, a hostile peer) has the line thrown away instead of growing the buffer without limit
// and making every chunk rescan it.
inline constexpr std::size_t MAX_PARTIAL_LINE = 4096;
// What stays of a thrown-away partial line: enough for an acknowledgement or an error reply
// whose first bytes arrived at its end.
inline constexpr std::size_t PARTIAL_LINE_TAIL = 32;

struct PendingCommand {
    std::optional<std::int64_t> op_index;  // the job operation the line belongs to
    std::string command;                   // as sent, without trailing whitespace
    std::size_t size = 0;                  // bytes written for it, newline included

    bool operator==(const PendingCommand&) const = default;
};

struct GrblResponse {
    enum class Kind : std::uint8_t {
        OK,          // an acknowledgement
        ERROR,       // an "error:" reply; it answers one pending line
        OTHER_LINE,  // anything else: status reports, banners, messages, settings, alarms
    };

    std::optional<PendingCommand> acked;  // OK only: the pending line this "ok" answered
    std::string line;                     // the received text without surrounding whitespace
    Kind kind = Kind::OTHER_LINE;

    bool operator==(const GrblResponse&) const = default;
};

class FlowControl {
  public:
    FlowControl() = default;
    FlowControl(const FlowControl&) = delete;
    FlowControl& operator=(const FlowControl&) = delete;

    // The stored capacity, or the default when none has been stored.
    std::size_t rx_buffer_size() const;
    std::optional<std::size_t> stored_rx_buffer_size() const;
    // 0 is ignored.
    void set_rx_buffer_size(std::size_t size);

    std::size_t buffer_count() const;
    // True when a line of `size` bytes does not fit yet.
    bool needs_space(std::size_t size) const;
    // Never waits and never checks the capacity.
    void track_command(std::size_t size, std::optional<std::int64_t> op_index, std::string command);
    std::vector<PendingCommand> pending_queue() const;
    // Received bytes kept for the line that has not ended yet.
    std::size_t partial_input_size() const;

    // Appends the bytes to what is left of earlier chunks and returns the responses found:
    // acknowledgements first, then error replies, then the remaining complete lines.
    std::vector<GrblResponse> parse_incoming(std::span<const std::uint8_t> bytes);
    // Wakes the waiters for whatever the handled batch freed.
    void flush_notifications();
    // Wakes the senders waiting for space without changing the counts, so that they
    // look at the session's state (a job error) at once.
    void notify_space_freed();

    // Forgets every pending line (waking all waiters) but keeps partial input.
    void reset_flow_control();
    // Also drops partial input; the learned buffer size stays.
    void reset();

    // True once the line fits; false when `timeout` passed first. A line larger than the
    // capacity never fits.
    asio::awaitable<bool> wait_for_space(std::size_t size, rt::Duration timeout);
    // False once nothing is pending; true when the deadline passed with lines still
    // pending. Without a timeout it waits indefinitely.
    asio::awaitable<bool> wait_pending_empty(std::optional<rt::Duration> timeout);

  private:
    struct Inner {
        std::optional<std::size_t> rx_buffer_size;
        std::string raw;  // received bytes not yet consumed
        // The partial line was too long and part of it thrown away: the rest of that line,
        // up to its line feed, is dropped too instead of being read as a line of its own.
        bool discarding_line = false;
        std::deque<PendingCommand> pending;
        std::size_t buffer_count = 0;
        bool space_freed = false;
        bool pending_drained = false;
    };

    static bool needs_space_locked(const Inner& inner, std::size_t size);
    static std::optional<PendingCommand> ack_ok_locked(Inner& inner);
    static void acknowledge_ok_locked(Inner& inner, std::vector<GrblResponse>& out);
    static void take_acks_locked(Inner& inner, std::vector<GrblResponse>& out);
    static void take_nul_corrupted_acks_locked(Inner& inner, std::vector<GrblResponse>& out);
    static void take_error_replies_locked(Inner& inner, std::vector<GrblResponse>& out);
    static void take_lines_locked(Inner& inner, std::vector<GrblResponse>& out);
    static void bound_partial_line_locked(Inner& inner);

    mutable std::mutex mutex_;
    Inner inner_;
    rt::Notify space_freed_;
    rt::Notify pending_drained_;
};

}  // namespace vantorix::grbl
