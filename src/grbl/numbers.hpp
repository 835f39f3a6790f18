// Strict text-to-integer conversion shared by the parsers: an optional sign and ASCII
// digits, nothing else. No whitespace is skipped; a value out of range fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantorix::grbl {

std::optional<std::int32_t> parse_i32(std::string_view text);
std::optional<std::int64_t> parse_i64(std::string_view text);

}  // namespace vantorix::grbl
