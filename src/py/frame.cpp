// The Python Frame class: immutable, created only by the library from a received frame. The
// payload is offered both as a copy (data()) and through the buffer protocol, read-only and
// without copying, so numpy.frombuffer(frame) and memoryview(frame) view the pool buffer.
#include "py/frame.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include <fmt/format.h>

#include "py/convert.hpp"
#include "py/frame_status.hpp"
#include "py/method.hpp"

#include "structmember.h"

namespace corvisk::py {
namespace {

const gige::Frame& frame_of(PyObject* self) {
    return *reinterpret_cast<FrameObject*>(self)->frame;
}

void frame_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<FrameObject*>(self);
    if (obj->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    // The last reference returns the buffer to its pool (a non-blocking queue push).
    std::destroy_at(&obj->frame);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* frame_repr(PyObject* self) {
    return guard_cxx<PyObject*>(nullptr, [&] {
        const gige::Frame& f = frame_of(self);
        return to_str(fmt::format("Frame(id={}, {}, {}x{} {}, {} bytes)", f.frame_id,
                                  gige::frame_status_name(f.status), f.width, f.height,
                                  gvsp::PixelFormat{f.pixel_format}.name(), f.received_size))
            .release();
    });
}

PyObject* frame_data(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
    if (!parse_no_args("data", nargs, kwnames)) {
        return nullptr;
    }
    const std::span<const uint8_t> payload = frame_of(self).payload();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                     static_cast<Py_ssize_t>(payload.size()));
}

// Buffer protocol: a read-only, one-dimensional view of the data() bytes, format "B". The view
// holds a reference to this object, which holds the frame, so the pool buffer cannot be reused
// while a view (a memoryview, a numpy array) exists. Nothing to undo on release.
int frame_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    static const uint8_t kEmpty = 0;  // numpy wants a non-null pointer even for no bytes
    const std::span<const uint8_t> payload = frame_of(self).payload();
    const uint8_t* bytes = payload.empty() ? &kEmpty : payload.data();
    return PyBuffer_FillInfo(view, self, const_cast<uint8_t*>(bytes),
                             static_cast<Py_ssize_t>(payload.size()), 1, flags);
}

PyObject* get_status(PyObject* self, void*) {
    const ModuleState* state = state_of_type(Py_TYPE(self));
    return state == nullptr ? nullptr : frame_status_new(*state, frame_of(self).status).release();
}

PyObject* get_is_complete(PyObject* self, void*) {
    return PyBool_FromLong(frame_of(self).is_complete());
}

template <auto Field>
PyObject* get_unsigned(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(frame_of(self).*Field);
}

PyObject* get_pixel_format(PyObject* self, void*) {
    return guard_cxx<PyObject*>(nullptr, [&] {
        return to_str(gvsp::PixelFormat{frame_of(self).pixel_format}.name()).release();
    });
}

PyObject* get_bits_per_pixel(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(gvsp::PixelFormat{frame_of(self).pixel_format}.bits_per_pixel());
}

using gige::Frame;

PyGetSetDef frame_getset[] = {
    {"status", get_status, nullptr, nullptr, nullptr},
    {"is_complete", get_is_complete, nullptr, "`True` when every packet of the frame arrived.",
     nullptr},
    {"frame_id", get_unsigned<&Frame::frame_id>, nullptr, nullptr, nullptr},
    {"width", get_unsigned<&Frame::width>, nullptr, nullptr, nullptr},
    {"height", get_unsigned<&Frame::height>, nullptr, nullptr, nullptr},
    {"x_offset", get_unsigned<&Frame::x_offset>, nullptr, nullptr, nullptr},
    {"y_offset", get_unsigned<&Frame::y_offset>, nullptr, nullptr, nullptr},
    {"pixel_format", get_pixel_format, nullptr,
     "Pixel format name (e.g. `\"Mono8\"`), or the raw GigE Vision code in\n"
     "hex for formats without a known name.",
     nullptr},
    {"pixel_format_code", get_unsigned<&Frame::pixel_format>, nullptr,
     "The raw 32-bit GigE Vision pixel format code.", nullptr},
    {"bits_per_pixel", get_bits_per_pixel, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_unsigned<&Frame::timestamp_ns>, nullptr, nullptr, nullptr},
    {"timestamp_ticks", get_unsigned<&Frame::timestamp_ticks>, nullptr, nullptr, nullptr},
    {"system_timestamp_ns", get_unsigned<&Frame::system_timestamp_ns>, nullptr, nullptr, nullptr},
    {"received_size", get_unsigned<&Frame::received_size>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyMethodDef frame_methods[] = {
    method_def("data", frame_data,
               "data($self)\n--\n\n"
               "The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
               "frame the holes read as stale buffer content — check `status` first."),
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef frame_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("One captured frame. The pixel payload is copied out by `data()`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, const_cast<PyMethodDef*>(frame_methods)},
    {Py_tp_members, frame_members},
    {Py_bf_getbuffer, reinterpret_cast<void*>(frame_getbuffer)},
    {0, nullptr},
};

PyType_Spec frame_spec = {
    "corvisk.Frame",
    sizeof(FrameObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_slots,
};

}  // namespace

PyRef frame_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &frame_spec, nullptr));
}

PyRef frame_new(const ModuleState& state, gige::FramePtr frame) {
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "corvisk internal error: empty frame");
        return PyRef();
    }
    PyTypeObject* type = state.frame_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return obj;
    }
    auto* raw = reinterpret_cast<FrameObject*>(obj.get());
    new (&raw->frame) gige::FramePtr(std::move(frame));
    raw->weakrefs = nullptr;
    return obj;
}

}  // namespace corvisk::py
