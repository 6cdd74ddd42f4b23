// Camera.snap, Camera.start_acquisition and Camera.snapshot_session: argument parsing, the
// busy-slot claim, and the device work with the GIL released and the camera mutex held.
#include "py/camera_capture.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <utility>

#include "genicam/acquisition.hpp"
#include "genicam/snapshot.hpp"
#include "py/acquisition.hpp"
#include "py/camera.hpp"
#include "py/convert.hpp"
#include "py/frame.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/snapshot_session.hpp"

namespace corvisk::py {
namespace {

struct CaptureArgs {
    Duration timeout = std::chrono::seconds(5);
    gige::StreamConfig config;
};

// The stream arguments every capture method takes, all keyword-only.
constexpr std::array<Param, 5> kStreamParams{{{"channel", true},
                                              {"n_buffers", true},
                                              {"packet_size", true},
                                              {"packet_delay", true},
                                              {"resend", true}}};
// snap's: the timeout (also by position), then the stream arguments.
constexpr std::array<Param, 6> kSnapParams{{{"timeout"},
                                            {"channel", true},
                                            {"n_buffers", true},
                                            {"packet_size", true},
                                            {"packet_delay", true},
                                            {"resend", true}}};

// The stream settings every capture uses besides its arguments: the fixed defaults and the
// camera's own tuning.
gige::StreamConfig base_config(const StreamTuning& tuning) {
    gige::StreamConfig c;
    c.recv_buffer = tuning.recv_buffer.load(std::memory_order_relaxed);
    c.recv_buffer_max = tuning.recv_buffer_max.load(std::memory_order_relaxed);
    c.pool_memory_limit = tuning.pool_memory_limit.load(std::memory_order_relaxed);
    using std::chrono::nanoseconds;
    c.resend_initial_delay = nanoseconds(tuning.resend_initial_delay_ns.load());
    c.resend_interval = nanoseconds(tuning.resend_interval_ns.load());
    c.frame_timeout = nanoseconds(tuning.frame_timeout_ns.load());
    c.resend_ratio = tuning.resend_ratio.load();
    c.receive_moderation = nanoseconds(tuning.receive_moderation_ns.load());
    return c;
}

std::optional<CaptureArgs> parse_capture(PyObject* self, const char* fn, bool with_timeout,
                                         PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    CaptureArgs out;
    out.config = base_config(camera_core(self)->stream_tuning);
    gige::StreamConfig& c = out.config;
    const bool ok = with_timeout
                        ? parse_args(fn, kSnapParams, args, nargs, kwnames, out.timeout, c.channel,
                                     c.n_buffers, c.packet_size, c.packet_delay, c.resend)
                        : parse_args(fn, kStreamParams, args, nargs, kwnames, c.channel,
                                     c.n_buffers, c.packet_size, c.packet_delay, c.resend);
    return ok ? std::optional<CaptureArgs>(std::move(out)) : std::nullopt;
}

}  // namespace

PyObject* camera_snap(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    auto parsed = parse_capture(self, "snap", true, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "a snap");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto frame = device_call(
            *core, [&](genicam::GenICamera& camera, const genicam::Interrupt& interrupted) {
                return genicam::snap_once(camera, std::move(parsed->config), parsed->timeout,
                                          interrupted);
            });
        token.release();
        if (!frame || PyErr_Occurred()) {
            return nullptr;  // Ctrl-C: the camera was stopped and restored before we got here
        }
        const ModuleState& state = state_of_defining_class(cls);
        if (!frame->ok()) {
            return raise_error(state, frame->error());
        }
        return frame_new(state, std::move(**frame)).release();
    });
}

PyObject* camera_start_acquisition(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = parse_capture(self, "start_acquisition", false, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "an acquisition");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto started =
            device_call(*core, [&](genicam::GenICamera& camera, const genicam::Interrupt&) {
                return genicam::ContinuousAcquisition::start(camera, std::move(parsed->config),
                                                             kPyTarget);
            });
        if (!started) {
            return nullptr;  // interrupted while waiting for the camera
        }
        const ModuleState& state = state_of_defining_class(cls);
        if (!started->ok()) {
            token.release();
            return raise_error(state, started->error());
        }
        return acquisition_new(state, std::move(core), std::move(**started), std::move(token))
            .release();
    });
}

PyObject* camera_snapshot_session(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = parse_capture(self, "snapshot_session", false, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "a snapshot session");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto opened =
            device_call(*core, [&](genicam::GenICamera& camera, const genicam::Interrupt&) {
                return genicam::SnapshotSession::open(camera, std::move(parsed->config), kPyTarget);
            });
        if (!opened) {
            return nullptr;  // interrupted while waiting for the camera
        }
        const ModuleState& state = state_of_defining_class(cls);
        if (!opened->ok()) {
            token.release();
            return raise_error(state, opened->error());
        }
        return snapshot_session_new(state, std::move(core), std::move(**opened), std::move(token))
            .release();
    });
}

}  // namespace corvisk::py
