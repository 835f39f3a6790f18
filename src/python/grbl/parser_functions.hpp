// The wrapper functions of vantorix.grbl.parser, grouped by the file that defines them.
// Each array ends with a {nullptr} sentinel; register_parser_module picks the functions
// out of them in the module's fixed order.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

extern PyMethodDef STATUS_PARSER_FUNCTIONS[];    // parser_status.cpp: parse_state
extern PyMethodDef LINE_PARSER_FUNCTIONS[];      // parser_lines.cpp: reply lines
extern PyMethodDef SETTINGS_PARSER_FUNCTIONS[];  // parser_settings.cpp: settings, G-code text
extern PyMethodDef ERROR_TABLE_FUNCTIONS[];      // parser_errors.cpp: error and alarm tables

}  // namespace vantorix::python
