#include "grbl/line_parsers.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "grbl/line_parsers_coordinates.hpp"
#include "grbl/pattern_unicode.hpp"

using namespace vantorix::grbl;

namespace {

using Lines = std::vector<std::string>;

// ---- [VER:...] ----------------------------------------------------------------------

struct VerCase {
    const char* line;
    std::optional<VersionInfo> expected;
};

void PrintTo(const VerCase& c, std::ostream* os) {
    *os << c.line;
}

class ParseVer : public testing::TestWithParam<VerCase> {};

TEST_P(ParseVer, SplitsVersionAndBuild) {
    EXPECT_EQ(parse_ver(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseVer,
    testing::Values(VerCase{"[VER:1.1h.20190825:]", VersionInfo{"1.1h", "20190825"}},
                    VerCase{"[VER:1.1f.20170801:My Laser]",
                            VersionInfo{"1.1f", "20170801:My Laser"}},
                    VerCase{"[VER:1.1h]", VersionInfo{"1.1h", std::nullopt}},
                    VerCase{"[VER:abc]", VersionInfo{"abc", std::nullopt}},
                    VerCase{"[VER:1.1h.2019.extra]", VersionInfo{"1.1h", "2019"}},
                    VerCase{"[VER:1.1h.]", VersionInfo{"1.1h", ""}},
                    VerCase{"[VER:1.1h.x:]:]]", VersionInfo{"1.1h", "x"}},
                    // A comma ends the version; the text before it may be empty.
                    VerCase{"[VER:2.0,grblHAL]", VersionInfo{"2.0", std::nullopt}},
                    VerCase{"[VER:,x]", VersionInfo{"", std::nullopt}},
                    VerCase{"[VER:]", std::nullopt}, VerCase{"[VER:::]", std::nullopt},
                    VerCase{"[VER:", std::nullopt}, VerCase{"[ver:1.1h]", std::nullopt},
                    VerCase{" [VER:1.1h]", std::nullopt}, VerCase{"", std::nullopt}));

// ---- [OPT:...] ----------------------------------------------------------------------

TEST(ParseOpt, ReadsFlagsAndRxBufferSize) {
    EXPECT_EQ(parse_opt_info("[OPT:V,15,128]"), 128);
    EXPECT_EQ(parse_opt_flags("[OPT:V,15,128]"), "V");
    EXPECT_EQ(parse_opt_flags("ok [OPT:VZL,15,1024] trailing"), "VZL");
    EXPECT_EQ(parse_opt_info("ok [OPT:VZL,15,1024] trailing"), 1024);
}

TEST(ParseOpt, RefusesOtherShapes) {
    for (const char* line : {"[OPT:VL,15,128,3]", "[OPT:VL,15]", "[OPT:v,15,128]", "[OPT:,15,128]",
                             "[OPT:V*,15,128]", "[OPT:V,15,-1]", "OPT:V,15,128"}) {
        EXPECT_EQ(parse_opt_info(line), std::nullopt) << line;
        EXPECT_EQ(parse_opt_flags(line), std::nullopt) << line;
    }
}

TEST(ParseOpt, DigitsOfOtherScriptsMatchButDoNotConvert) {
    // U+0663 ARABIC-INDIC DIGIT THREE.
    EXPECT_EQ(parse_opt_flags("[OPT:V,15,12\xd9\xa3]"), "V");
    EXPECT_EQ(parse_opt_info("[OPT:V,15,12\xd9\xa3]"), std::nullopt);
    EXPECT_EQ(parse_opt_info("[OPT:V,15,99999999999999999999]"), std::nullopt);
}

// ---- [MSG:...] ----------------------------------------------------------------------

TEST(ParseMsg, SplitsAtTheFirstColonAndTrims) {
    EXPECT_EQ(parse_msg("[MSG: Machine : Laser 5000 ]"), (MessageInfo{"Machine", "Laser 5000"}));
    EXPECT_EQ(parse_msg("[MSG:a:b:c]"), (MessageInfo{"a", "b:c"}));
    EXPECT_EQ(parse_msg("[MSG:a:]]]"), (MessageInfo{"a", ""}));
    // Trimming is Unicode-aware: NO-BREAK SPACE and IDEOGRAPHIC SPACE go too.
    EXPECT_EQ(parse_msg("[MSG:\xc2\xa0key\xe3\x80\x80:\tvalue\xc2\xa0]"),
              (MessageInfo{"key", "value"}));
}

TEST(ParseMsg, RefusesMessagesWithoutKey) {
    for (const char* line : {"[MSG:]", "[MSG:Reset to continue]", "[MSG", "MSG:a:b", "[msg:a:b]"}) {
        EXPECT_EQ(parse_msg(line), std::nullopt) << line;
    }
}

// ---- device names -------------------------------------------------------------------

TEST(ExtractDeviceName, MessagesBeforeVersions) {
    EXPECT_EQ(extract_device_name(Lines{"[MSG:MECHINE:Cutter]"}), "Cutter");
    EXPECT_EQ(extract_device_name(Lines{"[VER:1.1h.20190825:]", "[MSG:Machine:X]"}), "X");
    EXPECT_EQ(extract_device_name(Lines{"[MSG:Mode:Laser]", "[VER:1.1h.20190825:]"}), "20190825");
    EXPECT_EQ(extract_device_name(Lines{"[VER:1.1h]"}), UNKNOWN_DEVICE_NAME);
    EXPECT_EQ(extract_device_name(Lines{}), UNKNOWN_DEVICE_NAME);
}

struct OutputCase {
    std::string data;
    std::optional<std::string> name;
};

void PrintTo(const OutputCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.data);
}

class DeviceNameFromOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(DeviceNameFromOutput, NameOrBannerLine) {
    EXPECT_EQ(extract_device_name_from_output(GetParam().data), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DeviceNameFromOutput,
    testing::Values(
        OutputCase{"\r\nGrbl 1.1h ['$' for help]\r\n", "Grbl 1.1h ['$' for help]"},
        OutputCase{"ok\r\nerror:9\r\n<Idle|MPos:0,0,0>\r\n", std::nullopt},
        OutputCase{"", std::nullopt},
        OutputCase{"[VER:1.1h.20190825:]\r\n[OPT:V,15,128]\r\nok\r\n", "20190825"},
        OutputCase{"[MSG:Machine:Shop Laser]\r\n", "Shop Laser"},
        // A '\r' that does not end a line stays in the line (and hides the final bracket).
        OutputCase{"[MSG:Machine:Shop Laser]\r", "Shop Laser]"},
        // Line noise before a reply does not make the reply a banner.
        OutputCase{std::string("\xff\xfe\0\0ok\nbanner\n", 13), "banner"},
        OutputCase{std::string("\0error:2\nbanner\n", 16), "banner"},
        // A line of nothing but noise is no banner.
        OutputCase{"\xff\r\nGrbl 1.1h ['$' for help]\r\n", "Grbl 1.1h ['$' for help]"},
        OutputCase{std::string("\xff\xfe\0\r\n\0\n", 7), std::nullopt},
        // An invalid byte becomes U+FFFD inside a banner line.
        OutputCase{"Grbl\xff 1.1\n", "Grbl\xef\xbf\xbd 1.1"},
        OutputCase{std::string(100, 'x'), std::string(80, 'x')},
        // The cut counts characters, not bytes: 81 two-byte characters give 80.
        OutputCase{[] {
                       std::string s;
                       for (int i = 0; i < 81; ++i) s += "\xc3\xa9";
                       return s;
                   }(),
                   [] {
                       std::string s;
                       for (int i = 0; i < 80; ++i) s += "\xc3\xa9";
                       return s;
                   }()}));

// ---- discovery ----------------------------------------------------------------------

struct DiscoveryCase {
    std::string data;
    bool grbl;
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.data);
}

class IsGrblOutput : public testing::TestWithParam<DiscoveryCase> {};

TEST_P(IsGrblOutput, RecognisesBannerReportsAndInfoLines) {
    EXPECT_EQ(is_grbl_output(GetParam().data), GetParam().grbl);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, IsGrblOutput,
    testing::Values(
        DiscoveryCase{"GRBLHAL 1.1f", true}, DiscoveryCase{"<idle|", true},
        DiscoveryCase{"[gc:G0", true}, DiscoveryCase{"\r\nGrbl 1.1h ['$' for help]", true},
        DiscoveryCase{"noise\xff\xfe<Run,", true}, DiscoveryCase{"<HOME>", true},
        DiscoveryCase{"[Msg:", true}, DiscoveryCase{"(grbl)", true},
        DiscoveryCase{"\xffgrbl\xff", true},  // invalid bytes are no word characters
        DiscoveryCase{"grblx", false}, DiscoveryCase{"<Jog|", false}, DiscoveryCase{"xgrbl", false},
        DiscoveryCase{"grbl_", false}, DiscoveryCase{"grbl2", false},
        DiscoveryCase{"grblhalx", false}, DiscoveryCase{"<Idle:", false},
        DiscoveryCase{"[VER", false}, DiscoveryCase{"", false},
        // Word boundaries are Unicode ones: a letter of any script joins the word.
        DiscoveryCase{"\xc3\xa9grbl", false}, DiscoveryCase{"grbl\xc3\xa9", false},
        DiscoveryCase{"grbl\xd9\xa3", false}, DiscoveryCase{"\xc2\xa0grbl\xc2\xa0", true},
        // Only ASCII letters fold: U+017F LATIN SMALL LETTER LONG S is no 's'.
        DiscoveryCase{"[M\xc5\xbfG:", false}));

// ---- single-axis homing -------------------------------------------------------------

TEST(SingleAxisHoming, FromVersion11g) {
    EXPECT_FALSE(version_supports_single_axis_homing(1.1, ""));
    EXPECT_FALSE(version_supports_single_axis_homing(1.1, "f"));
    EXPECT_FALSE(version_supports_single_axis_homing(1.1, "a"));
    EXPECT_TRUE(version_supports_single_axis_homing(1.1, "g"));
    EXPECT_TRUE(version_supports_single_axis_homing(1.1, "G"));
    EXPECT_TRUE(version_supports_single_axis_homing(1.1, "gx"));
    EXPECT_TRUE(version_supports_single_axis_homing(1.1, "z"));
    EXPECT_TRUE(version_supports_single_axis_homing(1.2, ""));
    EXPECT_FALSE(version_supports_single_axis_homing(1.0, "z"));
    // Byte order: a non-ASCII letter sorts after "g".
    EXPECT_TRUE(version_supports_single_axis_homing(1.1, "\xc3\xa9"));
    // 1.1 computed another way is still 1.1.
    EXPECT_TRUE(version_supports_single_axis_homing(0.1 + 1.0, "h"));
}

// ---- [G5x:...] and P-numbers --------------------------------------------------------

TEST(ParseWcsLine, ReadsOffsets) {
    EXPECT_EQ(parse_wcs_line("[G54:0.000,0.000,0.000]"), (WcsOffset{"G54", 0.0, 0.0, 0.0}));
    EXPECT_EQ(parse_wcs_line("[G55:1,2]"), (WcsOffset{"G55", 1.0, 2.0, 0.0}));
    EXPECT_EQ(parse_wcs_line("[G59:-1.5,2.,.5]"), (WcsOffset{"G59", -1.5, 2.0, 0.5}));
}

TEST(ParseWcsLine, RefusesOtherLinesAndBadNumbers) {
    for (const char* line : {"[G54:1.2.3,0,0]", "[G54:-,0,0]", "[G54:1--2,0,0]", "[G54:1]",
                             "[G54:1,2,3,4]", "[G28:0.000,0.000,0.000]", "[G30:0,0,0]",
                             "[G92:0,0,0]", "[TLO:0.000]", "[G53:0,0,0]", "[G54:1,\xd9\xa3]"}) {
        EXPECT_EQ(parse_wcs_line(line), std::nullopt) << line;
    }
}

TEST(GcodeToPNumber, MapsG54ToG59) {
    EXPECT_EQ(gcode_to_p_number("G54"), 1);
    EXPECT_EQ(gcode_to_p_number("G59"), 6);
    EXPECT_EQ(gcode_to_p_number("G054"), 1);
    EXPECT_EQ(gcode_to_p_number("G+54"), 1);
    for (const char* slot : {"g54", "G53", "G60", "G59.1", "G54 ", " G54", "G", "", "G-54", "G+-54",
                             "G99999999999999999999"}) {
        EXPECT_EQ(gcode_to_p_number(slot), std::nullopt) << slot;
    }
}

// ---- [PRB:...] ----------------------------------------------------------------------

TEST(ParseProbeLine, ReadsPositionAndSuccess) {
    EXPECT_EQ(parse_probe_line("[PRB:1.000,2.000,-3.500:1]"),
              (ProbeResult{{1.0, 2.0, -3.5}, true}));
    EXPECT_EQ(parse_probe_line("[PRB:0,0,0:0]"), (ProbeResult{{0.0, 0.0, 0.0}, false}));
    // Any digit but '1' is a failed probe, a digit of another script included.
    EXPECT_EQ(parse_probe_line("[PRB:0,0,0:\xd9\xa1]"), (ProbeResult{{0.0, 0.0, 0.0}, false}));
    for (const char* line :
         {"[PRB:1,2:1]", "[PRB:1,2,3]", "[PRB:1,2,3:10]", "[PRB:1.2.3,0,0:1]", "[PRB:a,0,0:1]"}) {
        EXPECT_EQ(parse_probe_line(line), std::nullopt) << line;
    }
}

// ---- [GC:...] -----------------------------------------------------------------------

TEST(ParseParserState, FirstLineThatNamesAWcs) {
    EXPECT_EQ(parse_grbl_parser_state(Lines{"[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]"}), "G54");
    EXPECT_EQ(parse_grbl_parser_state(Lines{"ok", "[GC:G0 G55]", "[GC:G0 G56]"}), "G55");
    // The last word of the line counts.
    EXPECT_EQ(parse_grbl_parser_state(Lines{"[GC:G54 G59]"}), "G59");
    EXPECT_EQ(parse_grbl_parser_state(Lines{"[GC:G0 G53 G17]", "ok"}), std::nullopt);
    EXPECT_EQ(parse_grbl_parser_state(Lines{}), std::nullopt);
}

// ---- Unicode helpers ----------------------------------------------------------------

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    EXPECT_EQ(decode_utf8_lossy("a\xc3\xa9z"), "a\xc3\xa9z");
    // A truncated three-byte sequence is one replacement; a stray continuation byte
    // and a byte that never starts a sequence are one each.
    EXPECT_EQ(decode_utf8_lossy("\xe2\x82x\x80\xff"), "\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd");
    // Surrogates and overlong forms are invalid from their first byte on.
    EXPECT_EQ(decode_utf8_lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(decode_utf8_lossy("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(decode_utf8_lossy("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(decode_utf8_lossy("\xf0\x9f\x98"), "\xef\xbf\xbd");
}

TEST(UnicodeClasses, WhitespaceAndWordCharacters) {
    EXPECT_EQ(trim_unicode_whitespace(" \t\xe2\x80\x83x y\r\n\xc2\x85"), "x y");
    EXPECT_EQ(trim_unicode_whitespace("\xe2\x80\x8bx"), "\xe2\x80\x8bx");  // ZWSP is no space
    EXPECT_EQ(trim_unicode_whitespace(" \xff "), "\xff");
    EXPECT_TRUE(is_unicode_word_char(U'\u00e9'));
    EXPECT_TRUE(is_unicode_word_char(U'\u0663'));
    EXPECT_TRUE(is_unicode_word_char(U'\u203f'));  // connector punctuation
    EXPECT_TRUE(is_unicode_word_char(U'\u24b6'));  // circled letter A
    EXPECT_FALSE(is_unicode_word_char(U'\u00a0'));
    EXPECT_FALSE(is_unicode_word_char(U'-'));
}

}  // namespace
