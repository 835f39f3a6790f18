// The vantorix.grbl.parser module: pure parser functions over GRBL replies.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

// Sets __doc__ and __all__ and adds the functions in their fixed order.
void register_parser_module(PyObject* module);

}  // namespace vantorix::python
