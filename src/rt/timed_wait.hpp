// A wait for a Notify with a deadline, for the hot waits of the engine (a streamed line
// waiting for buffer space). It uses the Notify's shared timer (see `async_notified_until`)
// instead of racing two child coroutines as `with_timeout` does, which costs two spawns, a
// timer, a cancelled branch and an exception per wait.
#pragma once

#include <asio/awaitable.hpp>

#include "rt/notify.hpp"
#include "rt/timeout.hpp"

namespace vantorix::rt {

// True when `notify` was notified since `since` (or holds a permit) within `timeout`, false
// when the time ran out first. An abort of the task ends the wait with operation_aborted, as
// any other wait.
asio::awaitable<bool> notified_within(Notify& notify, Notify::Epoch since, Duration timeout);

}  // namespace vantorix::rt
