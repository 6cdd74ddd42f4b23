// The Python Camera class: connection settings, connect/disconnect, identity and link counters,
// and the busy slot that capture activities claim.
#pragma once

#include "py/python.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "genicam/genicamera.hpp"
#include "gige/camera.hpp"
#include "py/busy.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Stream settings of one camera that the capture methods take no arguments for (their
// signatures are fixed): the corvisk package sets them (corvisk.stream_config) and every later
// snap, acquisition and snapshot session of the camera uses them. 0 means the automatic
// default. Atomics, so the package writes them without waiting for a capture to end.
struct StreamTuning {
    std::atomic<uint64_t> recv_buffer{0};        // SO_RCVBUF bytes; 0 = sized from the frame
    std::atomic<uint64_t> recv_buffer_max{0};    // ceiling of the automatic size
    std::atomic<uint64_t> pool_memory_limit{0};  // frame pool memory; 0 = a quarter of RAM
};

// The device behind one Python Camera, shared (shared_ptr) by the Camera and every capture
// object made from it, so the device outlives them. Every device operation runs with `mu` held
// (and the GIL released) for its whole duration; `mu` is taken after the busy slot, never the
// other way round.
struct CameraCore {
    explicit CameraCore(gige::ConnectionConfig config) : camera(std::move(config)) {}

    // Timed, so that a capture object being collected can give up after a bounded wait.
    std::timed_mutex mu;
    genicam::GenICamera camera;  // guarded by mu
    StreamTuning stream_tuning;  // lock-free
};

// The C layout of a Camera object. The package's second extension module reads `core` of a
// Camera it was handed (after checking the object's type against the core module's Camera).
struct CameraObject {
    PyObject ob_base;  // PyObject_HEAD
    // Never change after construction, so methods need no per-object lock.
    std::shared_ptr<CameraCore> core;
    std::shared_ptr<BusySlot> busy;
    gige::IpAddress ip;
};

// Creates the Camera heap type for `module`. New reference, or empty with an exception set.
PyRef camera_type_create(PyObject* module);

// The shared core and busy slot of a Camera object (for the capture classes). `obj` must be a
// Camera.
std::shared_ptr<CameraCore> camera_core(PyObject* obj);
std::shared_ptr<BusySlot> camera_busy_slot(PyObject* obj);

// Claims the camera's busy slot for `label`; on a busy camera raises ValueError and returns an
// empty token. Call with the GIL held.
BusyToken claim_busy(const std::shared_ptr<BusySlot>& slot, const char* label);

}  // namespace corvisk::py
