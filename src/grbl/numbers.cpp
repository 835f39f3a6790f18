#include "grbl/numbers.hpp"

#include <charconv>

namespace vantorix::grbl {
namespace {

template <typename Int>
std::optional<Int> parse_signed(std::string_view text) {
    // from_chars accepts a leading '-' but not '+'; a '+' followed by another sign
    // must still fail, so strip it only when a digit follows.
    if (text.size() >= 2 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    Int value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc{} || ptr != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::int32_t> parse_i32(std::string_view text) {
    return parse_signed<std::int32_t>(text);
}

std::optional<std::int64_t> parse_i64(std::string_view text) {
    return parse_signed<std::int64_t>(text);
}

}  // namespace vantorix::grbl
