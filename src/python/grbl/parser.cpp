#include "python/grbl/parser.hpp"

#include "grbl/errors.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/types.hpp"

namespace vantorix::python {
namespace {

constexpr const char* PARSER_DOC =
    "Pure parsers for GRBL response data: status reports, build info, settings, WCS offsets, "
    "probe results and raw-output classification. All functions are side-effect free.\n";

PyObject* py_error_code_to_device_error(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"error_code", nullptr};
        PyObject* code;
        parse_arguments(args, kwargs, "O:error_code_to_device_error", KEYWORDS, &code);
        return to_python(grbl::error_code_to_device_error(to_string_view(code, "error_code")));
    });
}

PyObject* py_alarm_code_to_device_error(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"alarm_code", nullptr};
        PyObject* code;
        parse_arguments(args, kwargs, "O:alarm_code_to_device_error", KEYWORDS, &code);
        return to_python(grbl::alarm_code_to_device_error(to_string_view(code, "alarm_code")));
    });
}

#define VX_FUNCTION(name, doc) \
    {#name, as_cfunction(py_##name), METH_VARARGS | METH_KEYWORDS, doc}

// Registration and __all__ order.
PyMethodDef PARSER_FUNCTIONS[] = {
    VX_FUNCTION(error_code_to_device_error,
                "error_code_to_device_error(error_code)\n--\n\n"
                "Look up an error code in the GRBL error table."),
    VX_FUNCTION(alarm_code_to_device_error,
                "alarm_code_to_device_error(alarm_code)\n--\n\n"
                "Look up an alarm code in the GRBL alarm table."),
    {nullptr, nullptr, 0, nullptr},
};

#undef VX_FUNCTION

}  // namespace

void register_parser_module(PyObject* module) {
    check(PyModule_AddObjectRef(module, "__doc__", new_str(PARSER_DOC).get()));
    PyRef all = PyRef::consuming(PyList_New(0));
    for (PyMethodDef* def = PARSER_FUNCTIONS; def->ml_name != nullptr; ++def) {
        check(PyList_Append(all.get(), new_str(def->ml_name).get()));
    }
    check(PyModule_AddObjectRef(module, "__all__", all.get()));
    for (PyMethodDef* def = PARSER_FUNCTIONS; def->ml_name != nullptr; ++def) {
        add_function(module, def);
    }
}

}  // namespace vantorix::python
