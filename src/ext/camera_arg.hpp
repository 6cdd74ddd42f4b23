// The camera core behind a corvisk.Camera handed to this module's functions.
#pragma once

#include <memory>

#include "py/camera.hpp"

namespace corvisk::ext {

// The camera core of `obj`, or null with TypeError set. The type is checked against the Camera
// class of the imported core module: this module links its own copy of the library, so the
// core's module definition cannot be compared.
std::shared_ptr<py::CameraCore> camera_arg(PyObject* obj);

}  // namespace corvisk::ext
