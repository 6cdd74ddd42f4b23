// The Python FrameStatus class: an enumeration of six immutable instances that compare equal to
// their integer values and hash like them.
#include "py/frame_status.hpp"

#include <array>
#include <cstdint>

namespace corvisk::py {
namespace {

struct FrameStatusObject {
    PyObject ob_base;  // PyObject_HEAD
    gige::FrameStatus value;
};

constexpr std::array<gige::FrameStatus, 6> kStatuses = {
    gige::FrameStatus::Complete,      gige::FrameStatus::MissingPackets,
    gige::FrameStatus::Timeout,       gige::FrameStatus::Aborted,
    gige::FrameStatus::WrongPacketId, gige::FrameStatus::PayloadUnsupported,
};

long value_of(PyObject* self) {
    return static_cast<long>(reinterpret_cast<FrameStatusObject*>(self)->value);
}

// The instances live in their own type's dict, a reference cycle only the collector can break;
// hence GC support that reports the type.
int frame_status_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void frame_status_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* frame_status_repr(PyObject* self) {
    const auto status = reinterpret_cast<FrameStatusObject*>(self)->value;
    return PyUnicode_FromFormat("FrameStatus.%s", gige::frame_status_name(status));
}

PyObject* frame_status_int(PyObject* self) {
    return PyLong_FromLong(value_of(self));
}

// Equal values must hash alike, and FrameStatus.Timeout == 2, so the hash is the int's.
Py_hash_t frame_status_hash(PyObject* self) {
    return static_cast<Py_hash_t>(value_of(self));
}

// Only == and != are defined, against another FrameStatus or an int; anything else is left to
// Python (NotImplemented), so orderings raise TypeError instead of comparing codes.
PyObject* frame_status_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (Py_TYPE(other) == Py_TYPE(self)) {
        const bool equal = value_of(self) == value_of(other);
        return PyBool_FromLong(equal == (op == Py_EQ));
    }
    if (PyLong_Check(other)) {
        PyRef value = PyRef::steal(PyLong_FromLong(value_of(self)));
        return value ? PyObject_RichCompare(value.get(), other, op) : nullptr;
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyType_Slot frame_status_slots[] = {
    {Py_tp_doc, const_cast<char*>("How a frame ended.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_status_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_status_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_status_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(frame_status_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(frame_status_richcompare)},
    {Py_nb_int, reinterpret_cast<void*>(frame_status_int)},
    {0, nullptr},
};

PyType_Spec frame_status_spec = {
    "corvisk.FrameStatus",
    sizeof(FrameStatusObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_GC,
    frame_status_slots,
};

// The six instances in value order, each also set as a class attribute. The type is immutable
// to Python code, so they go straight into its dict.
PyRef make_instances(PyTypeObject* type) {
    PyRef values = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kStatuses.size())));
    if (!values) {
        return values;
    }
    for (size_t i = 0; i < kStatuses.size(); ++i) {
        PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
        if (!obj) {
            return PyRef();
        }
        reinterpret_cast<FrameStatusObject*>(obj.get())->value = kStatuses[i];
        if (PyDict_SetItemString(type->tp_dict, gige::frame_status_name(kStatuses[i]), obj.get()) <
            0) {
            return PyRef();
        }
        PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), obj.release());
    }
    PyType_Modified(type);
    return values;
}

}  // namespace

PyRef frame_status_type_create(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &frame_status_spec, nullptr));
    if (!type) {
        return type;
    }
    PyRef values = make_instances(reinterpret_cast<PyTypeObject*>(type.get()));
    if (!values) {
        return PyRef();
    }
    ModuleState& state = state_of_module(module);
    Py_XSETREF(state.frame_status_values, values.release());
    return type;
}

PyRef frame_status_new(const ModuleState& state, gige::FrameStatus status) {
    const auto index = static_cast<size_t>(status);
    if (state.frame_status_values == nullptr || index >= kStatuses.size()) {
        PyErr_Format(PyExc_SystemError, "corvisk internal error: frame status %u",
                     static_cast<unsigned>(index));
        return PyRef();
    }
    return PyRef::borrowed(PyTuple_GET_ITEM(state.frame_status_values, index));
}

}  // namespace corvisk::py
