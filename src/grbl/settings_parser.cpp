#include "grbl/settings_parser.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace vantorix::grbl {
namespace {

// '$', the setting number, '=', then a run of digits, points and minus signs. Digits
// are any Unicode decimal digits; text after the run (a comment) is ignored.
const RE2& grbl_setting_re() {
    static const RE2* const GRBL_SETTING_RE = new RE2(R"(\$(\p{Nd}+)=([\p{Nd}.\-]+))");
    return *GRBL_SETTING_RE;
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<bool> report_in_inches_flag(const std::vector<std::string>& lines) {
    std::optional<double> value = find_setting(parse_grbl_settings(lines), "13");
    if (!value) return std::nullopt;
    // Truncation toward zero: every magnitude of at least one is a non-zero integer.
    return !std::isnan(*value) && std::fabs(*value) >= 1.0;
}

}  // namespace

std::vector<SettingPair> parse_setting_pairs(const std::vector<std::string>& lines) {
    std::vector<SettingPair> pairs;
    std::string key, value;
    for (const std::string& line : lines) {
        if (RE2::PartialMatch(line, grbl_setting_re(), &key, &value)) {
            pairs.emplace_back(key, value);
        }
    }
    return pairs;
}

std::optional<double> parse_setting_value(std::string_view raw) {
    std::string_view magnitude = raw;
    bool negative = !magnitude.empty() && magnitude.front() == '-';
    if (negative) magnitude.remove_prefix(1);
    std::size_t digits = 0, points = 0;
    bool leading_nonzero = false;
    for (char c : magnitude) {
        if (is_ascii_digit(c)) {
            ++digits;
            if (points == 0 && c != '0') leading_nonzero = true;
        } else if (c == '.') {
            ++points;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || points > 1) return std::nullopt;

    double value = 0.0;
    const char* end = raw.data() + raw.size();
    auto [ptr, ec] = std::from_chars(raw.data(), end, value, std::chars_format::fixed);
    if (ec == std::errc::result_out_of_range) {
        // A non-zero digit before the point means the magnitude overflowed; otherwise the
        // value is too close to zero to be represented.
        value = leading_nonzero ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) value = -value;
    } else if (ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

SettingValues parse_grbl_settings(const std::vector<std::string>& lines) {
    SettingValues values;
    for (SettingPair& pair : parse_setting_pairs(lines)) {
        // A named reference, not a structured binding: lambdas of clang 14 cannot capture one.
        std::string& key = pair.first;
        std::optional<double> value = parse_setting_value(pair.second);
        if (!value) continue;
        auto known = std::find_if(values.begin(), values.end(),
                                  [&](const auto& entry) { return entry.first == key; });
        if (known != values.end()) {
            known->second = *value;
        } else {
            values.emplace_back(std::move(key), *value);
        }
    }
    return values;
}

std::optional<double> find_setting(const SettingValues& values, std::string_view key) {
    for (const auto& [name, value] : values) {
        if (name == key) return value;
    }
    return std::nullopt;
}

bool is_report_in_inches(const std::vector<std::string>& lines) {
    return report_in_inches_flag(lines).value_or(false);
}

std::optional<bool> detect_unit_system_from_settings(const std::vector<std::string>& lines) {
    return report_in_inches_flag(lines);
}

}  // namespace vantorix::grbl
