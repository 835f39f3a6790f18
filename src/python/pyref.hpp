// Ownership of Python references and the C++/C API error boundary.
//
// Every PyObject* the binding owns lives in a PyRef. The two named constructors make
// ownership visible where the pointer comes from: `consuming` takes over a new
// reference returned by the C API, `owning` adds a reference to a borrowed pointer.
// A C API failure becomes a PyErrorSet exception ("a Python error is set"), caught once
// at each entry point by `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace vantorix::python {

struct PyErrorSet : std::exception {
    const char* what() const noexcept override { return "a Python error is set"; }
};

class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference; NULL means the C API call failed with an error set.
    static PyRef consuming(PyObject* object) {
        if (object == nullptr) throw PyErrorSet{};
        return PyRef(object);
    }
    // Adds a reference to a borrowed pointer (which must not be NULL).
    static PyRef owning(PyObject* object) {
        Py_INCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // The pointer without giving up ownership.
    PyObject* borrow() const { return object_; }
    // Hands the reference to the caller (e.g. as a return value to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }
    // A second strong reference to the same object.
    PyRef clone() const { return owning(object_); }
    explicit operator bool() const { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// A negative status from the C API means an error is set.
inline void check(int status) {
    if (status < 0) throw PyErrorSet{};
}

// Runs `body` and turns any C++ exception into a set Python error. Returns `failure`
// (NULL or -1) in that case.
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return failure;
}

template <typename Body>
PyObject* guarded_object(Body&& body) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

template <typename Body>
int guarded_status(Body&& body) {
    return guarded<int>(-1, [&]() -> int {
        body();
        return 0;
    });
}

inline PyRef none() {
    return PyRef::owning(Py_None);
}

inline PyRef new_str(std::string_view text) {
    return PyRef::consuming(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace vantorix::python
