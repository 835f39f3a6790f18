// The reasons a running job stops, as the stream, the stall handling, the end-of-job wait
// and the connection supervisor read and record them.
#pragma once

#include "grbl/session/core.hpp"

namespace vantorix::grbl {

// A reason to stop is recorded in `last_error`.
bool has_job_error(const SessionCore& core);
bool in_alarm(const SessionCore& core);
// True when a cancel, a recorded job error or the alarm state ends the job.
bool job_must_stop(const SessionCore& core);
// Records `error` unless a reason is recorded already (the first reason stays); true when
// it was recorded.
bool record_error_if_none(SessionCore& core, SessionError error);

}  // namespace vantorix::grbl
