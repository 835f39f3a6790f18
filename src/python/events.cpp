#include "python/events.hpp"

#include "log/facade.hpp"
#include "python/args.hpp"
#include "python/boxed.hpp"
#include "python/grbl/types.hpp"

namespace vantorix::python {
namespace {

constexpr const char* TARGET = "vantorix::python::events";
constexpr const char* PROGRESS = "__progress__";

// Takes the pending Python error and returns it as "TypeName: message".
std::string take_error_text() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "error";
    if (value != nullptr) {
        if (PyObject* message = PyObject_Str(value)) {
            if (const char* utf8 = PyUnicode_AsUTF8(message)) {
                if (*utf8 != '\0') text += std::string(": ") + utf8;
            }
            Py_DECREF(message);
        }
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

PyRef status_pair(grbl::TransportStatus status, const std::optional<std::string>& message) {
    PyRef name = new_str(grbl::transport_status_name(status));
    PyRef text = message ? new_str(*message) : none();
    return PyRef::consuming(PyTuple_Pack(2, name.get(), text.get()));
}

using DrainerValue = std::shared_ptr<PyEvents>;

PyObject* drainer_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {nullptr};
        parse_arguments(args, kwargs, ":EventDrainer", KEYWORDS);
        unbox<DrainerValue>(self)->drain();
        return none();
    });
}

PyType_Slot DRAINER_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("The loop-side drain callable: invoked via\n"
                                  "`loop.call_soon_threadsafe(drain)`; runs on the event loop\n"
                                  "thread and delivers every queued event.")},
    {Py_tp_call, reinterpret_cast<void*>(drainer_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DrainerValue>)},
    {0, nullptr},
};

PyType_Spec DRAINER_SPEC = {
    "vantorix.grbl.EventDrainer",
    sizeof(Boxed<DrainerValue>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    DRAINER_SLOTS,
};

// Created on first use, like every type of the module, but not placed in any module.
PyTypeObject* drainer_type() {
    static PyTypeObject* type = make_type(DRAINER_SPEC);
    return type;
}

}  // namespace

bool EventQueue::push(std::string name, PyRef payload) {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{std::move(name), SharedRef(std::move(payload))});
    return !scheduled_.exchange(true);
}

bool EventQueue::push_progress(std::uint64_t op_index) {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{PROGRESS, SharedRef(), op_index});
    return !scheduled_.exchange(true);
}

std::vector<EventQueue::Event> EventQueue::take() {
    std::lock_guard lock(mutex_);
    scheduled_.store(false);
    return std::exchange(events_, {});
}

std::shared_ptr<PyEvents> PyEvents::create(PyObject* callback) {
    std::shared_ptr<PyEvents> events(new PyEvents());
    if (callback != nullptr && callback != Py_None) {
        events->callback_ = SharedRef(PyRef::owning(callback));
    }
    return events;
}

void PyEvents::capture_loop() {
    std::lock_guard lock(loop_mutex_);
    if (loop_) return;
    PyRef asyncio = PyRef::consuming(PyImport_ImportModule("asyncio"));
    loop_ = SharedRef(
        PyRef::consuming(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr)));
}

void PyEvents::set_progress_callback(PyObject* callback) {
    SharedRef replacement;
    if (callback != nullptr && callback != Py_None)
        replacement = SharedRef(PyRef::owning(callback));
    std::lock_guard lock(progress_mutex_);
    progress_callback_.swap(replacement);
}

PyEvents::Scheduled PyEvents::schedule_drain() {
    PyRef loop;
    {
        std::lock_guard lock(loop_mutex_);
        if (!loop_) return Scheduled::NO_LOOP;
        loop = loop_.ref();
    }
    PyObject* drainer_object = nullptr;
    try {
        drainer_object = box(drainer_type(), shared_from_this()).release();
    } catch (const PyErrorSet&) {
        return Scheduled::FAILED;
    }
    PyRef drainer = PyRef::consuming(drainer_object);
    PyObject* result = PyObject_CallMethod(loop.get(), "call_soon_threadsafe", "O", drainer.get());
    if (result == nullptr) return Scheduled::FAILED;
    Py_DECREF(result);
    return Scheduled::YES;
}

template <typename BuildPayload>
void PyEvents::emit(const char* name, BuildPayload build) {
    if (!callback_ || !python_alive()) return;
    Gil gil;
    PyRef payload;
    try {
        payload = build();
    } catch (const PyErrorSet&) {
        log::warn(TARGET, "failed to schedule session event {}: {}", name, take_error_text());
        return;
    }
    if (!queue_->push(name, std::move(payload))) return;
    switch (schedule_drain()) {
        case Scheduled::YES:
            return;
        case Scheduled::NO_LOOP:
            queue_->unschedule();
            return;
        case Scheduled::FAILED:
            queue_->unschedule();
            log::warn(TARGET, "failed to schedule session event {}: {}", name, take_error_text());
            return;
    }
}

void PyEvents::state_changed(const grbl::DeviceState& state) {
    emit("state_changed", [&] { return to_python(state); });
}

void PyEvents::connection_status(grbl::TransportStatus status,
                                 const std::optional<std::string>& message) {
    emit("connection_status_changed", [&] { return status_pair(status, message); });
}

void PyEvents::command_status(grbl::TransportStatus status,
                              const std::optional<std::string>& message) {
    emit("command_status_changed", [&] { return status_pair(status, message); });
}

void PyEvents::job_finished() {
    emit("job_finished", [] { return none(); });
}

void PyEvents::probe_status(const std::string& text) {
    emit("probe_status_changed", [&] { return new_str(text); });
}

void PyEvents::wcs_updated(const grbl::WcsOffsets& offsets) {
    emit("wcs_updated", [&] {
        PyRef dict = PyRef::consuming(PyDict_New());
        for (const auto& [name, xyz] : offsets) {
            PyRef triple = PyRef::consuming(Py_BuildValue("(ddd)", xyz[0], xyz[1], xyz[2]));
            check(PyDict_SetItemString(dict.get(), name.c_str(), triple.get()));
        }
        return dict;
    });
}

void PyEvents::config_changed(const std::string& key, std::int64_t value) {
    emit("config_changed", [&] {
        PyRef name = new_str(key);
        PyRef number = PyRef::consuming(PyLong_FromLongLong(value));
        return PyRef::consuming(PyTuple_Pack(2, name.get(), number.get()));
    });
}

// Progress comes once per acknowledged line during a job. The index is queued without the
// interpreter lock; the lock is taken only to request a drain, once per batch. The request
// is made here, on the reader, and not handed to other work: a drain requested later could
// be scheduled on the loop after the job's own future completes, and a host would then see
// `run` resolve before its last progress callbacks.
void PyEvents::command_done(std::uint64_t op_index) {
    {
        std::lock_guard lock(progress_mutex_);
        if (!progress_callback_) return;
    }
    {
        std::lock_guard lock(loop_mutex_);
        if (!loop_) return;
    }
    if (!python_alive()) return;
    if (!queue_->push_progress(op_index)) return;
    Gil gil;
    if (schedule_drain() != Scheduled::YES) {
        queue_->unschedule();
        if (PyErr_Occurred()) {
            log::warn(TARGET, "failed to schedule command_done: {}", take_error_text());
        }
    }
}

void PyEvents::drain() {
    std::vector<EventQueue::Event> batch = queue_->take();
    for (EventQueue::Event& event : batch) {
        if (event.name == PROGRESS) {
            PyRef progress;
            {
                std::lock_guard lock(progress_mutex_);
                if (progress_callback_) progress = progress_callback_.ref();
            }
            if (!progress) continue;
            PyRef index;
            try {
                index = PyRef::consuming(PyLong_FromUnsignedLongLong(event.op_index));
            } catch (const PyErrorSet&) {
                log::warn(TARGET, "progress callback failed: {}", take_error_text());
                continue;
            }
            PyObject* result = PyObject_CallOneArg(progress.get(), index.get());
            if (result == nullptr) {
                log::warn(TARGET, "progress callback failed: {}", take_error_text());
            }
            Py_XDECREF(result);
        } else if (callback_) {
            PyRef name = new_str(event.name);
            PyObject* result = PyObject_CallFunctionObjArgs(callback_.get(), name.get(),
                                                            event.payload.get(), nullptr);
            if (result == nullptr) {
                log::warn(TARGET, "event callback failed: {}", take_error_text());
            }
            Py_XDECREF(result);
        }
    }
}

}  // namespace vantorix::python
