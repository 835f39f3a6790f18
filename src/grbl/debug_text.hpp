// Text forms for log lines of the engine.
#pragma once

#include <string>
#include <string_view>

namespace vantorix::grbl {

// `text` as a double-quoted literal: quote, backslash, tab, carriage return, line feed
// and NUL escaped as \" \\ \t \r \n \0, any other control character as \u{hex}.
std::string quoted(std::string_view text);

// Whether a character is shown as it is; `encoded` is its UTF-8 form.
using PrintableTest = bool (*)(char32_t code_point, std::string_view encoded);

// Appends UTF-8 text as a double-quoted literal: backslash, double quote, tab, carriage
// return, line feed and NUL as \\ \" \t \r \n \0, any character `printable` rejects as
// \u{hex}. Each byte of an invalid sequence shows as U+FFFD.
void append_quoted_unicode(std::string& out, std::string_view utf8, PrintableTest printable);

}  // namespace vantorix::grbl
