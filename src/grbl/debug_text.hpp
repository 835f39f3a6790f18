// Text forms for log lines of the engine.
#pragma once

#include <string>
#include <string_view>

namespace vantorix::grbl {

// `text` as a double-quoted literal: quote, backslash, tab, carriage return, line feed
// and NUL escaped as \" \\ \t \r \n \0, any other control character as \u{hex}.
std::string quoted(std::string_view text);

}  // namespace vantorix::grbl
