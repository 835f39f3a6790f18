// Reading the controller's settings listing, the "$0=10", "$13=0", "$100=250.000" ...
// lines that GRBL prints in reply to "$$".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorix::grbl {

// (setting number as text without the '$', the value text exactly as listed).
using SettingPair = std::pair<std::string, std::string>;
// Each key once, in the order of its first appearance, holding its last valid value.
using SettingValues = std::vector<std::pair<std::string, double>>;

// Every line that contains "$<digits>=<digits, points, minus signs>" anywhere gives one
// pair, in input order; duplicates are kept. Other lines are skipped.
std::vector<SettingPair> parse_setting_pairs(const std::vector<std::string>& lines);

// A raw value as a 64-bit float: an optional '-' then ASCII digits with at most one
// point and at least one digit ("5", "-2.", ".5"). Too large a magnitude gives infinity,
// too small a zero. Anything else ("1.2.3", "-", "--5") gives nothing.
std::optional<double> parse_setting_value(std::string_view raw);

// The pairs whose value converts; a later value of a key replaces an earlier one.
SettingValues parse_grbl_settings(const std::vector<std::string>& lines);
std::optional<double> find_setting(const SettingValues& values, std::string_view key);

// Whether setting 13 (report in inches), truncated toward zero, is non-zero; false when
// the listing has no valid $13.
bool is_report_in_inches(const std::vector<std::string>& lines);
// The same flag, or nothing when the listing has no valid $13. True means inches.
std::optional<bool> detect_unit_system_from_settings(const std::vector<std::string>& lines);

}  // namespace vantorix::grbl
