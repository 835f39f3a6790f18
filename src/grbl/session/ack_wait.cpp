#include "grbl/session/ack_wait.hpp"

#include <algorithm>
#include <chrono>

#include "grbl/session/job_stop.hpp"

namespace vantorix::grbl {

namespace {

// How often the wait looks at the job's stop conditions.
constexpr rt::Duration STOP_CHECK_INTERVAL = std::chrono::milliseconds(50);

}  // namespace

asio::awaitable<AckWait> wait_acks_unless_stopping(std::shared_ptr<SessionCore> core,
                                                   rt::Duration wait) {
    const rt::Clock::time_point deadline = rt::Clock::now() + wait;
    for (;;) {
        if (job_must_stop(*core)) co_return AckWait::JOB_STOPPING;
        const rt::Duration slice = std::min(rt::time_left(deadline), STOP_CHECK_INTERVAL);
        const bool still_pending = co_await core->flow.wait_pending_empty(slice);
        if (!still_pending) co_return AckWait::DRAINED;
        if (rt::Clock::now() >= deadline) co_return AckWait::STILL_PENDING;
    }
}

}  // namespace vantorix::grbl
