#include "grbl/session/ack_wait.hpp"

#include <algorithm>
#include <chrono>

namespace vantorix::grbl {

namespace {

// How often the wait looks at the job's stop conditions.
constexpr rt::Duration STOP_CHECK_INTERVAL = std::chrono::milliseconds(50);

}  // namespace

bool job_must_stop(const SessionCore& core) {
    if (core.cancelled.load()) return true;
    const bool has_error = core.last_error.with(
        [](const std::optional<SessionError>& error) { return error.has_value(); });
    if (has_error) return true;
    return core.state_.with(
        [](const DeviceState& state) { return state.status == DeviceStatus::ALARM; });
}

asio::awaitable<AckWait> wait_acks_unless_stopping(std::shared_ptr<SessionCore> core,
                                                   rt::Duration wait) {
    const rt::Clock::time_point deadline = rt::Clock::now() + wait;
    for (;;) {
        if (job_must_stop(*core)) co_return AckWait::JOB_STOPPING;
        const rt::Clock::time_point now = rt::Clock::now();
        const rt::Duration slice =
            now < deadline ? std::min<rt::Duration>(deadline - now, STOP_CHECK_INTERVAL)
                           : rt::Duration::zero();
        const bool still_pending = co_await core->flow.wait_pending_empty(slice);
        if (!still_pending) co_return AckWait::DRAINED;
        if (rt::Clock::now() >= deadline) co_return AckWait::STILL_PENDING;
    }
}

}  // namespace vantorix::grbl
