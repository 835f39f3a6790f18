#include "python/grbl/dialect.hpp"

#include <optional>
#include <string>
#include <vector>

#include "python/args.hpp"

namespace vantorix::python {

grbl::GrblDialect parse_dialect(PyObject* dialect) {
    grbl::DialectMap templates;
    std::optional<std::vector<std::string>> safety_off_commands;
    if (dialect != nullptr && dialect != Py_None) {
        if (!PyDict_Check(dialect)) {
            raise_argument_error("dialect", PyExc_TypeError,
                                 "expected dict or None, got " + type_name(dialect));
        }
        // A snapshot of the items: reading a sequence value can run Python code, which
        // could change the dictionary under a live iteration.
        PyRef items = PyRef::consuming(PyDict_Items(dialect));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(item, 0);
            PyObject* value = PyTuple_GET_ITEM(item, 1);
            if (!PyUnicode_Check(key)) {
                raise_argument_error("dialect", PyExc_TypeError,
                                     "keys must be str, got " + type_name(key));
            }
            std::string_view name = to_string_view(key, "dialect");
            if (name == "safety_off_commands") {
                safety_off_commands = to_string_list(value, "safety_off_commands");
            } else if (PyUnicode_Check(value)) {
                templates.insert_or_assign(std::string(name), to_string(value, "dialect"));
            }
        }
    }
    grbl::GrblDialect parsed = grbl::GrblDialect::from_map(templates);
    if (safety_off_commands) parsed.safety_off_commands = std::move(*safety_off_commands);
    return parsed;
}

}  // namespace vantorix::python
