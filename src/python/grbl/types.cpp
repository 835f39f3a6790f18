#include "python/grbl/types.hpp"

#include <array>
#include <string>

#include "python/args.hpp"
#include "python/boxed.hpp"
#include "python/text.hpp"

namespace vantorix::python {
namespace {

using grbl::DeviceError;
using grbl::DeviceState;
using grbl::DeviceStatus;
using grbl::Position;

PyRef optional_int(const std::optional<std::int64_t>& value) {
    if (!value) return none();
    return PyRef::consuming(PyLong_FromLongLong(*value));
}

PyRef position_list(const Position& position) {
    PyRef list = PyRef::consuming(PyList_New(static_cast<Py_ssize_t>(position.size())));
    for (std::size_t i = 0; i < position.size(); ++i) {
        PyRef item = position[i] ? PyRef::consuming(PyFloat_FromDouble(*position[i])) : none();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

[[noreturn]] void raise_delete(const char* name) {
    raise_argument_error(name, PyExc_TypeError, "the attribute cannot be deleted");
}

Position position_from_python(PyObject* value, const char* name) {
    if (value == nullptr) raise_delete(name);
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected a sequence of float or None, got " + type_name(value));
    }
    PyRef items = PyRef::consuming(PySequence_Fast(value, "expected a sequence"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    Position position;
    position.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            position.emplace_back(std::nullopt);
        } else {
            position.emplace_back(to_f64(item, name));
        }
    }
    return position;
}

// ---- DeviceStatus -------------------------------------------------------------------

std::array<PyObject*, grbl::DEVICE_STATUS_COUNT> STATUS_MEMBERS{};

DeviceStatus status_of(PyObject* self) {
    return unbox<DeviceStatus>(self);
}

PyObject* status_repr(PyObject* self) {
    return guarded_object([&] {
        std::string text = "DeviceStatus.";
        text += grbl::device_status_name(status_of(self));
        return new_str(text);
    });
}

PyObject* status_int(PyObject* self) {
    return PyLong_FromLong(static_cast<long>(status_of(self)));
}

PyObject* status_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded_object([&]() -> PyRef {
        if (op != Py_EQ && op != Py_NE) return PyRef::owning(Py_NotImplemented);
        bool equal;
        if (Py_IS_TYPE(other, device_status_type())) {
            equal = status_of(self) == status_of(other);
        } else if (PyIndex_Check(other)) {
            PyRef index = PyRef::consuming(PyNumber_Index(other));
            PyRef mine = PyRef::consuming(PyLong_FromLong(static_cast<long>(status_of(self))));
            int result = PyObject_RichCompareBool(mine.get(), index.get(), Py_EQ);
            check(result);
            equal = result == 1;
        } else {
            return PyRef::owning(Py_NotImplemented);
        }
        return PyRef::owning((equal == (op == Py_EQ)) ? Py_True : Py_False);
    });
}

PyObject* status_get_name(PyObject* self, void*) {
    return guarded_object([&] { return new_str(grbl::device_status_name(status_of(self))); });
}

PyGetSetDef STATUS_GETSET[] = {
    {"name", status_get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot STATUS_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Machine state as reported in Grbl status reports.")},
    {Py_tp_repr, reinterpret_cast<void*>(status_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(status_richcompare)},
    {Py_tp_getset, STATUS_GETSET},
    {Py_nb_int, reinterpret_cast<void*>(status_int)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DeviceStatus>)},
    {0, nullptr},
};

PyType_Spec STATUS_SPEC = {
    "vantorix.grbl.types.DeviceStatus",
    sizeof(Boxed<DeviceStatus>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    STATUS_SLOTS,
};

PyTypeObject* create_status_type() {
    PyTypeObject* type = make_type(STATUS_SPEC);
    // Members go straight into the type's dict: the type is immutable to Python code.
    for (int i = 0; i < grbl::DEVICE_STATUS_COUNT; ++i) {
        auto status = static_cast<DeviceStatus>(i);
        PyRef member = box(type, status);
        check(PyDict_SetItemString(
            type->tp_dict, std::string(grbl::device_status_name(status)).c_str(), member.get()));
        STATUS_MEMBERS[static_cast<std::size_t>(i)] = member.release();
    }
    PyType_Modified(type);
    return type;
}

// ---- DeviceError --------------------------------------------------------------------

PyObject* error_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* KEYWORDS[] = {"code", "title", "description", nullptr};
        PyObject *code, *title, *description;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:DeviceError",
                                         const_cast<char**>(KEYWORDS), &code, &title,
                                         &description)) {
            throw PyErrorSet{};
        }
        DeviceError error{to_i32(code, "code"), to_string(title, "title"),
                          to_string(description, "description")};
        return box(type, std::move(error));
    });
}

const DeviceError& error_of(PyObject* self) {
    return unbox<DeviceError>(self);
}

PyObject* error_repr(PyObject* self) {
    return guarded_object([&] {
        const DeviceError& error = error_of(self);
        std::string text = "DeviceError(code=" + std::to_string(error.code) + ", title=";
        append_quoted_literal(text, error.title);
        text += ")";
        return new_str(text);
    });
}

PyObject* error_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(other, device_error_type())) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = error_of(self) == error_of(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* error_get_code(PyObject* self, void*) {
    return PyLong_FromLong(error_of(self).code);
}
PyObject* error_get_title(PyObject* self, void*) {
    return guarded_object([&] { return new_str(error_of(self).title); });
}
PyObject* error_get_description(PyObject* self, void*) {
    return guarded_object([&] { return new_str(error_of(self).description); });
}

PyGetSetDef ERROR_GETSET[] = {
    {"code", error_get_code, nullptr, nullptr, nullptr},
    {"title", error_get_title, nullptr, nullptr, nullptr},
    {"description", error_get_description, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ERROR_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("DeviceError(code, title, description)\n--\n\n"
                                  "An error or alarm with code, title and description.")},
    {Py_tp_new, reinterpret_cast<void*>(error_new)},
    {Py_tp_repr, reinterpret_cast<void*>(error_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(error_richcompare)},
    {Py_tp_getset, ERROR_GETSET},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DeviceError>)},
    {0, nullptr},
};

PyType_Spec ERROR_SPEC = {
    "vantorix.grbl.types.DeviceError",
    sizeof(Boxed<DeviceError>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    ERROR_SLOTS,
};

// ---- DeviceState --------------------------------------------------------------------

DeviceState& state_of(PyObject* self) {
    return unbox<DeviceState>(self);
}

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            PyErr_SetString(PyExc_TypeError, "DeviceState() takes no arguments");
            throw PyErrorSet{};
        }
        return box(type, DeviceState{});
    });
}

PyObject* state_repr(PyObject* self) {
    return guarded_object([&] {
        const DeviceState& state = state_of(self);
        std::string text = "DeviceState(status=";
        text += grbl::device_status_display(state.status);
        text += ", feed_rate=";
        text += state.feed_rate ? "Some(" + std::to_string(*state.feed_rate) + ")" : "None";
        text += ")";
        return new_str(text);
    });
}

PyObject* state_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(other, device_state_type())) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = state_of(self) == state_of(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* get_status(PyObject* self, void*) {
    return guarded_object([&] { return to_python(state_of(self).status); });
}
int set_status(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        if (value == nullptr) raise_delete("status");
        if (!Py_IS_TYPE(value, device_status_type())) {
            raise_argument_error("status", PyExc_TypeError,
                                 "expected DeviceStatus, got " + type_name(value));
        }
        state_of(self).status = status_of(value);
    });
}

PyObject* get_error(PyObject* self, void*) {
    return guarded_object([&] {
        const auto& error = state_of(self).error;
        return error ? to_python(*error) : none();
    });
}
int set_error(PyObject* self, PyObject* value, void*) {
    return guarded_status([&] {
        if (value == nullptr) raise_delete("error");
        if (value == Py_None) {
            state_of(self).error.reset();
        } else if (Py_IS_TYPE(value, device_error_type())) {
            state_of(self).error = error_of(value);
        } else {
            raise_argument_error("error", PyExc_TypeError,
                                 "expected DeviceError or None, got " + type_name(value));
        }
    });
}

// One getter/setter pair per field, selected by the member pointer in the closure.
struct PositionField {
    Position DeviceState::* member;
    const char* argument;
};
PositionField MACHINE_POS{&DeviceState::machine_pos, "pos"};
PositionField WORK_POS{&DeviceState::work_pos, "pos"};
PositionField WCO{&DeviceState::wco, "wco"};

PyObject* get_position(PyObject* self, void* closure) {
    auto* field = static_cast<PositionField*>(closure);
    return guarded_object([&] { return position_list(state_of(self).*(field->member)); });
}
int set_position(PyObject* self, PyObject* value, void* closure) {
    auto* field = static_cast<PositionField*>(closure);
    return guarded_status([&] {
        Position position = position_from_python(value, field->argument);
        state_of(self).*(field->member) = std::move(position);
    });
}

struct IntField {
    std::optional<std::int64_t> DeviceState::* member;
    const char* argument;
};
IntField FEED_RATE{&DeviceState::feed_rate, "feed_rate"};
IntField SPINDLE_SPEED{&DeviceState::spindle_speed, "spindle_speed"};
IntField BUFFER_AVAILABLE{&DeviceState::buffer_available, "buffer_available"};
IntField BUFFER_RX_AVAILABLE{&DeviceState::buffer_rx_available, "buffer_rx_available"};

PyObject* get_int(PyObject* self, void* closure) {
    auto* field = static_cast<IntField*>(closure);
    return guarded_object([&] { return optional_int(state_of(self).*(field->member)); });
}
int set_int(PyObject* self, PyObject* value, void* closure) {
    auto* field = static_cast<IntField*>(closure);
    return guarded_status([&] {
        if (value == nullptr) raise_delete(field->argument);
        state_of(self).*(field->member) = to_optional_i64(value, field->argument);
    });
}

PyGetSetDef STATE_GETSET[] = {
    {"status", get_status, set_status, nullptr, nullptr},
    {"error", get_error, set_error, nullptr, nullptr},
    {"machine_pos", get_position, set_position, "Machine position in mm; entries may be `None`.",
     &MACHINE_POS},
    {"work_pos", get_position, set_position, "Work position in mm; entries may be `None`.",
     &WORK_POS},
    {"wco", get_position, set_position, "Work coordinate offset in mm; entries may be `None`.",
     &WCO},
    {"feed_rate", get_int, set_int, nullptr, &FEED_RATE},
    {"spindle_speed", get_int, set_int, nullptr, &SPINDLE_SPEED},
    {"buffer_available", get_int, set_int, nullptr, &BUFFER_AVAILABLE},
    {"buffer_rx_available", get_int, set_int, nullptr, &BUFFER_RX_AVAILABLE},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot STATE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("DeviceState()\n--\n\n"
                                  "The complete state of a device at a moment in time.")},
    {Py_tp_new, reinterpret_cast<void*>(state_new)},
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(state_richcompare)},
    {Py_tp_getset, STATE_GETSET},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DeviceState>)},
    {0, nullptr},
};

PyType_Spec STATE_SPEC = {
    "vantorix.grbl.types.DeviceState",
    sizeof(Boxed<DeviceState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    STATE_SLOTS,
};

constexpr const char* TYPES_DOC =
    "Value types shared by the GRBL drivers: DeviceState, DeviceStatus and DeviceError. These "
    "mirror the identically-named types in Kilnmark so the Python shell can convert "
    "losslessly.\n";

}  // namespace

PyTypeObject* device_status_type() {
    static PyTypeObject* type = create_status_type();
    return type;
}

PyTypeObject* device_error_type() {
    static PyTypeObject* type = make_type(ERROR_SPEC);
    return type;
}

PyTypeObject* device_state_type() {
    static PyTypeObject* type = make_type(STATE_SPEC);
    return type;
}

PyRef to_python(DeviceStatus status) {
    device_status_type();
    return PyRef::owning(STATUS_MEMBERS[static_cast<std::size_t>(status)]);
}

PyRef to_python(const DeviceError& error) {
    return box(device_error_type(), error);
}

PyRef to_python(const DeviceState& state) {
    return box(device_state_type(), state);
}

DeviceState device_state_from_python(PyObject* value, const char* name) {
    if (!Py_IS_TYPE(value, device_state_type())) {
        raise_argument_error(name, PyExc_TypeError,
                             "expected DeviceState, got " + type_name(value));
    }
    return state_of(value);
}

void register_types_module(PyObject* module) {
    check(PyModule_AddObjectRef(module, "__doc__", new_str(TYPES_DOC).get()));
    PyRef all =
        PyRef::consuming(Py_BuildValue("[sss]", "DeviceState", "DeviceStatus", "DeviceError"));
    check(PyModule_AddObjectRef(module, "__all__", all.get()));
    for (PyTypeObject* type : {device_status_type(), device_error_type(), device_state_type()}) {
        check(PyModule_AddType(module, type));
    }
}

}  // namespace vantorix::python
