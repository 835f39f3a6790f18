#include "grbl/dialect.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

namespace vantorix::grbl {
// Readable failure output for gtest.
void PrintTo(const Rendered& rendered, std::ostream* out) {
    if (rendered.ok()) {
        *out << "text \"" << rendered.text << "\"";
    } else {
        *out << "error \"" << *rendered.error << "\"";
    }
}
}  // namespace vantorix::grbl

using namespace vantorix::grbl;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

Rendered ok(std::string text) {
    return Rendered::success(std::move(text));
}
Rendered failed(std::string error) {
    return Rendered::failure(std::move(error));
}

TEST(ArgWriting, EachKindWithoutFormat) {
    struct Case {
        Arg arg;
        const char* want;
    } cases[] = {
        {Arg::Coord{10.0}, "10.0"},
        {Arg::Coord{-3.0}, "-3.0"},
        {Arg::Coord{0.0}, "0.0"},
        {Arg::Coord{-0.0}, "-0.0"},
        {Arg::Coord{10.25}, "10.25"},
        {Arg::Coord{0.0000001}, "0.0000001"},
        {Arg::Coord{9999999999999998.0}, "9999999999999998.0"},
        {Arg::Coord{1e16}, "10000000000000000"},
        {Arg::Coord{-1e16}, "-10000000000000000"},
        {Arg::Coord{NaN}, "NaN"},
        {Arg::Coord{INF}, "inf"},
        {Arg::Coord{-INF}, "-inf"},
        {Arg::Number{1000.0}, "1000"},
        {Arg::Number{-0.0}, "0"},
        {Arg::Number{-7.0}, "-7"},
        {Arg::Number{1000.5}, "1000.5"},
        {Arg::Number{1e16}, "10000000000000000"},
        {Arg::Number{NaN}, "NaN"},
        {Arg::Int{1}, "1"},
        {Arg::Int{-7}, "-7"},
        {Arg::Int{std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
        {Arg::Text{"X"}, "X"},
        {Arg::Text{""}, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(format_arg(c.arg), c.want) << c.want;
}

TEST(ShortestDecimal, PositionalShortestRoundTripDigits) {
    struct Case {
        double value;
        const char* want;
    } cases[] = {
        {0.0, "0"},
        {-0.0, "-0"},
        {1.0, "1"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1e-7, "0.0000001"},
        {123.456, "123.456"},
        {1e21, "1000000000000000000000"},
        // The shortest digits padded with zeros, not the binary value's exact digits.
        {1e23, "100000000000000000000000"},
        {123456789012345678.0, "123456789012345680"},
        {NaN, "NaN"},
        {-NaN, "NaN"},
        {INF, "inf"},
        {-INF, "-inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(shortest_decimal(c.value), c.want) << c.want;
    std::string max = shortest_decimal(std::numeric_limits<double>::max());
    EXPECT_EQ(max, "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(shortest_decimal(5e-324), "0." + std::string(323, '0') + "5");
    std::string one_e300 = shortest_decimal(1e300);
    EXPECT_EQ(one_e300, "1" + std::string(300, '0'));
}

TEST(FixedDecimals, RoundsTheExactBinaryValueHalfToEven) {
    struct Case {
        double value;
        int decimals;
        const char* want;
    } cases[] = {
        {999.5, 0, "1000"},
        {0.5, 0, "0"},
        {1.5, 0, "2"},
        {2.5, 0, "2"},
        {-2.5, 0, "-2"},
        {255.4, 0, "255"},
        {255.6, 0, "256"},
        // Exact binary ties.
        {0.125, 2, "0.12"},
        {0.375, 2, "0.38"},
        // 2.675 is stored just below the tie and 1.005 just below as well.
        {2.675, 2, "2.67"},
        {1.005, 2, "1.00"},
        // 0.45 is stored just above the tie, 0.15 just below.
        {0.45, 1, "0.5"},
        {0.15, 1, "0.1"},
        {-0.4, 0, "-0"},
        {3.0, 2, "3.00"},
        {0.1, 20, "0.10000000000000000555"},
        {1e22, 1, "10000000000000000000000.0"},
        {NaN, 2, "NaN"},
        {-INF, 2, "-inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(fixed_decimals(c.value, c.decimals), c.want) << c.want;
    EXPECT_EQ(fixed_decimals(1.0, 65535).size(), 65537u);
}

TEST(FormatTemplate, PlaceholdersOfEveryKindAndFormat) {
    struct Case {
        const char* template_text;
        std::vector<NamedArg> args;
        const char* want;
    } cases[] = {
        {"$J=G90 G21 F{speed} X{x} Y{y}",
         {{"speed", Arg::Number{1000}}, {"x", Arg::Coord{10}}, {"y", Arg::Coord{2.5}}},
         "$J=G90 G21 F1000 X10.0 Y2.5"},
        {"M4 S{power:.0f}", {{"power", Arg::Coord{255.4}}}, "M4 S255"},
        {"M4 S{power:.0f}", {{"power", Arg::Coord{999.5}}}, "M4 S1000"},
        {"M4 S{power:.0f}", {{"power", Arg::Coord{0.5}}}, "M4 S0"},
        {"M4 S{power}", {{"power", Arg::Coord{255}}}, "M4 S255.0"},
        {"M4 S{power:}", {{"power", Arg::Coord{255}}}, "M4 S255"},
        {"T{tool_number}", {{"tool_number", Arg::Int{3}}}, "T3"},
        {"T{tool_number:.2f}", {{"tool_number", Arg::Int{3}}}, "T3.00"},
        {"T{tool_number:x}", {{"tool_number", Arg::Int{-3}}}, "T-3"},
        {"$H{axis_letter}", {{"axis_letter", Arg::Text{"X"}}}, "$HX"},
        {"$H{axis_letter:>2}", {{"axis_letter", Arg::Text{"X"}}}, "$H"},
        {"$H{axis_letter:.2f}", {{"axis_letter", Arg::Text{"X"}}}, "$H"},
        {"S{p:.+2f}", {{"p", Arg::Coord{1.005}}}, "S1.00"},
        {"S{p:.002f}", {{"p", Arg::Number{7}}}, "S7.00"},
        // Formats without a meaning write the shortest form whatever the kind.
        {"S{p:5}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.}", {{"p", Arg::Coord{2.5}}}, "S2.5"},
        {"S{p:.f}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.2}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.-2f}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.+f}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:e}", {{"p", Arg::Coord{1e21}}}, "S1000000000000000000000"},
        {"S{p:.2F}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p: .2f}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.2f:}", {{"p", Arg::Coord{2}}}, "S2"},
        {"S{p:.2f}", {{"p", Arg::Coord{NaN}}}, "SNaN"},
        // Names compare exactly, the first pair wins, a name may repeat.
        {"{a}{a}{b}", {{"a", Arg::Int{1}}, {"b", Arg::Int{2}}, {"a", Arg::Int{3}}}, "112"},
        {"{ a}", {{" a", Arg::Text{"spaced"}}, {"a", Arg::Text{"plain"}}}, "spaced"},
        {"{}", {{"", Arg::Text{"empty"}}}, "empty"},
        // No escapes: a lone '}' is copied, "{{" opens a placeholder named "{...".
        {"G1 }x", {}, "G1 }x"},
        {"{{x}}", {{"{x", Arg::Int{5}}}, "5}"},
        {"no placeholders", {}, "no placeholders"},
        {"", {}, ""},
        {"\u00e9{x}\u00e9", {{"x", Arg::Text{"\u00fc"}}}, "\u00e9\u00fc\u00e9"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_template(c.template_text, c.args), ok(c.want)) << c.template_text;
    }
}

TEST(FormatTemplate, ErrorTexts) {
    struct Case {
        std::string_view template_text;
        std::vector<NamedArg> args;
        std::string want;
    } cases[] = {
        {"G1 {x", {{"x", Arg::Coord{1}}}, R"(unterminated placeholder in template "G1 {x")"},
        {"G1 {q}", {{"x", Arg::Coord{1}}}, "no value for placeholder {q}"},
        {"G1 {q:.2f}", {}, "no value for placeholder {q}"},
        {"{X}", {{"x", Arg::Int{1}}}, "no value for placeholder {X}"},
        // The first problem from the left is reported.
        {"{x} {q} {", {{"x", Arg::Int{1}}}, "no value for placeholder {q}"},
        {"{x} {", {{"x", Arg::Int{1}}}, R"(unterminated placeholder in template "{x} {")"},
        // The whole template is quoted, with escapes.
        {"a\"b\\c\t\r\n{", {}, R"(unterminated placeholder in template "a\"b\\c\t\r\n{")"},
        {std::string_view("\0{", 2), {}, R"(unterminated placeholder in template "\0{")"},
        {"\x1b\x7f\u0085\u200b\u2028\u00a0{",
         {},
         R"(unterminated placeholder in template "\u{1b}\u{7f}\u{85}\u{200b}\u{2028}\u{a0}{")"},
        {"\u00e9'\u20ac\U0001F600 {",
         {},
         "unterminated placeholder in template \"\u00e9'\u20ac\U0001F600 {\""},
        // A malformed byte shows as the replacement character.
        {"\xff{", {}, "unterminated placeholder in template \"\uFFFD{\""},
        // Unassigned and private-use code points are not printable.
        {"\u0378\ue000{", {}, R"(unterminated placeholder in template "\u{378}\u{e000}{")"},
        {"S{p:.65536f}",
         {{"p", Arg::Coord{1}}},
         "precision above 65535 in placeholder {p:.65536f}"},
        {"S{p:.99999999999999999999f}",
         {{"p", Arg::Int{1}}},
         "precision above 65535 in placeholder {p:.99999999999999999999f}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_template(c.template_text, c.args), failed(c.want)) << c.want;
    }
    // The limit itself renders; a text value ignores its format entirely.
    EXPECT_TRUE(format_template("{p:.65535f}", {{"p", Arg::Coord{1}}}).ok());
    EXPECT_EQ(format_template("{p:.65536f}", {{"p", Arg::Text{"t"}}}), ok(""));
}

TEST(GrblDialect, Defaults) {
    GrblDialect d;
    EXPECT_EQ(d.home_all, "$H");
    EXPECT_EQ(d.home_axis, "$H{axis_letter}");
    EXPECT_EQ(d.move_to, "$J=G90 G21 F{speed} X{x} Y{y}");
    EXPECT_EQ(d.jog, "$J=G91 G21 F{speed}");
    EXPECT_EQ(d.clear_alarm, "$X");
    EXPECT_EQ(d.laser_on, "M4 S{power:.0f}");
    EXPECT_EQ(d.laser_off, "M5");
    EXPECT_EQ(d.focus_laser_on, "M3 S{power:.0f}");
    EXPECT_EQ(d.tool_change, "T{tool_number}");
    EXPECT_EQ(d.set_wcs_offset, "G10 L2 P{p_num} X{x} Y{y} Z{z}");
    EXPECT_EQ(d.probe_cycle, "G38.2 {axis_letter}{max_travel} F{feed_rate}");
    EXPECT_EQ(d.safety_off_commands, std::vector<std::string>{"M5"});
    EXPECT_EQ(d.emergency_stop, std::nullopt);
    EXPECT_EQ(GrblDialect::from_map({}), d);
}

TEST(GrblDialect, FromMapTakesEveryKnownKeyAndIgnoresTheRest) {
    using Field = std::string GrblDialect::*;
    struct Case {
        const char* key;
        Field field;
    } cases[] = {
        {"home_all", &GrblDialect::home_all},
        {"home_axis", &GrblDialect::home_axis},
        {"move_to", &GrblDialect::move_to},
        {"jog", &GrblDialect::jog},
        {"clear_alarm", &GrblDialect::clear_alarm},
        {"laser_on", &GrblDialect::laser_on},
        {"laser_off", &GrblDialect::laser_off},
        {"focus_laser_on", &GrblDialect::focus_laser_on},
        {"tool_change", &GrblDialect::tool_change},
        {"set_wcs_offset", &GrblDialect::set_wcs_offset},
        {"probe_cycle", &GrblDialect::probe_cycle},
    };
    for (const Case& c : cases) {
        GrblDialect want;
        want.*c.field = "custom";
        EXPECT_EQ(GrblDialect::from_map({{c.key, "custom"}}), want) << c.key;
        // An empty text is a value too.
        want.*c.field = "";
        EXPECT_EQ(GrblDialect::from_map({{c.key, ""}}), want) << c.key;
    }

    GrblDialect want;
    want.jog = "$J=G91 G20 F{speed}";
    EXPECT_EQ(GrblDialect::from_map({{"jog", "$J=G91 G20 F{speed}"},
                                     {"foo", "bar"},
                                     {"JOG", "ignored"},
                                     {"safety_off_commands", "M9"}}),
              want);

    GrblDialect with_stop = GrblDialect::from_map({{"emergency_stop", "M112"}});
    EXPECT_EQ(with_stop.emergency_stop, "M112");
    EXPECT_EQ(GrblDialect::from_map({{"emergency_stop", ""}}).emergency_stop, "");
}

TEST(GrblDialect, FormatWcsOffset) {
    GrblDialect d;
    EXPECT_EQ(d.format_wcs_offset(1, 10, 20.5, std::nullopt), ok("G10 L2 P1 X10.0 Y20.5"));
    EXPECT_EQ(d.format_wcs_offset(1, 10, 20.5, 0.0), ok("G10 L2 P1 X10.0 Y20.5 Z0.0"));
    EXPECT_EQ(d.format_wcs_offset(6, -1.5, 0, 2.25), ok("G10 L2 P6 X-1.5 Y0.0 Z2.25"));
    EXPECT_EQ(d.format_wcs_offset(2, 1, 2, std::nullopt), ok("G10 L2 P2 X1.0 Y2.0"));

    struct Case {
        const char* template_text;
        std::optional<double> z;
        Rendered want;
    } cases[] = {
        {"G10 L2 P{p_num} X{x} Y{y}", std::nullopt, ok("G10 L2 P3 X1.0 Y2.0")},
        {"G10 L2 P{p_num} X{x} Y{y}", 5.0, ok("G10 L2 P3 X1.0 Y2.0")},
        // A bare "Z{z}" becomes a space; the edges are trimmed afterwards.
        {"Z{z}G10 P{p_num}", std::nullopt, ok("G10 P3")},
        {"G10 P{p_num}\tZ{z}X{x}", std::nullopt, ok("G10 P3\t X1.0")},
        {"G10 P{p_num} Z{z} Z{z}", std::nullopt, ok("G10 P3")},
        // Other uses of z still render, as 0.0 when it is absent.
        {"G10 P{p_num} Z{z:.1f} W{z}", std::nullopt, ok("G10 P3 Z0.0 W0.0")},
        {"G10 P{p_num} X{x} Y{y} Z{z}", -0.0, ok("G10 P3 X1.0 Y2.0 Z-0.0")},
        {"G10 P{p_num:.1f}", std::nullopt, ok("G10 P3.0")},
        {"G10 P{slot} X{x}", std::nullopt, failed("no value for placeholder {slot}")},
        {"G10 P{p_num X{x}", 1.0, failed("no value for placeholder {p_num X{x}")},
        {"G10 P{p_num} X{x", 1.0,
         failed(R"(unterminated placeholder in template "G10 P{p_num} X{x")")},
    };
    for (const Case& c : cases) {
        GrblDialect custom;
        custom.set_wcs_offset = c.template_text;
        EXPECT_EQ(custom.format_wcs_offset(3, 1, 2, c.z), c.want) << c.template_text;
    }
}

}  // namespace
