#include "grbl/line_parsers_coordinates.hpp"

#include "grbl/numbers.hpp"
#include "grbl/pattern.hpp"

namespace vantorix::grbl {
namespace {

constexpr int FIRST_WCS_NUMBER = 54;
constexpr int LAST_WCS_NUMBER = 59;

}  // namespace

std::optional<WcsOffset> parse_wcs_line(std::string_view line) {
    // A run of digits, points and minus signs per axis; whether it is a number is
    // settled by the conversion.
    static const auto WCS_RE =
        compile_text_pattern(R"(\[(G5[4-9]):([\p{Nd}\.-]+),([\p{Nd}\.-]+)(?:,([\p{Nd}\.-]+))?\])");
    Captures<4> groups;
    if (!search(*WCS_RE, line, groups)) return std::nullopt;
    auto x = parse_matched_f64(*groups[1]);
    auto y = parse_matched_f64(*groups[2]);
    auto z = groups[3] ? parse_matched_f64(*groups[3]) : std::optional<double>(0.0);
    if (!x || !y || !z) return std::nullopt;
    return WcsOffset{std::string(*groups[0]), *x, *y, *z};
}

std::optional<int> gcode_to_p_number(std::string_view wcs_slot) {
    if (wcs_slot.size() < 2 || wcs_slot.front() != 'G') return std::nullopt;
    auto number = parse_i64(wcs_slot.substr(1));
    if (!number || *number < FIRST_WCS_NUMBER || *number > LAST_WCS_NUMBER) return std::nullopt;
    return static_cast<int>(*number - FIRST_WCS_NUMBER + 1);
}

std::optional<ProbeResult> parse_probe_line(std::string_view line) {
    static const auto PRB_RE =
        compile_text_pattern(R"(\[PRB:([\p{Nd}\.-]+),([\p{Nd}\.-]+),([\p{Nd}\.-]+):(\p{Nd})\])");
    Captures<4> groups;
    if (!search(*PRB_RE, line, groups)) return std::nullopt;
    ProbeResult result;
    for (std::size_t axis = 0; axis < result.pos.size(); ++axis) {
        auto value = parse_matched_f64(*groups[axis]);
        if (!value) return std::nullopt;
        result.pos[axis] = *value;
    }
    result.success = *groups[3] == "1";
    return result;
}

std::optional<std::string> parse_grbl_parser_state(std::span<const std::string> response_lines) {
    // The greedy lead makes the group the last G54..G59 of the line.
    static const auto GRBL_PARSER_STATE_RE = compile_text_pattern(R"(.*(G5[4-9]).*)");
    for (const std::string& line : response_lines) {
        Captures<1> groups;
        if (search(*GRBL_PARSER_STATE_RE, line, groups)) return std::string(*groups[0]);
    }
    return std::nullopt;
}

}  // namespace vantorix::grbl
