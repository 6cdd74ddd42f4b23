// Integer enumeration types: shared members, int conversion, == / != against members and ints.
#include "py/int_enum.hpp"

#include <cstring>
#include <vector>

namespace corvisk::py {
namespace {

struct IntEnumObject {
    PyObject ob_base;  // PyObject_HEAD
    long value;
    const char* name;  // static text from the definition
};

IntEnumObject& enum_of(PyObject* self) {
    return *reinterpret_cast<IntEnumObject*>(self);
}

// The members live in their own type's dict, a reference cycle only the collector can break;
// hence GC support that reports the type.
int int_enum_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void int_enum_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* int_enum_repr(PyObject* self) {
    const char* type_name = Py_TYPE(self)->tp_name;
    if (const char* dot = std::strrchr(type_name, '.')) {
        type_name = dot + 1;
    }
    return PyUnicode_FromFormat("%s.%s", type_name, enum_of(self).name);
}

PyObject* int_enum_int(PyObject* self) {
    return PyLong_FromLong(enum_of(self).value);
}

// Equal objects must hash alike, and a member equals its int, so the hash is the int's.
Py_hash_t int_enum_hash(PyObject* self) {
    PyRef value = PyRef::steal(PyLong_FromLong(enum_of(self).value));
    return value ? PyObject_Hash(value.get()) : -1;
}

// Only == and != are defined, against a member of the same type or an int; anything else is
// left to Python (NotImplemented), so orderings raise TypeError instead of comparing codes.
PyObject* int_enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (Py_TYPE(other) == Py_TYPE(self)) {
        const bool equal = enum_of(self).value == enum_of(other).value;
        return PyBool_FromLong(equal == (op == Py_EQ));
    }
    if (PyLong_Check(other)) {
        PyRef value = PyRef::steal(PyLong_FromLong(enum_of(self).value));
        return value ? PyObject_RichCompare(value.get(), other, op) : nullptr;
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyRef make_members(PyTypeObject* type, std::span<const IntEnumMember> members) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
    if (!tuple) {
        return tuple;
    }
    for (size_t i = 0; i < members.size(); ++i) {
        PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
        if (!obj) {
            return PyRef();
        }
        enum_of(obj.get()).value = members[i].value;
        enum_of(obj.get()).name = members[i].name;
        // The type is immutable to Python code, so the members go straight into its dict.
        if (PyDict_SetItemString(type->tp_dict, members[i].name, obj.get()) < 0) {
            return PyRef();
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), obj.release());
    }
    PyType_Modified(type);
    return tuple;
}

}  // namespace

PyRef int_enum_type_create(PyObject* module, const IntEnumDef& def, PyObject** members_out) {
    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(int_enum_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(int_enum_traverse)},
        {Py_tp_repr, reinterpret_cast<void*>(int_enum_repr)},
        {Py_tp_hash, reinterpret_cast<void*>(int_enum_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(int_enum_richcompare)},
        {Py_nb_int, reinterpret_cast<void*>(int_enum_int)},
    };
    if (def.doc != nullptr) {
        slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec = {
        def.qualified_name,
        sizeof(IntEnumObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_HAVE_GC,
        slots.data(),
    };
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) {
        return type;
    }
    PyRef members = make_members(reinterpret_cast<PyTypeObject*>(type.get()), def.members);
    if (!members) {
        return PyRef();
    }
    Py_XSETREF(*members_out, members.release());
    return type;
}

PyRef int_enum_member(PyObject* members, size_t index) {
    if (members == nullptr || index >= static_cast<size_t>(PyTuple_GET_SIZE(members))) {
        PyErr_Format(PyExc_SystemError, "corvisk internal error: enumeration value %zu", index);
        return PyRef();
    }
    return PyRef::borrowed(PyTuple_GET_ITEM(members, static_cast<Py_ssize_t>(index)));
}

}  // namespace corvisk::py
