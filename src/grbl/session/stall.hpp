// Stall handling: telling a slow move from a lost acknowledgement, a silent device or an
// alarm when a streamed line (or the end of a job) waits too long, and recovering from a
// counting deadlock with a harmless dwell.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <memory>

#include "grbl/session/core.hpp"

namespace vantorix::grbl {

// The dwell that GRBL acknowledges only after every move before it has finished.
inline constexpr std::string_view RECOVERY_LINE = "G4 P0.01\n";
inline constexpr std::chrono::seconds RECOVERY_ACK_WAIT{30};

enum class StallDecision { RETRY, GIVE_UP };

// `take_lock` is false when the caller already holds `command_lock` (a streamed line).

// Polls "?" and waits for the answer; counts silent polls. True when the device is idle
// or out of step with the host's counting.
asio::awaitable<bool> poll_and_check_idle(std::shared_ptr<SessionCore> core, bool take_lock);
bool is_grbl_idle_or_desynced(const SessionCore& core);
// Records that the device stopped answering, as the reason the job must stop.
void mark_device_unresponsive(SessionCore& core);
// Writes the dwell, waits for every pending acknowledgement and resets the counting.
asio::awaitable<void> recover_from_deadlock(std::shared_ptr<SessionCore> core, bool take_lock);

// Called with `command_lock` held when a line of `size` bytes found no space in time.
asio::awaitable<StallDecision> on_buffer_stall(std::shared_ptr<SessionCore> core, std::size_t size);
// Called when the end-of-job wait for acknowledgements timed out; true to keep waiting.
asio::awaitable<bool> end_of_job_stall_step(std::shared_ptr<SessionCore> core);

}  // namespace vantorix::grbl
