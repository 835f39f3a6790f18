#include "grbl/session/machine_ops.hpp"

#include <utility>

#include "grbl/line_parsers_coordinates.hpp"
#include "log/facade.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

using Lines = std::vector<std::string>;

constexpr rt::Duration JOG_POLL_INTERVAL = std::chrono::milliseconds(50);
constexpr double MM_PER_INCH = 25.4;

template <typename T>
asio::awaitable<Result<T>> failed(SessionError error) {
    co_return error;
}

asio::awaitable<VoidResult> succeeded() {
    co_return Unit{};
}

// Awaits the answer of `first`, then sends the remaining commands one at a time, each
// only after the previous one was answered; the first failure ends the sequence.
asio::awaitable<VoidResult> await_in_order(std::shared_ptr<SessionCore> core,
                                           std::shared_ptr<RequestShared> first,
                                           std::vector<std::string> commands) {
    Result<Lines> answered = co_await await_command(core, std::move(first));
    if (!answered.ok()) co_return answered.error();
    for (std::size_t i = 1; i < commands.size(); ++i) {
        Result<Lines> next = co_await execute_command(core, std::move(commands[i]));
        if (!next.ok()) co_return next.error();
    }
    co_return Unit{};
}

// Queues the first command now and the others as the sequence proceeds. Device error
// replies do not stop the sequence: only the session's own failures do.
asio::awaitable<VoidResult> queue_in_order(std::shared_ptr<SessionCore> core,
                                           std::vector<std::string> commands) {
    if (commands.empty()) return succeeded();
    Result<std::shared_ptr<RequestShared>> first = enqueue_command(*core, commands.front());
    if (!first.ok()) return failed<Unit>(first.error());
    return await_in_order(std::move(core), std::move(first.value()), std::move(commands));
}

asio::awaitable<VoidResult> queue_one(std::shared_ptr<SessionCore> core,
                                      Result<std::string> command) {
    if (!command.ok()) return failed<Unit>(command.error());
    return queue_in_order(std::move(core), {std::move(command.value())});
}

asio::awaitable<VoidResult> report_homed(std::shared_ptr<SessionCore> core,
                                         asio::awaitable<VoidResult> commands) {
    VoidResult sent = co_await std::move(commands);
    if (!sent.ok()) co_return sent;
    DeviceState homed = core->state_.with([](DeviceState& state) {
        state.error.reset();
        return state;
    });
    core->events->state_changed(homed);
    co_return Unit{};
}

asio::awaitable<void> wait_for_jog_end(std::shared_ptr<SessionCore> core, rt::Duration limit) {
    const rt::Clock::time_point deadline = rt::Clock::now() + limit;
    for (;;) {
        const DeviceStatus status =
            core->state_.with([](const DeviceState& state) { return state.status; });
        if (status != DeviceStatus::JOG) co_return;
        if (rt::Clock::now() >= deadline) {
            log::warn(SESSION_TARGET,
                      "Timed out waiting for JOG to finish before sending laser-off command.");
            co_return;
        }
        co_await rt::sleep_for(JOG_POLL_INTERVAL);
    }
}

asio::awaitable<VoidResult> laser_off_after_jog(std::shared_ptr<SessionCore> core,
                                                std::string laser_off, rt::Duration jog_wait) {
    co_await wait_for_jog_end(core, jog_wait);
    Result<Lines> answered = co_await execute_command(core, std::move(laser_off));
    if (!answered.ok()) co_return answered.error();
    co_return Unit{};
}

std::string triggered_text(const ProbePosition& pos) {
    return log::format("Probe triggered at ({}, {}, {})", shortest_decimal(pos[0]),
                       shortest_decimal(pos[1]), shortest_decimal(pos[2]));
}

asio::awaitable<Result<std::optional<ProbePosition>>> probe(std::shared_ptr<SessionCore> core,
                                                            std::string axis, std::string command) {
    core->events->probe_status(log::format("Probing {}...", axis));
    Result<Lines> answer = co_await execute_interactive_command(core, std::move(command));
    if (!answer.ok()) {
        core->events->probe_status("Probe failed: Timed out");
        co_return std::optional<ProbePosition>{};
    }
    const bool inches = core->report_inches.load();
    for (const std::string& line : answer.value()) {
        std::optional<ProbeResult> result = parse_probe_line(line);
        if (!result || !result->success) continue;
        ProbePosition pos = result->pos;
        if (inches) {
            for (double& value : pos) value *= MM_PER_INCH;
        }
        core->events->probe_status(triggered_text(pos));
        co_return std::optional<ProbePosition>(pos);
    }
    core->events->probe_status("Probe failed");
    co_return std::optional<ProbePosition>{};
}

}  // namespace

asio::awaitable<VoidResult> home(std::shared_ptr<SessionCore> core,
                                 std::optional<std::vector<std::string>> axes,
                                 std::string active_wcs) {
    Result<std::vector<std::string>> commands = home_commands(core->dialect(), axes, active_wcs);
    if (!commands.ok()) return failed<Unit>(commands.error());
    auto sequence = queue_in_order(core, std::move(commands.value()));
    return report_homed(std::move(core), std::move(sequence));
}

asio::awaitable<VoidResult> move_to(std::shared_ptr<SessionCore> core, double speed, double x,
                                    double y) {
    Result<std::string> command = move_to_command(core->dialect(), speed, x, y);
    return queue_one(std::move(core), std::move(command));
}

asio::awaitable<VoidResult> jog(std::shared_ptr<SessionCore> core, double speed,
                                std::vector<JogDelta> deltas) {
    Result<std::optional<std::string>> command = jog_command(core->dialect(), speed, deltas);
    if (!command.ok()) return failed<Unit>(command.error());
    if (!command.value()) return succeeded();
    return queue_one(std::move(core), std::move(*command.value()));
}

asio::awaitable<VoidResult> set_power(std::shared_ptr<SessionCore> core,
                                      std::optional<double> power) {
    Result<std::string> command = laser_power_command(core->dialect(), power);
    return queue_one(std::move(core), std::move(command));
}

asio::awaitable<VoidResult> set_focus_power(std::shared_ptr<SessionCore> core,
                                            std::optional<double> power, rt::Duration jog_wait) {
    GrblDialect dialect = core->dialect();
    if (power && *power > 0.0) {
        return queue_one(std::move(core), focus_power_command(dialect, *power));
    }
    return laser_off_after_jog(std::move(core), std::move(dialect.laser_off), jog_wait);
}

asio::awaitable<VoidResult> select_tool(std::shared_ptr<SessionCore> core,
                                        std::int64_t tool_number) {
    Result<std::string> command = tool_command(core->dialect(), tool_number);
    return queue_one(std::move(core), std::move(command));
}

asio::awaitable<VoidResult> write_setting(std::shared_ptr<SessionCore> core, std::string key,
                                          std::string value) {
    return queue_one(std::move(core), setting_command(key, value));
}

asio::awaitable<VoidResult> set_wcs_offset(std::shared_ptr<SessionCore> core, std::string wcs_slot,
                                           double x, double y, std::optional<double> z) {
    Result<std::string> command = wcs_offset_command(core->dialect(), wcs_slot, x, y, z);
    return queue_one(std::move(core), std::move(command));
}

asio::awaitable<Result<std::vector<SettingPair>>> read_settings(std::shared_ptr<SessionCore> core) {
    Result<Lines> answer = co_await execute_interactive_command(core, "$$");
    if (!answer.ok()) co_return answer.error();
    core->report_inches.store(is_report_in_inches(answer.value()));
    co_return parse_setting_pairs(answer.value());
}

asio::awaitable<Result<WcsOffsets>> read_wcs_offsets(std::shared_ptr<SessionCore> core) {
    Result<Lines> answer = co_await execute_interactive_command(core, "$#");
    if (!answer.ok()) co_return answer.error();
    const double scale = core->report_inches.load() ? MM_PER_INCH : 1.0;
    WcsOffsets offsets;
    for (const std::string& line : answer.value()) {
        if (std::optional<WcsOffset> offset = parse_wcs_line(line)) {
            offsets[offset->name] = {offset->x * scale, offset->y * scale, offset->z * scale};
        }
    }
    core->events->wcs_updated(offsets);
    co_return offsets;
}

asio::awaitable<Result<std::optional<std::string>>> read_parser_state(
    std::shared_ptr<SessionCore> core) {
    Result<Lines> answer = co_await execute_interactive_command(core, "$G");
    if (!answer.ok()) co_return answer.error();
    co_return parse_grbl_parser_state(answer.value());
}

asio::awaitable<std::optional<UnitSystem>> detect_unit_system(std::shared_ptr<SessionCore> core) {
    Result<Lines> answer = co_await execute_interactive_command(core, "$$");
    if (!answer.ok()) {
        log::warn(SESSION_TARGET, "Unit system detection failed: {}", answer.error().text());
        co_return std::nullopt;
    }
    core->report_inches.store(is_report_in_inches(answer.value()));
    std::optional<bool> inches = detect_unit_system_from_settings(answer.value());
    if (!inches) co_return std::nullopt;
    co_return *inches ? UnitSystem::IMPERIAL : UnitSystem::METRIC;
}

asio::awaitable<Result<std::optional<ProbePosition>>> run_probe_cycle(
    std::shared_ptr<SessionCore> core, std::string axis_letter, double max_travel,
    double feed_rate) {
    std::string axis = ascii_upper(axis_letter);
    Result<std::string> command = probe_command(core->dialect(), axis, max_travel, feed_rate);
    if (!command.ok()) return failed<std::optional<ProbePosition>>(command.error());
    return probe(std::move(core), std::move(axis), std::move(command.value()));
}

}  // namespace vantorix::grbl
