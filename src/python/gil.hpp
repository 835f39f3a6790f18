// Entering the interpreter from the runtime's worker threads.
//
// Workers take the interpreter lock only briefly (to build a result, schedule a
// callback, build an event payload, print the watchdog line) and never while waiting
// for a device. Once the interpreter starts exiting, no worker may enter it again.
#pragma once

#include "python/pyref.hpp"

namespace vantorix::python {

// False from the moment the exit hook runs; workers check it before taking the lock.
bool python_alive();
void mark_python_gone();

// Holds the interpreter lock for its lifetime (PyGILState_Ensure / Release).
class Gil {
public:
    Gil() : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace vantorix::python
