#include "python/args.hpp"

#include <limits>

namespace vantorix::python {

namespace {

// Raises an instance of `type` built from the one message. Exception classes whose
// constructor wants more (UnicodeEncodeError takes five arguments) become TypeError
// with the same message, so the caller still sees which argument was wrong.
[[noreturn]] void raise_with_message(PyObject* type, const std::string& message) {
    PyRef text = new_str(message);
    PyObject* error = PyObject_CallOneArg(type, text.get());
    if (error == nullptr) {
        PyErr_Clear();
        error = PyObject_CallOneArg(PyExc_TypeError, text.get());
        if (error == nullptr) throw PyErrorSet{};
    }
    PyRef owned = PyRef::consuming(error);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    throw PyErrorSet{};
}

}  // namespace

void raise_labelled_error(std::string_view label, PyObject* type, std::string_view reason) {
    std::string message(label);
    message += ": ";
    message += reason;
    raise_with_message(type, message);
}

void reraise_labelled(std::string_view label) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = type ? PyRef::consuming(type) : PyRef::owning(PyExc_TypeError);
    PyRef owned_value = value ? PyRef::consuming(value) : PyRef();
    PyRef owned_traceback = traceback ? PyRef::consuming(traceback) : PyRef();
    std::string reason = "invalid value";
    if (owned_value) {
        PyObject* text = PyObject_Str(owned_value.get());
        if (text != nullptr) {
            PyRef owned_text = PyRef::consuming(text);
            if (const char* utf8 = PyUnicode_AsUTF8(text)) reason = utf8;
        }
        PyErr_Clear();
    }
    raise_labelled_error(label, owned_type.get(), reason);
}

void raise_argument_error(const char* name, PyObject* type, std::string_view reason) {
    raise_labelled_error(std::string("argument '") + name + "'", type, reason);
}

void reraise_as_argument_error(const char* name) {
    reraise_labelled(std::string("argument '") + name + "'");
}

std::string type_name(PyObject* value) {
    return Py_TYPE(value)->tp_name;
}

std::int64_t to_i64(PyObject* value, const char* name) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) reraise_as_argument_error(name);
    PyRef owned = PyRef::consuming(index);
    long long result = PyLong_AsLongLong(index);
    if (result == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_argument_error(name, PyExc_OverflowError,
                             "value out of range for a signed 64-bit integer");
    }
    return result;
}

std::int32_t to_i32(PyObject* value, const char* name) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) reraise_as_argument_error(name);
    PyRef owned = PyRef::consuming(index);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (result == -1 && PyErr_Occurred()) reraise_as_argument_error(name);
    if (overflow != 0 || result < std::numeric_limits<std::int32_t>::min() ||
        result > std::numeric_limits<std::int32_t>::max()) {
        raise_argument_error(name, PyExc_OverflowError,
                             "value out of range for a signed 32-bit integer");
    }
    return static_cast<std::int32_t>(result);
}

std::optional<std::int64_t> to_optional_i64(PyObject* value, const char* name) {
    if (value == Py_None) return std::nullopt;
    return to_i64(value, name);
}

bool to_bool(PyObject* value, const char* name) {
    if (PyBool_Check(value)) return value == Py_True;
    std::string_view type = Py_TYPE(value)->tp_name;
    // NumPy 1.x names its scalar type numpy.bool_, NumPy 2.x numpy.bool.
    if (type == "numpy.bool_" || type == "numpy.bool") {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) reraise_as_argument_error(name);
        return truth == 1;
    }
    raise_argument_error(name, PyExc_TypeError, "expected bool, got " + type_name(value));
}

double to_f64(PyObject* value, const char* name) {
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) reraise_as_argument_error(name);
    return result;
}

std::string_view to_string_view(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        raise_argument_error(name, PyExc_TypeError, "expected str, got " + type_name(value));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) reraise_as_argument_error(name);
    return {utf8, static_cast<std::size_t>(size)};
}

std::string to_string(PyObject* value, const char* name) {
    return std::string(to_string_view(value, name));
}

std::string to_single_line(PyObject* value, const char* name) {
    std::string text = to_string(value, name);
    if (text.find_first_of("\r\n") != std::string::npos) {
        raise_argument_error(name, PyExc_ValueError, "must be a single line without line breaks");
    }
    return text;
}

std::optional<std::string> to_optional_string(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_string(value, name);
}

std::vector<std::string> to_string_list(PyObject* value, const char* name) {
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected a sequence of str, got " + type_name(value));
    }
    PyObject* fast = PySequence_Fast(value, "expected a sequence of str");
    if (fast == nullptr) reraise_as_argument_error(name);
    PyRef items = PyRef::consuming(fast);
    Py_ssize_t size = PySequence_Fast_GET_SIZE(fast);
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
        if (!PyUnicode_Check(item)) {
            raise_argument_error(
                name, PyExc_TypeError,
                "item " + std::to_string(i) + ": expected str, got " + type_name(item));
        }
        texts.emplace_back(to_string_view(item, name));
    }
    return texts;
}

std::string to_byte_string(PyObject* value, const char* name) {
    if (PyBytes_Check(value)) {
        return std::string(PyBytes_AS_STRING(value),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    }
    if (PyByteArray_Check(value)) {
        return std::string(PyByteArray_AS_STRING(value),
                           static_cast<std::size_t>(PyByteArray_GET_SIZE(value)));
    }
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(
            name, PyExc_TypeError,
            "expected bytes, bytearray or a sequence of int, got " + type_name(value));
    }
    PyRef items = PyRef::consuming(PySequence_Fast(value, "expected a sequence of int"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* index = PyNumber_Index(PySequence_Fast_GET_ITEM(items.get(), i));
        if (index == nullptr) reraise_as_argument_error(name);
        PyRef owned = PyRef::consuming(index);
        int overflow = 0;
        long byte = PyLong_AsLongAndOverflow(index, &overflow);
        if (overflow != 0 || byte < 0 || byte > 255) {
            raise_argument_error(name, PyExc_OverflowError, "byte value out of range 0..255");
        }
        bytes += static_cast<char>(byte);
    }
    return bytes;
}

}  // namespace vantorix::python
