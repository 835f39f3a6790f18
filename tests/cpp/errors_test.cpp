#include "grbl/errors.hpp"

#include <gtest/gtest.h>

#include "grbl/numbers.hpp"

using namespace vantorix::grbl;

namespace {

struct LookupCase {
    const char* text;
    std::int32_t code;
    const char* title;
    const char* description;  // nullptr: not checked
};

constexpr const char* ERROR_NOT_A_NUMBER = "Invalid error code reported by machine.";
constexpr const char* ERROR_UNKNOWN_CODE =
    "The machine reported an unrecognized error code. Check your machine and firmware "
    "documentation.";
constexpr const char* ALARM_NOT_A_NUMBER = "Invalid alarm code reported by machine.";
constexpr const char* ALARM_UNKNOWN_CODE =
    "The machine reported an unrecognized alarm code. Check your machine and firmware "
    "documentation.";

class ErrorLookup : public testing::TestWithParam<LookupCase> {};
class AlarmLookup : public testing::TestWithParam<LookupCase> {};

void expect_record(const DeviceError& got, const LookupCase& want) {
    EXPECT_EQ(got.code, want.code);
    EXPECT_EQ(got.title, want.title);
    if (want.description) {
        EXPECT_EQ(got.description, want.description);
    }
}

TEST_P(ErrorLookup, GivesRowOrFallback) {
    expect_record(error_code_to_device_error(GetParam().text), GetParam());
}

TEST_P(AlarmLookup, GivesRowOrFallback) {
    expect_record(alarm_code_to_device_error(GetParam().text), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorLookup,
    testing::Values(
        LookupCase{"1", 1, "Missing Command Letter",
                   "G-code commands need a letter followed by a value. The command letter was "
                   "not found."},
        LookupCase{"9", 9, "Commands Locked", nullptr},
        LookupCase{"05", 5, "Homing Disabled", nullptr},
        LookupCase{"+5", 5, "Homing Disabled", nullptr},
        LookupCase{"11", 11, "Line Too Long",
                   "The command line has too many characters and was ignored. Check your file "
                   "formatting."},
        LookupCase{"14", 14, "Line Too Long",
                   "Build info or startup line exceeds storage limit. Shorten the line."},
        LookupCase{"38", 38, "Tool Number Too High",
                   "Tool number exceeds the maximum supported value. Use a valid tool number."},
        LookupCase{"39", 39, "Unknown Error", ERROR_UNKNOWN_CODE},
        LookupCase{"0", 0, "Unknown Error", ERROR_UNKNOWN_CODE},
        LookupCase{"-1", -1, "Unknown Error", ERROR_UNKNOWN_CODE},
        LookupCase{"2147483647", 2147483647, "Unknown Error", ERROR_UNKNOWN_CODE},
        LookupCase{"", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{" 9", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"9 ", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"x", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"+", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"+-5", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"2147483648", -1, "Unknown Error", ERROR_NOT_A_NUMBER},
        LookupCase{"99999999999", -1, "Unknown Error", ERROR_NOT_A_NUMBER}));

INSTANTIATE_TEST_SUITE_P(
    Table, AlarmLookup,
    testing::Values(LookupCase{"1", 1, "Hard Limit", nullptr},
                    LookupCase{
                        "4", 4, "Probe Fail \u2014 Initial",
                        "The probe did not make contact before the maximum travel distance was "
                        "reached. Check the probe wiring and positioning."},
                    LookupCase{"10", 10, "Homing Fail \u2014 Dual Axis", nullptr},
                    LookupCase{"11", 11, "Unknown Alarm", ALARM_UNKNOWN_CODE},
                    LookupCase{"-3", -3, "Unknown Alarm", ALARM_UNKNOWN_CODE},
                    LookupCase{"abc", -1, "Unknown Alarm", ALARM_NOT_A_NUMBER},
                    LookupCase{"", -1, "Unknown Alarm", ALARM_NOT_A_NUMBER}));

TEST(ErrorTables, EveryCodeHasItsOwnRow) {
    for (int code = 1; code <= 38; ++code) {
        EXPECT_NE(error_code_to_device_error(std::to_string(code)).title, "Unknown Error") << code;
    }
    for (int code = 1; code <= 10; ++code) {
        EXPECT_NE(alarm_code_to_device_error(std::to_string(code)).title, "Unknown Alarm") << code;
    }
}

TEST(ParseInteger, BoundsAndSigns) {
    EXPECT_EQ(parse_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_i32("-2147483649"), std::nullopt);
    EXPECT_EQ(parse_i32("-"), std::nullopt);
    EXPECT_EQ(parse_i32("--1"), std::nullopt);
    EXPECT_EQ(parse_i64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parse_i64("9223372036854775808"), std::nullopt);
    EXPECT_EQ(parse_i64("+0"), 0);
}

}  // namespace
