#include "python/grbl/session_config.hpp"

#include <cmath>
#include <utility>

#include "python/args.hpp"

namespace vantorix::python {
namespace {

// The value stored under `key`, or NULL when the key is absent (borrowed).
PyObject* lookup(PyObject* config, const char* key) {
    if (config == nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(config, new_str(key).get());
    if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

std::string label(const char* key) {
    return std::string("config key '") + key + "'";
}

[[noreturn]] void wrong_type(const char* key, const char* expected, PyObject* value) {
    raise_labelled_error(label(key), PyExc_TypeError,
                         std::string("expected ") + expected + ", got " + type_name(value));
}

std::int64_t int_value(const char* key, PyObject* value) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) reraise_labelled(label(key));
    PyRef owned = PyRef::consuming(index);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow != 0) {
        raise_labelled_error(label(key), PyExc_OverflowError,
                             "value out of range for a signed 64-bit integer");
    }
    if (result == -1 && PyErr_Occurred()) reraise_labelled(label(key));
    return result;
}

void read_float(PyObject* config, const char* key, double& field) {
    PyObject* value = lookup(config, key);
    if (value == nullptr) return;
    if (PyBool_Check(value)) {
        field = value == Py_True ? 1.0 : 0.0;
        return;
    }
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) reraise_labelled(label(key));
    field = result;
}

void read_bool(PyObject* config, const char* key, bool& field) {
    PyObject* value = lookup(config, key);
    if (value == nullptr) return;
    if (!PyBool_Check(value)) wrong_type(key, "bool", value);
    field = value == Py_True;
}

template <typename Int>
void read_int(PyObject* config, const char* key, Int& field) {
    if (PyObject* value = lookup(config, key)) field = static_cast<Int>(int_value(key, value));
}

// Counts: a negative value is 0, and only the low 32 bits are kept.
void read_count(PyObject* config, const char* key, std::uint32_t& field) {
    if (PyObject* value = lookup(config, key)) {
        std::int64_t number = int_value(key, value);
        field = static_cast<std::uint32_t>(number < 0 ? 0 : number);
    }
}

std::string string_value(const char* key, PyObject* value) {
    if (!PyUnicode_Check(value)) wrong_type(key, "str", value);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) reraise_labelled(label(key));
    return {utf8, static_cast<std::size_t>(size)};
}

// Stall timeout bounds that cannot be applied as a range are refused here, when the
// session is built, instead of surfacing in the middle of a job.
void check_stall_timeout_bounds(const grbl::SessionConfig& c) {
    for (auto [key, value] : {std::pair{"stall_timeout_min", c.stall_timeout_min},
                              std::pair{"stall_timeout_max", c.stall_timeout_max}}) {
        if (!std::isfinite(value)) {
            raise_labelled_error(label(key), PyExc_ValueError, "must be a finite number");
        }
    }
    if (c.stall_timeout_min > c.stall_timeout_max) {
        raise_labelled_error(label("stall_timeout_min"), PyExc_ValueError,
                             "must not be greater than stall_timeout_max");
    }
}

}  // namespace

grbl::LinkChoice read_link_choice(PyObject* config) {
    if (PyObject* host = lookup(config, "host")) {
        grbl::TcpLink link{string_value("host", host)};
        read_int(config, "tcp_port", link.port);
        return link;
    }
    grbl::SerialLink link;
    if (PyObject* port = lookup(config, "port")) link.path = string_value("port", port);
    read_int(config, "baudrate", link.baudrate);
    return link;
}

grbl::SessionConfig read_session_config(PyObject* config) {
    grbl::SessionConfig c;
    read_bool(config, "poll_status_while_running", c.poll_status_while_running);
    read_bool(config, "deadlock_detection", c.deadlock_detection);
    read_int(config, "rx_buffer_size_override", c.rx_buffer_size_override);
    if (PyObject* value = lookup(config, "cached_rx_buffer_size")) {
        std::int64_t size = int_value("cached_rx_buffer_size", value);
        if (size > 0) c.cached_rx_buffer_size = static_cast<std::uint64_t>(size);
    }
    read_float(config, "stall_timeout_min", c.stall_timeout_min);
    read_float(config, "stall_timeout_max", c.stall_timeout_max);
    read_float(config, "stall_timeout_safety_factor", c.stall_timeout_safety_factor);
    read_float(config, "stall_timeout_default", c.stall_timeout_default);
    read_float(config, "safety_shutdown_delay", c.safety_shutdown_delay);
    read_count(config, "unanswered_poll_limit", c.unanswered_poll_limit);
    read_count(config, "poll_response_attempts", c.poll_response_attempts);
    read_float(config, "poll_response_interval", c.poll_response_interval);
    read_float(config, "handshake_timeout", c.handshake_timeout);
    read_float(config, "handshake_poll_interval", c.handshake_poll_interval);
    read_float(config, "status_poll_interval", c.status_poll_interval);
    read_float(config, "reconnect_delay", c.reconnect_delay);
    read_float(config, "command_timeout", c.command_timeout);
    check_stall_timeout_bounds(c);
    return c;
}

}  // namespace vantorix::python
