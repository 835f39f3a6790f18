// The engine object of one device session: everything the session knows about its
// device, its link and its running work, shared by reference counting between the
// Python-facing calls and the background tasks. The asynchronous operations are free
// functions taking the shared core by value, so that the core lives as long as any
// coroutine that works on it.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "grbl/dialect.hpp"
#include "grbl/flow.hpp"
#include "grbl/session/config.hpp"
#include "grbl/session/error.hpp"
#include "grbl/session/events.hpp"
#include "grbl/session/guarded.hpp"
#include "grbl/session/sync.hpp"
#include "grbl/transport/transport.hpp"
#include "grbl/types.hpp"
#include "rt/channel.hpp"
#include "rt/mutex.hpp"
#include "rt/task.hpp"

namespace vantorix::grbl {

inline constexpr const char* SESSION_TARGET = "vantorix::grbl::session";

// The fields are public: every part of the engine is a set of operations on them.
// Four fields carry a trailing underscore because the accessors of the Python layer
// use their plain names (`config()`, `dialect()`, `state()`, `job_active()`).
class SessionCore {
  public:
    struct Private;  // keeps construction inside `create`
    SessionCore(Private, LinkChoice link, SessionConfig config, GrblDialect dialect,
                std::shared_ptr<SessionEvents> events);
    SessionCore(const SessionCore&) = delete;
    SessionCore& operator=(const SessionCore&) = delete;

    // Builds the transport of `link` and an idle session; opens nothing and cannot fail.
    static std::shared_ptr<SessionCore> create(LinkChoice link, SessionConfig config,
                                               GrblDialect dialect,
                                               std::shared_ptr<SessionEvents> events);

    const SessionConfig& config() const { return config_; }
    DeviceState state() const { return state_.get(); }
    GrblDialect dialect() const;
    // Takes effect for every command built afterwards.
    void update_dialect(GrblDialect dialect);
    // The flow control's unanswered lines, oldest first.
    std::vector<std::string> pending_commands() const;
    std::size_t buffer_count() const { return flow.buffer_count(); }
    std::size_t rx_buffer_size() const { return flow.rx_buffer_size(); }
    bool job_active() const { return job_active_.load(); }
    std::optional<std::string> resource_uri() const { return transport->resource_uri(); }

    // Stores the status, then always emits the `connection_status` event.
    void update_connection_status(TransportStatus status, std::optional<std::string> message);
    // Forces the configured override or the cached size into the flow control.
    void apply_cached_rx_buffer_size();
    // Turns one received chunk into session state, events and request answers. Called
    // only by the reader task, chunk by chunk in arrival order; never waits.
    void handle_rx(std::span<const std::uint8_t> bytes);
    // The request now on the wire: the interactive one if any, else the queued one.
    std::shared_ptr<RequestShared> current_request() const;

    const SessionConfig config_;
    const std::shared_ptr<SessionEvents> events;
    const std::shared_ptr<Transport> transport;
    FlowControl flow;

    Guarded<DeviceState> state_;
    Guarded<DeviceStatus> last_report_status{DeviceStatus::UNKNOWN};
    std::atomic<std::uint64_t> status_report_count{0};
    Guarded<std::optional<SessionError>> last_error;
    Guarded<std::shared_ptr<RequestShared>> active_request;
    Guarded<std::shared_ptr<RequestShared>> interactive_request;
    Guarded<std::vector<std::weak_ptr<RequestShared>>> pending_requests;
    Guarded<rt::Sender<QueuedCommand>> command_tx;  // a closed sender until connect
    AsyncEvent status_report_event;
    Guarded<TransportStatus> connection_status{TransportStatus::UNKNOWN};
    Guarded<std::int64_t> last_done_op_index{-1};
    Guarded<std::optional<StreamHandle>> stream;
    Guarded<rt::TaskHandle> connection_task;
    Guarded<rt::TaskHandle> command_queue_task;
    Guarded<rt::TaskHandle> reader_task;
    rt::AsyncMutex command_lock;
    std::atomic<std::uint32_t> unanswered_polls{0};
    std::atomic<bool> connection_wanted{false};
    std::atomic<bool> job_active_{false};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> hold_active{false};
    std::atomic<bool> report_inches{false};

  private:
    void handle_ok(const GrblResponse& response);
    void handle_error_reply(const GrblResponse& response);
    void handle_other_line(const std::string& line);
    void handle_status_report(const std::string& line);
    // Stores `error` as the device error unless one is already recorded.
    void record_device_error(DeviceError error);
    // Records why a running job must stop and wakes a stream waiting for space.
    void halt_job(SessionError reason);

    mutable std::shared_mutex dialect_mutex_;
    GrblDialect dialect_;
};

// The stream-task flag: true only when awaited on the session's stream task itself, so
// that the stream task never waits for its own end.
struct InStreamTask {
    asio::awaitable<bool> operator()(std::shared_ptr<SessionCore> core) const;
};
inline constexpr InStreamTask IN_STREAM_TASK{};

// Stops the stream task, if one runs, and waits for its end; does nothing on the stream
// task itself.
asio::awaitable<void> abort_stream_task(std::shared_ptr<SessionCore> core);

// Connection lifecycle. `connect` (re)starts the connection supervisor and the command
// queue task and returns before the link is up; `cleanup` stops everything and closes
// the transport. Neither fails.
asio::awaitable<void> connect(std::shared_ptr<SessionCore> core);
asio::awaitable<void> cleanup(std::shared_ptr<SessionCore> core);
// Stops and awaits the supervisor and the command queue task, aborts the reader task and
// closes the transport. Must run on a task other than those.
asio::awaitable<void> abort_background_tasks(std::shared_ptr<SessionCore> core);

// Commands. An error reply from the device is an answer line, not a failure.
asio::awaitable<Result<std::vector<std::string>>> execute_command(std::shared_ptr<SessionCore> core,
                                                                  std::string command);
// The two halves of `execute_command`. Queuing happens at once, so commands issued one
// after the other reach the device in that order even when their waits run on different
// threads; it fails only when there is no command queue ("command queue unavailable").
Result<std::shared_ptr<RequestShared>> enqueue_command(SessionCore& core, std::string command);
// Waits at most `command_timeout` for the answer of a queued request.
asio::awaitable<Result<std::vector<std::string>>> await_command(
    std::shared_ptr<SessionCore> core, std::shared_ptr<RequestShared> request);
asio::awaitable<Result<std::vector<std::string>>> execute_interactive_command(
    std::shared_ptr<SessionCore> core, std::string command);
// Writes one line (newline included) with character-counting bookkeeping, after waiting
// at most 1 s for buffer space; the line is written even when none came.
asio::awaitable<VoidResult> send_command_bytes(std::shared_ptr<SessionCore> core, Bytes bytes);
// As `send_command_bytes`, but waits up to 10 s and fails with a buffer stall instead of
// writing when no space came.
asio::awaitable<VoidResult> send_gcode_simple(std::shared_ptr<SessionCore> core, Bytes bytes);
// Writes realtime bytes that GRBL consumes outside its line buffer: no space wait, no
// counting, no lock.
asio::awaitable<VoidResult> send_realtime(std::shared_ptr<SessionCore> core, Bytes bytes,
                                          bool append_newline);

}  // namespace vantorix::grbl
