// Camera.snap, Camera.start_acquisition and Camera.snapshot_session: argument parsing, the
// busy-slot claim, and the device work with the GIL released and the camera mutex held.
#include "py/camera_capture.hpp"

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "genicam/snapshot.hpp"
#include "py/acquisition.hpp"
#include "py/camera.hpp"
#include "py/convert.hpp"
#include "py/frame.hpp"
#include "py/gil.hpp"
#include "py/snapshot_session.hpp"

namespace corvisk::py {
namespace {

struct CaptureArgs {
    Duration timeout = std::chrono::seconds(5);
    gige::StreamConfig config;
};

// Argument names in slot order; `timeout` (slot 0) exists only for snap and is the only one
// that may be given by position.
constexpr std::array<const char*, 6> kNames = {"timeout",     "channel",      "n_buffers",
                                               "packet_size", "packet_delay", "resend"};

// The fixed stream settings every capture uses besides its arguments.
gige::StreamConfig base_config() {
    return gige::StreamConfig{};
}

// Collects the given arguments into their slots; false with TypeError set.
bool collect(const char* fn, bool with_timeout, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames, std::array<PyObject*, 6>& slots) {
    const Py_ssize_t max_positional = with_timeout ? 1 : 0;
    if (nargs > max_positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", fn,
                     max_positional + 1, max_positional == 0 ? "" : "s", nargs + 1);
        return false;
    }
    if (nargs == 1) {
        slots[0] = args[0];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        size_t slot = with_timeout ? 0 : 1;
        while (slot < kNames.size() && PyUnicode_CompareWithASCIIString(key, kNames[slot]) != 0) {
            ++slot;
        }
        if (slot == kNames.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn,
                         kNames[slot]);
            return false;
        }
        slots[slot] = args[nargs + i];
    }
    return true;
}

std::optional<CaptureArgs> parse_capture(const char* fn, bool with_timeout, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 6> slots{};
    if (!collect(fn, with_timeout, args, nargs, kwnames, slots)) {
        return std::nullopt;
    }
    CaptureArgs out;
    out.config = base_config();
    if (slots[0] != nullptr) {
        auto t = parse_timeout(slots[0], fn, "timeout");
        if (!t) {
            return std::nullopt;
        }
        out.timeout = *t;
    }
    if (slots[1] != nullptr) {
        auto v = parse_unsigned<uint16_t>(slots[1], fn, "channel");
        if (!v) {
            return std::nullopt;
        }
        out.config.channel = *v;
    }
    if (slots[2] != nullptr) {
        auto v = parse_unsigned<size_t>(slots[2], fn, "n_buffers");
        if (!v) {
            return std::nullopt;
        }
        out.config.n_buffers = *v;
    }
    if (slots[3] != nullptr) {
        auto v = parse_optional_unsigned<uint16_t>(slots[3], fn, "packet_size");
        if (!v) {
            return std::nullopt;
        }
        out.config.packet_size = *v;
    }
    if (slots[4] != nullptr) {
        auto v = parse_optional_unsigned<uint32_t>(slots[4], fn, "packet_delay");
        if (!v) {
            return std::nullopt;
        }
        out.config.packet_delay = *v;
    }
    if (slots[5] != nullptr) {
        auto v = parse_bool(slots[5], fn, "resend");
        if (!v) {
            return std::nullopt;
        }
        out.config.resend = *v;
    }
    return out;
}

PyObject* snap_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    auto parsed = parse_capture("snap", true, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "a snap");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto frame = without_gil([&] {
            std::lock_guard lock(core->mu);
            return genicam::snap_once(core->camera, std::move(parsed->config), parsed->timeout);
        });
        token.release();
        const ModuleState& state = state_of_defining_class(cls);
        if (!frame.ok()) {
            return raise_error(state, frame.error());
        }
        return frame_new(state, std::move(*frame)).release();
    });
}

PyObject* start_acquisition_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = parse_capture("start_acquisition", false, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "an acquisition");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto started = without_gil([&] {
            std::lock_guard lock(core->mu);
            return acquisition_start(core->camera, std::move(parsed->config));
        });
        const ModuleState& state = state_of_defining_class(cls);
        if (!started.ok()) {
            token.release();
            return raise_error(state, started.error());
        }
        return acquisition_new(state, std::move(core), std::move(*started), std::move(token))
            .release();
    });
}

PyObject* snapshot_session_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    auto parsed = parse_capture("snapshot_session", false, args, nargs, kwnames);
    if (!parsed) {
        return nullptr;
    }
    BusyToken token = claim_busy(camera_busy_slot(self), "a snapshot session");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::shared_ptr<CameraCore> core = camera_core(self);
        auto opened = without_gil([&] {
            std::lock_guard lock(core->mu);
            return genicam::SnapshotSession::open(core->camera, std::move(parsed->config),
                                                  kPyTarget);
        });
        const ModuleState& state = state_of_defining_class(cls);
        if (!opened.ok()) {
            token.release();
            return raise_error(state, opened.error());
        }
        return snapshot_session_new(state, std::move(core), std::move(*opened), std::move(token))
            .release();
    });
}

using MethodFn = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(MethodFn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef camera_capture_methods[] = {
    {"snap", as_cfunction(snap_method), kMethodFlags,
     "snap($self, timeout=5.0, *, channel=0, n_buffers=8, packet_size=None, packet_delay=None, "
     "resend=True)\n--\n\n"},
    {"start_acquisition", as_cfunction(start_acquisition_method), kMethodFlags,
     "start_acquisition($self, *, channel=0, n_buffers=8, packet_size=None, packet_delay=None, "
     "resend=True)\n--\n\n"},
    {"snapshot_session", as_cfunction(snapshot_session_method), kMethodFlags,
     "snapshot_session($self, *, channel=0, n_buffers=8, packet_size=None, packet_delay=None, "
     "resend=True)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvisk::py
