// Machine operations: homing, moves, jogging, laser power, tools, settings, work
// coordinate offsets, parser state, unit detection and probing. Each is a short script of
// queued or interactive commands whose texts come from a copy of the session's dialect
// taken when the operation is called.
//
// The operations whose first step is a queued command put that command on the queue at
// the call, like `execute_command`, so that operations issued one after the other reach
// the device in call order.
#pragma once

#include <array>
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "grbl/session/core.hpp"
#include "grbl/session/events.hpp"
#include "grbl/session/machine_ops_commands.hpp"
#include "grbl/settings_parser.hpp"

namespace vantorix::grbl {

// A probe trigger position (x, y, z) in mm.
using ProbePosition = std::array<double, 3>;

enum class UnitSystem : std::uint8_t { METRIC, IMPERIAL };

// How long `set_focus_power` waits for a running jog to end before switching off anyway.
inline constexpr rt::Duration JOG_END_WAIT = std::chrono::seconds(5);

// Homes (all axes without `axes`, else each named axis in order), then re-activates
// `active_wcs` and reports the device state with its error cleared.
asio::awaitable<VoidResult> home(std::shared_ptr<SessionCore> core,
                                 std::optional<std::vector<std::string>> axes,
                                 std::string active_wcs);
asio::awaitable<VoidResult> move_to(std::shared_ptr<SessionCore> core, double speed, double x,
                                    double y);
// Sends nothing for no deltas.
asio::awaitable<VoidResult> jog(std::shared_ptr<SessionCore> core, double speed,
                                std::vector<JogDelta> deltas);
asio::awaitable<VoidResult> set_power(std::shared_ptr<SessionCore> core,
                                      std::optional<double> power);
// Without a positive power, waits up to `jog_wait` for a reported jog to end, then sends
// the laser-off command.
asio::awaitable<VoidResult> set_focus_power(std::shared_ptr<SessionCore> core,
                                            std::optional<double> power,
                                            rt::Duration jog_wait = JOG_END_WAIT);
asio::awaitable<VoidResult> select_tool(std::shared_ptr<SessionCore> core,
                                        std::int64_t tool_number);
asio::awaitable<VoidResult> write_setting(std::shared_ptr<SessionCore> core, std::string key,
                                          std::string value);
asio::awaitable<VoidResult> set_wcs_offset(std::shared_ptr<SessionCore> core, std::string wcs_slot,
                                           double x, double y, std::optional<double> z);

// "$$" as (key, raw value) pairs; stores whether the device reports in inches.
asio::awaitable<Result<std::vector<SettingPair>>> read_settings(std::shared_ptr<SessionCore> core);
// "$#" offsets in mm, also reported through `wcs_updated`.
asio::awaitable<Result<WcsOffsets>> read_wcs_offsets(std::shared_ptr<SessionCore> core);
// The active work coordinate system named by "$G".
asio::awaitable<Result<std::optional<std::string>>> read_parser_state(
    std::shared_ptr<SessionCore> core);
// From setting 13; nothing when the listing has none or "$$" fails (logged, never an error).
asio::awaitable<std::optional<UnitSystem>> detect_unit_system(std::shared_ptr<SessionCore> core);
// The trigger position in mm, or nothing when the probe did not trigger or its command
// failed. Fails only when the probe template cannot be rendered.
asio::awaitable<Result<std::optional<ProbePosition>>> run_probe_cycle(
    std::shared_ptr<SessionCore> core, std::string axis_letter, double max_travel,
    double feed_rate);

}  // namespace vantorix::grbl
