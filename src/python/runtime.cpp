#include "python/runtime.hpp"

namespace vantorix::python {
namespace {

// Nothing runs in the background yet, so there is nothing to tear down.
PyObject* py_shutdown_runtime(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef SHUTDOWN_RUNTIME = {
    "_shutdown_runtime",
    py_shutdown_runtime,
    METH_NOARGS,
    "_shutdown_runtime()\n--\n\n"
    "Tear down the shared background runtime [`runtime::shutdown`]. Called via `atexit`, "
    "before CPython\nfinalizes the interpreter.",
};

}  // namespace

PyMethodDef* shutdown_runtime_def() { return &SHUTDOWN_RUNTIME; }

}  // namespace vantorix::python
