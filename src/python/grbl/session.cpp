#include "python/grbl/session.hpp"

#include "python/grbl/session_object.hpp"

#include <memory>
#include <string>
#include <vector>

#include "grbl/session/core.hpp"
#include "python/args.hpp"
#include "python/boxed.hpp"
#include "python/events.hpp"
#include "python/functions.hpp"
#include "python/grbl/dialect.hpp"
#include "python/grbl/mock.hpp"
#include "python/grbl/session_config.hpp"
#include "python/grbl/types.hpp"
#include "python/pyfuture.hpp"
#include "python/text.hpp"

namespace vantorix::python {
namespace {

using grbl::SessionCore;

// ---- construction -------------------------------------------------------------------

void check_dict_or_none(PyObject* value, const char* name) {
    if (value != Py_None && !PyDict_Check(value)) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected dict or None, got " + type_name(value));
    }
}

PyRef build_session(PyTypeObject* type, const grbl::LinkChoice& link, PyObject* config,
                    PyObject* dialect, PyObject* event_callback) {
    grbl::SessionConfig session_config =
        read_session_config(config == Py_None ? nullptr : config);
    grbl::GrblDialect parsed_dialect = parse_dialect(dialect);
    std::shared_ptr<PyEvents> events = PyEvents::create(event_callback);
    auto core = SessionCore::create(link, std::move(session_config), std::move(parsed_dialect),
                                    events);
    return box(type, Session{std::move(core), std::move(events)});
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"config", "dialect", "event_callback", nullptr};
        PyObject* config;
        PyObject* dialect = Py_None;
        PyObject* event_callback = Py_None;
        parse_arguments(args, kwargs, "O|OO:GrblSession", KEYWORDS, &config, &dialect,
                        &event_callback);
        check_dict_or_none(config, "config");
        check_dict_or_none(dialect, "dialect");
        if (config == Py_None) {
            PyErr_SetString(PyExc_RuntimeError,
                            "config with a 'port' (serial) or 'host' (telnet) is required");
            throw PyErrorSet{};
        }
        grbl::LinkChoice link = read_link_choice(config);
        return build_session(type, link, config, dialect, event_callback);
    });
}

PyObject* session_with_transport(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"transport", "config", "dialect",
                                               "event_callback", nullptr};
        PyObject* transport;
        PyObject* config = Py_None;
        PyObject* dialect = Py_None;
        PyObject* event_callback = Py_None;
        parse_arguments(args, kwargs, "O|OOO:with_transport", KEYWORDS, &transport, &config,
                        &dialect, &event_callback);
        grbl::MockLink link{mock_inner_from_python(transport, "transport")};
        check_dict_or_none(config, "config");
        check_dict_or_none(dialect, "dialect");
        return build_session(grbl_session_type(), link, config, dialect, event_callback);
    });
}

// ---- synchronous members ------------------------------------------------------------

PyObject* get_state(PyObject* self, void*) {
    return guarded_object([&] { return to_python(session_of(self).core->state()); });
}

PyObject* get_buffer_count(PyObject* self, void*) {
    return PyLong_FromSize_t(session_of(self).core->buffer_count());
}

PyObject* get_rx_buffer_size(PyObject* self, void*) {
    return PyLong_FromSize_t(session_of(self).core->rx_buffer_size());
}

PyObject* get_pending_commands(PyObject* self, void*) {
    return guarded_object([&] {
        std::vector<std::string> pending = session_of(self).core->pending_commands();
        return string_list(pending);
    });
}

PyObject* get_job_running(PyObject* self, void*) {
    return PyBool_FromLong(session_of(self).core->job_active());
}

PyObject* get_resource_uri(PyObject* self, void*) {
    return guarded_object([&] {
        std::optional<std::string> uri = session_of(self).core->resource_uri();
        return uri ? new_str(*uri) : none();
    });
}

PyObject* session_update_dialect(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"dialect", nullptr};
        PyObject* dialect;
        parse_arguments(args, kwargs, "O:update_dialect", KEYWORDS, &dialect);
        if (!PyDict_Check(dialect)) {
            raise_argument_error("dialect", PyExc_TypeError,
                                 "expected dict, got " + type_name(dialect));
        }
        session_of(self).core->update_dialect(parse_dialect(dialect));
        return none();
    });
}

PyObject* session_repr(PyObject* self) {
    return guarded_object([&] {
        const Session& session = session_of(self);
        std::string text = "GrblSession(resource_uri=";
        if (std::optional<std::string> uri = session.core->resource_uri()) {
            text += "Some(";
            append_quoted_literal(text, *uri);
            text += ")";
        } else {
            text += "None";
        }
        text += session.core->job_active() ? ", job_running=true)" : ", job_running=false)";
        return new_str(text);
    });
}

// ---- asynchronous methods -----------------------------------------------------------

PyObject* session_connect(PyObject* self, PyObject*) {
    return guarded_object([&] {
        Session& session = session_of(self);
        session.events->capture_loop();
        return spawn_future(always_succeeds(grbl::connect(session.core)), none_result);
    });
}

PyObject* session_disconnect(PyObject* self, PyObject*) {
    return guarded_object([&] {
        return spawn_future(always_succeeds(grbl::cleanup(session_of(self).core)), none_result);
    });
}

std::string command_argument(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const KEYWORDS[] = {"command", nullptr};
    PyObject* command;
    parse_arguments(args, kwargs, format, KEYWORDS, &command);
    return to_single_line(command, "command");
}

asio::awaitable<grbl::Result<std::vector<std::string>>> failed_command(grbl::SessionError error) {
    co_return error;
}

PyObject* session_execute_command(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        std::string command = command_argument(args, kwargs, "O:execute_command");
        const std::shared_ptr<SessionCore>& core = session_of(self).core;
        // Queued here, on the calling thread, so that commands keep the order of the calls.
        return spawn_future_with(
            [&] {
                auto queued = grbl::enqueue_command(*core, std::move(command));
                return queued.ok() ? grbl::await_command(core, std::move(queued.value()))
                                   : failed_command(queued.error());
            },
            string_list);
    });
}

PyObject* session_execute_interactive_command(PyObject* self, PyObject* args,
                                              PyObject* kwargs) {
    return guarded_object([&] {
        std::string command = command_argument(args, kwargs, "O:execute_interactive_command");
        return spawn_future(
            grbl::execute_interactive_command(session_of(self).core, std::move(command)),
            string_list);
    });
}

PyGetSetDef SESSION_GETSET[] = {
    {"state", get_state, nullptr, "Current snapshot of the device state.", nullptr},
    {"buffer_count", get_buffer_count, nullptr, nullptr, nullptr},
    {"rx_buffer_size", get_rx_buffer_size, nullptr, nullptr, nullptr},
    {"pending_commands", get_pending_commands, nullptr,
     "Commands awaiting their 'ok' acknowledgement.", nullptr},
    {"job_running", get_job_running, nullptr, nullptr, nullptr},
    {"resource_uri", get_resource_uri, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef LIFECYCLE_METHODS[] = {
    {"with_transport", as_cfunction(session_with_transport),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "with_transport(transport, config=None, dialect=None, event_callback=None)\n--\n\n"
     "Build a session around a [`MockTransport`] (for tests)."},
    {"update_dialect", as_cfunction(session_update_dialect), METH_VARARGS | METH_KEYWORDS,
     "update_dialect($self, dialect)\n--\n\nSwap the dialect command templates at runtime."},
    {"connect", session_connect, METH_NOARGS,
     "connect($self)\n--\n\nOpen the connection and start the background tasks."},
    {"disconnect", session_disconnect, METH_NOARGS,
     "disconnect($self)\n--\n\nStop all background tasks and close the transport."},
    {"execute_interactive_command", as_cfunction(session_execute_interactive_command),
     METH_VARARGS | METH_KEYWORDS,
     "execute_interactive_command($self, command)\n--\n\n"
     "Send a command and synchronously await its full response,\n"
     "blocking any other command from interleaving."},
    {"execute_command", as_cfunction(session_execute_command), METH_VARARGS | METH_KEYWORDS,
     "execute_command($self, command)\n--\n\n"
     "Queue a command for asynchronous processing and await its\nresponse."},
    {nullptr, nullptr, 0, nullptr},
};

namespace {


// Every method group of the class, in order, without the sentinels.
std::vector<PyMethodDef> all_methods() {
    std::vector<PyMethodDef> methods;
    for (PyMethodDef* group : {LIFECYCLE_METHODS, JOB_METHODS, OPERATION_METHODS}) {
        for (PyMethodDef* def = group; def->ml_name != nullptr; ++def) methods.push_back(*def);
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

// Type slots point at the method table for the life of the type, i.e. the process. Built
// on first use: the groups of other files are initialised dynamically (their function
// pointers are casts), so copying them during static initialisation could see them empty.
std::vector<PyMethodDef>& session_methods() {
    static std::vector<PyMethodDef> methods = all_methods();
    return methods;
}

PyType_Slot SESSION_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>("GrblSession(config, dialect=None, event_callback=None)\n--\n\n"
                       "A GRBL device session, implemented natively: connection lifecycle, "
                       "job streaming and interactive commands.\n\n"
                       "All async methods return asyncio futures; events are delivered to\n"
                       "`event_callback(name, payload)` on the event loop thread.")},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_getset, SESSION_GETSET},
    {Py_tp_methods, nullptr},  // filled in by grbl_session_type
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Session>)},
    {0, nullptr},
};

PyType_Spec SESSION_SPEC = {
    "vantorix.grbl.GrblSession",
    sizeof(Boxed<Session>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SESSION_SLOTS,
};

}  // namespace

PyTypeObject* grbl_session_type() {
    static PyTypeObject* type = [] {
        for (PyType_Slot* slot = SESSION_SLOTS; slot->slot != 0; ++slot) {
            if (slot->slot == Py_tp_methods) slot->pfunc = session_methods().data();
        }
        return make_type(SESSION_SPEC);
    }();
    return type;
}

PyRef none_result(grbl::Unit&) { return none(); }

PyRef string_list(std::vector<std::string>& lines) {
    PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(lines.size())));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(lines[i]).release());
    }
    return list;
}

asio::awaitable<grbl::VoidResult> always_succeeds(asio::awaitable<void> operation) {
    co_await std::move(operation);
    co_return grbl::Unit{};
}

}  // namespace vantorix::python
