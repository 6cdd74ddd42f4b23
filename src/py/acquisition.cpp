// The Python Acquisition class over the continuous acquisition procedure.
#include "py/acquisition.hpp"

#include <arpa/inet.h>

#include <utility>

#include <fmt/format.h>

#include "log.hpp"
#include "py/capture_object.hpp"
#include "py/frame_channel.hpp"
#include "py/snapshot_session.hpp"

namespace corvisk::py {
namespace {

struct AcquisitionTraits {
    using State = genicam::ContinuousAcquisition;
    struct Fields : CaptureFields<State> {
        gige::FrameChannel channel;  // never reassigned; the receiver itself is thread-safe
        genicam::LinkWatch link;     // never reassigned; ends waits when the control link dies
    };
    static constexpr const char* kFinished = "acquisition is stopped";

    static GenicamResult<void> finish(State& s, genicam::GenICamera& camera) {
        return s.stop(camera);
    }
    static void drop_finish(State& s, genicam::GenICamera& camera) {
        if (auto stopped = s.stop(camera); !stopped.ok()) {
            CVK_LOG(log::Level::Warn, kPyTarget, {}, "AcquisitionStop on drop failed: {}",
                    stopped.error().message());
        }
    }
    static void drop_busy(State& s) {
        CVK_LOG(log::Level::Warn, kPyTarget, {},
                "acquisition dropped while camera busy; AcquisitionStop not sent");
        s.abandon();
    }
};

using Acq = Capture<AcquisitionTraits>;

gige::FrameChannel& channel_of(PyObject* self) {
    return Acq::fields(self).channel;
}

PyObject* stop_method(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) {
    if (!parse_no_args("stop", nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        auto result = without_gil([&] { return Acq::finish_now(Acq::fields(self)); });
        if (!result.ok()) {
            return raise_error(state_of_defining_class(cls), result.error());
        }
        Py_RETURN_NONE;
    });
}

PyObject* wait_for_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"timeout"}}};
    Duration timeout = std::chrono::seconds(1);
    if (!parse_args("wait_for", kParams, args, nargs, kwnames, timeout)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        return frame_channel_wait_for(state_of_defining_class(cls), channel_of(self), timeout,
                                      &Acq::fields(self).link);
    });
}

// try_recv, recv_all, clear: the built-in channel's operations.
template <PyObject* (*Op)(const ModuleState&, gige::FrameChannel&), const char* Name>
PyObject* channel_method(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!parse_no_args(Name, nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr,
                                [&] { return Op(state_of_defining_class(cls), channel_of(self)); });
}

constexpr char kTryRecv[] = "try_recv";
constexpr char kRecvAll[] = "recv_all";
constexpr char kClear[] = "clear";

PyObject* clear_op(const ModuleState&, gige::FrameChannel& channel) {
    return frame_channel_clear(channel);
}

PyObject* iternext(PyObject* self) {
    const ModuleState* state = state_of_type(Py_TYPE(self));
    if (state == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        return frame_channel_next(*state, channel_of(self), &Acq::fields(self).link);
    });
}

PyObject* subscribe_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"capacity"}}};
    size_t capacity = 16;
    if (!parse_args("subscribe", kParams, args, nargs, kwnames, capacity)) {
        return nullptr;
    }
    const ModuleState& state = state_of_defining_class(cls);
    return Acq::with_state(self, [&](genicam::ContinuousAcquisition& acq) {
        return frame_channel_new(state, acq.stream().subscribe(capacity)).release();
    });
}

PyObject* local_addr_method(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!parse_no_args("local_addr", nargs, kwnames)) {
        return nullptr;
    }
    return Acq::with_state(self, [&](genicam::ContinuousAcquisition& acq) {
        const sockaddr_in& addr = acq.stream().local_addr();
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        return to_str(fmt::format("{}:{}", text, ntohs(addr.sin_port))).release();
    });
}

PyObject* is_stopped_method(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!parse_no_args("is_stopped", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(Acq::is_finished(self));
}

PyObject* acquisition_repr(PyObject* self) {
    return PyUnicode_FromFormat("Acquisition(stopped=%s)",
                                Acq::is_finished(self) ? "True" : "False");
}

const PyMethodDef acquisition_methods[] = {
    method_def("stop", stop_method,
               "stop($self)\n--\n\nStop the camera, unlock transport parameters, and close the "
               "stream\nchannel. Idempotent; frames already buffered stay readable."),
    method_def("wait_for", wait_for_method, "wait_for($self, timeout=1.0)\n--\n\n"),
    method_def("try_recv", channel_method<frame_channel_try_recv, kTryRecv>,
               "try_recv($self)\n--\n\n"),
    method_def("recv_all", channel_method<frame_channel_recv_all, kRecvAll>,
               "recv_all($self)\n--\n\n"),
    method_def("clear", channel_method<clear_op, kClear>, "clear($self)\n--\n\n"),
    method_def("subscribe", subscribe_method,
               "subscribe($self, capacity=16)\n--\n\nAn additional subscription with its own "
               "buffer; unlike the built-in\none it only sees frames completed after this call."),
    method_def("stats", Acq::stats, "stats($self)\n--\n\n"),
    method_def("packet_size", Acq::packet_size, "packet_size($self)\n--\n\n"),
    method_def("local_addr", local_addr_method, "local_addr($self)\n--\n\n"),
    method_def("is_stopped", is_stopped_method, "is_stopped($self)\n--\n\n"),
    method_def("__enter__", Acq::enter, "__enter__($self)\n--\n\n"),
    method_def("__exit__", Acq::exit, "__exit__($self, *_args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot acquisition_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A running continuous acquisition. The built-in subscription is created\n"
                       "before the camera starts, so even the first frame is delivered. Use as a\n"
                       "context manager or call `stop()`; buffered frames stay readable after.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(Acq::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(acquisition_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, const_cast<PyMethodDef*>(acquisition_methods)},
    {0, nullptr},
};

PyType_Spec acquisition_spec = {
    "corvisk.Acquisition",
    sizeof(Acq::Object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    const_cast<PyType_Slot*>(acquisition_slots),
};

}  // namespace

PyRef acquisition_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &acquisition_spec, nullptr));
}

PyRef acquisition_new(const ModuleState& state, std::shared_ptr<CameraCore> core,
                      genicam::AcquisitionStart start, BusyToken token) {
    auto* f = new AcquisitionTraits::Fields;
    f->core = std::move(core);
    f->state.emplace(std::move(start.acquisition));
    f->channel = std::move(start.frames);
    f->link = std::move(start.link);
    f->token = std::move(token);
    return Acq::create(state.acquisition_type, f);
}

}  // namespace corvisk::py
