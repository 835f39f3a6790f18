// The extension's entry point: builds the module tree vantorix, vantorix.grbl,
// vantorix.grbl.types and vantorix.grbl.parser, and hands the runtime's shutdown hook
// to atexit. The submodules are plain attributes, not entries of sys.modules.
#include "python/functions.hpp"
#include "python/grbl/mock.hpp"
#include "python/grbl/parser.hpp"
#include "python/grbl/session.hpp"
#include "python/grbl/types.hpp"
#include "python/logging.hpp"
#include "python/runtime.hpp"

namespace vantorix::python {
namespace {

constexpr const char* GRBL_DOC =
    "GRBL device drivers, implemented natively.\n"
    "\n"
    "The central type is GrblSession: it owns the connection lifecycle (handshake, status "
    "polling, reconnect), interactive commands, and job streaming with character-counting "
    "flow control, stall detection and deadlock recovery. Dialects remain data owned by "
    "Kilnmark: resolved command templates are passed into the session.\n";

using Registration = void (*)(PyObject*);

void attach_submodule(PyObject* parent, const char* name, Registration registration) {
    PyRef module = PyRef::consuming(PyModule_New(name));
    registration(module.get());
    check(PyModule_AddObjectRef(parent, name, module.get()));
}

void register_grbl_module(PyObject* grbl) {
    check(PyModule_AddObjectRef(grbl, "__doc__", new_str(GRBL_DOC).get()));
    PyRef all = PyRef::consuming(Py_BuildValue("[sss]", "GrblSession", "MockTransport", "types"));
    check(PyModule_AddObjectRef(grbl, "__all__", all.get()));
    check(PyModule_AddType(grbl, grbl_session_type()));
    check(PyModule_AddType(grbl, mock_transport_type()));
    attach_submodule(grbl, "types", register_types_module);
    attach_submodule(grbl, "parser", register_parser_module);
}

void register_atexit_hook(PyObject* module) {
    PyRef atexit = PyRef::consuming(PyImport_ImportModule("atexit"));
    PyRef hook = make_function(shutdown_runtime_def(), module);
    PyRef result = PyRef::consuming(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

int exec_module(PyObject* module) {
    return guarded_status([&] {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "expected a module, got %s", Py_TYPE(module)->tp_name);
            throw PyErrorSet{};
        }
        install_runtime_hooks();
        add_function(module, init_logging_def());
        attach_submodule(module, "grbl", register_grbl_module);
        register_atexit_hook(module);
    });
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vantorix", "", 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantorix::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vantorix() {
    return PyModuleDef_Init(&vantorix::python::MODULE_DEF);
}
