// Controls that must reach the device at once: cancel with soft reset and safety
// shutdown, and feed hold / resume. None of them takes `command_lock`.
#pragma once

#include <asio/awaitable.hpp>
#include <memory>

#include "grbl/session/core.hpp"

namespace vantorix::grbl {

inline constexpr std::uint8_t SOFT_RESET = 0x18;

// Soft reset, stop of the stream task, release of queued callers, counting reset and the
// dialect's safety commands. Fails only when the soft reset cannot be written.
asio::awaitable<VoidResult> cancel(std::shared_ptr<SessionCore> core, bool emergency);
// Feed hold ("!") or resume ("~"), and the matching status shown at once.
asio::awaitable<VoidResult> set_hold(std::shared_ptr<SessionCore> core, bool hold);
// Sends the safety commands (plus the emergency stop when asked) after the configured
// pause; failures are only logged.
asio::awaitable<void> send_safety_shutdown(std::shared_ptr<SessionCore> core, bool emergency);

}  // namespace vantorix::grbl
