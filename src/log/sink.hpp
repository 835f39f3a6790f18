// The logger installed behind the facade: filters each record and writes one line to
// standard error or to an append-mode log file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "log/facade.hpp"

namespace vantorix::log {

// Environment variable whose value, when set (even empty), replaces the filter argument.
inline constexpr const char* LOG_FILTER_ENV = "VANTORIX_LOG";

// Installs the sink on first use and replaces filter, maximum level and output together.
// Malformed filter parts are reported on stderr as "warning: {}, ignoring it". A log
// file that cannot be opened sends output to stderr instead.
void init_logging(const std::optional<std::string>& filter, const std::optional<std::string>& path);

// The sink itself, which init_logging installs behind the facade.
Logger& bridge_logger();

// "[2024-03-05T07:08:09.010Z WARN  vantorix::grbl::session] message\n" for a time given
// in milliseconds since the Unix epoch.
std::string format_log_line(long long unix_millis, Level level, std::string_view target,
                            std::string_view message);

}  // namespace vantorix::log
