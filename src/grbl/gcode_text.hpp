// Preparing G-code text before it is sent: comment stripping, real-time command
// separation, and the whitespace trimming both of these and the dialect rely on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantorix::grbl {

// `text` without leading and trailing Unicode White_Space (tab, line feed, vertical tab,
// form feed, carriage return, space, NEL, NBSP, the U+2000 spaces, line and paragraph
// separators, ideographic space ...). Inner whitespace is kept.
std::string_view trim_whitespace(std::string_view text);

// Removes every parenthesised comment, then cuts at the first ';', then trims. A '('
// without a closing ')' stays; a ';' inside parentheses does not cut the line.
std::string strip_gcode_comments(std::string_view line);

// True for a line that is exactly one of the real-time commands "?", "~" or "!".
bool is_realtime_command(std::string_view line);

struct SplitCommands {
    std::vector<std::string> gcode;
    std::vector<std::string> realtime;

    bool operator==(const SplitCommands&) const = default;
};

// Separates real-time lines from ordinary ones; both lists keep the input order.
SplitCommands split_realtime_commands(const std::vector<std::string>& lines);

}  // namespace vantorix::grbl
