// Command execution: queued and interactive commands and the low-level line writers.
#include "grbl/session/commands.hpp"

#include <chrono>

#include "grbl/debug_text.hpp"
#include "grbl/pattern_unicode.hpp"
#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

using Lines = std::vector<std::string>;

constexpr rt::Duration COMMAND_SPACE_WAIT = std::chrono::seconds(1);
constexpr rt::Duration SIMPLE_SPACE_WAIT = std::chrono::seconds(10);

Bytes line_bytes(const std::string& command) {
    Bytes bytes(command.begin(), command.end());
    bytes.push_back('\n');
    return bytes;
}

std::string_view bytes_view(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The line as the flow control records it: lossy UTF-8 without trailing whitespace.
std::string tracked_text(const Bytes& bytes) {
    std::string text = decode_utf8_lossy(bytes_view(bytes));
    std::string_view trimmed = trim_unicode_whitespace(text);
    if (trimmed.empty()) return {};
    return text.substr(0, static_cast<std::size_t>(trimmed.data() + trimmed.size() - text.data()));
}

SessionError write_failure(const TransportError& error) {
    return SessionError::connection(error.message());
}

asio::awaitable<VoidResult> track_and_write(std::shared_ptr<SessionCore> core, Bytes bytes) {
    core->flow.track_command(bytes.size(), std::nullopt, tracked_text(bytes));
    TransportResult written = co_await core->transport->write(bytes);
    if (!written.ok()) co_return write_failure(written.error());
    co_return Unit{};
}

// Clears a request slot when the owner leaves, also by an abort.
class SlotReset {
  public:
    explicit SlotReset(Guarded<std::shared_ptr<RequestShared>>& slot) : slot_(slot) {}
    SlotReset(const SlotReset&) = delete;
    SlotReset& operator=(const SlotReset&) = delete;
    ~SlotReset() { slot_.set(nullptr); }

  private:
    Guarded<std::shared_ptr<RequestShared>>& slot_;
};

void forget_pending(SessionCore& core, const std::shared_ptr<RequestShared>& request) {
    core.pending_requests.with([&request](std::vector<std::weak_ptr<RequestShared>>& pending) {
        auto same = [&request](const std::weak_ptr<RequestShared>& entry) {
            return !entry.owner_before(request) && !request.owner_before(entry);
        };
        if (auto it = std::find_if(pending.begin(), pending.end(), same); it != pending.end()) {
            pending.erase(it);
        }
    });
}

bool no_stream_running(const SessionCore& core) {
    return core.stream.with(
        [](const std::optional<StreamHandle>& stream) { return !stream || stream->finished(); });
}

// Writes one queued command under `command_lock`.
asio::awaitable<VoidResult> write_queued(std::shared_ptr<SessionCore> core,
                                         std::shared_ptr<RequestShared> request) {
    rt::AsyncMutex::Guard lock = co_await core->command_lock.lock();
    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport disconnected during command.");
    }
    co_return co_await send_command_bytes(core, line_bytes(request->command()));
}

asio::awaitable<void> run_queued(std::shared_ptr<SessionCore> core,
                                 std::shared_ptr<RequestShared> request) {
    core->active_request.set(request);
    SlotReset clear_active(core->active_request);
    VoidResult sent = co_await write_queued(core, request);
    if (sent.ok()) {
        co_await request->done.wait();
    } else {
        std::string text = sent.error().text();
        log::error(SESSION_TARGET, "Connection error during command: {}", text);
        core->update_connection_status(TransportStatus::ERROR, text);
    }
}

}  // namespace

Result<std::shared_ptr<RequestShared>> enqueue_command(SessionCore& core, std::string command) {
    // A command issued after a cancel, once no stream runs any more, lets the queue work.
    if (!core.job_active_.load() && no_stream_running(core)) core.cancelled.store(false);

    auto request = std::make_shared<RequestShared>(std::move(command));
    core.pending_requests.with([&request](std::vector<std::weak_ptr<RequestShared>>& pending) {
        pending.push_back(request);
    });
    const bool queued = core.command_tx.with(
        [&request](rt::Sender<QueuedCommand>& tx) { return tx.send(QueuedCommand{request}); });
    if (!queued) return SessionError::connection("command queue unavailable");
    return request;
}

asio::awaitable<Result<Lines>> await_command(std::shared_ptr<SessionCore> core,
                                             std::shared_ptr<RequestShared> request) {
    const bool answered = co_await rt::with_timeout(
        request->done.wait(), SessionConfig::secs(core->config().command_timeout));
    if (!answered) {
        // Lets the queue task move on if it is waiting for this answer.
        request->done.set();
        co_return SessionError::timeout();
    }
    co_return request->lines();
}

asio::awaitable<Result<Lines>> execute_command(std::shared_ptr<SessionCore> core,
                                               std::string command) {
    Result<std::shared_ptr<RequestShared>> queued = enqueue_command(*core, std::move(command));
    if (!queued.ok()) co_return queued.error();
    Result<Lines> answer = co_await await_command(std::move(core), std::move(queued.value()));
    co_return answer;
}

asio::awaitable<void> command_queue_loop(std::shared_ptr<SessionCore> core,
                                         rt::Receiver<QueuedCommand> commands) {
    log::debug(SESSION_TARGET, "Entering command queue loop.");
    while (core->connection_wanted.load()) {
        std::optional<QueuedCommand> next = co_await commands.recv();
        if (!next) break;
        std::shared_ptr<RequestShared> request = std::move(next->request);
        forget_pending(*core, request);
        if (core->transport->is_open() && !core->cancelled.load()) {
            co_await run_queued(core, request);
            co_await rt::sleep_for(COMMAND_QUEUE_PAUSE);
        } else {
            log::warn(SESSION_TARGET,
                      "Cannot process command: transport not connected or job is cancelled. "
                      "Dropping command.");
            request->done.set();
        }
    }
    log::debug(SESSION_TARGET, "Leaving command queue loop.");
}

asio::awaitable<Result<Lines>> execute_interactive_command(std::shared_ptr<SessionCore> core,
                                                           std::string command) {
    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport not connected");
    }
    auto request = std::make_shared<RequestShared>(std::move(command));
    // One deadline for the whole command: an earlier line whose answer never comes (a lost
    // "ok", a silent device) must not keep this and every later interactive command
    // waiting for ever.
    const rt::Clock::time_point deadline =
        rt::Clock::now() + SessionConfig::secs(core->config().command_timeout);
    rt::AsyncMutex::Guard lock = co_await core->command_lock.lock();
    // Every line already sent must be answered first, or its ok would complete this request.
    const bool still_pending = co_await core->flow.wait_pending_empty(rt::time_left(deadline));
    if (still_pending) {
        // Nothing is written: an answer that is only late would complete this request.
        log::warn(SESSION_TARGET,
                  "Command {} not sent: {} earlier line(s) still unanswered at the command "
                  "timeout.",
                  quoted(request->command()), core->flow.pending_queue().size());
        co_return SessionError::timeout();
    }
    core->interactive_request.set(request);
    SlotReset clear_interactive(core->interactive_request);
    VoidResult sent = co_await send_command_bytes(core, line_bytes(request->command()));
    if (!sent.ok()) co_return sent.error();
    const bool answered = co_await rt::with_timeout(request->done.wait(), rt::time_left(deadline));
    if (!answered) co_return SessionError::timeout();
    co_return request->lines();
}

asio::awaitable<VoidResult> send_command_bytes(std::shared_ptr<SessionCore> core, Bytes bytes) {
    // After the wait the line goes out even when the counted buffer is still full.
    co_await core->flow.wait_for_space(bytes.size(), COMMAND_SPACE_WAIT);
    co_return co_await track_and_write(std::move(core), std::move(bytes));
}

asio::awaitable<VoidResult> send_gcode_simple(std::shared_ptr<SessionCore> core, Bytes bytes) {
    // Awaited into a local: g++ 12 miscompiles a co_await inside a negated condition.
    const bool fits = co_await core->flow.wait_for_space(bytes.size(), SIMPLE_SPACE_WAIT);
    if (!fits) {
        co_return SessionError::buffer_stall("timed out waiting for buffer space");
    }
    co_return co_await track_and_write(std::move(core), std::move(bytes));
}

asio::awaitable<VoidResult> send_realtime(std::shared_ptr<SessionCore> core, Bytes bytes,
                                          bool append_newline) {
    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport not connected");
    }
    log::debug(SESSION_TARGET, "Sending realtime command: {}",
               decode_utf8_lossy(bytes_view(bytes)));
    if (append_newline) bytes.push_back('\n');
    TransportResult written = co_await core->transport->write(bytes);
    if (!written.ok()) co_return write_failure(written.error());
    co_return Unit{};
}

}  // namespace vantorix::grbl
