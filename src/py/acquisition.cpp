// The Python Acquisition class and the start/stop procedure of a continuous acquisition.
#include "py/acquisition.hpp"

#include <arpa/inet.h>

#include <mutex>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "log.hpp"
#include "py/convert.hpp"
#include "py/frame_channel.hpp"
#include "py/gil.hpp"
#include "py/stream_stats.hpp"

namespace corvisk::py {

namespace {
constexpr const char* kTarget = "corvisk::py";
// The longest a collected Acquisition waits for a camera another thread is using.
constexpr Duration kDropLockLimit = std::chrono::milliseconds(200);
}  // namespace

GenicamResult<AcqStart> acquisition_start(genicam::GenICamera& camera, gige::StreamConfig config) {
    CVK_TRY_VOID(camera.fill_payload_size(config));
    auto opened = gige::open_stream(camera.transport(), config);
    if (!opened.ok()) {
        return Err{GenicamError(opened.error())};
    }
    AcqStart start{std::move(*opened), gige::FrameChannel()};
    start.frames = start.stream.subscribe(config.n_buffers);
    if (auto locked = camera.set_integer("TLParamsLocked", 1); !locked.ok()) {
        CVK_LOG(log::Level::Debug, kTarget, {}, "TLParamsLocked not set: {}",
                locked.error().message());
    }
    auto started = camera.execute("AcquisitionStart");
    if (!started.ok()) {
        if (auto unlocked = camera.set_integer("TLParamsLocked", 0); !unlocked.ok()) {
            CVK_LOG(log::Level::Debug, kTarget, {}, "TLParamsLocked not cleared: {}",
                    unlocked.error().message());
        }
        return Err{started.error()};  // `start` goes out of scope: channel closed
    }
    return start;
}

GenicamResult<void> acquisition_stop(genicam::GenICamera& camera, gige::StreamChannel stream) {
    auto stopped = camera.execute("AcquisitionStop");
    if (auto unlocked = camera.set_integer("TLParamsLocked", 0); !unlocked.ok()) {
        CVK_LOG(log::Level::Debug, kTarget, {}, "TLParamsLocked not cleared: {}",
                unlocked.error().message());
    }
    stream.close();
    return stopped;
}

namespace {

// Everything an Acquisition owns; C++ objects behind one pointer so the Python object stays a
// plain struct.
struct AcqFields {
    std::shared_ptr<CameraCore> core;
    std::mutex state_mu;
    std::optional<gige::StreamChannel> state;  // present while running; guarded by state_mu
    std::mutex busy_mu;
    BusyToken busy;              // guarded by busy_mu
    gige::FrameChannel channel;  // never reassigned; the receiver itself is thread-safe
};

struct AcquisitionObject {
    PyObject ob_base;  // PyObject_HEAD
    AcqFields* f;
};

AcqFields& fields_of(PyObject* self) {
    return *reinterpret_cast<AcquisitionObject*>(self)->f;
}

const ModuleState* state_of(PyObject* self) {
    return state_of_type(Py_TYPE(self));
}

// Camera mutex, then state mutex; the token goes after the state mutex is released. GIL
// released by the caller.
GenicamResult<void> stop_now(AcqFields& f) {
    std::lock_guard camera_lock(f.core->mu);
    std::optional<gige::StreamChannel> state;
    {
        std::lock_guard state_lock(f.state_mu);
        state.swap(f.state);
    }
    GenicamResult<void> result{};
    if (state) {
        result = acquisition_stop(f.core->camera, std::move(*state));
    }
    std::lock_guard busy_lock(f.busy_mu);
    f.busy.release();
    return result;
}

void acquisition_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    AcqFields* f = reinterpret_cast<AcquisitionObject*>(self)->f;
    if (f != nullptr) {
        std::optional<gige::StreamChannel> state;
        {
            auto lock = lock_releasing_gil(f->state_mu);
            state.swap(f->state);
        }
        if (state) {
            auto camera_lock = try_lock_for_releasing_gil(f->core->mu, kDropLockLimit);
            GilRelease released;  // closing the channel waits for the device
            if (camera_lock.owns_lock()) {
                auto stopped = acquisition_stop(f->core->camera, std::move(*state));
                if (!stopped.ok()) {
                    CVK_LOG(log::Level::Warn, kTarget, {}, "AcquisitionStop on drop failed: {}",
                            stopped.error().message());
                }
            } else {
                CVK_LOG(log::Level::Warn, kTarget, {},
                        "acquisition dropped while camera busy; AcquisitionStop not sent");
                state.reset();
            }
        }
        GilRelease released;  // the last core holder disconnects and joins workers
        delete f;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* raise_stop_error(PyObject* self, const GenicamResult<void>& result) {
    if (result.ok()) {
        return nullptr;
    }
    const ModuleState* state = state_of(self);
    return state == nullptr ? nullptr : raise_error(*state, result.error());
}

PyObject* stop_method(PyObject* self, PyObject*) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        auto result = without_gil([&] { return stop_now(fields_of(self)); });
        if (!result.ok()) {
            return raise_stop_error(self, result);
        }
        Py_RETURN_NONE;
    });
}

PyObject* exit_method(PyObject* self, PyObject*) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        auto result = without_gil([&] { return stop_now(fields_of(self)); });
        if (!result.ok()) {
            return raise_stop_error(self, result);
        }
        Py_RETURN_FALSE;
    });
}

PyObject* enter_method(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* wait_for_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout", nullptr};
    PyObject* timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:wait_for", const_cast<char**>(keywords),
                                     &timeout_arg)) {
        return nullptr;
    }
    Duration timeout = std::chrono::seconds(1);
    if (timeout_arg != nullptr) {
        auto t = parse_timeout(timeout_arg, "wait_for", "timeout");
        if (!t) {
            return nullptr;
        }
        timeout = *t;
    }
    const ModuleState* state = state_of(self);
    if (state == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(
        nullptr, [&] { return frame_channel_wait_for(*state, fields_of(self).channel, timeout); });
}

template <PyObject* (*Op)(const ModuleState&, gige::FrameChannel&)>
PyObject* channel_method(PyObject* self, PyObject*) {
    const ModuleState* state = state_of(self);
    if (state == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] { return Op(*state, fields_of(self).channel); });
}

PyObject* clear_method(PyObject* self, PyObject*) {
    return guard_cxx<PyObject*>(nullptr,
                                [&] { return frame_channel_clear(fields_of(self).channel); });
}

PyObject* iternext(PyObject* self) {
    const ModuleState* state = state_of(self);
    if (state == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(
        nullptr, [&] { return frame_channel_next(*state, fields_of(self).channel); });
}

PyObject* stopped_error() {
    PyErr_SetString(PyExc_ValueError, "acquisition is stopped");
    return nullptr;
}

// Runs fn(stream) under the state mutex, or raises ValueError when stopped.
template <class Fn>
PyObject* with_stream(PyObject* self, Fn&& fn) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        AcqFields& f = fields_of(self);
        auto lock = lock_releasing_gil(f.state_mu);
        if (!f.state) {
            return stopped_error();
        }
        return fn(*f.state);
    });
}

PyObject* subscribe_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"capacity", nullptr};
    PyObject* capacity_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:subscribe", const_cast<char**>(keywords),
                                     &capacity_arg)) {
        return nullptr;
    }
    size_t capacity = 16;
    if (capacity_arg != nullptr) {
        auto c = parse_unsigned<size_t>(capacity_arg, "subscribe", "capacity");
        if (!c) {
            return nullptr;
        }
        capacity = *c;
    }
    const ModuleState* state = state_of(self);
    if (state == nullptr) {
        return nullptr;
    }
    return with_stream(self, [&](gige::StreamChannel& stream) {
        return frame_channel_new(*state, stream.subscribe(capacity)).release();
    });
}

PyObject* stats_method(PyObject* self, PyObject*) {
    const ModuleState* state = state_of(self);
    if (state == nullptr) {
        return nullptr;
    }
    return with_stream(self, [&](gige::StreamChannel& stream) {
        return stream_stats_new(*state, stream.stats()).release();
    });
}

PyObject* packet_size_method(PyObject* self, PyObject*) {
    return with_stream(
        self, [&](gige::StreamChannel& stream) { return PyLong_FromLong(stream.packet_size()); });
}

PyObject* local_addr_method(PyObject* self, PyObject*) {
    return with_stream(self, [&](gige::StreamChannel& stream) {
        const sockaddr_in& addr = stream.local_addr();
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        return to_str(fmt::format("{}:{}", text, ntohs(addr.sin_port))).release();
    });
}

bool is_stopped(PyObject* self) {
    AcqFields& f = fields_of(self);
    auto lock = lock_releasing_gil(f.state_mu);
    return !f.state.has_value();
}

PyObject* is_stopped_method(PyObject* self, PyObject*) {
    return PyBool_FromLong(is_stopped(self));
}

PyObject* acquisition_repr(PyObject* self) {
    return PyUnicode_FromFormat("Acquisition(stopped=%s)", is_stopped(self) ? "True" : "False");
}

template <class Method>
PyCFunction as_cfunction(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef acquisition_methods[] = {
    {"stop", stop_method, METH_NOARGS,
     "stop($self)\n--\n\nStop the camera, unlock transport parameters, and close the stream\n"
     "channel. Idempotent; frames already buffered stay readable."},
    {"wait_for", as_cfunction(wait_for_method), METH_VARARGS | METH_KEYWORDS,
     "wait_for($self, timeout=1.0)\n--\n\n"},
    {"try_recv", channel_method<frame_channel_try_recv>, METH_NOARGS, "try_recv($self)\n--\n\n"},
    {"recv_all", channel_method<frame_channel_recv_all>, METH_NOARGS, "recv_all($self)\n--\n\n"},
    {"clear", clear_method, METH_NOARGS, "clear($self)\n--\n\n"},
    {"subscribe", as_cfunction(subscribe_method), METH_VARARGS | METH_KEYWORDS,
     "subscribe($self, capacity=16)\n--\n\nAn additional subscription with its own buffer; "
     "unlike the built-in\none it only sees frames completed after this call."},
    {"stats", stats_method, METH_NOARGS, "stats($self)\n--\n\n"},
    {"packet_size", packet_size_method, METH_NOARGS, "packet_size($self)\n--\n\n"},
    {"local_addr", local_addr_method, METH_NOARGS, "local_addr($self)\n--\n\n"},
    {"is_stopped", is_stopped_method, METH_NOARGS, "is_stopped($self)\n--\n\n"},
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", exit_method, METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot acquisition_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A running continuous acquisition. The built-in subscription is created\n"
                       "before the camera starts, so even the first frame is delivered. Use as a\n"
                       "context manager or call `stop()`; buffered frames stay readable after.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(acquisition_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(acquisition_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, acquisition_methods},
    {0, nullptr},
};

PyType_Spec acquisition_spec = {
    "corvisk.Acquisition",
    sizeof(AcquisitionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    acquisition_slots,
};

}  // namespace

PyRef acquisition_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &acquisition_spec, nullptr));
}

PyRef acquisition_new(const ModuleState& state, std::shared_ptr<CameraCore> core, AcqStart start,
                      BusyToken token) {
    PyTypeObject* type = state.acquisition_type;
    auto* f = new AcqFields;
    f->core = std::move(core);
    f->state.emplace(std::move(start.stream));
    f->channel = std::move(start.frames);
    f->busy = std::move(token);
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        // Stops the camera the best we can without an object to hand out.
        (void)without_gil([&] { return stop_now(*f); });
        delete f;
        return obj;
    }
    reinterpret_cast<AcquisitionObject*>(obj.get())->f = f;
    return obj;
}

}  // namespace corvisk::py
