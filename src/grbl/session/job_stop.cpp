#include "grbl/session/job_stop.hpp"

namespace vantorix::grbl {

bool has_job_error(const SessionCore& core) {
    return core.last_error.with(
        [](const std::optional<SessionError>& error) { return error.has_value(); });
}

bool in_alarm(const SessionCore& core) {
    return core.state_.with(
        [](const DeviceState& state) { return state.status == DeviceStatus::ALARM; });
}

bool job_must_stop(const SessionCore& core) {
    return core.cancelled.load() || has_job_error(core) || in_alarm(core);
}

bool record_error_if_none(SessionCore& core, SessionError error) {
    return core.last_error.with([&error](std::optional<SessionError>& slot) {
        if (slot) return false;
        slot = std::move(error);
        return true;
    });
}

}  // namespace vantorix::grbl
