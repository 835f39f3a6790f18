// The Python class MockTransport: an in-memory link shared with a session.
#pragma once

#include <memory>

#include "grbl/transport/mock.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {

PyTypeObject* mock_transport_type();

// The shared in-memory transport of a MockTransport instance; anything else raises
// TypeError naming `name`.
std::shared_ptr<grbl::MockInner> mock_inner_from_python(PyObject* value, const char* name);

}  // namespace vantorix::python
