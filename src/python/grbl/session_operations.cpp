// The machine operations of GrblSession: argument conversion, the engine operation through
// the future bridge, and the conversion of its result.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "grbl/session/machine_ops.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/session_object.hpp"
#include "python/pyfuture.hpp"

namespace vantorix::python {
namespace {

using grbl::SessionCore;
using CorePtr = std::shared_ptr<SessionCore>;

// ---- argument conversion ----------------------------------------------------------------

std::optional<double> to_optional_f64(PyObject* value, const char* name) {
    if (value == Py_None) return std::nullopt;
    return to_f64(value, name);
}

// A sequence (never a str) of (str, float) pairs, each pair exactly a tuple.
std::vector<grbl::JogDelta> to_jog_deltas(PyObject* value, const char* name) {
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected a sequence of (str, float) tuples, got " + type_name(value));
    }
    PyRef items = PyRef::consuming(PySequence_Fast(value, "expected a sequence"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<grbl::JogDelta> deltas;
    deltas.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        const std::string label = "item " + std::to_string(i) + ": ";
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            raise_argument_error(name, PyExc_TypeError,
                                 label + "expected a (str, float) tuple, got " + type_name(item));
        }
        PyObject* axis = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(axis)) {
            raise_argument_error(name, PyExc_TypeError,
                                 label + "expected str as the axis, got " + type_name(axis));
        }
        deltas.emplace_back(to_string(axis, name), to_f64(PyTuple_GET_ITEM(item, 1), name));
    }
    return deltas;
}

// ---- result conversion --------------------------------------------------------------------

PyRef setting_pairs(std::vector<grbl::SettingPair>& pairs) {
    PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        PyRef key = new_str(pairs[i].first);
        PyRef value = new_str(pairs[i].second);
        PyRef pair = PyRef::consuming(PyTuple_Pack(2, key.get(), value.get()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
}

PyRef float_triple(const std::array<double, 3>& xyz) {
    return PyRef::consuming(Py_BuildValue("(ddd)", xyz[0], xyz[1], xyz[2]));
}

PyRef wcs_offsets(grbl::WcsOffsets& offsets) {
    PyRef dict = PyRef::consuming(PyDict_New());
    for (const auto& [name, xyz] : offsets) {
        PyRef key = new_str(name);
        check(PyDict_SetItem(dict.get(), key.get(), float_triple(xyz).get()));
    }
    return dict;
}

PyRef optional_text(std::optional<std::string>& text) {
    return text ? new_str(*text) : none();
}

PyRef unit_system_name(std::optional<grbl::UnitSystem>& unit) {
    if (!unit) return none();
    return new_str(*unit == grbl::UnitSystem::IMPERIAL ? "imperial" : "metric");
}

PyRef probe_position(std::optional<grbl::ProbePosition>& position) {
    return position ? float_triple(*position) : none();
}

asio::awaitable<grbl::Result<std::optional<grbl::UnitSystem>>> never_fails(
    asio::awaitable<std::optional<grbl::UnitSystem>> operation) {
    std::optional<grbl::UnitSystem> unit = co_await std::move(operation);
    co_return unit;
}

// ---- methods ------------------------------------------------------------------------------

const CorePtr& core_of(PyObject* self) {
    return session_of(self).core;
}

PyObject* session_home(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"axes", "active_wcs", nullptr};
        PyObject* axes_arg = Py_None;
        PyObject* active_wcs_arg = nullptr;
        parse_arguments(args, kwargs, "|OO:home", KEYWORDS, &axes_arg, &active_wcs_arg);
        std::optional<std::vector<std::string>> axes;
        if (axes_arg != Py_None) axes = to_string_list(axes_arg, "axes");
        std::string active_wcs =
            active_wcs_arg == nullptr ? "G54" : to_string(active_wcs_arg, "active_wcs");
        const CorePtr& core = core_of(self);
        return spawn_future_with(
            [&] { return grbl::home(core, std::move(axes), std::move(active_wcs)); }, none_result);
    });
}

PyObject* session_move_to(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"speed", "x", "y", nullptr};
        PyObject *speed, *x, *y;
        parse_arguments(args, kwargs, "OOO:move_to", KEYWORDS, &speed, &x, &y);
        const double speed_value = to_f64(speed, "speed");
        const double x_value = to_f64(x, "x");
        const double y_value = to_f64(y, "y");
        const CorePtr& core = core_of(self);
        return spawn_future_with([&] { return grbl::move_to(core, speed_value, x_value, y_value); },
                                 none_result);
    });
}

PyObject* session_jog(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"speed", "deltas", nullptr};
        PyObject *speed, *deltas;
        parse_arguments(args, kwargs, "OO:jog", KEYWORDS, &speed, &deltas);
        const double speed_value = to_f64(speed, "speed");
        std::vector<grbl::JogDelta> moves = to_jog_deltas(deltas, "deltas");
        const CorePtr& core = core_of(self);
        return spawn_future_with([&] { return grbl::jog(core, speed_value, std::move(moves)); },
                                 none_result);
    });
}

PyObject* session_select_tool(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"tool_number", nullptr};
        PyObject* tool_number;
        parse_arguments(args, kwargs, "O:select_tool", KEYWORDS, &tool_number);
        const std::int64_t tool = to_i64(tool_number, "tool_number");
        const CorePtr& core = core_of(self);
        return spawn_future_with([&] { return grbl::select_tool(core, tool); }, none_result);
    });
}

std::optional<double> power_argument(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const KEYWORDS[] = {"power", nullptr};
    PyObject* power = Py_None;
    parse_arguments(args, kwargs, format, KEYWORDS, &power);
    return to_optional_f64(power, "power");
}

PyObject* session_set_power(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        std::optional<double> power = power_argument(args, kwargs, "|O:set_power");
        const CorePtr& core = core_of(self);
        return spawn_future_with([&] { return grbl::set_power(core, power); }, none_result);
    });
}

PyObject* session_set_focus_power(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        std::optional<double> power = power_argument(args, kwargs, "|O:set_focus_power");
        const CorePtr& core = core_of(self);
        return spawn_future_with([&] { return grbl::set_focus_power(core, power); }, none_result);
    });
}

PyObject* session_read_settings(PyObject* self, PyObject*) {
    return guarded_object(
        [&] { return spawn_future(grbl::read_settings(core_of(self)), setting_pairs); });
}

PyObject* session_write_setting(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"key", "value", nullptr};
        PyObject *key, *value;
        parse_arguments(args, kwargs, "OO:write_setting", KEYWORDS, &key, &value);
        std::string key_text = to_single_line(key, "key");
        std::string value_text = to_single_line(value, "value");
        const CorePtr& core = core_of(self);
        return spawn_future_with(
            [&] { return grbl::write_setting(core, std::move(key_text), std::move(value_text)); },
            none_result);
    });
}

PyObject* session_set_wcs_offset(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"wcs_slot", "x", "y", "z", nullptr};
        PyObject *wcs_slot, *x, *y, *z;
        parse_arguments(args, kwargs, "OOOO:set_wcs_offset", KEYWORDS, &wcs_slot, &x, &y, &z);
        std::string slot = to_string(wcs_slot, "wcs_slot");
        const double x_value = to_f64(x, "x");
        const double y_value = to_f64(y, "y");
        const std::optional<double> z_value = to_optional_f64(z, "z");
        const CorePtr& core = core_of(self);
        return spawn_future_with(
            [&] { return grbl::set_wcs_offset(core, std::move(slot), x_value, y_value, z_value); },
            none_result);
    });
}

PyObject* session_read_wcs_offsets(PyObject* self, PyObject*) {
    return guarded_object(
        [&] { return spawn_future(grbl::read_wcs_offsets(core_of(self)), wcs_offsets); });
}

PyObject* session_read_parser_state(PyObject* self, PyObject*) {
    return guarded_object(
        [&] { return spawn_future(grbl::read_parser_state(core_of(self)), optional_text); });
}

PyObject* session_run_probe_cycle(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"axis_letter", "max_travel", "feed_rate", nullptr};
        PyObject *axis_letter, *max_travel, *feed_rate;
        parse_arguments(args, kwargs, "OOO:run_probe_cycle", KEYWORDS, &axis_letter, &max_travel,
                        &feed_rate);
        std::string axis = to_string(axis_letter, "axis_letter");
        const double travel = to_f64(max_travel, "max_travel");
        const double feed = to_f64(feed_rate, "feed_rate");
        const CorePtr& core = core_of(self);
        return spawn_future_with(
            [&] { return grbl::run_probe_cycle(core, std::move(axis), travel, feed); },
            probe_position);
    });
}

PyObject* session_detect_unit_system(PyObject* self, PyObject*) {
    return guarded_object([&] {
        return spawn_future(never_fails(grbl::detect_unit_system(core_of(self))), unit_system_name);
    });
}

constexpr int ARGS = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef OPERATION_METHODS[] = {
    {"home", as_cfunction(session_home), ARGS,
     "home($self, axes=None, active_wcs=...)\n--\n\n"
     "Home all axes (`axes` is None) or the named axes (e.g.\n"
     "`[\"X\"]`), then re-activate the active WCS via the toggle\n"
     "workaround."},
    {"move_to", as_cfunction(session_move_to), ARGS,
     "move_to($self, speed, x, y)\n--\n\n"
     "Move to an absolute position (mm) at `speed` (mm/min)."},
    {"jog", as_cfunction(session_jog), ARGS,
     "jog($self, speed, deltas)\n--\n\n"
     "Jog by relative deltas (mm) at `speed` (mm/min)."},
    {"select_tool", as_cfunction(session_select_tool), ARGS,
     "select_tool($self, tool_number)\n--\n\n"},
    {"set_power", as_cfunction(session_set_power), ARGS,
     "set_power($self, power=None)\n--\n\n"
     "Set laser power.  `power` is the absolute S value; `None`\n"
     "(or zero) turns the laser off."},
    {"set_focus_power", as_cfunction(session_set_focus_power), ARGS,
     "set_focus_power($self, power=None)\n--\n\n"
     "Set laser power for focus mode; `None` waits for pending jogs\n"
     "to finish and turns the laser off."},
    {"read_settings", session_read_settings, METH_NOARGS,
     "read_settings($self)\n--\n\n"
     "Read `$$` into `(key, raw_value)` pairs."},
    {"write_setting", as_cfunction(session_write_setting), ARGS,
     "write_setting($self, key, value)\n--\n\n"},
    {"set_wcs_offset", as_cfunction(session_set_wcs_offset), ARGS,
     "set_wcs_offset($self, wcs_slot, x, y, z)\n--\n\n"},
    {"read_wcs_offsets", session_read_wcs_offsets, METH_NOARGS,
     "read_wcs_offsets($self)\n--\n\n"
     "Read `$#` WCS offsets, converted to mm when the device\n"
     "reports inches."},
    {"read_parser_state", session_read_parser_state, METH_NOARGS,
     "read_parser_state($self)\n--\n\n"
     "Read the `$G` parser state to determine the active WCS."},
    {"run_probe_cycle", as_cfunction(session_run_probe_cycle), ARGS,
     "run_probe_cycle($self, axis_letter, max_travel, feed_rate)\n--\n\n"
     "Run a probe cycle (G38.2); returns the trigger position in mm\n"
     "or None on failure."},
    {"detect_unit_system", session_detect_unit_system, METH_NOARGS,
     "detect_unit_system($self)\n--\n\n"
     "Infer the device's unit system (\"metric\"/\"imperial\") from the\n"
     "`$13` setting."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
