// Chunk data for the corvisk package: the chunk layout of a frame's payload, its image section,
// and the chunk features of the camera's description read from a frame. The Python side
// (corvisk/chunks.py) wraps these as corvisk.chunks(frame, camera) and friends.
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ext/parts.hpp"
#include "ext/port_data.hpp"
#include "genicam/chunks.hpp"
#include "py/frame.hpp"

namespace corvisk::ext {
namespace {

// The payload bytes and chunk flag of a Frame, or of any bytes-like object (taken as a chunk
// payload); holds what keeps the bytes alive.
struct Payload {
    gige::FramePtr frame;
    Py_buffer view{};
    bool has_view = false;
    std::span<const uint8_t> bytes;
    bool has_chunks = true;

    Payload() = default;
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;
    ~Payload() {
        if (has_view) {
            PyBuffer_Release(&view);
        }
    }
};

bool is_core_frame(PyObject* obj) {
    PyObject* core_module = PyImport_ImportModule("corvisk._corvisk_core");
    PyObject* type = core_module ? PyObject_GetAttrString(core_module, "Frame") : nullptr;
    Py_XDECREF(core_module);
    if (type == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool ok = PyType_Check(type) != 0 &&
                    PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type)) != 0;
    Py_DECREF(type);
    return ok;
}

// False with an exception set.
bool payload_of(PyObject* obj, Payload& out) {
    if (is_core_frame(obj)) {
        out.frame = reinterpret_cast<py::FrameObject*>(obj)->frame;
        out.bytes = out.frame->payload();
        out.has_chunks = out.frame->has_chunks.value_or(false);
        return true;
    }
    if (PyObject_GetBuffer(obj, &out.view, PyBUF_SIMPLE) < 0) {
        return false;
    }
    out.has_view = true;
    out.bytes = {static_cast<const uint8_t*>(out.view.buf), static_cast<size_t>(out.view.len)};
    return true;
}

// The layout, or null with ValueError set; a frame without chunks has an empty one.
std::optional<std::vector<genicam::ChunkEntry>> layout_of(const Payload& p) {
    if (!p.has_chunks) {
        return std::vector<genicam::ChunkEntry>{};
    }
    auto layout = genicam::parse_chunks(p.bytes);
    if (!layout.ok()) {
        PyErr_Format(PyExc_ValueError, "malformed chunk layout: %s", layout.error().c_str());
        return std::nullopt;
    }
    return std::move(*layout);
}

PyObject* py_chunk_layout(PyObject*, PyObject* obj) {
    Payload p;
    if (!payload_of(obj, p)) {
        return nullptr;
    }
    auto layout = layout_of(p);
    if (!layout) {
        return nullptr;
    }
    PyObject* list = PyList_New(0);
    for (const auto& c : *layout) {
        PyObject* t =
            Py_BuildValue("(knn)", static_cast<unsigned long>(c.id),
                          static_cast<Py_ssize_t>(c.offset), static_cast<Py_ssize_t>(c.length));
        if (t == nullptr || PyList_Append(list, t) < 0) {
            Py_XDECREF(t);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(t);
    }
    return list;
}

// image_size(frame) -> the length of the frame's image section when it carries chunks (its
// first chunk), else None; None too when the layout is malformed.
PyObject* py_image_size(PyObject*, PyObject* obj) {
    Payload p;
    if (!payload_of(obj, p)) {
        return nullptr;
    }
    if (!p.has_chunks || !p.frame) {
        Py_RETURN_NONE;
    }
    auto layout = genicam::parse_chunks(p.bytes);
    if (!layout.ok() || layout->empty()) {
        Py_RETURN_NONE;
    }
    return PyLong_FromSize_t(layout->front().length);
}

PyObject* py_chunk_data_features(PyObject*, PyObject* camera) {
    auto core = camera_arg(camera);
    return core ? port_feature_table(core, genicam::PortKind::Chunk) : nullptr;
}

// read_chunk_features(camera, frame, names) -> dict
PyObject* py_read_chunk_features(PyObject*, PyObject* args) {
    PyObject* camera = nullptr;
    PyObject* frame = nullptr;
    PyObject* names_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OOO!", &camera, &frame, &PyList_Type, &names_obj)) {
        return nullptr;
    }
    auto core = camera_arg(camera);
    Payload p;
    if (!core || !payload_of(frame, p)) {
        return nullptr;
    }
    auto layout = layout_of(p);
    if (!layout) {
        return nullptr;
    }
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_obj); ++i) {
        const char* s = PyUnicode_AsUTF8(PyList_GET_ITEM(names_obj, i));
        if (s == nullptr) {
            return nullptr;
        }
        names.emplace_back(s);
    }
    // A repeated id keeps its last chunk, as a reader walking from the end meets it first.
    std::map<uint64_t, std::span<const uint8_t>> buffers;
    for (const auto& c : *layout) {
        buffers[c.id] = p.bytes.subspan(c.offset, c.length);
    }
    auto values = read_port_features(core, genicam::PortKind::Chunk, names, buffers);
    if (!values.ok()) {
        return raise_genicam(values.error());
    }
    return feature_dict(*values);
}

PyMethodDef kMethods[] = {
    {"chunk_layout", py_chunk_layout, METH_O,
     "chunk_layout(frame)\n--\n\n(chunk id, offset, length) of each chunk of the payload."},
    {"image_size", py_image_size, METH_O,
     "image_size(frame)\n--\n\nThe image section's length of a frame with chunks, else None."},
    {"chunk_data_features", py_chunk_data_features, METH_O,
     "chunk_data_features(camera)\n--\n\nChunk id -> names of the features its data fills."},
    {"read_chunk_features", py_read_chunk_features, METH_VARARGS,
     "read_chunk_features(camera, frame, names)\n--\n\nThe named chunk features of a frame."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_chunks(PyObject* module) {
    return PyModule_AddFunctions(module, kMethods);
}

}  // namespace corvisk::ext
