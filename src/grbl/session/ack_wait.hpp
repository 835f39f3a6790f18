// Waiting for the acknowledgements of a running job's lines, cut short when the job must
// stop. An error reply or an alarm wakes only the senders waiting for buffer space; a
// job waiting for its last acknowledgements would otherwise notice the stop, and send its
// safety shutdown, only when its whole wait has run out.
#pragma once

#include <asio/awaitable.hpp>
#include <memory>

#include "grbl/session/core.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

enum class AckWait {
    DRAINED,        // nothing is pending any more
    STILL_PENDING,  // the wait ran out with lines still pending
    JOB_STOPPING,   // a cancel, a recorded job error or an alarm came first
};

asio::awaitable<AckWait> wait_acks_unless_stopping(std::shared_ptr<SessionCore> core,
                                                   rt::Duration wait);

}  // namespace vantorix::grbl
