// Text helpers of the binding layer.
#pragma once

#include <string>
#include <string_view>

namespace vantorix::python {

// Appends `utf8` as a double-quoted literal: backslash, double quote, tab, carriage
// return, line feed and NUL as \\ \" \t \r \n \0, any other non-printable character
// as \u{hex}.
void append_quoted_literal(std::string& out, std::string_view utf8);

}  // namespace vantorix::python
