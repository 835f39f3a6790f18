// Human-readable durations such as "15.2µs", "3ms" or "1.5s": the largest unit in which
// the value is at least 1, with the fraction written without trailing zeros.
#pragma once

#include <chrono>
#include <string>

namespace vantorix::rt {

std::string format_duration(std::chrono::nanoseconds duration);

}  // namespace vantorix::rt
