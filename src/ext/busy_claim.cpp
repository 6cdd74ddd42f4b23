// CameraClaim: a capture activity of the package (a multicast acquisition) holds the Camera's
// busy slot like the core's own captures do, so a snap or a second acquisition cannot take the
// stream channel from under it. The slot and its token are plain C++ shared with the core module
// through the Camera's C layout.
#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "py/busy.hpp"

namespace corvisk::ext {
namespace {

struct ClaimObject {
    PyObject ob_base;
    py::BusyToken* token;  // null once released
};

ClaimObject* claim_cast(PyObject* self) {
    return reinterpret_cast<ClaimObject*>(self);
}

PyObject* claim_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* cam = nullptr;
    static const char* kwlist[] = {"camera", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CameraClaim", const_cast<char**>(kwlist),
                                     &cam) ||
        !camera_arg(cam)) {
        return nullptr;
    }
    const char* holder = nullptr;
    auto token = py::BusyToken::claim(reinterpret_cast<py::CameraObject*>(cam)->busy,
                                      "a multicast acquisition", &holder);
    if (!token.is_held()) {
        PyErr_Format(PyExc_ValueError, "camera is busy (%s in progress); stop it first", holder);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        claim_cast(self)->token = new py::BusyToken(std::move(token));
    }
    return self;
}

PyObject* claim_release(PyObject* self, PyObject*) {
    delete claim_cast(self)->token;  // the token's destructor empties the slot
    claim_cast(self)->token = nullptr;
    Py_RETURN_NONE;
}

void claim_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete claim_cast(self)->token;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef claim_methods[] = {
    {"release", claim_release, METH_NOARGS, "release()\n--\n\nFrees the camera; idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot claim_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(claim_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(claim_dealloc)},
    {Py_tp_methods, claim_methods},
    {Py_tp_doc, const_cast<char*>("CameraClaim(camera)\n--\n\nHolds the camera busy for a "
                                  "multicast acquisition until released.")},
    {0, nullptr},
};

PyType_Spec claim_spec = {"corvisk._corvisk_ext.CameraClaim", sizeof(ClaimObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, claim_slots};

}  // namespace

int add_busy_claim(PyObject* module) {
    return add_type(module, &claim_spec, "CameraClaim");
}

}  // namespace corvisk::ext
