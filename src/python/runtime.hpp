// The shared background runtime's hook for interpreter exit.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

PyMethodDef* shutdown_runtime_def();

}  // namespace vantorix::python
