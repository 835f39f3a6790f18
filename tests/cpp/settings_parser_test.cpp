#include "grbl/settings_parser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace vantorix::grbl;

namespace {

const std::vector<std::string> LISTING = {"$0=10", "ok", "$13=0 (report inches)", "$100=250.000",
                                          "$13=1"};

TEST(ParseSettingPairs, KeepsEveryMatchInOrderWithRawValues) {
    EXPECT_EQ(
        parse_setting_pairs(LISTING),
        (std::vector<SettingPair>{{"0", "10"}, {"13", "0"}, {"100", "250.000"}, {"13", "1"}}));
}

TEST(ParseSettingPairs, MatchesAnywhereAndTakesTheLongestRun) {
    struct Case {
        const char* line;
        std::vector<SettingPair> want;
    } cases[] = {
        {"ok $110=5000.000 extra", {{"110", "5000.000"}}},
        {"$22=1.2.3", {{"22", "1.2.3"}}},
        {"$1=--5x", {{"1", "--5"}}},
        {"$N0=G54", {}},
        {"$=5", {}},
        {"$5=", {}},
        {"$5 =1", {}},
        {"$$", {}},
        {"$5=abc", {}},
        // Only the first setting of a line counts.
        {"$1=2 $3=4", {{"1", "2"}}},
        // Digits are Unicode decimal digits, in the key and in the value.
        {"$\u0661\u0663=\u0661", {{"\u0661\u0663", "\u0661"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_setting_pairs({c.line}), c.want) << c.line;
}

TEST(ParseSettingValue, AcceptsDecimalNumbersOnly) {
    struct Case {
        const char* raw;
        std::optional<double> want;
    } cases[] = {
        {"10", 10.0},  {"250.000", 250.0}, {"-2.5", -2.5}, {"5.", 5.0},    {".5", 0.5},
        {"-.5", -0.5}, {"007", 7.0},       {"0.1", 0.1},   {"1.2.3", {}},  {"-", {}},
        {"--5", {}},   {".", {}},          {"-.", {}},     {"", {}},       {"5-", {}},
        {"+5", {}},    {"1e5", {}},        {" 5", {}},     {"\u0661", {}}, {"1-2", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_setting_value(c.raw), c.want) << c.raw;
}

TEST(ParseSettingValue, OutOfRangeMagnitudesSaturate) {
    const double inf = std::numeric_limits<double>::infinity();
    std::string huge(400, '9');
    std::string tiny = "0." + std::string(400, '0') + "1";
    EXPECT_EQ(parse_setting_value(huge), inf);
    EXPECT_EQ(parse_setting_value("-" + huge), -inf);
    EXPECT_EQ(parse_setting_value(huge + ".5"), inf);
    std::optional<double> zero = parse_setting_value(tiny);
    ASSERT_TRUE(zero);
    EXPECT_EQ(*zero, 0.0);
    EXPECT_FALSE(std::signbit(*zero));
    std::optional<double> negative_zero = parse_setting_value("-" + tiny);
    ASSERT_TRUE(negative_zero);
    EXPECT_TRUE(std::signbit(*negative_zero));
    EXPECT_EQ(parse_setting_value("-0"), 0.0);
}

TEST(ParseGrblSettings, LaterValueWinsAndFirstAppearanceKeepsItsPlace) {
    EXPECT_EQ(parse_grbl_settings(LISTING),
              (SettingValues{{"0", 10.0}, {"13", 1.0}, {"100", 250.0}}));
    EXPECT_EQ(parse_grbl_settings({"$N0=G54", "$22=1.2.3"}), SettingValues{});
    // An invalid later value does not replace a valid earlier one.
    EXPECT_EQ(parse_grbl_settings({"$1=25", "$1=1.2.3"}), (SettingValues{{"1", 25.0}}));
    EXPECT_EQ(find_setting(parse_grbl_settings(LISTING), "100"), 250.0);
    EXPECT_EQ(find_setting(parse_grbl_settings(LISTING), "1"), std::nullopt);
}

TEST(ReportInInches, TruncatesSettingThirteen) {
    struct Case {
        std::vector<std::string> lines;
        std::optional<bool> want;
    } cases[] = {
        {{}, std::nullopt},
        {{"$13=0"}, false},
        {{"$13=1"}, true},
        {{"$13=0.9"}, false},
        {{"$13=-0.9"}, false},
        {{"$13=-1"}, true},
        {{"$13=2.5"}, true},
        {{"$13=1", "$13=0"}, false},
        {{"$13=1.2.3"}, std::nullopt},
        {{"$130=1", "$3=1", "$013=1"}, std::nullopt},
        {{"$13=" + std::string(400, '9')}, true},
    };
    for (const Case& c : cases) {
        std::string label = c.lines.empty() ? "(none)" : c.lines.front();
        EXPECT_EQ(detect_unit_system_from_settings(c.lines), c.want) << label;
        EXPECT_EQ(is_report_in_inches(c.lines), c.want.value_or(false)) << label;
    }
}

}  // namespace
