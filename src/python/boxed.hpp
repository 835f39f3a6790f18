// Python objects that hold one C++ value, for heap types built with PyType_FromSpec.
#pragma once

#include <new>
#include <utility>

#include "python/pyref.hpp"

namespace vantorix::python {

template <typename T>
struct Boxed {
    PyObject_HEAD T value;
};

template <typename T>
T& unbox(PyObject* object) {
    return reinterpret_cast<Boxed<T>*>(object)->value;
}

// Allocates an instance of `type` holding `value`.
template <typename T>
PyRef box(PyTypeObject* type, T value) {
    PyRef object = PyRef::consuming(type->tp_alloc(type, 0));
    new (&unbox<T>(object.get())) T(std::move(value));
    return object;
}

template <typename T>
void boxed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    unbox<T>(self).~T();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Builds a heap type once; the type object lives for the rest of the process.
inline PyTypeObject* make_type(PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(PyRef::consuming(PyType_FromSpec(&spec)).release());
}

}  // namespace vantorix::python
