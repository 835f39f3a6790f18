#include "grbl/gcode_text.hpp"

#include <gtest/gtest.h>

using namespace vantorix::grbl;

namespace {

TEST(StripGcodeComments, RemovesCommentsThenCutsThenTrims) {
    struct Case {
        const char* line;
        const char* want;
    } cases[] = {
        {"  G0 X1 ; rapid", "G0 X1"},
        {"(only a comment)", ""},
        {"G1 (open", "G1 (open"},
        {"G1 X1 (a) Y2 (b)", "G1 X1  Y2"},
        // Parenthesised comments go first, so a ';' inside them does not cut the line.
        {"G1 X10 (a;b) Y5", "G1 X10  Y5"},
        {"G1 X1 ; note (with parens)", "G1 X1"},
        {"G1 ((nested) X2)", "G1  X2)"},
        {"G1 ) X1 (", "G1 ) X1 ("},
        {"(a)(b)(c)G0", "G0"},
        {"G0 (spans\na line) X1", "G0  X1"},
        {";", ""},
        {"", ""},
        {"\t G0   X1 \r\n", "G0   X1"},
        {"G0 X1 (unclosed ; cut", "G0 X1 (unclosed"},
    };
    for (const Case& c : cases) EXPECT_EQ(strip_gcode_comments(c.line), c.want) << c.line;
}

TEST(StripGcodeComments, TrimsUnicodeWhitespaceButKeepsOtherCharacters) {
    EXPECT_EQ(strip_gcode_comments("\u00a0\u3000G0 X1\u2003\u0085"), "G0 X1");
    EXPECT_EQ(strip_gcode_comments("G0 (\u00e9t\u00e9) X\u00e9"), "G0  X\u00e9");
    // Zero-width space is not White_Space.
    EXPECT_EQ(strip_gcode_comments("\u200bG0\u200b"), "\u200bG0\u200b");
}

TEST(TrimWhitespace, HandlesEveryWhiteSpaceWidthAndMalformedText) {
    struct Case {
        std::string_view text;
        std::string_view want;
    } cases[] = {
        {"", ""},
        {" \t\n\v\f\r", ""},
        {"\u1680a\u2000 b\u200a", "a\u2000 b"},
        {"\u2028\u2029x\u202f\u205f", "x"},
        {"\u00e9", "\u00e9"},
        {"x\u00a0", "x"},
        // A lone continuation byte or a truncated sequence is not whitespace.
        {"\x80 ", "\x80"},
        {" \xe3\x80", "\xe3\x80"},
        // An overlong encoding of a space is not a space.
        {"\xc0\xa0x", "\xc0\xa0x"},
    };
    for (const Case& c : cases) EXPECT_EQ(trim_whitespace(c.text), c.want) << c.text;
}

TEST(SplitRealtimeCommands, OnlyExactSingleCharacterLinesAreRealtime) {
    SplitCommands got =
        split_realtime_commands({"G0 X1", "?", "!", "~", "? ", "M5", " !", "??", "", "~"});
    EXPECT_EQ(got.gcode, (std::vector<std::string>{"G0 X1", "? ", "M5", " !", "??", ""}));
    EXPECT_EQ(got.realtime, (std::vector<std::string>{"?", "!", "~", "~"}));
    EXPECT_EQ(split_realtime_commands({}), SplitCommands{});
}

}  // namespace
