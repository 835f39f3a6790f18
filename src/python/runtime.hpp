// The shared background runtime as seen from Python: the GIL watchdog that starts with
// it, and the exit hook that stops it.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

// Connects the runtime's build and shutdown to the interpreter; called once at import.
void install_runtime_hooks();

PyMethodDef* shutdown_runtime_def();

}  // namespace vantorix::python
