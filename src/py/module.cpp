// The _corvisk_core extension module: multi-phase initialisation, the registration of its
// exception classes, types and functions, and the module state's GC support.
#include "py/module.hpp"

#include "py/access_mode.hpp"
#include "py/acquisition.hpp"
#include "py/camera.hpp"
#include "py/device_info.hpp"
#include "py/discover.hpp"
#include "py/frame.hpp"
#include "py/frame_channel.hpp"
#include "py/frame_status.hpp"
#include "py/link_stats.hpp"
#include "py/pyref.hpp"
#include "py/snapshot_session.hpp"
#include "py/stream_stats.hpp"

namespace corvisk::py {
namespace {

constexpr const char* kCameraExceptionDoc =
    "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device "
    "NAK, lost control, or a malformed packet.";
constexpr const char* kGenicamExceptionDoc =
    "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value "
    "out of range, or a broken device description.";

PyRef new_exception(const char* qualified_name, const char* doc) {
    return PyRef::steal(
        PyErr_NewExceptionWithDoc(qualified_name, doc, PyExc_RuntimeError, nullptr));
}

// Registration steps. Each creates one module attribute (new reference) and keeps whatever
// the rest of the module needs from it in the state.

PyRef add_camera_exception(PyObject*, ModuleState& state) {
    PyRef cls = new_exception("corvisk.CameraException", kCameraExceptionDoc);
    state.camera_exception = cls.clone().release();
    return cls;
}

PyRef add_genicam_exception(PyObject*, ModuleState& state) {
    PyRef cls = new_exception("corvisk.GenicamException", kGenicamExceptionDoc);
    state.genicam_exception = cls.clone().release();
    return cls;
}

// A class: `Create` makes its heap type for the module, which is kept in `state.*Field`.
template <PyTypeObject* ModuleState::*Field, PyRef (*Create)(PyObject* module)>
PyRef add_type(PyObject* module, ModuleState& state) {
    PyRef type = Create(module);
    state.*Field = reinterpret_cast<PyTypeObject*>(type.clone().release());
    return type;
}

PyRef add_discover(PyObject* module, ModuleState&) {
    return discover_function_create(module);
}

struct Registration {
    const char* attribute;
    PyRef (*create)(PyObject* module, ModuleState& state);
};

// The module's attributes, in registration order. A class joins at its place in this list
// with one line, e.g. {"Camera", add_type<&ModuleState::camera_type, camera_type_create>},
// after adding its field to CORVISK_MODULE_STATE_OBJECTS.
constexpr Registration kRegistrations[] = {
    {"CameraError", add_camera_exception},
    {"GenicamError", add_genicam_exception},
    {"Camera", add_type<&ModuleState::camera_type, camera_type_create>},
    {"SnapshotSession",
     add_type<&ModuleState::snapshot_session_type, snapshot_session_type_create>},
    {"Acquisition", add_type<&ModuleState::acquisition_type, acquisition_type_create>},
    {"Frame", add_type<&ModuleState::frame_type, frame_type_create>},
    {"FrameChannel", add_type<&ModuleState::frame_channel_type, frame_channel_type_create>},
    {"FrameStatus", add_type<&ModuleState::frame_status_type, frame_status_type_create>},
    {"AccessMode", add_type<&ModuleState::access_mode_type, access_mode_type_create>},
    {"StreamStats", add_type<&ModuleState::stream_stats_type, stream_stats_type_create>},
    {"LinkStats", add_type<&ModuleState::link_stats_type, link_stats_type_create>},
    {"DeviceInfo", add_type<&ModuleState::device_info_type, device_info_type_create>},
    {"discover", add_discover},
};

// The pending exception, normalised and with its traceback attached, taken out of the thread
// state (which is left without one).
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

// Replaces the pending exception with ImportError("cannot initialise _corvisk_core.<name>")
// whose __cause__ is the original, so the failed import names the step that failed.
void reraise_as_import_error(const char* attribute) {
    PyRef cause = take_exception();
    PyErr_Format(PyExc_ImportError, "cannot initialise _corvisk_core.%s", attribute);
    if (!cause) {
        return;
    }
    PyRef error = take_exception();
    if (!error) {
        return;
    }
    PyException_SetCause(error.get(), cause.clone().release());  // steals
    PyException_SetContext(error.get(), cause.release());        // steals
    PyObject* type = PyExceptionInstance_Class(error.get());
    Py_INCREF(type);
    PyErr_Restore(type, error.release(), nullptr);
}

int module_exec(PyObject* module) {
    if (watch_interpreter_exit() < 0) {
        return -1;
    }
    ModuleState& state = state_of_module(module);
    for (const Registration& r : kRegistrations) {
        PyRef obj = r.create(module, state);
        // PyModule_AddObjectRef refuses a null object, so a failed create fails here too.
        if (PyModule_AddObjectRef(module, r.attribute, obj.get()) < 0) {
            reraise_as_import_error(r.attribute);
            return -1;
        }
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) {
        return 0;
    }
#define CORVISK_VISIT_FIELD(type, field) Py_VISIT(state->field);
    CORVISK_MODULE_STATE_OBJECTS(CORVISK_VISIT_FIELD)
#undef CORVISK_VISIT_FIELD
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) {
        return 0;
    }
#define CORVISK_CLEAR_FIELD(type, field) Py_CLEAR(state->field);
    CORVISK_MODULE_STATE_OBJECTS(CORVISK_CLEAR_FIELD)
#undef CORVISK_CLEAR_FIELD
    return 0;
}

void module_free(void* module) {
    (void)module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // All state lives in the module object and in C++ objects of our own, so each
    // interpreter gets an independent module and may run under its own GIL.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Free-threaded builds keep the GIL enabled for this module until every class has been
    // reviewed for running without it.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvisk_core",
    "",
    sizeof(ModuleState),
    nullptr,  // functions are added by module_exec, in registration order
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace corvisk::py

PyMODINIT_FUNC PyInit__corvisk_core(void) {
    return PyModuleDef_Init(&corvisk::py::module_def);
}

#if PY_VERSION_HEX >= 0x030F0000 && defined(Py_mod_name) && defined(Py_mod_token)
// Interpreters with the slot-based export hook load the module through this, from the same
// pieces as module_def; the token ties the module to module_def so that
// PyType_GetModuleByDef keeps finding it from our types.
PyMODEXPORT_FUNC PyModExport__corvisk_core(void) {
    namespace py = corvisk::py;
    static PyModuleDef_Slot slots[] = {
        {Py_mod_name, const_cast<char*>("_corvisk_core")},
        {Py_mod_doc, const_cast<char*>("")},
        {Py_mod_state_size, reinterpret_cast<void*>(sizeof(py::ModuleState))},
        {Py_mod_state_traverse, reinterpret_cast<void*>(py::module_traverse)},
        {Py_mod_state_clear, reinterpret_cast<void*>(py::module_clear)},
        {Py_mod_state_free, reinterpret_cast<void*>(py::module_free)},
        {Py_mod_token, &py::module_def},
        {Py_mod_exec, reinterpret_cast<void*>(py::module_exec)},
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
        {Py_mod_gil, Py_MOD_GIL_USED},
        {0, nullptr},
    };
    return slots;
}
#endif
