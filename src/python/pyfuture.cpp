#include "python/pyfuture.hpp"

#include <stdexcept>

#include "rt/runtime.hpp"
#include "rt/task.hpp"

namespace vantorix::python {

PyRef session_error_to_python(const grbl::SessionError& error) {
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind()) {
        case grbl::SessionError::Kind::CONNECTION:
        case grbl::SessionError::Kind::BUFFER_STALL:
            type = PyExc_ConnectionError;
            break;
        case grbl::SessionError::Kind::TIMEOUT:
            type = PyExc_TimeoutError;
            break;
        case grbl::SessionError::Kind::DEVICE:
        case grbl::SessionError::Kind::OTHER:
            type = PyExc_RuntimeError;
            break;
    }
    PyRef message = new_str(error.text());
    return PyRef::consuming(PyObject_CallOneArg(type, message.get()));
}

namespace detail {

LoopAndFuture create_future() {
    PyRef asyncio = PyRef::consuming(PyImport_ImportModule("asyncio"));
    PyRef loop = PyRef::consuming(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr));
    PyRef future = PyRef::consuming(PyObject_CallMethod(loop.get(), "create_future", nullptr));
    try {
        rt::runtime();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "cannot build the background runtime: %s", e.what());
        throw PyErrorSet{};
    }
    return {SharedRef(std::move(loop)), SharedRef(std::move(future))};
}

void complete_future(const LoopAndFuture& target, PyObject* value, PyObject* error) {
    const char* method = error != nullptr ? "set_exception" : "set_result";
    PyObject* argument = error != nullptr ? error : (value != nullptr ? value : Py_None);
    PyObject* setter = PyObject_GetAttrString(target.future.get(), method);
    PyObject* scheduled = nullptr;
    if (setter != nullptr) {
        scheduled =
            PyObject_CallMethod(target.loop.get(), "call_soon_threadsafe", "OO", setter, argument);
        Py_DECREF(setter);
    }
    if (scheduled == nullptr) {
        // Typically the loop was closed meanwhile: report it as the interpreter reports
        // an unhandled exception; the future stays as it is.
        PyErr_Print();
        return;
    }
    Py_DECREF(scheduled);
}

void spawn_detached(asio::awaitable<void> task) {
    rt::spawn(std::move(task));
}

PyRef internal_error_to_python(std::exception_ptr error) {
    std::string text = "internal error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    PyRef message = new_str(text);
    return PyRef::consuming(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
}

}  // namespace detail
}  // namespace vantorix::python
