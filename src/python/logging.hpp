// init_logging: routes the engine's diagnostics to stderr or a log file.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

PyMethodDef* init_logging_def();

}  // namespace vantorix::python
