// The settings listing and the G-code text utilities on arbitrary lines, and settings
// written with exact numbers that must read back unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "grbl/dialect.hpp"
#include "grbl/gcode_text.hpp"
#include "grbl/settings_parser.hpp"

namespace {

namespace grbl = vantorix::grbl;

void check_settings(const std::vector<std::string>& lines) {
    std::vector<grbl::SettingPair> pairs = grbl::parse_setting_pairs(lines);
    FUZZ_CHECK(pairs.size() <= lines.size());
    grbl::SettingValues values = grbl::parse_grbl_settings(lines);
    // Every stored value is the last value of its key that converts.
    for (const auto& [key, value] : values) {
        std::optional<double> last;
        for (const auto& pair : pairs) {
            if (pair.first != key) continue;
            if (auto converted = grbl::parse_setting_value(pair.second)) last = converted;
        }
        FUZZ_CHECK(last && (*last == value || (std::isnan(*last) && std::isnan(value))));
    }
    std::optional<bool> unit = grbl::detect_unit_system_from_settings(lines);
    FUZZ_CHECK(grbl::is_report_in_inches(lines) == unit.value_or(false));
    FUZZ_CHECK(unit.has_value() == grbl::find_setting(values, "13").has_value());
}

void check_gcode_text(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::string stripped = grbl::strip_gcode_comments(line);
        FUZZ_CHECK(stripped.size() <= line.size());
        FUZZ_CHECK(stripped.find(';') == std::string::npos);
        FUZZ_CHECK(grbl::trim_whitespace(stripped) == stripped);
    }
    grbl::SplitCommands split = grbl::split_realtime_commands(lines);
    FUZZ_CHECK(split.gcode.size() + split.realtime.size() == lines.size());
    for (const std::string& r : split.realtime) {
        FUZZ_CHECK(r == "?" || r == "~" || r == "!");
    }
    for (const std::string& g : split.gcode) FUZZ_CHECK(!grbl::is_realtime_command(g));
}

void check_round_trip(FuzzedDataProvider& input) {
    double value = input.ConsumeFloatingPoint<double>();
    if (!vantorix::fuzz::is_finite(value)) return;
    std::string raw = grbl::shortest_decimal(value);
    FUZZ_CHECK(grbl::parse_setting_value(raw) == value);
    std::string key = std::to_string(input.ConsumeIntegral<std::uint16_t>());
    grbl::SettingValues values = grbl::parse_grbl_settings({"$" + key + "=" + raw + " (note)"});
    FUZZ_CHECK(values.size() == 1 && values[0].first == key && values[0].second == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        check_round_trip(input);
        return 0;
    }
    std::vector<std::string> lines =
        vantorix::fuzz::split_lines(input.ConsumeRemainingBytesAsString());
    check_settings(lines);
    check_gcode_text(lines);
    return 0;
}
