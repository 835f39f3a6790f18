#include <string>
#include <vector>

#include "grbl/line_parsers.hpp"
#include "grbl/line_parsers_coordinates.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"

namespace vantorix::python {
namespace {

// ---- argument conversion ------------------------------------------------------------

// Any sequence of `str`; a `str` itself is refused although Python calls it a sequence.
std::vector<std::string> to_string_list(PyObject* value, const char* name) {
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected a sequence of str, got " + type_name(value));
    }
    PyRef items = PyRef::consuming(PySequence_Fast(value, "expected a sequence of str"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        lines.push_back(to_string(PySequence_Fast_GET_ITEM(items.get(), i), name));
    }
    return lines;
}

// Unpacks the single `line` argument of the line readers.
std::string_view line_argument(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const KEYWORDS[] = {"line", nullptr};
    PyObject* line;
    parse_arguments(args, kwargs, format, KEYWORDS, &line);
    return to_string_view(line, "line");
}

std::vector<std::string> lines_argument(PyObject* args, PyObject* kwargs, const char* format,
                                        const char* name) {
    const char* const keywords[] = {name, nullptr};
    PyObject* lines;
    parse_arguments(args, kwargs, format, keywords, &lines);
    return to_string_list(lines, name);
}

std::string data_argument(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const KEYWORDS[] = {"data", nullptr};
    PyObject* data;
    parse_arguments(args, kwargs, format, KEYWORDS, &data);
    return to_byte_string(data, "data");
}

// ---- result conversion --------------------------------------------------------------

PyRef new_float(double value) {
    return PyRef::consuming(PyFloat_FromDouble(value));
}
PyRef new_bool(bool value) {
    return PyRef::owning(value ? Py_True : Py_False);
}

PyRef optional_str(const std::optional<std::string>& text) {
    return text ? new_str(*text) : none();
}

template <typename... Items>
PyRef new_tuple(Items... items) {
    PyRef tuple = PyRef::consuming(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
    return tuple;
}

// ---- functions ----------------------------------------------------------------------

PyObject* py_parse_version(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:parse_version", "response_lines");
        for (const std::string& line : lines) {
            if (auto ver = grbl::parse_ver(line)) return new_str(ver->version);
        }
        return none();
    });
}

PyObject* py_parse_ver(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto ver = grbl::parse_ver(line_argument(args, kwargs, "O:parse_ver"));
        if (!ver) return none();
        return new_tuple(new_str(ver->version), optional_str(ver->build));
    });
}

PyObject* py_parse_opt_info(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto size = grbl::parse_opt_info(line_argument(args, kwargs, "O:parse_opt_info"));
        return size ? PyRef::consuming(PyLong_FromLongLong(*size)) : none();
    });
}

PyObject* py_parse_opt_flags(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        return optional_str(
            grbl::parse_opt_flags(line_argument(args, kwargs, "O:parse_opt_flags")));
    });
}

PyObject* py_parse_msg(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto msg = grbl::parse_msg(line_argument(args, kwargs, "O:parse_msg"));
        if (!msg) return none();
        return new_tuple(new_str(msg->key), new_str(msg->value));
    });
}

PyObject* py_extract_device_name(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:extract_device_name", "build_info");
        return new_str(grbl::extract_device_name(lines));
    });
}

PyObject* py_extract_device_name_from_output(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        std::string data = data_argument(args, kwargs, "O:extract_device_name_from_output");
        return optional_str(grbl::extract_device_name_from_output(data));
    });
}

PyObject* py_is_grbl_output(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        return new_bool(grbl::is_grbl_output(data_argument(args, kwargs, "O:is_grbl_output")));
    });
}

PyObject* py_gcode_to_p_number(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"wcs_slot", nullptr};
        PyObject* slot;
        parse_arguments(args, kwargs, "O:gcode_to_p_number", KEYWORDS, &slot);
        auto number = grbl::gcode_to_p_number(to_string_view(slot, "wcs_slot"));
        return number ? PyRef::consuming(PyLong_FromLong(*number)) : none();
    });
}

PyObject* py_version_supports_single_axis_homing(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"version_num", "version_letter", nullptr};
        PyObject* number;
        PyObject* letter = nullptr;
        parse_arguments(args, kwargs, "O|O:version_supports_single_axis_homing", KEYWORDS, &number,
                        &letter);
        double version = to_f64(number, "version_num");
        std::string_view text = letter ? to_string_view(letter, "version_letter") : "";
        return new_bool(grbl::version_supports_single_axis_homing(version, text));
    });
}

PyObject* py_parse_wcs_line(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto offset = grbl::parse_wcs_line(line_argument(args, kwargs, "O:parse_wcs_line"));
        if (!offset) return none();
        return new_tuple(new_str(offset->name), new_float(offset->x), new_float(offset->y),
                         new_float(offset->z));
    });
}

PyObject* py_parse_probe_line(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto probe = grbl::parse_probe_line(line_argument(args, kwargs, "O:parse_probe_line"));
        if (!probe) return none();
        const auto& [x, y, z] = probe->pos;
        return new_tuple(new_tuple(new_float(x), new_float(y), new_float(z)),
                         new_bool(probe->success));
    });
}

PyObject* py_parse_grbl_parser_state(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        auto lines = lines_argument(args, kwargs, "O:parse_grbl_parser_state", "response_lines");
        return optional_str(grbl::parse_grbl_parser_state(lines));
    });
}

}  // namespace

PyMethodDef LINE_PARSER_FUNCTIONS[] = {
    {"parse_version", as_cfunction(py_parse_version), METH_VARARGS | METH_KEYWORDS,
     "parse_version(response_lines)\n--\n\n"
     "Parse `$I` response lines to extract the firmware version."},
    {"parse_ver", as_cfunction(py_parse_ver), METH_VARARGS | METH_KEYWORDS,
     "parse_ver(line)\n--\n\n"
     "Parse a `[VER:...]` line into `(version, build_name)`."},
    {"parse_opt_info", as_cfunction(py_parse_opt_info), METH_VARARGS | METH_KEYWORDS,
     "parse_opt_info(line)\n--\n\n"
     "Extract the RX buffer size from an `[OPT:...]` line."},
    {"parse_opt_flags", as_cfunction(py_parse_opt_flags), METH_VARARGS | METH_KEYWORDS,
     "parse_opt_flags(line)\n--\n\n"
     "Extract the compile option flags from an `[OPT:...]` line."},
    {"parse_msg", as_cfunction(py_parse_msg), METH_VARARGS | METH_KEYWORDS,
     "parse_msg(line)\n--\n\n"
     "Parse a `[MSG:key:value]` line into `(key, value)`."},
    {"extract_device_name", as_cfunction(py_extract_device_name), METH_VARARGS | METH_KEYWORDS,
     "extract_device_name(build_info)\n--\n\n"
     "Extract a human-readable device name from build info lines."},
    {"extract_device_name_from_output", as_cfunction(py_extract_device_name_from_output),
     METH_VARARGS | METH_KEYWORDS,
     "extract_device_name_from_output(data)\n--\n\n"
     "Extract a device name from raw serial output, falling back to\n"
     "the first informative banner line."},
    {"is_grbl_output", as_cfunction(py_is_grbl_output), METH_VARARGS | METH_KEYWORDS,
     "is_grbl_output(data)\n--\n\n"
     "True when raw serial output identifies a Grbl device."},
    {"gcode_to_p_number", as_cfunction(py_gcode_to_p_number), METH_VARARGS | METH_KEYWORDS,
     "gcode_to_p_number(wcs_slot)\n--\n\n"
     "Convert a G-code WCS name (e.g. \"G54\") to its P-number."},
    {"version_supports_single_axis_homing", as_cfunction(py_version_supports_single_axis_homing),
     METH_VARARGS | METH_KEYWORDS,
     "version_supports_single_axis_homing(version_num, version_letter=\"\")\n--\n\n"
     "True if a GRBL version supports single-axis homing (> 1.1 or\n"
     "1.1g and newer)."},
    {"parse_wcs_line", as_cfunction(py_parse_wcs_line), METH_VARARGS | METH_KEYWORDS,
     "parse_wcs_line(line)\n--\n\n"
     "Parse a `[G5x:x,y,z]` line from `$#` output."},
    {"parse_probe_line", as_cfunction(py_parse_probe_line), METH_VARARGS | METH_KEYWORDS,
     "parse_probe_line(line)\n--\n\n"
     "Parse a `[PRB:x,y,z:success]` line into `(pos, success)`."},
    {"parse_grbl_parser_state", as_cfunction(py_parse_grbl_parser_state),
     METH_VARARGS | METH_KEYWORDS,
     "parse_grbl_parser_state(response_lines)\n--\n\n"
     "Parse `$G` response lines to find the active WCS (G54-G59)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
