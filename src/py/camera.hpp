// The Python Camera class: connection settings, connect/disconnect, identity and link counters,
// and the busy slot that capture activities claim.
#pragma once

#include "py/python.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "genicam/capture.hpp"
#include "genicam/genicamera.hpp"
#include "gige/camera.hpp"
#include "gige/stream/config.hpp"
#include "py/busy.hpp"
#include "py/gil.hpp"
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
    // Resend timings and budget, and the receive moderation (the stream worker's defaults until
    // set).
    std::atomic<int64_t> resend_initial_delay_ns{
        nanoseconds(gige::stream_defaults::kResendInitialDelay)};
    std::atomic<int64_t> resend_interval_ns{nanoseconds(gige::stream_defaults::kResendInterval)};
    std::atomic<int64_t> frame_timeout_ns{nanoseconds(gige::stream_defaults::kFrameTimeout)};
    std::atomic<double> resend_ratio{gige::stream_defaults::kResendRatio};
    std::atomic<int64_t> receive_moderation_ns{
        nanoseconds(gige::stream_defaults::kReceiveModeration)};

    static int64_t nanoseconds(Duration d) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    }
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

    // What state queries (repr, is_connected, has_feature) may read without `mu`, so they never
    // wait for another thread's device operation. Written with `mu` held, after every connect
    // and disconnect (publish()); read under `published_mu` alone.
    struct Published {
        genicam::LinkWatch link;  // the current connection's link (empty when disconnected)
        bootstrap::DeviceInfo device_info;  // read at connect; meaningful with `link`
        // Every feature name of the loaded node map, sorted; null without one.
        std::shared_ptr<const std::vector<std::string>> names;
    };
    Published published() const {
        std::lock_guard lock(published_mu);
        return published_;
    }
    // Call with `mu` held.
    void publish();

  private:
    mutable std::mutex published_mu;
    Published published_;  // guarded by published_mu
};

// Runs fn(camera, interrupted) on the device: takes the camera mutex honouring Ctrl-C (a long
// snap of another thread may hold it), then runs fn with the GIL released. `interrupted` takes
// the GIL back for a moment to run pending signal handlers and says whether one raised. Empty
// when the wait for the mutex was interrupted; after fn, the caller checks PyErr_Occurred() for
// an interruption during fn. Call with the GIL held.
template <class Fn>
auto device_call(CameraCore& core, Fn&& fn)
    -> std::optional<std::invoke_result_t<Fn, genicam::GenICamera&, const genicam::Interrupt&>> {
    auto lock = lock_honouring_signals(core.mu);
    if (!lock.owns_lock()) {
        return std::nullopt;
    }
    GilRelease released;
    const genicam::Interrupt interrupted = [&released] {
        return released.with_gil([] { return PyErr_CheckSignals() < 0; });
    };
    return std::forward<Fn>(fn)(core.camera, interrupted);
}

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
