// vantorix.grbl.parser: the settings listing and the G-code text utilities.
#include "grbl/gcode_text.hpp"
#include "grbl/settings_parser.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"

namespace vantorix::python {
namespace {

// Unpacks the single argument named `keyword` as a sequence of str.
std::vector<std::string> lines_argument(PyObject* args, PyObject* kwargs, const char* format,
                                        const char* keyword) {
    const char* const keywords[] = {keyword, nullptr};
    PyObject* lines;
    parse_arguments(args, kwargs, format, keywords, &lines);
    return to_string_list(lines, keyword);
}

PyRef str_list(const std::vector<std::string>& texts) {
    PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
    }
    return list;
}

PyObject* py_parse_setting_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:parse_setting_pairs", "lines");
        std::vector<grbl::SettingPair> pairs = grbl::parse_setting_pairs(lines);
        PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            PyRef key = new_str(pairs[i].first);
            PyRef value = new_str(pairs[i].second);
            PyRef pair = PyRef::consuming(PyTuple_Pack(2, key.get(), value.get()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return list;
    });
}

PyObject* py_parse_grbl_settings(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:parse_grbl_settings", "lines");
        PyRef dict = PyRef::consuming(PyDict_New());
        for (const auto& [key, value] : grbl::parse_grbl_settings(lines)) {
            PyRef number = PyRef::consuming(PyFloat_FromDouble(value));
            check(PyDict_SetItem(dict.get(), new_str(key).get(), number.get()));
        }
        return dict;
    });
}

PyObject* py_is_report_in_inches(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:is_report_in_inches", "settings_lines");
        return PyRef::owning(grbl::is_report_in_inches(lines) ? Py_True : Py_False);
    });
}

PyObject* py_detect_unit_system_from_settings(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines =
            lines_argument(args, kwargs, "O:detect_unit_system_from_settings", "settings_lines");
        std::optional<bool> inches = grbl::detect_unit_system_from_settings(lines);
        if (!inches) return none();
        return new_str(*inches ? "imperial" : "metric");
    });
}

PyObject* py_strip_gcode_comments(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"line", nullptr};
        PyObject* line;
        parse_arguments(args, kwargs, "O:strip_gcode_comments", KEYWORDS, &line);
        return new_str(grbl::strip_gcode_comments(to_string_view(line, "line")));
    });
}

PyObject* py_split_realtime_commands(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:split_realtime_commands", "lines");
        grbl::SplitCommands split = grbl::split_realtime_commands(lines);
        PyRef gcode = str_list(split.gcode);
        PyRef realtime = str_list(split.realtime);
        return PyRef::consuming(PyTuple_Pack(2, gcode.get(), realtime.get()));
    });
}

}  // namespace

PyMethodDef SETTINGS_PARSER_FUNCTIONS[] = {
    {"strip_gcode_comments", as_cfunction(py_strip_gcode_comments), METH_VARARGS | METH_KEYWORDS,
     "strip_gcode_comments(line)\n--\n\n"
     "Strip G-code comments from a line."},
    {"split_realtime_commands", as_cfunction(py_split_realtime_commands),
     METH_VARARGS | METH_KEYWORDS,
     "split_realtime_commands(lines)\n--\n\n"
     "Split command lines into `(gcode, realtime)` groups."},
    {"parse_grbl_settings", as_cfunction(py_parse_grbl_settings), METH_VARARGS | METH_KEYWORDS,
     "parse_grbl_settings(lines)\n--\n\n"
     "Parse `$$` lines into `{key: value}` floats."},
    {"parse_setting_pairs", as_cfunction(py_parse_setting_pairs), METH_VARARGS | METH_KEYWORDS,
     "parse_setting_pairs(lines)\n--\n\n"
     "Parse `$$` lines into ordered `(key, raw_value)` pairs."},
    {"detect_unit_system_from_settings", as_cfunction(py_detect_unit_system_from_settings),
     METH_VARARGS | METH_KEYWORDS,
     "detect_unit_system_from_settings(settings_lines)\n--\n\n"
     "Infer the unit system (\"metric\"/\"imperial\") from `$$` lines."},
    {"is_report_in_inches", as_cfunction(py_is_report_in_inches), METH_VARARGS | METH_KEYWORDS,
     "is_report_in_inches(settings_lines)\n--\n\n"
     "True when the `$13` (Report in inches) flag is set."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
