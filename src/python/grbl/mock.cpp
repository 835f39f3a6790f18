#include "python/grbl/mock.hpp"

#include "python/args.hpp"
#include "python/boxed.hpp"
#include "python/functions.hpp"

namespace vantorix::python {
namespace {

using Inner = std::shared_ptr<grbl::MockInner>;

grbl::MockInner& inner_of(PyObject* self) {
    return *unbox<Inner>(self);
}

PyRef chunk_list(const std::vector<grbl::Bytes>& chunks) {
    PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        PyRef chunk = PyRef::consuming(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunks[i].data()),
                                      static_cast<Py_ssize_t>(chunks[i].size())));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    }
    return list;
}

PyObject* mock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {nullptr};
        parse_arguments(args, kwargs, ":MockTransport", KEYWORDS);
        return box(type, std::make_shared<grbl::MockInner>());
    });
}

PyObject* mock_push(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"data", nullptr};
        PyObject* data;
        parse_arguments(args, kwargs, "O:push", KEYWORDS, &data);
        std::string bytes = to_byte_string(data, "data");
        inner_of(self).push(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        return none();
    });
}

PyObject* mock_sent(PyObject* self, PyObject*) {
    return guarded_object([&] { return chunk_list(inner_of(self).sent()); });
}

PyObject* mock_take_new_sent(PyObject* self, PyObject*) {
    return guarded_object([&] { return chunk_list(inner_of(self).take_new_sent()); });
}

PyObject* mock_clear_sent(PyObject* self, PyObject*) {
    inner_of(self).clear_sent();
    Py_RETURN_NONE;
}

PyObject* mock_set_connected(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"connected", nullptr};
        PyObject* connected;
        parse_arguments(args, kwargs, "O:set_connected", KEYWORDS, &connected);
        inner_of(self).set_connected(to_bool(connected, "connected"));
        return none();
    });
}

PyObject* mock_set_write_error(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"message", nullptr};
        PyObject* message = Py_None;
        parse_arguments(args, kwargs, "|O:set_write_error", KEYWORDS, &message);
        inner_of(self).set_write_error(to_optional_string(message, "message"));
        return none();
    });
}

PyObject* mock_repr(PyObject*) {
    return PyUnicode_FromString("MockTransport()");
}

PyMethodDef MOCK_METHODS[] = {
    {"push", as_cfunction(mock_push), METH_VARARGS | METH_KEYWORDS,
     "push($self, data)\n--\n\nDeliver bytes to the session as if the device sent them."},
    {"sent", mock_sent, METH_NOARGS, "sent($self)\n--\n\nAll bytes written to the device so far."},
    {"take_new_sent", mock_take_new_sent, METH_NOARGS,
     "take_new_sent($self)\n--\n\n"
     "Writes recorded since the previous call (or the last\n"
     "`clear_sent`): a monotonic cursor, so clearing the log never\n"
     "skips or replays chunks.  This is what device emulators\n"
     "should consume."},
    {"clear_sent", mock_clear_sent, METH_NOARGS,
     "clear_sent($self)\n--\n\nClear the recorded sent bytes."},
    {"set_connected", as_cfunction(mock_set_connected), METH_VARARGS | METH_KEYWORDS,
     "set_connected($self, connected)\n--\n\n"
     "Simulate connect/disconnect of the physical link."},
    {"set_write_error", as_cfunction(mock_set_write_error), METH_VARARGS | METH_KEYWORDS,
     "set_write_error($self, message=None)\n--\n\n"
     "Fail subsequent writes with this message (and mark the link\n"
     "down), simulating an unplugged cable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot MOCK_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("MockTransport()\n--\n\n"
                                  "An in-memory byte transport for tests.\n\n"
                                  "Feed bytes to the session with `push()` (as if the device had\n"
                                  "sent them), inspect everything the session sent with `sent()`,\n"
                                  "and simulate link state with `set_connected()` /\n"
                                  "`set_write_error()`.")},
    {Py_tp_new, reinterpret_cast<void*>(mock_new)},
    {Py_tp_repr, reinterpret_cast<void*>(mock_repr)},
    {Py_tp_methods, MOCK_METHODS},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Inner>)},
    {0, nullptr},
};

PyType_Spec MOCK_SPEC = {
    "vantorix.grbl.MockTransport",
    sizeof(Boxed<Inner>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    MOCK_SLOTS,
};

}  // namespace

PyTypeObject* mock_transport_type() {
    static PyTypeObject* type = make_type(MOCK_SPEC);
    return type;
}

std::shared_ptr<grbl::MockInner> mock_inner_from_python(PyObject* value, const char* name) {
    if (!Py_IS_TYPE(value, mock_transport_type())) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected MockTransport, got " + type_name(value));
    }
    return unbox<Inner>(value);
}

}  // namespace vantorix::python
