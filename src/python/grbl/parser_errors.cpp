#include "grbl/errors.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"
#include "python/grbl/types.hpp"

namespace vantorix::python {
namespace {

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

}  // namespace

PyMethodDef ERROR_TABLE_FUNCTIONS[] = {
    {"error_code_to_device_error", as_cfunction(py_error_code_to_device_error),
     METH_VARARGS | METH_KEYWORDS,
     "error_code_to_device_error(error_code)\n--\n\n"
     "Look up an error code in the GRBL error table."},
    {"alarm_code_to_device_error", as_cfunction(py_alarm_code_to_device_error),
     METH_VARARGS | METH_KEYWORDS,
     "alarm_code_to_device_error(alarm_code)\n--\n\n"
     "Look up an alarm code in the GRBL alarm table."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
