#include "grbl/gcode_text.hpp"

#include <re2/re2.h>

namespace vantorix::grbl {
namespace {

// An opening parenthesis, anything but a closing one (line breaks included), and the
// closing parenthesis.
const RE2& gcode_comment_re() {
    static const RE2* const GCODE_COMMENT_RE = new RE2(R"(\([^)]*\))");
    return *GCODE_COMMENT_RE;
}

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Every White_Space code point has a one- to three-byte UTF-8 form; a malformed or
// overlong sequence is never whitespace.
bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the whitespace character that starts `text`, or 0.
std::size_t leading_space_length(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(0);
    if (first < 0x80) return is_white_space(first) ? 1 : 0;
    if ((first & 0xE0) == 0xC0 && text.size() >= 2 && is_continuation(byte(1))) {
        char32_t cp = (char32_t{first} & 0x1F) << 6 | (byte(1) & 0x3F);
        return cp >= 0x80 && is_white_space(cp) ? 2 : 0;
    }
    if ((first & 0xF0) == 0xE0 && text.size() >= 3 && is_continuation(byte(1)) &&
        is_continuation(byte(2))) {
        char32_t cp = (char32_t{first} & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        return cp >= 0x800 && is_white_space(cp) ? 3 : 0;
    }
    return 0;
}

// Length of the whitespace character that ends `text`, or 0.
std::size_t trailing_space_length(std::string_view text) {
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 3 &&
           is_continuation(static_cast<unsigned char>(text[start]))) {
        --start;
    }
    std::size_t length = leading_space_length(text.substr(start));
    return start + length == text.size() ? length : 0;
}

}  // namespace

std::string_view trim_whitespace(std::string_view text) {
    while (!text.empty()) {
        std::size_t length = leading_space_length(text);
        if (length == 0) break;
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        std::size_t length = trailing_space_length(text);
        if (length == 0) break;
        text.remove_suffix(length);
    }
    return text;
}

std::string strip_gcode_comments(std::string_view line) {
    std::string text(line);
    // Most program lines carry no comment: skip the pattern when no '(' can start one.
    if (text.find('(') != std::string::npos) RE2::GlobalReplace(&text, gcode_comment_re(), "");
    std::string_view kept = text;
    kept = kept.substr(0, kept.find(';'));
    return std::string(trim_whitespace(kept));
}

bool is_realtime_command(std::string_view line) {
    return line == "?" || line == "~" || line == "!";
}

SplitCommands split_realtime_commands(const std::vector<std::string>& lines) {
    SplitCommands split;
    for (const std::string& line : lines) {
        (is_realtime_command(line) ? split.realtime : split.gcode).push_back(line);
    }
    return split;
}

}  // namespace vantorix::grbl
