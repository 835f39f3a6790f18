// Job streaming: G-code programs sent line by line under character counting, each line
// with a stall timeout, with progress reported per acknowledged operation.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "grbl/session/core.hpp"
#include "grbl/session/program_lines.hpp"

namespace vantorix::grbl {

// Line index (0-based position in the program) to the host's operation index.
using OpLineMap = std::unordered_map<std::uint64_t, std::int64_t>;
// Estimated duration in seconds of each operation, indexed by operation index.
using OpEstimates = std::optional<std::vector<double>>;

// Splits at LF, dropping a CR before an LF. Empty lines are kept so that indices match
// the host's numbering; a final line break does not add an empty line.
std::vector<std::string> split_program_lines(std::string_view program);

// The stall timeout of a line: its operation's estimate scaled by the safety factor and
// kept within the configured bounds, or the default when there is no estimate.
rt::Duration line_stall_timeout(const SessionConfig& config, std::optional<std::int64_t> op_index,
                                const OpEstimates& op_estimates);

// Prepares the session for a new job: flags, progress, last error, counting and the
// shown status.
void start_job(SessionCore& core);

// Streams `gcode` and returns when the job has ended, however it ended. `on_job_start`
// (may be empty) runs once the previous stream has stopped, just before the job starts.
asio::awaitable<void> run(std::shared_ptr<SessionCore> core, std::string gcode,
                          OpLineMap op_line_map, OpEstimates op_estimates,
                          std::function<void()> on_job_start = {});

// Sends the realtime lines ("?", "~", "!") of `gcode` first, then streams the others
// as a job, if there are any.
asio::awaitable<void> run_raw(std::shared_ptr<SessionCore> core, std::string gcode);

// Runs `job` as the session's stream task and waits for its end. Fails only when the
// task ended by an unexpected internal failure; an aborted task counts as ended.
asio::awaitable<VoidResult> run_streaming_job(std::shared_ptr<SessionCore> core,
                                              asio::awaitable<void> job);

// The job body: the line loop, the wait for the last acknowledgements and the
// finishing steps.
asio::awaitable<void> stream_gcode(std::shared_ptr<SessionCore> core, ProgramLines lines,
                                   OpLineMap op_line_map, OpEstimates op_estimates);

}  // namespace vantorix::grbl
