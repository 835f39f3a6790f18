// What the method groups of GrblSession share: the object layout, the result converters
// and the method tables of each group.
#pragma once

#include <asio/awaitable.hpp>
#include <memory>
#include <string>
#include <vector>

#include "grbl/session/core.hpp"
#include "python/boxed.hpp"
#include "python/events.hpp"

namespace vantorix::python {

struct Session {
    std::shared_ptr<grbl::SessionCore> core;
    std::shared_ptr<PyEvents> events;
};

inline Session& session_of(PyObject* self) { return unbox<Session>(self); }

// Result converters for spawn_future (run under the interpreter lock).
PyRef none_result(grbl::Unit&);
PyRef string_list(std::vector<std::string>& lines);

// Adapts an engine operation that cannot fail to the bridge's result type.
asio::awaitable<grbl::VoidResult> always_succeeds(asio::awaitable<void> operation);

// Method groups, each ending with a {nullptr} sentinel.
extern PyMethodDef LIFECYCLE_METHODS[];  // session.cpp: connect, disconnect, commands, dialect
extern PyMethodDef JOB_METHODS[];        // session_jobs.cpp: run, run_raw, cancel, set_hold
extern PyMethodDef OPERATION_METHODS[];  // session_operations.cpp: machine operations

}  // namespace vantorix::python
