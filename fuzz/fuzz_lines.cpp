// The reply-line readers: "[VER:]", "[OPT:]", "[MSG:]", device identification, offsets,
// probe results and the parser state, on arbitrary text and on lines built from exact
// numbers that must read back unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "grbl/dialect.hpp"
#include "grbl/line_parsers.hpp"
#include "grbl/line_parsers_coordinates.hpp"
#include "grbl/pattern_unicode.hpp"

namespace {

namespace grbl = vantorix::grbl;
using vantorix::fuzz::is_finite;
using vantorix::fuzz::is_valid_utf8;

void check_line(const std::string& line) {
    if (auto ver = grbl::parse_ver(line)) FUZZ_CHECK(line.starts_with("[VER:"));
    if (auto size = grbl::parse_opt_info(line)) FUZZ_CHECK(*size >= 0);
    if (auto flags = grbl::parse_opt_flags(line)) FUZZ_CHECK(!flags->empty());
    if (auto msg = grbl::parse_msg(line)) {
        FUZZ_CHECK(line.starts_with("[MSG:"));
        FUZZ_CHECK(grbl::trim_unicode_whitespace(msg->key) == msg->key);
        FUZZ_CHECK(grbl::trim_unicode_whitespace(msg->value) == msg->value);
    }
    if (auto p = grbl::gcode_to_p_number(line)) FUZZ_CHECK(*p >= 1 && *p <= 6);
    if (auto wcs = grbl::parse_wcs_line(line)) {
        FUZZ_CHECK(wcs->name.size() == 3 && wcs->name.starts_with("G5"));
        FUZZ_CHECK(wcs->name[2] >= '4' && wcs->name[2] <= '9');
    }
    grbl::parse_probe_line(line);
}

void check_lines(const std::vector<std::string>& lines, const std::string& raw) {
    grbl::extract_device_name(lines);
    if (auto state = grbl::parse_grbl_parser_state(lines)) {
        FUZZ_CHECK(state->size() == 3 && state->starts_with("G5"));
        FUZZ_CHECK((*state)[2] >= '4' && (*state)[2] <= '9');
    }
    if (auto name = grbl::extract_device_name_from_output(raw)) {
        FUZZ_CHECK(is_valid_utf8(*name));
    }
    grbl::is_grbl_output(raw);
}

// Offsets and probe results written with the shortest exact digits read back unchanged.
void check_round_trip(FuzzedDataProvider& input) {
    double v[3];
    for (double& x : v) {
        x = input.ConsumeFloatingPoint<double>();
        if (!is_finite(x)) return;
    }
    int slot = input.ConsumeIntegralInRange<int>(4, 9);
    std::string name = "G5" + std::to_string(slot);
    std::string xyz = grbl::shortest_decimal(v[0]) + "," + grbl::shortest_decimal(v[1]) + "," +
                      grbl::shortest_decimal(v[2]);
    auto wcs = grbl::parse_wcs_line("[" + name + ":" + xyz + "]");
    FUZZ_CHECK(wcs && *wcs == (grbl::WcsOffset{name, v[0], v[1], v[2]}));
    FUZZ_CHECK(grbl::gcode_to_p_number(name) == slot - 3);
    bool success = input.ConsumeBool();
    auto probe = grbl::parse_probe_line("[PRB:" + xyz + ":" + (success ? "1" : "0") + "]");
    FUZZ_CHECK(probe && *probe == (grbl::ProbeResult{{v[0], v[1], v[2]}, success}));
    std::int64_t size = input.ConsumeIntegralInRange<std::int64_t>(0, INT64_MAX);
    FUZZ_CHECK(grbl::parse_opt_info("[OPT:V," + std::to_string(slot) + "," + std::to_string(size) +
                                    "]") == size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            check_round_trip(input);
            break;
        case 1: {
            double version = input.ConsumeFloatingPoint<double>();
            grbl::version_supports_single_axis_homing(version,
                                                      input.ConsumeRemainingBytesAsString());
            break;
        }
        default: {
            std::string raw = input.ConsumeRemainingBytesAsString();
            std::vector<std::string> lines = vantorix::fuzz::split_lines(raw);
            for (const std::string& line : lines) check_line(line);
            check_lines(lines, raw);
            break;
        }
    }
    return 0;
}
