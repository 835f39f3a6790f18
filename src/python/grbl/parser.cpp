#include "python/grbl/parser.hpp"

#include <cstring>

#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"

namespace vantorix::python {
namespace {

constexpr const char* PARSER_DOC =
    "Pure parsers for GRBL response data: status reports, build info, settings, WCS offsets, "
    "probe results and raw-output classification. All functions are side-effect free.\n";

// Registration and __all__ order.
constexpr const char* PARSER_ORDER[] = {
    "parse_state",
    "parse_version",
    "parse_ver",
    "parse_opt_info",
    "parse_opt_flags",
    "parse_msg",
    "extract_device_name",
    "extract_device_name_from_output",
    "is_grbl_output",
    "strip_gcode_comments",
    "split_realtime_commands",
    "gcode_to_p_number",
    "version_supports_single_axis_homing",
    "parse_grbl_settings",
    "parse_setting_pairs",
    "parse_wcs_line",
    "parse_probe_line",
    "parse_grbl_parser_state",
    "detect_unit_system_from_settings",
    "is_report_in_inches",
    "error_code_to_device_error",
    "alarm_code_to_device_error",
};

PyMethodDef* find_function(const char* name) {
    for (PyMethodDef* group : {STATUS_PARSER_FUNCTIONS, LINE_PARSER_FUNCTIONS,
                               SETTINGS_PARSER_FUNCTIONS, ERROR_TABLE_FUNCTIONS}) {
        for (PyMethodDef* def = group; def->ml_name != nullptr; ++def) {
            if (std::strcmp(def->ml_name, name) == 0) return def;
        }
    }
    PyErr_Format(PyExc_SystemError, "parser function %s is not defined", name);
    throw PyErrorSet{};
}

}  // namespace

void register_parser_module(PyObject* module) {
    check(PyModule_AddObjectRef(module, "__doc__", new_str(PARSER_DOC).get()));
    PyRef all = PyRef::consuming(PyList_New(0));
    for (const char* name : PARSER_ORDER) check(PyList_Append(all.get(), new_str(name).get()));
    check(PyModule_AddObjectRef(module, "__all__", all.get()));
    for (const char* name : PARSER_ORDER) add_function(module, find_function(name));
}

}  // namespace vantorix::python
