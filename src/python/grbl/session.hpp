// The Python class GrblSession: a thin façade over the session engine.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

PyTypeObject* grbl_session_type();

}  // namespace vantorix::python
