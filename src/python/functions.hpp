// Module-level built-in functions: bound to their module, carrying their text
// signature in the docstring.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

// PyMethodDef stores every calling convention as PyCFunction; going through a plain
// function pointer type keeps -Wcast-function-type quiet about the intended cast.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A built-in function bound to `module` (its __module__ is the module's __name__).
PyRef make_function(PyMethodDef* def, PyObject* module);
// The same, added to `module` under the function's name.
void add_function(PyObject* module, PyMethodDef* def);

}  // namespace vantorix::python
