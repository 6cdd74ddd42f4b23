// The Python SnapshotSession class: snap / close / stats over an open snapshot session.
#include "py/snapshot_session.hpp"

#include <utility>

#include "log.hpp"
#include "py/capture_object.hpp"
#include "py/frame.hpp"

namespace corvisk::py {
namespace {

struct SessionTraits {
    using State = genicam::SnapshotSession;
    struct Fields : CaptureFields<State> {};
    static constexpr const char* kFinished = "snapshot session is closed";

    static GenicamResult<void> finish(State& s, genicam::GenICamera& camera) {
        s.release(camera);
        return {};
    }
    static void drop_finish(State& s, genicam::GenICamera& camera) { s.release(camera); }
    static void drop_busy(State& s) {
        CVK_LOG(log::Level::Warn, kPyTarget, {},
                "snapshot session dropped while camera busy; mode not restored");
        s.abandon();
    }
};

using Session = Capture<SessionTraits>;

// With the camera mutex held for the whole snap (device_call); the state mutex only to find
// the session, so that stats(), is_closed() and repr() never wait for a snap in flight (the
// state is only emptied with the camera mutex held, and the object cannot be destroyed during
// one of its calls).
std::optional<GenicamResult<gige::FramePtr>> snap_now(SessionTraits::Fields& f,
                                                      genicam::GenICamera& camera, Duration timeout,
                                                      const genicam::Interrupt& interrupted) {
    genicam::SnapshotSession* session = nullptr;
    {
        std::lock_guard state_lock(f.state_mu);
        if (f.state) {
            session = &*f.state;
        }
    }
    if (session == nullptr) {
        return std::nullopt;
    }
    return session->snap(camera, timeout, interrupted);
}

PyObject* snap_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"timeout"}}};
    Duration timeout = std::chrono::seconds(5);
    if (!parse_args("snap", kParams, args, nargs, kwnames, timeout)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        SessionTraits::Fields& f = Session::fields(self);
        auto frame = device_call(
            *f.core, [&](genicam::GenICamera& camera, const genicam::Interrupt& interrupted) {
                return snap_now(f, camera, timeout, interrupted);
            });
        if (!frame || PyErr_Occurred()) {
            return nullptr;  // Ctrl-C: the camera was stopped before we got here
        }
        if (!*frame) {
            return Session::raise_finished();
        }
        const ModuleState& state = state_of_defining_class(cls);
        if (!(*frame)->ok()) {
            return raise_error(state, (*frame)->error());
        }
        return frame_new(state, std::move(***frame)).release();
    });
}

PyObject* close_method(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
    if (!parse_no_args("close", nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        (void)without_gil([&] { return Session::finish_now(Session::fields(self)); });
        Py_RETURN_NONE;
    });
}

PyObject* is_closed_method(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
    if (!parse_no_args("is_closed", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(Session::is_finished(self));
}

PyObject* session_repr(PyObject* self) {
    return PyUnicode_FromFormat("SnapshotSession(closed=%s)",
                                Session::is_finished(self) ? "True" : "False");
}

const PyMethodDef session_methods[] = {
    method_def("snap", snap_method, "snap($self, timeout=5.0)\n--\n\n"),
    method_def("close", close_method,
               "close($self)\n--\n\nRestore `AcquisitionMode`, unlock transport parameters, and "
               "close the\nstream channel. Idempotent."),
    method_def("stats", Session::stats, "stats($self)\n--\n\n"),
    method_def("packet_size", Session::packet_size, "packet_size($self)\n--\n\n"),
    method_def("is_closed", is_closed_method, "is_closed($self)\n--\n\n"),
    method_def("__enter__", Session::enter, "__enter__($self)\n--\n\n"),
    method_def("__exit__", Session::exit, "__exit__($self, *_args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot session_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("An open stream channel dedicated to on-demand single-frame capture; the\n"
                       "camera transmits only while a `snap()` is in flight. Use as a context\n"
                       "manager or call `close()` to restore the camera's acquisition mode.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(Session::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_methods, const_cast<PyMethodDef*>(session_methods)},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "corvisk.SnapshotSession",
    sizeof(Session::Object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    const_cast<PyType_Slot*>(session_slots),
};

}  // namespace

PyRef snapshot_session_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
}

PyRef snapshot_session_new(const ModuleState& state, std::shared_ptr<CameraCore> core,
                           genicam::SnapshotSession session, BusyToken token) {
    auto* f = new SessionTraits::Fields;
    f->core = std::move(core);
    f->state.emplace(std::move(session));
    f->token = std::move(token);
    return Session::create(state.snapshot_session_type, f);
}

}  // namespace corvisk::py
