// Stall handling and deadlock recovery for streamed jobs.
#include "grbl/session/stall.hpp"

#include <optional>

#include "grbl/session/ack_wait.hpp"
#include "grbl/session/job_stop.hpp"
#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

const Bytes STATUS_POLL{'?'};

// Writes "?" (uncounted), under `command_lock` when asked to take it.
asio::awaitable<VoidResult> write_status_poll(std::shared_ptr<SessionCore> core, bool take_lock) {
    rt::AsyncMutex::Guard lock;
    if (take_lock) lock = co_await core->command_lock.lock();
    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport not connected");
    }
    TransportResult written = co_await core->transport->write(STATUS_POLL);
    if (!written.ok()) co_return SessionError::connection(written.error().message());
    co_return Unit{};
}

bool poll_limit_reached(const SessionCore& core) {
    return core.unanswered_polls.load() >= core.config().unanswered_poll_limit;
}

}  // namespace

asio::awaitable<bool> poll_and_check_idle(std::shared_ptr<SessionCore> core, bool take_lock) {
    const SessionConfig& config = core->config();
    core->last_report_status.set(DeviceStatus::UNKNOWN);
    const std::uint64_t answers_before = core->status_report_count.load();

    VoidResult polled = co_await write_status_poll(core, take_lock);
    if (!polled.ok()) {
        const std::uint32_t unanswered = core->unanswered_polls.fetch_add(1) + 1;
        log::debug(SESSION_TARGET, "Failed to send status poll: {} ({}/{} unanswered).",
                   polled.error().text(), unanswered, config.unanswered_poll_limit);
        co_return false;
    }

    const rt::Duration interval = SessionConfig::secs(config.poll_response_interval);
    for (std::uint32_t attempt = 0; attempt < config.poll_response_attempts; ++attempt) {
        co_await rt::sleep_for(interval);
        if (core->last_report_status.get() != DeviceStatus::UNKNOWN) break;
    }

    if (core->status_report_count.load() > answers_before) {
        core->unanswered_polls.store(0);
    } else {
        const std::uint32_t unanswered = core->unanswered_polls.fetch_add(1) + 1;
        log::debug(SESSION_TARGET, "No response to status poll ({}/{} unanswered).", unanswered,
                   config.unanswered_poll_limit);
    }
    // Without a fresh report the stored state is the last one before the device fell
    // silent: it may still show the idle, empty-buffer device of before the job, and a
    // recovery written into the silence would then wait out its whole acknowledgement wait.
    if (core->last_report_status.get() == DeviceStatus::UNKNOWN) co_return false;
    co_return is_grbl_idle_or_desynced(*core);
}

bool is_grbl_idle_or_desynced(const SessionCore& core) {
    const DeviceState state = core.state();
    if (state.status == DeviceStatus::IDLE) return true;
    const DeviceStatus reported = core.last_report_status.get();
    // A held device is not taken for an idle one: its planner is paused and a full receive
    // buffer is expected, so a recovery dwell written into it would overflow the buffer.
    if (reported == DeviceStatus::IDLE) return true;
    // The device reports its whole buffer free while the host still counts bytes in it.
    const std::size_t capacity = core.flow.rx_buffer_size();
    return state.buffer_rx_available && capacity > 0 && *state.buffer_rx_available >= 0 &&
           static_cast<std::uint64_t>(*state.buffer_rx_available) >= capacity;
}

void mark_device_unresponsive(SessionCore& core) {
    log::error(SESSION_TARGET,
               "No response to {} consecutive status polls. Assuming the device stopped "
               "responding.",
               core.unanswered_polls.load());
    core.last_error.set(
        SessionError::device("Device stopped responding during job (no reply to status polls)."));
}

asio::awaitable<void> recover_from_deadlock(std::shared_ptr<SessionCore> core, bool take_lock) {
    if (!core->transport->is_open()) {
        log::warn(SESSION_TARGET, "Cannot recover: transport disconnected.");
        co_return;
    }
    log::info(SESSION_TARGET, "Deadlock recovery: sending G4 P0.01 to drain planner.");
    {
        rt::AsyncMutex::Guard lock;
        if (take_lock) lock = co_await core->command_lock.lock();
        core->flow.reset_flow_control();
        VoidResult sent =
            co_await send_gcode_simple(core, Bytes(RECOVERY_LINE.begin(), RECOVERY_LINE.end()));
        if (!sent.ok()) {
            log::warn(SESSION_TARGET, "Deadlock recovery failed: {}", sent.error().text());
        }
    }
    // A job that must stop meanwhile (an alarm swallows the dwell's answer) does not wait
    // out the whole recovery before its safety shutdown.
    const AckWait waited = co_await wait_acks_unless_stopping(core, RECOVERY_ACK_WAIT);
    if (waited == AckWait::JOB_STOPPING) {
        log::warn(SESSION_TARGET, "Deadlock recovery: job stopping. Resetting host buffers.");
    } else if (waited == AckWait::STILL_PENDING) {
        log::warn(SESSION_TARGET,
                  "Deadlock recovery: timed out waiting for acks after G4 P0.01. Resetting host "
                  "buffers.");
    } else {
        log::info(SESSION_TARGET, "Deadlock recovery: all pending acks received.");
    }
    core->flow.reset();
}

asio::awaitable<StallDecision> on_buffer_stall(std::shared_ptr<SessionCore> core,
                                               std::size_t size) {
    if (core->cancelled.load()) co_return StallDecision::GIVE_UP;
    const std::size_t capacity = core->flow.rx_buffer_size();
    if (size > capacity) {
        // No acknowledgement or recovery can ever make room for it.
        log::error(SESSION_TARGET,
                   "Line of {} bytes can never fit into the {}-byte receive buffer.", size,
                   capacity);
        co_return StallDecision::GIVE_UP;
    }
    const bool idle = co_await poll_and_check_idle(core, false);
    if (poll_limit_reached(*core)) {
        mark_device_unresponsive(*core);
        co_return StallDecision::GIVE_UP;
    }
    if (in_alarm(*core)) {
        record_error_if_none(*core,
                             SessionError::device("Machine entered ALARM state during job."));
        co_return StallDecision::GIVE_UP;
    }
    if (!core->config().deadlock_detection) {
        log::debug(SESSION_TARGET,
                   "Buffer stall timed out (deadlock detection disabled). Retrying.");
        co_return StallDecision::RETRY;
    }
    if (!idle) {
        log::info(SESSION_TARGET,
                  "Timeout waiting for buffer space (machine not IDLE). This is normal during "
                  "slow moves. Retrying.");
        co_return StallDecision::RETRY;
    }
    if (!core->flow.needs_space(size)) {
        log::info(SESSION_TARGET, "Buffer freed during status poll. Continuing streaming.");
        co_return StallDecision::RETRY;
    }
    log::warn(SESSION_TARGET, "Deadlock detected during streaming. Attempting G4 P0.01 recovery.");
    co_await recover_from_deadlock(core, false);
    if (core->flow.needs_space(size)) {
        log::error(SESSION_TARGET, "Recovery failed: buffer still full.");
        co_return StallDecision::GIVE_UP;
    }
    co_return StallDecision::RETRY;
}

asio::awaitable<bool> end_of_job_stall_step(std::shared_ptr<SessionCore> core) {
    const bool idle = co_await poll_and_check_idle(core, true);
    if (poll_limit_reached(*core)) {
        mark_device_unresponsive(*core);
        co_return false;
    }
    if (!idle) {
        log::warn(SESSION_TARGET, "Timeout waiting for acks (machine not IDLE). Retrying.");
        co_return true;
    }
    if (core->flow.pending_queue().empty()) {
        log::info(SESSION_TARGET, "Pending acks resolved during status poll.");
        co_return false;
    }
    log::warn(SESSION_TARGET, "Deadlock detected at end of job. Attempting G4 P0.01 recovery.");
    co_await recover_from_deadlock(core, true);
    co_return true;
}

}  // namespace vantorix::grbl
