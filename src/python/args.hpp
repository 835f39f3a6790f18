// Argument conversion for every function, method and property of the module. Every
// failure raises TypeError or OverflowError with "argument '<name>': <reason>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/pyref.hpp"

namespace vantorix::python {

// Raises `type` with "<label>: <reason>".
[[noreturn]] void raise_labelled_error(std::string_view label, PyObject* type,
                                       std::string_view reason);
// Rewrites the Python error that is currently set into the same exception type with the
// message "<label>: <original message>", then throws PyErrorSet.
[[noreturn]] void reraise_labelled(std::string_view label);

// Raises `type` with "argument '<name>': <reason>".
[[noreturn]] void raise_argument_error(const char* name, PyObject* type, std::string_view reason);
// Rewrites the Python error that is currently set into the same exception type with
// the message "argument '<name>': <original message>", then throws PyErrorSet.
[[noreturn]] void reraise_as_argument_error(const char* name);

// `int` or any object with __index__ (bool included) within the range.
std::int32_t to_i32(PyObject* value, const char* name);
std::int64_t to_i64(PyObject* value, const char* name);
std::optional<std::int64_t> to_optional_i64(PyObject* value, const char* name);
// A `bool`, or a NumPy boolean scalar (recognised by its type name, so NumPy is never
// imported). An `int` is refused: 0 and 1 are not accepted as flags.
bool to_bool(PyObject* value, const char* name);
// `float`, `int` or anything with __float__ / __index__.
double to_f64(PyObject* value, const char* name);
// Exactly a `str`, returned as UTF-8.
std::string to_string(PyObject* value, const char* name);
std::optional<std::string> to_optional_string(PyObject* value, const char* name);
// A `str` holding one device line: a line break inside it would put a second line on the
// wire that the character counting never sees, so it raises ValueError.
std::string to_single_line(PyObject* value, const char* name);
// A `str` borrowed as UTF-8; valid while `value` lives.
std::string_view to_string_view(PyObject* value, const char* name);

// Unpacks positional and keyword arguments into borrowed objects with the interpreter's
// own rules and messages for missing or surplus arguments. `format` uses only "O", "|"
// and ":name"; defaults stay as the caller initialised them.
template <typename... Out>
void parse_arguments(PyObject* args, PyObject* kwargs, const char* format,
                     const char* const* keywords, Out**... out) {
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), out...)) {
        throw PyErrorSet{};
    }
}

// Name of the object's type, for messages such as "expected str, got int".
std::string type_name(PyObject* value);

// A list, tuple or other sequence of `str`, as UTF-8 texts. A `str` itself is refused,
// although it is a sequence, because its characters are never meant as the items.
std::vector<std::string> to_string_list(PyObject* value, const char* name);

// `bytes`, `bytearray` or any other sequence of integers 0..255, as raw bytes. A `str`
// is refused: its characters are not bytes.
std::string to_byte_string(PyObject* value, const char* name);

}  // namespace vantorix::python
