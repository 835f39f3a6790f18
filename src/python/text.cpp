#include "python/text.hpp"

#include "grbl/debug_text.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {
namespace {

// The characters Python's repr shows as they are (str.isprintable).
bool printable_in_repr(char32_t code_point, std::string_view) {
    return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(code_point));
}

}  // namespace

void append_quoted_literal(std::string& out, std::string_view utf8) {
    grbl::append_quoted_unicode(out, utf8, printable_in_repr);
}

}  // namespace vantorix::python
