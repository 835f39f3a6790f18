// The command texts of the machine operations, built from a dialect. Pure functions: a
// template that cannot be rendered gives SessionError::other with the renderer's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "grbl/dialect.hpp"
#include "grbl/session/error.hpp"

namespace vantorix::grbl {

// One relative jog move: (axis text, distance in mm).
using JogDelta = std::pair<std::string, double>;

// ASCII letters upper-cased; every other byte unchanged.
std::string ascii_upper(std::string_view text);

// The homing commands (`home_all` verbatim without `axes`, one `home_axis` per entry
// otherwise), followed by the toggle "G4 P0.01", the other of G54/G55, `active_wcs`.
Result<std::vector<std::string>> home_commands(const GrblDialect& dialect,
                                               const std::optional<std::vector<std::string>>& axes,
                                               const std::string& active_wcs);
Result<std::string> move_to_command(const GrblDialect& dialect, double speed, double x, double y);
// Nothing when there are no deltas (the template is then not rendered at all).
Result<std::optional<std::string>> jog_command(const GrblDialect& dialect, double speed,
                                               const std::vector<JogDelta>& deltas);
// `laser_on` for a power above zero, else `laser_off` verbatim (absent, zero, negative, NaN).
Result<std::string> laser_power_command(const GrblDialect& dialect, std::optional<double> power);
Result<std::string> focus_power_command(const GrblDialect& dialect, double power);
Result<std::string> tool_command(const GrblDialect& dialect, std::int64_t tool_number);
std::string setting_command(std::string_view key, std::string_view value);
// Fails with "Invalid WCS slot: <slot>" for a slot other than G54 ... G59.
Result<std::string> wcs_offset_command(const GrblDialect& dialect, std::string_view wcs_slot,
                                       double x, double y, std::optional<double> z);
// `axis_letter` is used as given (the operation upper-cases it first).
Result<std::string> probe_command(const GrblDialect& dialect, std::string_view axis_letter,
                                  double max_travel, double feed_rate);

}  // namespace vantorix::grbl
