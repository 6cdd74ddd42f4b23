// The Python FrameChannel class: the receiving end of one frame subscription, with waits that
// release the GIL in slices and iteration that ends with the stream.
#include "py/frame_channel.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "py/convert.hpp"
#include "py/frame.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"

#include "structmember.h"

namespace corvisk::py {

namespace {

struct FrameChannelObject {
    PyObject ob_base;  // PyObject_HEAD
    gige::FrameChannel channel;
    PyObject* weakrefs;
};

gige::FrameChannel& channel_of(PyObject* self) {
    return reinterpret_cast<FrameChannelObject*>(self)->channel;
}

// A received frame as a Frame object; none (a null FramePtr) as None.
PyObject* frame_or_none(const ModuleState& state, gige::FramePtr frame) {
    if (!frame) {
        Py_RETURN_NONE;
    }
    return frame_new(state, std::move(frame)).release();
}

// How a wait on a channel ended besides a frame.
enum class Ending { None, Disconnected, LinkLost };

// Waits until `deadline` in GIL-free slices. A frame, or an empty pointer on timeout, on
// disconnection or when `link` died while the channel was empty (`ending` tells which);
// nothing with the exception set when a signal handler raised.
std::optional<gige::FramePtr> receive_until(gige::FrameChannel& channel, Instant deadline,
                                            const genicam::LinkWatch* link, Ending& ending) {
    gige::FramePtr frame;
    ending = Ending::None;
    const WaitOutcome outcome = wait_in_slices(deadline, [&](Instant until) {
        const chan::RecvResult r = channel.recv_deadline(frame, until);
        if (r == chan::RecvResult::Disconnected) {
            ending = Ending::Disconnected;
        } else if (r != chan::RecvResult::Item && link != nullptr && !link->is_alive()) {
            ending = Ending::LinkLost;
        }
        return r == chan::RecvResult::Item || ending != Ending::None;
    });
    if (outcome == WaitOutcome::Interrupted) {
        return std::nullopt;
    }
    return frame;
}

void frame_channel_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<FrameChannelObject*>(self);
    if (obj->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    // Dropping the last receiver releases the queued frames; the worker forgets the
    // subscription at its next delivery.
    std::destroy_at(&obj->channel);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* wait_for_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"timeout", false, true}}};
    Duration timeout{};
    if (!parse_args("wait_for", kParams, args, nargs, kwnames, timeout)) {
        return nullptr;
    }
    return frame_channel_wait_for(state_of_defining_class(defining_class), channel_of(self),
                                  timeout);
}

// try_recv, recv_all, clear: no arguments.
template <PyObject* (*Op)(const ModuleState&, gige::FrameChannel&), const char* Name>
PyObject* channel_method(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                         Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_no_args(Name, nargs, kwnames)) {
        return nullptr;
    }
    return Op(state_of_defining_class(defining_class), channel_of(self));
}

constexpr char kTryRecv[] = "try_recv";
constexpr char kRecvAll[] = "recv_all";
constexpr char kClear[] = "clear";

PyObject* clear_op(const ModuleState&, gige::FrameChannel& channel) {
    return frame_channel_clear(channel);
}

PyObject* frame_channel_iternext(PyObject* self) {
    const ModuleState* state = state_of_type(Py_TYPE(self));
    return state == nullptr ? nullptr : frame_channel_next(*state, channel_of(self));
}

const PyMethodDef frame_channel_methods[] = {
    method_def("wait_for", wait_for_method,
               "wait_for($self, timeout)\n--\n\n"
               "Wait up to `timeout` seconds for the next frame; `None` on timeout or\n"
               "once the stream has ended and the channel is empty."),
    method_def("try_recv", channel_method<frame_channel_try_recv, kTryRecv>,
               "try_recv($self)\n--\n\n"
               "The next queued frame, or `None` if there is none (never waits)."),
    method_def("recv_all", channel_method<frame_channel_recv_all, kRecvAll>,
               "recv_all($self)\n--\n\n"
               "Every frame queued right now, oldest first, as a list (never waits)."),
    method_def("clear", channel_method<clear_op, kClear>,
               "clear($self)\n--\n\n"
               "Discard every queued frame."),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef frame_channel_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameChannelObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot frame_channel_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A clone-able receiver for completed frames. Each subscription has its own\n"
                       "bounded buffer; when it is full new frames are dropped for that\n"
                       "subscriber and counted in [`StreamStats::frames_dropped`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_channel_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_channel_iternext)},
    {Py_tp_methods, const_cast<PyMethodDef*>(frame_channel_methods)},
    {Py_tp_members, frame_channel_members},
    {0, nullptr},
};

PyType_Spec frame_channel_spec = {
    "corvisk.FrameChannel",
    sizeof(FrameChannelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_channel_slots,
};

}  // namespace

PyRef frame_channel_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &frame_channel_spec, nullptr));
}

PyRef frame_channel_new(const ModuleState& state, gige::FrameChannel channel) {
    PyTypeObject* type = state.frame_channel_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return obj;
    }
    auto* raw = reinterpret_cast<FrameChannelObject*>(obj.get());
    new (&raw->channel) gige::FrameChannel(std::move(channel));
    raw->weakrefs = nullptr;
    return obj;
}

PyObject* frame_channel_wait_for(const ModuleState& state, gige::FrameChannel& channel,
                                 Duration timeout, const genicam::LinkWatch* link) {
    Ending ending = Ending::None;
    std::optional<gige::FramePtr> frame =
        receive_until(channel, deadline_after(timeout), link, ending);
    if (!frame) {
        return nullptr;
    }
    if (ending == Ending::LinkLost) {
        return raise_error(state, link->cause());
    }
    return frame_or_none(state, std::move(*frame));
}

PyObject* frame_channel_try_recv(const ModuleState& state, gige::FrameChannel& channel) {
    gige::FramePtr frame;
    if (channel.try_recv(frame) != chan::RecvResult::Item) {
        Py_RETURN_NONE;
    }
    return frame_or_none(state, std::move(frame));
}

PyObject* frame_channel_recv_all(const ModuleState& state, gige::FrameChannel& channel) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<gige::FramePtr> frames;
        channel.drain(frames);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
        if (!list) {
            return nullptr;
        }
        for (size_t i = 0; i < frames.size(); ++i) {
            PyRef frame = frame_new(state, std::move(frames[i]));
            if (!frame) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), frame.release());
        }
        return list.release();
    });
}

PyObject* frame_channel_clear(gige::FrameChannel& channel) {
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        channel.clear();
        Py_RETURN_NONE;
    });
}

PyObject* frame_channel_next(const ModuleState& state, gige::FrameChannel& channel,
                             const genicam::LinkWatch* link) {
    Ending ending = Ending::None;
    std::optional<gige::FramePtr> frame = receive_until(channel, Instant::max(), link, ending);
    if (ending == Ending::LinkLost) {
        return raise_error(state, link->cause());
    }
    if (!frame || ending == Ending::Disconnected) {
        return nullptr;  // a signal handler's exception, or the end of the stream
    }
    return frame_or_none(state, std::move(*frame));
}

}  // namespace corvisk::py
