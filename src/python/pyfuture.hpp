// The bridge from background work to asyncio futures.
//
// An asynchronous method creates a future on the caller's running loop and spawns the
// work on the shared runtime. The work runs without the interpreter lock; when it ends,
// a worker converts the outcome under the lock and completes the future from the loop's
// own thread through `loop.call_soon_threadsafe`.
#pragma once

#include <cxxabi.h>
#include <asio/awaitable.hpp>

#include <exception>
#include <optional>
#include <utility>

#include "grbl/session/error.hpp"
#include "python/gil.hpp"
#include "python/pyref.hpp"

namespace vantorix::python {

// The Python exception for a session error (ConnectionError, TimeoutError or
// RuntimeError with the error's text).
PyRef session_error_to_python(const grbl::SessionError& error);

namespace detail {

struct LoopAndFuture {
    SharedRef loop;
    SharedRef future;
};

// Creates the future on the running loop and makes sure the runtime exists; raises the
// asyncio error when no loop runs in this thread.
LoopAndFuture create_future();

// Completes the future with `value` (success) or `error` (an exception instance) through
// `loop.call_soon_threadsafe`; a failure to schedule is printed like an unhandled
// exception. Runs with the interpreter lock held.
void complete_future(const LoopAndFuture& target, PyObject* value, PyObject* error);

// Spawns `task` onto the runtime, detached.
void spawn_detached(asio::awaitable<void> task);

// The exception for work that ended with an unexpected C++ exception.
PyRef internal_error_to_python(std::exception_ptr error);

template <typename T, typename Convert>
asio::awaitable<void> bridged_task(asio::awaitable<grbl::Result<T>> work, Convert convert,
                                   LoopAndFuture target) {
    std::optional<grbl::Result<T>> outcome;
    std::exception_ptr failure;
    try {
        // The work owns the session engine; it is released with the work's frame at the
        // end of this block, before the interpreter lock is taken.
        auto owned = std::move(work);
        outcome.emplace(co_await std::move(owned));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!python_alive()) co_return;
    Gil gil;
    PyRef value, error;
    try {
        if (failure) {
            error = internal_error_to_python(failure);
        } else if (outcome->ok()) {
            value = convert(outcome->value());
        } else {
            error = session_error_to_python(outcome->error());
        }
    } catch (const PyErrorSet&) {
        PyObject *type, *exc, *traceback;
        PyErr_Fetch(&type, &exc, &traceback);
        PyErr_NormalizeException(&type, &exc, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(exc, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        error = PyRef::consuming(exc);
    }
    complete_future(target, value.get(), error.get());
    target.future.reset();
    target.loop.reset();
}

}  // namespace detail

// Returns the new future, or raises (PyErrorSet) when no loop is running or the runtime
// cannot be built. The work is made by `make_work` only once the future exists, so
// whatever the work does at its creation happens only when the call can succeed.
// `convert` turns the work's value into a Python object under the interpreter lock and
// may raise.
template <typename MakeWork, typename Convert>
PyRef spawn_future_with(MakeWork make_work, Convert convert) {
    detail::LoopAndFuture target = detail::create_future();
    PyRef future = target.future.ref();
    auto work = make_work();
    detail::spawn_detached(detail::bridged_task(std::move(work), convert, std::move(target)));
    return future;
}

template <typename T, typename Convert>
PyRef spawn_future(asio::awaitable<grbl::Result<T>> work, Convert convert) {
    return spawn_future_with([&] { return std::move(work); }, convert);
}

}  // namespace vantorix::python
