// Type-checked access to a corvisk.Camera's core from the package's native module.
#include "ext/camera_arg.hpp"

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

}  // namespace corvisk::ext
