// Status reports ("<Idle|MPos:10.000,20.000,30.000|FS:0,0>") turned into device state.
#pragma once

#include <optional>
#include <string_view>

#include "grbl/types.hpp"

namespace vantorix::grbl {

// A new state: `base` with what the report carries applied to it. Never fails; text
// that is not a bracketed report gives `base` unchanged. With `report_in_inches` the
// reported positions are converted to millimetres. Missing work or machine positions
// are derived from the two the state has, and the three position sequences come back
// with one common length of at least three.
DeviceState parse_state(std::string_view state_str, const DeviceState& base, bool report_in_inches);

// Reads "<key>:x,y[,z[,a]]" into [x, y, z] or [x, y, z, a] (a missing z is 0.0). Nothing
// when the attribute does not start with the key and ':', when no position follows, or
// when a number does not convert.
std::optional<Position> parse_position_attribute(std::string_view attribute, std::string_view key);

}  // namespace vantorix::grbl
