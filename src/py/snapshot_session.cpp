// The Python SnapshotSession class: snap / close / stats over an open snapshot session.
#include "py/snapshot_session.hpp"

#include <mutex>
#include <optional>
#include <utility>

#include "log.hpp"
#include "py/convert.hpp"
#include "py/frame.hpp"
#include "py/gil.hpp"
#include "py/stream_stats.hpp"

namespace corvisk::py {
namespace {

// The longest a collected session waits for a camera another thread is using.
constexpr Duration kDropLockLimit = std::chrono::milliseconds(200);

struct SessionFields {
    std::shared_ptr<CameraCore> core;
    std::mutex state_mu;
    std::optional<genicam::SnapshotSession> state;  // empty once closed; guarded by state_mu
    std::mutex token_mu;
    BusyToken token;  // guarded by token_mu
};

struct SessionObject {
    PyObject ob_base;  // PyObject_HEAD
    SessionFields* f;
};

SessionFields& fields_of(PyObject* self) {
    return *reinterpret_cast<SessionObject*>(self)->f;
}

PyObject* closed_error() {
    PyErr_SetString(PyExc_ValueError, "snapshot session is closed");
    return nullptr;
}

// Camera mutex, then state mutex, then token mutex. GIL released by the caller.
void close_now(SessionFields& f) {
    std::lock_guard camera_lock(f.core->mu);
    {
        std::lock_guard state_lock(f.state_mu);
        if (f.state) {
            f.state->release(f.core->camera);
            f.state.reset();
        }
    }
    std::lock_guard token_lock(f.token_mu);
    f.token.release();
}

void session_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    SessionFields* f = reinterpret_cast<SessionObject*>(self)->f;
    if (f != nullptr) {
        std::optional<genicam::SnapshotSession> state;
        {
            auto lock = lock_releasing_gil(f->state_mu);
            state.swap(f->state);
        }
        if (state) {
            auto camera_lock = try_lock_for_releasing_gil(f->core->mu, kDropLockLimit);
            GilRelease released;  // closing the channel waits for the device
            if (camera_lock.owns_lock()) {
                state->release(f->core->camera);
            } else {
                CVK_LOG(log::Level::Warn, kPyTarget, {},
                        "snapshot session dropped while camera busy; mode not restored");
                state->abandon();
            }
        }
        GilRelease released;  // the last core holder disconnects and joins workers
        delete f;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* snap_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout", nullptr};
    PyObject* timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:snap", const_cast<char**>(keywords),
                                     &timeout_arg)) {
        return nullptr;
    }
    Duration timeout = std::chrono::seconds(5);
    if (timeout_arg != nullptr) {
        auto t = parse_timeout(timeout_arg, "snap", "timeout");
        if (!t) {
            return nullptr;
        }
        timeout = *t;
    }
    const ModuleState* state = state_of_type(Py_TYPE(self));
    if (state == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        SessionFields& f = fields_of(self);
        std::optional<GenicamResult<gige::FramePtr>> frame = without_gil([&] {
            std::lock_guard camera_lock(f.core->mu);
            std::lock_guard state_lock(f.state_mu);
            std::optional<GenicamResult<gige::FramePtr>> out;
            if (f.state) {
                out.emplace(f.state->snap(f.core->camera, timeout));
            }
            return out;
        });
        if (!frame) {
            return closed_error();
        }
        if (!frame->ok()) {
            return raise_error(*state, frame->error());
        }
        return frame_new(*state, std::move(**frame)).release();
    });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        without_gil([&] { close_now(fields_of(self)); });
        Py_RETURN_NONE;
    });
}

PyObject* exit_method(PyObject* self, PyObject*) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        without_gil([&] { close_now(fields_of(self)); });
        Py_RETURN_FALSE;
    });
}

PyObject* enter_method(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

// Runs fn(stream) under the state mutex only, or raises ValueError when closed.
template <class Fn>
PyObject* with_stream(PyObject* self, Fn&& fn) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        SessionFields& f = fields_of(self);
        auto lock = lock_releasing_gil(f.state_mu);
        if (!f.state) {
            return closed_error();
        }
        return fn(f.state->stream());
    });
}

PyObject* stats_method(PyObject* self, PyObject*) {
    const ModuleState* state = state_of_type(Py_TYPE(self));
    if (state == nullptr) {
        return nullptr;
    }
    return with_stream(self, [&](const gige::StreamChannel& stream) {
        return stream_stats_new(*state, stream.stats()).release();
    });
}

PyObject* packet_size_method(PyObject* self, PyObject*) {
    return with_stream(self, [&](const gige::StreamChannel& stream) {
        return PyLong_FromLong(stream.packet_size());
    });
}

bool is_closed(PyObject* self) {
    SessionFields& f = fields_of(self);
    auto lock = lock_releasing_gil(f.state_mu);
    return !f.state.has_value();
}

PyObject* is_closed_method(PyObject* self, PyObject*) {
    return PyBool_FromLong(is_closed(self));
}

PyObject* session_repr(PyObject* self) {
    return PyUnicode_FromFormat("SnapshotSession(closed=%s)", is_closed(self) ? "True" : "False");
}

template <class Method>
PyCFunction as_cfunction(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef session_methods[] = {
    {"snap", as_cfunction(snap_method), METH_VARARGS | METH_KEYWORDS,
     "snap($self, timeout=5.0)\n--\n\n"},
    {"close", close_method, METH_NOARGS,
     "close($self)\n--\n\nRestore `AcquisitionMode`, unlock transport parameters, and close the\n"
     "stream channel. Idempotent."},
    {"stats", stats_method, METH_NOARGS, "stats($self)\n--\n\n"},
    {"packet_size", packet_size_method, METH_NOARGS, "packet_size($self)\n--\n\n"},
    {"is_closed", is_closed_method, METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", exit_method, METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("An open stream channel dedicated to on-demand single-frame capture; the\n"
                       "camera transmits only while a `snap()` is in flight. Use as a context\n"
                       "manager or call `close()` to restore the camera's acquisition mode.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_methods, session_methods},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "corvisk.SnapshotSession",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    session_slots,
};

}  // namespace

PyRef snapshot_session_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
}

PyRef snapshot_session_new(const ModuleState& state, std::shared_ptr<CameraCore> core,
                           genicam::SnapshotSession session, BusyToken token) {
    PyTypeObject* type = state.snapshot_session_type;
    auto* f = new SessionFields;
    f->core = std::move(core);
    f->state.emplace(std::move(session));
    f->token = std::move(token);
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        without_gil([&] { close_now(*f); });
        delete f;
        return obj;
    }
    reinterpret_cast<SessionObject*>(obj.get())->f = f;
    return obj;
}

}  // namespace corvisk::py
