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

// Releases the references that were dropped on threads without the interpreter lock.
// Call with the lock held.
void release_deferred();

// Gives the calling thread a Python thread state that outlives each Gil. Without it, every
// PyGILState_Ensure on a runtime worker creates a thread state (and the stack for its
// frames) and every Release destroys it again: a malloc, an mmap and their undoing each
// time a worker delivers an event or completes a future.
void keep_thread_state();

// Holds the interpreter lock for its lifetime (PyGILState_Ensure / Release) and, on
// entry, releases references dropped earlier on threads without the lock.
class Gil {
  public:
    Gil() : state_(PyGILState_Ensure()) {
        keep_thread_state();
        release_deferred();
    }
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

  private:
    PyGILState_STATE state_;
};

// A strong reference that may be dropped on any thread: without the interpreter lock the
// release is queued and done the next time our code holds the lock (after the exit hook
// the reference is simply left, as the interpreter is going away).
class SharedRef {
  public:
    SharedRef() = default;
    explicit SharedRef(PyRef ref) : object_(ref.release()) {}
    SharedRef(SharedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    SharedRef& operator=(SharedRef&& other) noexcept {
        SharedRef(std::move(other)).swap(*this);
        return *this;
    }
    SharedRef(const SharedRef&) = delete;
    SharedRef& operator=(const SharedRef&) = delete;
    ~SharedRef() { reset(); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // A new strong reference; call with the interpreter lock held.
    PyRef ref() const { return PyRef::owning(object_); }
    void reset();
    void swap(SharedRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace vantorix::python
