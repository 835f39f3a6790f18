// The dialect dictionary of the Python API, read into the engine's GrblDialect.
#pragma once

#include "grbl/dialect.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {

// `dialect` is None (or NULL, an omitted argument) for the defaults, or a dict with str
// keys. Template keys and "emergency_stop" take a str; values of any other type are
// skipped. "safety_off_commands" takes a sequence of str. Unknown keys are ignored.
// Raises TypeError (argument 'dialect') for anything else and for a non-str key.
grbl::GrblDialect parse_dialect(PyObject* dialect);

}  // namespace vantorix::python
