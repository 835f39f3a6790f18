// The body of the command queue task, which sends queued commands one after another.
#pragma once

#include <asio/awaitable.hpp>
#include <memory>

#include "grbl/session/core.hpp"

namespace vantorix::grbl {

// Pause after every queued command, so that the controller is not flooded.
inline constexpr rt::Duration COMMAND_QUEUE_PAUSE = std::chrono::milliseconds(100);

// Runs until the channel is closed and empty or the connection is no longer wanted.
asio::awaitable<void> command_queue_loop(std::shared_ptr<SessionCore> core,
                                         rt::Receiver<QueuedCommand> commands);

}  // namespace vantorix::grbl
