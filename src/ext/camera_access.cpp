// Shared by the units of _corvisk_ext: see camera_access.hpp.
#include "ext/camera_access.hpp"

#include <cmath>
#include <string>

namespace corvisk::ext {

std::shared_ptr<py::CameraCore> camera_arg(PyObject* obj) {
    PyObject* core_module = PyImport_ImportModule("corvisk._corvisk_core");
    if (core_module == nullptr) {
        return nullptr;
    }
    PyObject* type = PyObject_GetAttrString(core_module, "Camera");
    Py_DECREF(core_module);
    if (type == nullptr) {
        return nullptr;
    }
    const int is_camera = PyType_Check(type) != 0 &&
                          PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)) != 0;
    Py_DECREF(type);
    if (!is_camera) {
        PyErr_Format(PyExc_TypeError, "expected a corvisk.Camera, got %s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<py::CameraObject*>(obj)->core;
}

PyObject* raise_genicam(const GenicamError& e) {
    if (PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    const bool transport = e.kind() == GenicamError::Kind::Transport;
    const std::string message = transport ? e.transport().message() : e.message();
    PyObject* core_module = PyImport_ImportModule("corvisk._corvisk_core");
    PyObject* cls =
        core_module != nullptr
            ? PyObject_GetAttrString(core_module, transport ? "CameraError" : "GenicamError")
            : nullptr;
    Py_XDECREF(core_module);
    if (cls != nullptr) {
        PyErr_SetString(cls, message.c_str());
        Py_DECREF(cls);
    }
    return nullptr;
}

int add_type(PyObject* module, PyType_Spec* spec, const char* name) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    int r = PyModule_AddObjectRef(module, name, type);
    Py_XDECREF(type);
    return r;
}

bool timeout_of(double seconds, Duration& out) {
    if (std::isnan(seconds) || seconds < 0 || std::isinf(seconds)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be finite and not negative");
        return false;
    }
    out = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
    return true;
}

}  // namespace corvisk::ext
