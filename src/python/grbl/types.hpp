// The Python classes DeviceStatus, DeviceError and DeviceState of vantorix.grbl.types,
// and conversions between them and the engine values.
#pragma once

#include "grbl/types.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {

// Type objects, created once per process on first use.
PyTypeObject* device_status_type();
PyTypeObject* device_error_type();
PyTypeObject* device_state_type();

// The one member object of each status (a new reference to it).
PyRef to_python(grbl::DeviceStatus status);
PyRef to_python(const grbl::DeviceError& error);
PyRef to_python(const grbl::DeviceState& state);

// A copy of the state held by a DeviceState instance; anything else raises TypeError
// naming `name`.
grbl::DeviceState device_state_from_python(PyObject* value, const char* name);

// Sets __doc__ and __all__ on the types module and adds the three classes.
void register_types_module(PyObject* module);

}  // namespace vantorix::python
