#include "grbl/status_parser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "grbl/errors.hpp"

using namespace vantorix::grbl;

namespace {

constexpr std::optional<double> NONE = std::nullopt;

DeviceState parse(std::string_view report, bool inches = false) {
    return parse_state(report, DeviceState{}, inches);
}

// A base that differs from the default in every field, to see what a report keeps.
DeviceState busy_base() {
    DeviceState base;
    base.status = DeviceStatus::RUN;
    base.error = alarm_code_to_device_error("2");
    base.machine_pos = {7.0, 8.0, 9.0};
    base.work_pos = {6.0, 7.0, 8.0};
    base.wco = {1.0, 1.0, 1.0};
    base.feed_rate = 1200;
    base.spindle_speed = 9000;
    base.buffer_available = 3;
    base.buffer_rx_available = 40;
    return base;
}

// ---- positions ----------------------------------------------------------------------

struct PositionCase {
    const char* report;
    bool inches;
    Position machine_pos;
    Position work_pos;
    Position wco;
};

void PrintTo(const PositionCase& c, std::ostream* os) {
    *os << c.report;
}

const Position UNSET{NONE, NONE, NONE};
const Position ZEROS{0.0, 0.0, 0.0};

class PositionDerivation : public testing::TestWithParam<PositionCase> {};

TEST_P(PositionDerivation, FromDefaultBase) {
    const PositionCase& c = GetParam();
    DeviceState state = parse(c.report, c.inches);
    EXPECT_EQ(state.machine_pos, c.machine_pos);
    EXPECT_EQ(state.work_pos, c.work_pos);
    EXPECT_EQ(state.wco, c.wco);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, PositionDerivation,
    testing::Values(
        // Before any offset is seen, both positions are equal.
        PositionCase{"<Idle|MPos:1.000,2.000,3.000|FS:500,8000>",
                     false,
                     {1.0, 2.0, 3.0},
                     {1.0, 2.0, 3.0},
                     {0.0, 0.0, 0.0}},
        PositionCase{
            "<Run|MPos:5,5,5|WCO:1,1,1>", false, {5.0, 5.0, 5.0}, {4.0, 4.0, 4.0}, {1.0, 1.0, 1.0}},
        // MPos and WPos without an offset: the offset is derived and kept.
        PositionCase{"<Run|MPos:5,5,5|WPos:4,4,4>",
                     false,
                     {5.0, 5.0, 5.0},
                     {4.0, 4.0, 4.0},
                     {1.0, 1.0, 1.0}},
        PositionCase{
            "<Run|WPos:4,4,4|WCO:1,1,1>", false, {5.0, 5.0, 5.0}, {4.0, 4.0, 4.0}, {1.0, 1.0, 1.0}},
        // MPos with WCO wins over a reported WPos.
        PositionCase{"<Run|MPos:5,5,5|WPos:9,9,9|WCO:2,2,2>",
                     false,
                     {5.0, 5.0, 5.0},
                     {3.0, 3.0, 3.0},
                     {2.0, 2.0, 2.0}},
        PositionCase{"<Idle|MPos:1,2>", false, {1.0, 2.0, 0.0}, {1.0, 2.0, 0.0}, {0.0, 0.0, 0.0}},
        PositionCase{"<Idle|MPos:1,2,3,4>",
                     false,
                     {1.0, 2.0, 3.0, 4.0},
                     {1.0, 2.0, 3.0, 4.0},
                     {0.0, 0.0, 0.0, 0.0}},
        PositionCase{"<Idle|MPos:1,2,3,4,5>",
                     false,
                     {1.0, 2.0, 3.0, 4.0},
                     {1.0, 2.0, 3.0, 4.0},
                     {0.0, 0.0, 0.0, 0.0}},
        PositionCase{
            "<Idle|MPos:-1.5,2.,-0>", false, {-1.5, 2.0, -0.0}, {-1.5, 2.0, -0.0}, {0.0, 0.0, 0.0}},
        PositionCase{
            "<Jog|MPos:1,1,1>", true, {25.4, 25.4, 25.4}, {25.4, 25.4, 25.4}, {0.0, 0.0, 0.0}},
        PositionCase{"<Jog|WPos:1,1,1|WCO:1,1,1>",
                     true,
                     {50.8, 50.8, 50.8},
                     {25.4, 25.4, 25.4},
                     {25.4, 25.4, 25.4}},
        // A later field of the same kind overwrites an earlier one.
        PositionCase{"<Idle|MPos:1,1,1|MPos:2,2,2>",
                     false,
                     {2.0, 2.0, 2.0},
                     {2.0, 2.0, 2.0},
                     {0.0, 0.0, 0.0}},
        // The pattern is searched anywhere after the prefix.
        PositionCase{
            "<Idle|MPos:junk:3,4,5>", false, {3.0, 4.0, 5.0}, {3.0, 4.0, 5.0}, {0.0, 0.0, 0.0}},
        // Malformed positions are skipped: no number, a second point, a digit outside
        // ASCII, a lower-case prefix, the comma-separated form of older firmware.
        PositionCase{"<Idle|MPos:abc>", false, UNSET, UNSET, ZEROS},
        PositionCase{"<Idle|MPos:1.5.5,2,3>", false, UNSET, UNSET, ZEROS},
        PositionCase{"<Idle|MPos:1,\xd9\xa3,3>", false, UNSET, UNSET, ZEROS},
        PositionCase{"<Idle|mpos:1,2,3>", false, UNSET, UNSET, ZEROS},
        PositionCase{"<Idle,MPos:0.000,0.000,0.000,WPos:0.000,0.000,0.000>", false, UNSET, UNSET,
                     ZEROS}));

TEST(PositionDerivation, InchesScaleOnlyWhatTheReportCarries) {
    DeviceState base;
    base.wco = {1.0, 1.0, 1.0};
    DeviceState state = parse_state("<Idle|MPos:2,2,2>", base, true);
    EXPECT_EQ(state.machine_pos, (Position{50.8, 50.8, 50.8}));
    EXPECT_EQ(state.wco, (Position{1.0, 1.0, 1.0}));
    EXPECT_EQ(state.work_pos, (Position{49.8, 49.8, 49.8}));
}

TEST(PositionDerivation, WposAloneUsesTheBaseOffset) {
    DeviceState state = parse_state("<Idle|WPos:1,1,1>", busy_base(), false);
    EXPECT_EQ(state.machine_pos, (Position{2.0, 2.0, 2.0}));
    EXPECT_EQ(state.work_pos, (Position{1.0, 1.0, 1.0}));
}

TEST(PositionDerivation, IncompleteOffsetLeavesWorkPositionAlone) {
    DeviceState base;
    base.wco = {1.0, NONE, 1.0};
    base.work_pos = {NONE, 4.0};
    DeviceState state = parse_state("<Idle|MPos:5,5,5>", base, false);
    EXPECT_EQ(state.machine_pos, (Position{5.0, 5.0, 5.0}));
    EXPECT_EQ(state.work_pos, (Position{NONE, 4.0, 0.0}));
    EXPECT_EQ(state.wco, (Position{1.0, NONE, 1.0}));
}

TEST(PositionDerivation, SequencesArePaddedToTheLongest) {
    DeviceState base;
    base.machine_pos = {};
    base.wco = {1.0, 2.0, 3.0, 4.0, 5.0};
    DeviceState state = parse_state("<Idle>", base, false);
    EXPECT_EQ(state.machine_pos, (Position{0.0, 0.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(state.work_pos, (Position{NONE, NONE, NONE, 0.0, 0.0}));
    EXPECT_EQ(state.wco.size(), 5u);
}

TEST(PositionDerivation, HugeNumberBecomesInfinityNotGarbage) {
    std::string digits(400, '9');
    DeviceState state =
        parse("<Idle|MPos:" + digits + ",-" + digits + ",0." + std::string(400, '0') + "1>");
    EXPECT_EQ(state.machine_pos[0], std::numeric_limits<double>::infinity());
    EXPECT_EQ(state.machine_pos[1], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(state.machine_pos[2], 0.0);
}

// ---- parse_position_attribute -------------------------------------------------------

TEST(PositionAttribute, ReadsTwoToFourNumbers) {
    EXPECT_EQ(parse_position_attribute("WCO:1,2", "WCO"), (Position{1.0, 2.0, 0.0}));
    EXPECT_EQ(parse_position_attribute("WCO:1,2,3", "WCO"), (Position{1.0, 2.0, 3.0}));
    EXPECT_EQ(parse_position_attribute("WCO:1,2,3,4", "WCO"), (Position{1.0, 2.0, 3.0, 4.0}));
}

TEST(PositionAttribute, RefusesWrongKeyOrShape) {
    EXPECT_EQ(parse_position_attribute("WCO:1,2,3", "MPos"), std::nullopt);
    EXPECT_EQ(parse_position_attribute("WCOX:1,2,3", "WCO"), std::nullopt);
    EXPECT_EQ(parse_position_attribute("WCO", "WCO"), std::nullopt);
    EXPECT_EQ(parse_position_attribute("WCO:1", "WCO"), std::nullopt);
    EXPECT_EQ(parse_position_attribute("WCO:1e3,2", "WCO"), std::nullopt);
    // U+0663 ARABIC-INDIC DIGIT THREE matches as a digit but does not convert.
    EXPECT_EQ(parse_position_attribute("WCO:1,2,\xd9\xa3", "WCO"), std::nullopt);
}

// ---- state word and alarm -----------------------------------------------------------

struct StatusCase {
    const char* report;
    DeviceStatus status;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.report;
}

class StatusWord : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusWord, FromTheFirstField) {
    EXPECT_EQ(parse_state(GetParam().report, busy_base(), false).status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Reports, StatusWord,
                         testing::Values(StatusCase{"<Idle|MPos:0,0,0>", DeviceStatus::IDLE},
                                         StatusCase{"<Hold:0|MPos:0,0,0>", DeviceStatus::HOLD},
                                         StatusCase{"<hold>", DeviceStatus::HOLD},
                                         StatusCase{"<Door:1>", DeviceStatus::DOOR},
                                         StatusCase{"<||Check>", DeviceStatus::CHECK},
                                         StatusCase{"<Bogus>", DeviceStatus::UNKNOWN},
                                         StatusCase{"<Idle,MPos:0,0,0>", DeviceStatus::UNKNOWN},
                                         // No field at all: the base's status stays.
                                         StatusCase{"<>", DeviceStatus::RUN},
                                         StatusCase{"<|>", DeviceStatus::RUN}));

TEST(AlarmState, CodeSetsTheError) {
    DeviceState state = parse("<Alarm:1|MPos:0,0,0>");
    EXPECT_EQ(state.status, DeviceStatus::ALARM);
    EXPECT_EQ(state.error, alarm_code_to_device_error("1"));
    EXPECT_EQ(state.error->code, 1);
}

TEST(AlarmState, EmptyOrBadCodeGivesTheFallbackEntry) {
    EXPECT_EQ(parse("<Alarm:>").error->code, -1);
    EXPECT_EQ(parse("<Alarm:>").error, alarm_code_to_device_error(""));
    EXPECT_EQ(parse("<Alarm:x>").error, alarm_code_to_device_error("x"));
}

TEST(AlarmState, ErrorIsNeverCleared) {
    DeviceState base = busy_base();
    EXPECT_EQ(parse_state("<Alarm|MPos:0,0,0>", base, false).error, base.error);
    EXPECT_EQ(parse_state("<Idle>", base, false).error, base.error);
    // A code after another state word is no alarm.
    EXPECT_EQ(parse_state("<Hold:3>", base, false).error, base.error);
}

// ---- feed and buffer ----------------------------------------------------------------

TEST(FeedAndBuffer, ReadFromTheirFields) {
    DeviceState state = parse_state("<Idle|Bf:15,128|FS:500,8000>", busy_base(), false);
    EXPECT_EQ(state.buffer_available, 15);
    EXPECT_EQ(state.buffer_rx_available, 128);
    EXPECT_EQ(state.feed_rate, 500);
    EXPECT_EQ(state.spindle_speed, 9000);  // never taken from the report
}

TEST(FeedAndBuffer, MalformedFieldsKeepTheBase) {
    const DeviceState base = busy_base();
    for (const char* report : {
             "<Idle|Bf:15>",
             "<Idle|FS:500.5,0>",
             "<Idle|FS:>",
             "<Idle|F:500>",
             "<Idle|fs:500,0>",
             // One past the signed 64-bit range.
             "<Idle|FS:9223372036854775808,0|Bf:9223372036854775808,1>",
             "<Idle|Bf:1,9223372036854775808>",
             // U+0663 matches a digit but does not convert.
             "<Idle|FS:\xd9\xa3,0|Bf:\xd9\xa3,1>",
         }) {
        DeviceState state = parse_state(report, base, false);
        EXPECT_EQ(state.feed_rate, base.feed_rate) << report;
        EXPECT_EQ(state.buffer_available, base.buffer_available) << report;
        EXPECT_EQ(state.buffer_rx_available, base.buffer_rx_available) << report;
    }
}

TEST(FeedAndBuffer, PatternIsSearchedPastTheFieldStart) {
    DeviceState state = parse("<Idle|FS:x,FS:7,8|Bf:,Bf:4,5>");
    EXPECT_EQ(state.feed_rate, 7);
    EXPECT_EQ(state.buffer_available, 4);
    EXPECT_EQ(state.buffer_rx_available, 5);
}

TEST(FeedAndBuffer, OnlyTheConvertedNumberMatters) {
    // The spindle number matches as a digit of another script, but only the feed is read.
    EXPECT_EQ(parse("<Idle|FS:500,\xd9\xa3>").feed_rate, 500);
    EXPECT_EQ(parse("<Idle|FS:9223372036854775807,0>").feed_rate, INT64_MAX);
}

// ---- not a report -------------------------------------------------------------------

TEST(NotAReport, ReturnsTheBaseUnchanged) {
    DeviceState base = busy_base();
    base.machine_pos = {};  // would be padded by any report
    for (const char* text : {"", "<", ">", "Idle|MPos:1,2,3", "<Idle", "<Idle|MPos:1,2,3> ",
                             "<Idle|MPos:1,2,3>\r\n", "Idle>"}) {
        EXPECT_EQ(parse_state(text, base, true), base) << text;
    }
}

TEST(NotAReport, UnknownFieldsAreIgnored) {
    DeviceState state = parse("<Idle|Ov:100,100,100|Pn:XYZ|A:SF|Ln:12|MPos:1,2,3>");
    EXPECT_EQ(state.status, DeviceStatus::IDLE);
    EXPECT_EQ(state.machine_pos, (Position{1.0, 2.0, 3.0}));
}

TEST(NotAReport, BaseIsNotModified) {
    const DeviceState base = busy_base();
    DeviceState copy = base;
    parse_state("<Alarm:3|MPos:1,2,3,4|Bf:1,2>", copy, true);
    EXPECT_EQ(copy, base);
}

}  // namespace
