#include "python/functions.hpp"

namespace vantorix::python {

PyRef make_function(PyMethodDef* def, PyObject* module) {
    PyRef name = PyRef::consuming(PyModule_GetNameObject(module));
    return PyRef::consuming(PyCFunction_NewEx(def, module, name.get()));
}

void add_function(PyObject* module, PyMethodDef* def) {
    PyRef function = make_function(def, module);
    check(PyModule_AddObjectRef(module, def->ml_name, function.get()));
}

}  // namespace vantorix::python
