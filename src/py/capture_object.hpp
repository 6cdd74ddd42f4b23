// What the two Python capture classes (Acquisition and SnapshotSession) share: their fields,
// the finishing step (stop / close) with its lock order, destruction with a bounded wait for
// the camera, and the common methods __enter__, __exit__, stats and packet_size.
//
// A class plugs in through a traits struct:
//   using State = ...;                       the capture procedure's state (genicam layer)
//   struct Fields : CaptureFields<State>     its fields (possibly more than the shared ones)
//   static constexpr const char* kFinished;  the ValueError text once finished
//   static GenicamResult<void> finish(State&, genicam::GenICamera&);   stop / release
//   static void drop_busy(State&);           destruction while the camera is busy
#pragma once

#include "py/python.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "py/busy.hpp"
#include "py/camera.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/stream_stats.hpp"

namespace corvisk::py {

// The longest a collected capture object waits for a camera another thread is using.
inline constexpr Duration kDropLockLimit = std::chrono::milliseconds(200);

// Lock order: camera mutex, then state mutex; the token mutex only after the state mutex is
// released. The state is replaced (emptied) only with both the camera and the state mutex
// held, or by destruction, so a holder of the camera mutex may use it without the state mutex.
template <class State>
struct CaptureFields {
    std::shared_ptr<CameraCore> core;
    std::mutex state_mu;
    std::optional<State> state;  // present until finished; guarded as said above
    std::mutex token_mu;
    BusyToken token;  // guarded by token_mu
};

template <class Traits>
struct Capture {
    using Fields = typename Traits::Fields;
    struct Object {
        PyObject ob_base;  // PyObject_HEAD
        Fields* f;
    };

    static Fields& fields(PyObject* self) { return *reinterpret_cast<Object*>(self)->f; }

    // Stops or closes once; later calls succeed at once. GIL released by the caller.
    static GenicamResult<void> finish_now(Fields& f) {
        std::lock_guard camera_lock(f.core->mu);
        GenicamResult<void> result{};
        {
            std::lock_guard state_lock(f.state_mu);
            if (f.state) {
                result = Traits::finish(*f.state, f.core->camera);
                f.state.reset();
            }
        }
        std::lock_guard token_lock(f.token_mu);
        f.token.release();
        return result;
    }

    // A new object of `type` owning `f`; finishes the capture when no object can be made.
    static PyRef create(PyTypeObject* type, Fields* f) {
        PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
        if (!obj) {
            (void)without_gil([&] { return finish_now(*f); });
            delete f;
            return obj;
        }
        reinterpret_cast<Object*>(obj.get())->f = f;
        return obj;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        Fields* f = reinterpret_cast<Object*>(self)->f;
        if (f != nullptr) {
            drop_state(*f);
            GilRelease released;  // the last core holder disconnects and joins workers
            delete f;
        }
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The state alone first, then the camera with a bounded wait.
    static void drop_state(Fields& f) {
        std::optional<typename Traits::State> state;
        {
            auto lock = lock_releasing_gil(f.state_mu);
            state.swap(f.state);
        }
        if (!state) {
            return;
        }
        auto camera_lock = try_lock_for_releasing_gil(f.core->mu, kDropLockLimit);
        GilRelease released;  // closing the channel waits for the device
        if (camera_lock.owns_lock()) {
            Traits::drop_finish(*state, f.core->camera);
        } else {
            Traits::drop_busy(*state);
        }
    }

    static bool is_finished(PyObject* self) {
        Fields& f = fields(self);
        auto lock = lock_releasing_gil(f.state_mu);
        return !f.state.has_value();
    }

    static PyObject* raise_finished() {
        PyErr_SetString(PyExc_ValueError, Traits::kFinished);
        return nullptr;
    }

    // Runs fn(state) under the state mutex, or raises ValueError once finished.
    template <class Fn>
    static PyObject* with_state(PyObject* self, Fn&& fn) {
        return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
            Fields& f = fields(self);
            auto lock = lock_releasing_gil(f.state_mu);
            if (!f.state) {
                return raise_finished();
            }
            return fn(*f.state);
        });
    }

    static PyObject* enter(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
        if (!parse_no_args("__enter__", nargs, kwnames)) {
            return nullptr;
        }
        Py_INCREF(self);
        return self;
    }

    // __exit__(*_args): finishes, then returns False so exceptions propagate.
    static PyObject* exit(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t,
                          PyObject* kwnames) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
            PyErr_SetString(PyExc_TypeError, "__exit__() takes no keyword arguments");
            return nullptr;
        }
        return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
            auto result = without_gil([&] { return finish_now(fields(self)); });
            if (!result.ok()) {
                return raise_error(state_of_defining_class(cls), result.error());
            }
            Py_RETURN_FALSE;
        });
    }

    static PyObject* stats(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
        if (!parse_no_args("stats", nargs, kwnames)) {
            return nullptr;
        }
        const ModuleState& module = state_of_defining_class(cls);
        return with_state(self, [&](typename Traits::State& s) {
            return stream_stats_new(module, s.stream().stats()).release();
        });
    }

    static PyObject* packet_size(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                                 PyObject* kwnames) {
        if (!parse_no_args("packet_size", nargs, kwnames)) {
            return nullptr;
        }
        return with_state(self, [&](typename Traits::State& s) {
            return PyLong_FromLong(s.stream().packet_size());
        });
    }
};

}  // namespace corvisk::py
