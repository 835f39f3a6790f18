// GRBL error and alarm codes turned into operator-readable records.
#pragma once

#include <string_view>

#include "grbl/types.hpp"

namespace vantorix::grbl {

// `error_code` is the text after "error:" (no prefix). Never fails: a text that is not
// a 32-bit integer, or a code without a table row, gives a fallback record.
DeviceError error_code_to_device_error(std::string_view error_code);
// `alarm_code` is the text after "ALARM:" or after the first ':' of an Alarm state.
DeviceError alarm_code_to_device_error(std::string_view alarm_code);

}  // namespace vantorix::grbl
