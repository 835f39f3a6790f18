// The configuration dictionary of a session, read into the link choice and SessionConfig.
#pragma once

#include "grbl/session/config.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {

// Reads the link keys ("host", "tcp_port", "port", "baudrate"). `config` is a dict.
grbl::LinkChoice read_link_choice(PyObject* config);

// Reads every tuning key in a fixed order; `config` is a dict or NULL (all defaults). A
// value of the wrong type raises its conversion error naming the key.
grbl::SessionConfig read_session_config(PyObject* config);

}  // namespace vantorix::python
