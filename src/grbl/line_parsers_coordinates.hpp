// Readers for the coordinate replies of a GRBL controller: work-coordinate offsets
// ("[G54:...]" from "$#"), probe results ("[PRB:...]") and the active coordinate
// system in the parser state ("[GC:...]" from "$G").
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantorix::grbl {

struct WcsOffset {
    std::string name;  // "G54" ... "G59"
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;  // 0.0 when the line has two axes

    bool operator==(const WcsOffset&) const = default;
};

struct ProbeResult {
    std::array<double, 3> pos{};
    bool success = false;

    bool operator==(const ProbeResult&) const = default;
};

// "[G54:1.000,2.000,3.000]"; other offset lines ("[G28:...]", "[G92:...]") give nothing.
std::optional<WcsOffset> parse_wcs_line(std::string_view line);
// "G54" -> 1 ... "G59" -> 6: the P-number of the coordinate system in a G10 command.
std::optional<int> gcode_to_p_number(std::string_view wcs_slot);
// "[PRB:1.000,2.000,-3.500:1]" -> {{1, 2, -3.5}, true}.
std::optional<ProbeResult> parse_probe_line(std::string_view line);
// The active coordinate system named in the first line that names one; in that line the
// last such word counts.
std::optional<std::string> parse_grbl_parser_state(std::span<const std::string> response_lines);

}  // namespace vantorix::grbl
