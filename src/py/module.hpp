// The _corvisk_core module's per-module state (exception classes and heap types) and the ways
// to reach it from module functions, methods and type slots.
#pragma once

#include "py/python.hpp"

namespace corvisk::py {

// Every Python object the module state owns, as X(type, field). Adding a class means one line
// here (its type object) and one line in the registration table in module.cpp; traverse,
// clear and free follow from this list.
#define CORVISK_MODULE_STATE_OBJECTS(X)    \
    X(PyObject, camera_exception)          \
    X(PyObject, genicam_exception)         \
    X(PyTypeObject, camera_type)           \
    X(PyTypeObject, snapshot_session_type) \
    X(PyTypeObject, acquisition_type)      \
    X(PyTypeObject, link_stats_type)       \
    X(PyTypeObject, frame_type)            \
    X(PyTypeObject, frame_channel_type)    \
    X(PyTypeObject, frame_status_type)     \
    X(PyObject, frame_status_values)       \
    X(PyTypeObject, access_mode_type)      \
    X(PyObject, access_mode_values)        \
    X(PyTypeObject, stream_stats_type)     \
    X(PyTypeObject, device_info_type)

// One instance per module object (so per interpreter); lives in the module's state block.
// Every field is a strong reference, or null before the module's exec step filled it.
struct ModuleState {
#define CORVISK_DECLARE_FIELD(type, field) type* field;
    CORVISK_MODULE_STATE_OBJECTS(CORVISK_DECLARE_FIELD)
#undef CORVISK_DECLARE_FIELD
};

// The module definition; its address is the key that finds our module from a heap type.
extern PyModuleDef module_def;

// State of a module object created from module_def (a module function's `self`).
inline ModuleState& state_of_module(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// State reached from one of our heap types or any subclass of it (for slots such as tp_repr
// or tp_dealloc that get no defining class). Null with a Python exception set if `type` is not
// ours.
inline ModuleState* state_of_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    return module == nullptr ? nullptr : &state_of_module(module);
}

// State reached from a METH_METHOD method's defining class (the fastest, exact lookup).
inline ModuleState& state_of_defining_class(PyTypeObject* defining_class) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(defining_class));
}

}  // namespace corvisk::py
