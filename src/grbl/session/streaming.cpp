// Job streaming: the stream task, its line loop and the wait for the last
// acknowledgements.
#include "grbl/session/streaming.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <asio/this_coro.hpp>
#include <cmath>
#include <exception>

#include "grbl/gcode_text.hpp"
#include "grbl/session/ack_wait.hpp"
#include "grbl/session/cancel.hpp"
#include "grbl/session/job_stop.hpp"
#include "grbl/session/stall.hpp"
#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

constexpr std::size_t PROGRESS_LOG_EVERY = 1000;

// Reset in place: g++ 12 warns about a moved-in empty optional<SessionError> under
// sanitizer builds (a false maybe-uninitialized).
void clear_error(SessionCore& core) {
    core.last_error.with([](std::optional<SessionError>& error) { error.reset(); });
}

std::optional<SessionError> take_error(SessionCore& core) {
    return core.last_error.with([](std::optional<SessionError>& error) {
        std::optional<SessionError> taken;
        if (error) {
            taken.emplace(std::move(*error));
            error.reset();
        }
        return taken;
    });
}

// An alarm seen only in the status (without an ALARM line) must still fail the job: a
// job that stopped in the alarm state never finished.
void record_alarm_if_in_alarm(SessionCore& core) {
    if (in_alarm(core)) {
        record_error_if_none(core, SessionError::device("Machine entered ALARM state during job."));
    }
}

void stop_sending(SessionCore& core) {
    log::info(SESSION_TARGET,
              "Job cancelled, errored, or machine in ALARM state. Stopping G-code sending.");
    record_alarm_if_in_alarm(core);
}

std::optional<std::int64_t> op_index_of(const OpLineMap& op_line_map, std::size_t line_index) {
    if (op_line_map.empty()) return std::nullopt;
    auto found = op_line_map.find(line_index);
    if (found == op_line_map.end()) return std::nullopt;
    return found->second;
}

SessionError write_failure(const TransportError& error) {
    return SessionError::connection(error.message());
}

enum class LineSent {
    WRITTEN,
    // Space came, but meanwhile the job was cancelled, failed or the machine alarmed:
    // nothing more is written to a device that must stop.
    HELD_BACK,
};

// Writes one line under `command_lock` once it fits, with stall handling while it does not.
asio::awaitable<Result<LineSent>> send_gcode_line(std::shared_ptr<SessionCore> core,
                                                  std::string text,
                                                  std::optional<std::int64_t> op_index,
                                                  rt::Duration stall_timeout) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back('\n');
    const std::size_t size = bytes.size();

    rt::AsyncMutex::Guard lock = co_await core->command_lock.lock();
    if (!core->transport->is_open()) {
        co_return SessionError::connection("Serial transport disconnected during job.");
    }
    for (;;) {
        const bool fits = co_await core->flow.wait_for_space(size, stall_timeout);
        if (fits) break;
        log::warn(SESSION_TARGET,
                  "Buffer stall: timed out waiting for {} bytes. Invoking recovery callback.",
                  size);
        const StallDecision decision = co_await on_buffer_stall(core, size);
        if (decision == StallDecision::GIVE_UP) {
            co_return SessionError::buffer_stall("cannot get " + std::to_string(size) +
                                                 " bytes of space");
        }
        log::info(SESSION_TARGET, "Recovery successful, retrying send.");
    }
    if (job_must_stop(*core)) co_return LineSent::HELD_BACK;
    core->flow.track_command(size, op_index, std::move(text));
    TransportResult written = co_await core->transport->write(bytes);
    if (!written.ok()) co_return write_failure(written.error());
    co_return LineSent::WRITTEN;
}

struct JobProgress {
    std::size_t lines_sent = 0;
    std::size_t total = 0;
};

// The line loop. Returns an error only for a failure that ends the job at once (the
// end-of-job wait is then skipped); every other reason to stop is in `last_error`.
asio::awaitable<std::optional<SessionError>> send_lines(std::shared_ptr<SessionCore> core,
                                                        ProgramLines* lines,
                                                        const OpLineMap* op_line_map,
                                                        const OpEstimates* op_estimates,
                                                        JobProgress* progress) {
    std::size_t index = 0;
    for (std::optional<std::string_view> line; (line = lines->next()); ++index) {
        if (job_must_stop(*core)) {
            stop_sending(*core);
            break;
        }
        std::string text = strip_gcode_comments(*line);
        if (text.empty()) continue;
        const std::optional<std::int64_t> op_index = op_index_of(*op_line_map, index);
        const rt::Duration timeout = line_stall_timeout(core->config(), op_index, *op_estimates);

        Result<LineSent> sent = co_await send_gcode_line(core, std::move(text), op_index, timeout);
        if (!sent.ok()) {
            if (sent.error().kind() != SessionError::Kind::BUFFER_STALL) co_return sent.error();
            record_error_if_none(
                *core, SessionError::device("Deadlock recovery failed: " + sent.error().message()));
        } else if (sent.value() == LineSent::HELD_BACK) {
            stop_sending(*core);
            break;
        }
        if (has_job_error(*core) || in_alarm(*core)) {
            record_alarm_if_in_alarm(*core);
            break;
        }
        ++progress->lines_sent;
        if (progress->lines_sent % PROGRESS_LOG_EVERY == 0) {
            log::debug(SESSION_TARGET, "Streaming progress: {}/{} lines sent", progress->lines_sent,
                       progress->total);
        }
        co_await rt::yield_now();
    }
    co_return std::nullopt;
}

bool has_pending(const SessionCore& core) {
    return !core.flow.pending_queue().empty();
}

// Waits for the acknowledgements of the lines still in the device's buffer.
asio::awaitable<void> drain_pending_acks(std::shared_ptr<SessionCore> core) {
    if (core->cancelled.load() || has_job_error(*core)) co_return;
    log::debug(SESSION_TARGET, "All G-code sent. Waiting for all 'ok' responses.");
    const rt::Duration wait = SessionConfig::secs(core->config().stall_timeout_default);
    while (has_pending(*core)) {
        if (has_job_error(*core) || in_alarm(*core) || core->cancelled.load()) {
            record_alarm_if_in_alarm(*core);
            break;
        }
        const AckWait waited = co_await wait_acks_unless_stopping(core, wait);
        if (waited == AckWait::DRAINED) {
            log::debug(SESSION_TARGET, "All 'ok' responses received.");
            break;
        }
        if (waited == AckWait::JOB_STOPPING) continue;  // the check above ends the wait
        const bool keep_waiting = co_await end_of_job_stall_step(core);
        if (!keep_waiting) break;
    }
}

// Shows a job failure as the device error, unless the device reported one already.
void show_job_error(SessionCore& core, const SessionError& failure) {
    std::optional<DeviceState> snapshot =
        core.state_.with([&failure](DeviceState& state) -> std::optional<DeviceState> {
            if (state.error) return std::nullopt;
            state.error = DeviceError{-1, "Job Error", failure.text()};
            return state;
        });
    if (snapshot) core.events->state_changed(*snapshot);
}

// The body of the stream task. The guard marks the stream finished however the task ends,
// also when it is destroyed before it ever ran.
asio::awaitable<void> stream_task([[maybe_unused]] std::unique_ptr<StreamGuard> guard,
                                  asio::awaitable<void> job, std::shared_ptr<std::string> failure) {
    try {
        co_await std::move(job);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& error) {
        *failure = error.what();
        throw;
    } catch (...) {
        *failure = "unknown failure";
        throw;
    }
}

}  // namespace

std::vector<std::string> split_program_lines(std::string_view program) {
    std::vector<std::string> lines;
    while (!program.empty()) {
        const std::size_t newline = program.find('\n');
        std::string_view line = program.substr(0, newline);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.emplace_back(line);
        if (newline == std::string_view::npos) break;
        program.remove_prefix(newline + 1);
    }
    return lines;
}

rt::Duration line_stall_timeout(const SessionConfig& config, std::optional<std::int64_t> op_index,
                                const OpEstimates& op_estimates) {
    if (!op_estimates || !op_index || *op_index < 0 ||
        static_cast<std::uint64_t>(*op_index) >= op_estimates->size()) {
        return SessionConfig::secs(config.stall_timeout_default);
    }
    double seconds =
        (*op_estimates)[static_cast<std::size_t>(*op_index)] * config.stall_timeout_safety_factor;
    if (!std::isnan(seconds)) {
        // Bounds in either order, a NaN bound ignored: a clamp with crossed bounds is
        // undefined, and the stream task must never fail over its configuration.
        const double lower = std::fmin(config.stall_timeout_min, config.stall_timeout_max);
        const double upper = std::fmax(config.stall_timeout_min, config.stall_timeout_max);
        seconds = std::max(lower, std::min(upper, seconds));
    }
    return SessionConfig::secs(seconds);
}

void start_job(SessionCore& core) {
    core.cancelled.store(false);
    core.job_active_.store(true);
    core.hold_active.store(false);
    core.last_done_op_index.set(-1);
    clear_error(core);
    core.unanswered_polls.store(0);
    core.flow.reset_flow_control();
    std::optional<DeviceState> snapshot =
        core.state_.with([](DeviceState& state) -> std::optional<DeviceState> {
            const bool had_error = state.error.has_value();
            state.error.reset();
            const bool running =
                state.status == DeviceStatus::RUN || state.status == DeviceStatus::ALARM;
            if (!running) state.status = DeviceStatus::RUN;
            if (running && !had_error) return std::nullopt;
            return state;
        });
    if (snapshot) core.events->state_changed(*snapshot);
}

asio::awaitable<VoidResult> run_streaming_job(std::shared_ptr<SessionCore> core,
                                              asio::awaitable<void> job) {
    co_await abort_stream_task(core);
    auto done = std::make_shared<StreamDone>();
    auto failure = std::make_shared<std::string>();
    auto executor = co_await asio::this_coro::executor;
    rt::TaskHandle task = rt::spawn(
        executor, stream_task(std::make_unique<StreamGuard>(done), std::move(job), failure));
    core->stream.set(StreamHandle{task, done});
    const rt::TaskEnd end = co_await task.join();
    std::optional<StreamHandle> ours =
        core->stream.with([&done](std::optional<StreamHandle>& slot) {
            std::optional<StreamHandle> taken;
            if (slot && slot->done == done) taken = std::exchange(slot, std::nullopt);
            return taken;
        });
    if (end == rt::TaskEnd::FAILED) co_return SessionError::other(*failure);
    co_return Unit{};
}

asio::awaitable<void> stream_gcode(std::shared_ptr<SessionCore> core, ProgramLines lines,
                                   OpLineMap op_line_map, OpEstimates op_estimates) {
    JobProgress progress{0, lines.size()};
    log::debug(SESSION_TARGET, "Starting GRBL streaming job with {} lines.", progress.total);

    std::optional<SessionError> failure =
        co_await send_lines(core, &lines, &op_line_map, &op_estimates, &progress);
    if (!failure) {
        co_await drain_pending_acks(core);
        failure = take_error(*core);
    }

    if (failure && !core->cancelled.load()) {
        log::warn(SESSION_TARGET, "Job interrupted: {}; calling cancel()", failure->debug());
        show_job_error(*core, *failure);
        (void)co_await cancel(core, true);
    }

    core->last_report_status.set(DeviceStatus::UNKNOWN);
    // Whoever ends the job (this stream, or a cancel) reports it, so a job ends with
    // exactly one job_finished even when a cancel races with the last acknowledgement.
    const bool ended_here = core->job_active_.exchange(false);
    core->hold_active.store(false);

    if (failure) {
        log::debug(SESSION_TARGET, "G-code streaming aborted at line {}/{}.", progress.lines_sent,
                   progress.total);
    } else if (ended_here) {
        core->events->job_finished();
        log::debug(SESSION_TARGET, "G-code streaming finished successfully ({}/{} lines).",
                   progress.lines_sent, progress.total);
    } else {
        log::debug(SESSION_TARGET, "G-code streaming cancelled at line {}/{}.", progress.lines_sent,
                   progress.total);
    }
}

namespace {

// Lines written before the job (a cancel's safety commands, a queued command) may still
// sit in the controller's buffer. The job start forgets the host's count of them, so the
// job would overfill the buffer by their size: they get the command timeout to be
// answered first. False when a cancel came meanwhile: the job does not start.
asio::awaitable<bool> settle_lines_before_job(std::shared_ptr<SessionCore> core) {
    const bool cancelled_before = core->cancelled.load();
    const bool still_pending =
        co_await core->flow.wait_pending_empty(SessionConfig::secs(core->config().command_timeout));
    if (still_pending) {
        log::warn(SESSION_TARGET,
                  "Starting job with {} earlier line(s) unanswered; their count is reset.",
                  core->flow.pending_queue().size());
    }
    co_return cancelled_before || !core->cancelled.load();
}

}  // namespace

asio::awaitable<void> run(std::shared_ptr<SessionCore> core, std::string gcode,
                          OpLineMap op_line_map, OpEstimates op_estimates,
                          std::function<void()> on_job_start) {
    // The previous job's stream stops before this job's state is set up, so that it
    // cannot end (and clear `job_active`) in the middle of the new job.
    co_await abort_stream_task(core);
    const bool started = co_await settle_lines_before_job(core);
    if (!started) co_return;
    if (on_job_start) on_job_start();
    start_job(*core);
    VoidResult outcome = co_await run_streaming_job(
        core, stream_gcode(core, ProgramLines(std::move(gcode)), std::move(op_line_map),
                           std::move(op_estimates)));
    if (!outcome.ok()) {
        log::error(SESSION_TARGET, "Job terminated with unexpected error: {}",
                   outcome.error().text());
    }
}

asio::awaitable<void> run_raw(std::shared_ptr<SessionCore> core, std::string gcode) {
    std::vector<std::string> lines;
    for (std::string& line : split_program_lines(gcode)) {
        std::string_view trimmed = trim_whitespace(line);
        if (!trimmed.empty()) lines.emplace_back(trimmed);
    }
    SplitCommands split = split_realtime_commands(lines);
    for (const std::string& realtime : split.realtime) {
        VoidResult sent =
            co_await send_realtime(core, Bytes(realtime.begin(), realtime.end()), false);
        if (!sent.ok()) {
            log::error(SESSION_TARGET, "Realtime command failed: {}", sent.error().text());
            co_return;
        }
    }
    if (split.gcode.empty()) co_return;
    co_await abort_stream_task(core);
    start_job(*core);
    VoidResult outcome = co_await run_streaming_job(
        core, stream_gcode(core, ProgramLines::joined(split.gcode), OpLineMap{}, std::nullopt));
    if (!outcome.ok()) {
        log::error(SESSION_TARGET, "Raw G-code terminated with error: {}", outcome.error().text());
    }
}

}  // namespace vantorix::grbl
