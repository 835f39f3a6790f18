#include "grbl/status_parser.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"
#include "python/grbl/types.hpp"

namespace vantorix::python {
namespace {

PyObject* py_parse_state(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"state_str", "default", "report_in_inches", nullptr};
        PyObject* state_str;
        PyObject* base = Py_None;
        PyObject* report_in_inches = Py_False;
        parse_arguments(args, kwargs, "O|OO:parse_state", KEYWORDS, &state_str, &base,
                        &report_in_inches);
        std::string_view text = to_string_view(state_str, "state_str");
        grbl::DeviceState base_state =
            base == Py_None ? grbl::DeviceState{} : device_state_from_python(base, "default");
        bool inches = to_bool(report_in_inches, "report_in_inches");
        return to_python(grbl::parse_state(text, base_state, inches));
    });
}

}  // namespace

PyMethodDef STATUS_PARSER_FUNCTIONS[] = {
    {"parse_state", as_cfunction(py_parse_state), METH_VARARGS | METH_KEYWORDS,
     "parse_state(state_str, default=None, report_in_inches=False)\n--\n\n"
     "Parse a GRBL status string like `<Idle|MPos:10,20,30>` into a\n"
     "DeviceState, using *default* as the base.  When\n"
     "*report_in_inches* is true, positions are converted back to mm."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
