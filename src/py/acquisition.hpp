// The Python Acquisition class: a running continuous acquisition (the feature layer's
// ContinuousAcquisition) with its built-in frame subscription.
#pragma once

#include "py/python.hpp"

#include <memory>

#include "genicam/acquisition.hpp"
#include "py/busy.hpp"
#include "py/camera.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

PyRef acquisition_type_create(PyObject* module);

// A new Acquisition owning a started acquisition and the camera's busy token. GIL held.
PyRef acquisition_new(const ModuleState& state, std::shared_ptr<CameraCore> core,
                      genicam::AcquisitionStart start, BusyToken token);

}  // namespace corvisk::py
