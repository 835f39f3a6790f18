// Cancel, feed hold and the safety shutdown that ends a cancel.
#include "grbl/session/cancel.hpp"

#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

// Completes every queued command that the queue task has not taken yet; their callers
// return at once with what they collected (nothing, for a command never sent).
void release_queued_callers(SessionCore& core) {
    std::vector<std::weak_ptr<RequestShared>> waiting = core.pending_requests.exchange({});
    for (const std::weak_ptr<RequestShared>& entry : waiting) {
        if (std::shared_ptr<RequestShared> request = entry.lock()) request->done.set();
    }
}

bool no_stream_running(const SessionCore& core) {
    return core.stream.with(
        [](const std::optional<StreamHandle>& stream) { return !stream || stream->finished(); });
}

}  // namespace

asio::awaitable<VoidResult> cancel(std::shared_ptr<SessionCore> core, bool emergency) {
    log::debug(SESSION_TARGET, "Cancel command initiated.");
    core->cancelled.store(true);
    // Taken in one step, so that of two cancels (or a cancel and the stream's own end)
    // exactly one sees the job as active and reports its end.
    const bool job_was_active = core->job_active_.exchange(false);
    core->flow.notify_space_freed();

    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport not connected");
    }
    log::info(SESSION_TARGET, "Sending Soft Reset (Ctrl-X) to device.");
    const Bytes soft_reset{SOFT_RESET};
    TransportResult written = co_await core->transport->write(soft_reset);
    if (!written.ok()) co_return SessionError::connection(written.error().message());

    co_await abort_stream_task(core);
    release_queued_callers(*core);
    log::debug(SESSION_TARGET, "Command queue cleared after cancel.");
    core->flow.reset();
    log::debug(SESSION_TARGET, "Streaming queue cleared after cancel.");
    co_await send_safety_shutdown(core, emergency);
    if (job_was_active) core->events->job_finished();
    co_return Unit{};
}

asio::awaitable<void> send_safety_shutdown(std::shared_ptr<SessionCore> core, bool emergency) {
    const GrblDialect dialect = core->dialect();
    std::vector<std::string> commands = dialect.safety_off_commands;
    if (emergency && dialect.emergency_stop) commands.push_back(*dialect.emergency_stop);
    if (commands.empty() || !core->transport->is_open()) co_return;

    // The controller needs a moment to come out of its reset.
    co_await rt::sleep_for(SessionConfig::secs(core->config().safety_shutdown_delay));
    for (const std::string& command : commands) {
        if (!core->transport->is_open()) co_return;
        Bytes line(command.begin(), command.end());
        line.push_back('\n');
        VoidResult sent = co_await send_gcode_simple(core, std::move(line));
        if (!sent.ok()) {
            log::warn(SESSION_TARGET, "Safety command '{}' failed: {}", command,
                      sent.error().text());
        }
    }
}

asio::awaitable<VoidResult> set_hold(std::shared_ptr<SessionCore> core, bool hold) {
    core->hold_active.store(hold);
    if (!core->job_active_.load() && no_stream_running(*core)) core->cancelled.store(false);

    const Bytes realtime{static_cast<std::uint8_t>(hold ? '!' : '~')};
    VoidResult sent = co_await send_realtime(core, realtime, false);
    if (!sent.ok()) co_return sent.error();

    const DeviceStatus shown = hold                       ? DeviceStatus::HOLD
                               : core->job_active_.load() ? DeviceStatus::RUN
                                                          : DeviceStatus::IDLE;
    std::optional<DeviceState> snapshot =
        core->state_.with([shown](DeviceState& state) -> std::optional<DeviceState> {
            if (state.status == shown) return std::nullopt;
            state.status = shown;
            return state;
        });
    if (snapshot) core->events->state_changed(*snapshot);
    co_return Unit{};
}

}  // namespace vantorix::grbl
