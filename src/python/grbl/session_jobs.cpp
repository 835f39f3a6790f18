// GrblSession methods for jobs: run, run_raw, cancel and set_hold.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "grbl/session/cancel.hpp"
#include "grbl/session/streaming.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/grbl/session_object.hpp"
#include "python/pyfuture.hpp"

namespace vantorix::python {
namespace {

std::int64_t non_negative(PyObject* value, const char* name) {
    std::int64_t number = to_i64(value, name);
    if (number < 0) {
        raise_argument_error(name, PyExc_OverflowError, "can't convert negative int to unsigned");
    }
    return number;
}

grbl::OpLineMap to_op_line_map(PyObject* value) {
    grbl::OpLineMap map;
    if (value == Py_None) return map;
    if (!PyDict_Check(value)) {
        raise_argument_error("op_line_map", PyExc_TypeError,
                             "expected dict or None, got " + type_name(value));
    }
    // A snapshot of the items: converting a key may run Python code that changes the dict.
    PyRef items = PyRef::consuming(PyDict_Items(value));
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const std::int64_t line = non_negative(PyTuple_GET_ITEM(item, 0), "op_line_map");
        const std::int64_t op = non_negative(PyTuple_GET_ITEM(item, 1), "op_line_map");
        map[static_cast<std::uint64_t>(line)] = op;
    }
    return map;
}

grbl::OpEstimates to_op_estimates(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error("op_estimates", PyExc_TypeError,
                             "expected a sequence of float or None, got " + type_name(value));
    }
    PyRef items = PyRef::consuming(PySequence_Fast(value, "expected a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<double> estimates;
    estimates.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        estimates.push_back(to_f64(PySequence_Fast_GET_ITEM(items.get(), i), "op_estimates"));
    }
    return estimates;
}

// Installs the progress callback of a job when the job starts, from the worker thread
// that starts it.
std::function<void()> progress_installer(std::shared_ptr<PyEvents> events, PyObject* callback) {
    auto held = std::make_shared<SharedRef>(PyRef::owning(callback));
    return [events = std::move(events), held = std::move(held)] {
        if (!python_alive()) return;
        Gil gil;
        events->set_progress_callback(held->get());
    };
}

asio::awaitable<grbl::VoidResult> ignore_outcome(asio::awaitable<void> job) {
    co_await std::move(job);
    co_return grbl::Unit{};
}

PyObject* session_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"gcode", "op_line_map", "op_estimates",
                                               "progress_callback", nullptr};
        PyObject* gcode;
        PyObject* op_line_map = Py_None;
        PyObject* op_estimates = Py_None;
        PyObject* progress_callback = Py_None;
        parse_arguments(args, kwargs, "O|OOO:run", KEYWORDS, &gcode, &op_line_map, &op_estimates,
                        &progress_callback);
        std::string program = to_string(gcode, "gcode");
        grbl::OpLineMap map = to_op_line_map(op_line_map);
        grbl::OpEstimates estimates = to_op_estimates(op_estimates);
        Session& session = session_of(self);
        return spawn_future_with(
            [&] {
                return ignore_outcome(grbl::run(
                    session.core, std::move(program), std::move(map), std::move(estimates),
                    progress_installer(session.events, progress_callback)));
            },
            none_result);
    });
}

PyObject* session_run_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"machine_code", nullptr};
        PyObject* machine_code;
        parse_arguments(args, kwargs, "O:run_raw", KEYWORDS, &machine_code);
        std::string program = to_string(machine_code, "machine_code");
        return spawn_future(
            ignore_outcome(grbl::run_raw(session_of(self).core, std::move(program))), none_result);
    });
}

PyObject* session_set_hold(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"hold", nullptr};
        PyObject* hold = Py_True;
        parse_arguments(args, kwargs, "|O:set_hold", KEYWORDS, &hold);
        const bool value = to_bool(hold, "hold");
        return spawn_future(grbl::set_hold(session_of(self).core, value), none_result);
    });
}

PyObject* session_cancel(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"emergency", nullptr};
        PyObject* emergency = Py_False;
        parse_arguments(args, kwargs, "|O:cancel", KEYWORDS, &emergency);
        const bool value = to_bool(emergency, "emergency");
        return spawn_future(grbl::cancel(session_of(self).core, value), none_result);
    });
}

}  // namespace

PyMethodDef JOB_METHODS[] = {
    {"run", as_cfunction(session_run), METH_VARARGS | METH_KEYWORDS,
     "run($self, gcode, op_line_map=None, op_estimates=None, progress_callback=None)\n--\n\n"
     "Stream a G-code program using the character-counting\nprotocol.\n\n"
     "`op_line_map` maps G-code line indices to op indices for\nprogress reporting; "
     "`op_estimates` holds per-op estimated\ndurations (seconds) used to scale per-line "
     "stall timeouts."},
    {"run_raw", as_cfunction(session_run_raw), METH_VARARGS | METH_KEYWORDS,
     "run_raw($self, machine_code)\n--\n\n"
     "Execute a raw G-code string; GRBL realtime commands (?, ~, !)\n"
     "are sent via the control path instead of the stream."},
    {"set_hold", as_cfunction(session_set_hold), METH_VARARGS | METH_KEYWORDS,
     "set_hold($self, hold=True)\n--\n\nPause (feed hold) or resume the device."},
    {"cancel", as_cfunction(session_cancel), METH_VARARGS | METH_KEYWORDS,
     "cancel($self, emergency=False)\n--\n\n"
     "Abort the running job: soft reset, queue cleanup and safety\nshutdown."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
