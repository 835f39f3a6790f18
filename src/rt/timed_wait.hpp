// A wait for a Notify with a deadline, for the hot waits of the engine (a streamed line
// waiting for buffer space). It arms one timer whose expiry cancels the wait, instead of
// racing two child coroutines as `with_timeout` does, which costs two spawns, a cancelled
// branch and an exception per wait.
#pragma once

#include <asio/awaitable.hpp>

#include "rt/notify.hpp"
#include "rt/timeout.hpp"

namespace vantorix::rt {

// True when `notify` was notified since `since` (or holds a permit) within `timeout`, false
// when the time ran out first. Must run on the calling task's strand; an abort of the task
// ends the wait with operation_aborted, as any other wait.
asio::awaitable<bool> notified_within(Notify& notify, Notify::Epoch since, Duration timeout);

}  // namespace vantorix::rt
