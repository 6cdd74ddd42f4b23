// The Python SnapshotSession class: a stream channel kept open for on-demand single frames.
#pragma once

#include "py/python.hpp"

#include <memory>

#include "genicam/snapshot.hpp"
#include "py/busy.hpp"
#include "py/camera.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

inline constexpr const char* kPyTarget = "corvisk::py";

PyRef snapshot_session_type_create(PyObject* module);

// A new SnapshotSession owning an opened session and the camera's busy token. GIL held.
PyRef snapshot_session_new(const ModuleState& state, std::shared_ptr<CameraCore> core,
                           genicam::SnapshotSession session, BusyToken token);

}  // namespace corvisk::py
