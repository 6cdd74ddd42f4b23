// The _corvisk_pixels extension module: the pixel converters of src/pixels over the buffer
// protocol. It knows nothing of numpy: sources are any C-contiguous buffer (a Frame, bytes, an
// array) and results go into any writable C-contiguous buffer of the exact size, so the
// package can use it with numpy arrays or with plain bytearrays when numpy is absent.
// Conversions run with the interpreter lock released; the held buffer views keep the source
// frame and the output alive meanwhile.
#include "py/python.hpp"

#include <cstdio>
#include <optional>
#include <string>

#include "pixels/convert.hpp"
#include "pixels/format.hpp"

namespace corvisk::pyimage {
namespace {

using pixels::FormatInfo;

const char* kind_name(pixels::Kind kind) {
    switch (kind) {
        case pixels::Kind::Mono:
            return "mono";
        case pixels::Kind::Bayer:
            return "bayer";
        case pixels::Kind::Rgb:
            return "rgb";
        case pixels::Kind::Yuv422:
            return "yuv422";
    }
    return "?";
}

// A format given as its PFNC code (int) or name (str); nullopt with ValueError/TypeError set.
std::optional<FormatInfo> format_arg(PyObject* arg) {
    std::optional<FormatInfo> found;
    if (PyLong_Check(arg)) {
        const unsigned long code = PyLong_AsUnsignedLong(arg);
        if (PyErr_Occurred()) {
            return std::nullopt;
        }
        found = pixels::find_format(static_cast<uint32_t>(code));
        if (!found || code > 0xFFFFFFFFul) {
            char text[48];  // PyErr_Format knows no zero padding
            std::snprintf(text, sizeof(text), "unsupported pixel format 0x%08lx", code);
            PyErr_SetString(PyExc_ValueError, text);
            return std::nullopt;
        }
        return found;
    }
    if (PyUnicode_Check(arg)) {
        Py_ssize_t n = 0;
        const char* name = PyUnicode_AsUTF8AndSize(arg, &n);
        if (name == nullptr) {
            return std::nullopt;
        }
        found = pixels::find_format(std::string_view(name, static_cast<size_t>(n)));
        if (!found) {
            PyErr_Format(PyExc_ValueError, "unsupported pixel format %R", arg);
        }
        return found;
    }
    PyErr_SetString(PyExc_TypeError, "pixel format must be an int code or a str name");
    return std::nullopt;
}

std::optional<pixels::Target> target_arg(const char* name) {
    if (std::string_view(name) == "Unpacked") {
        return pixels::Target::Unpacked;
    }
    auto t = pixels::find_target(name);
    if (!t) {
        PyErr_Format(PyExc_ValueError,
                     "unsupported conversion target '%s' (Mono8, Mono16, RGB8, BGR8 or RGB16)",
                     name);
    }
    return t;
}

PyObject* format_info(PyObject*, PyObject* arg) {
    auto f = format_arg(arg);
    if (!f) {
        return nullptr;
    }
    return Py_BuildValue("(s#kskkkO)", f->name.data(), static_cast<Py_ssize_t>(f->name.size()),
                         static_cast<unsigned long>(f->code), kind_name(f->kind),
                         static_cast<unsigned long>(f->sample_bits),
                         static_cast<unsigned long>(f->bits_per_pixel()),
                         static_cast<unsigned long>(f->channels), f->packed() ? Py_True : Py_False);
}

PyObject* format_names(PyObject*, PyObject*) {
    const auto all = pixels::all_formats();
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(all.size()));
    for (size_t i = 0; out != nullptr && i < all.size(); ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(all[i].name.data(),
                                                     static_cast<Py_ssize_t>(all[i].name.size()));
        if (name == nullptr) {
            Py_CLEAR(out);
            break;
        }
        PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), name);
    }
    return out;
}

PyObject* target_shape(PyObject*, PyObject* args) {
    PyObject* fmt_obj = nullptr;
    const char* target_name = nullptr;
    unsigned int width = 0, height = 0;
    if (!PyArg_ParseTuple(args, "OsII:target_shape", &fmt_obj, &target_name, &width, &height)) {
        return nullptr;
    }
    auto f = format_arg(fmt_obj);
    auto t = f ? target_arg(target_name) : std::nullopt;
    if (!t) {
        return nullptr;
    }
    auto shape = pixels::target_shape(*f, *t, width, height);
    if (!shape) {
        PyErr_SetString(PyExc_ValueError, shape.error().c_str());
        return nullptr;
    }
    return Py_BuildValue("(kkkk)", static_cast<unsigned long>(shape->height),
                         static_cast<unsigned long>(shape->width),
                         static_cast<unsigned long>(shape->channels),
                         static_cast<unsigned long>(shape->sample_bytes));
}

// Both buffer views, released on every path.
struct Views {
    Py_buffer src{};
    Py_buffer out{};
    bool have_src = false, have_out = false;
    ~Views() {
        if (have_out)
            PyBuffer_Release(&out);
        if (have_src)
            PyBuffer_Release(&src);
    }
};

PyObject* convert(PyObject*, PyObject* args) {
    PyObject *src_obj = nullptr, *fmt_obj = nullptr, *out_obj = nullptr;
    unsigned int width = 0, height = 0;
    Py_ssize_t stride = 0;
    const char* target_name = nullptr;
    if (!PyArg_ParseTuple(args, "OOIInsO:convert", &src_obj, &fmt_obj, &width, &height, &stride,
                          &target_name, &out_obj)) {
        return nullptr;
    }
    auto f = format_arg(fmt_obj);
    auto t = f ? target_arg(target_name) : std::nullopt;
    if (!t) {
        return nullptr;
    }
    if (stride < 0) {
        PyErr_SetString(PyExc_ValueError, "line stride must not be negative");
        return nullptr;
    }
    Views v;
    v.have_src = PyObject_GetBuffer(src_obj, &v.src, PyBUF_C_CONTIGUOUS) == 0;
    v.have_out =
        v.have_src && PyObject_GetBuffer(out_obj, &v.out, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) == 0;
    if (!v.have_out) {
        return nullptr;
    }
    const pixels::Source src{static_cast<const uint8_t*>(v.src.buf),
                             static_cast<size_t>(v.src.len),
                             *f,
                             width,
                             height,
                             static_cast<size_t>(stride)};
    Result<void, std::string> done;
    Py_BEGIN_ALLOW_THREADS;
    done =
        pixels::convert(src, *t, static_cast<uint8_t*>(v.out.buf), static_cast<size_t>(v.out.len));
    Py_END_ALLOW_THREADS;
    if (!done) {
        PyErr_SetString(PyExc_ValueError, done.error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"format_info", format_info, METH_O,
     "format_info(format, /)\n--\n\n"
     "(name, code, kind, sample_bits, bits_per_pixel, channels, packed) of a pixel format\n"
     "given by code or name; ValueError for an unsupported one."},
    {"format_names", format_names, METH_NOARGS,
     "format_names()\n--\n\nThe names of every supported pixel format."},
    {"target_shape", target_shape, METH_VARARGS,
     "target_shape(format, target, width, height, /)\n--\n\n"
     "(height, width, channels, sample_bytes) of `target` for a `format` image."},
    {"convert", convert, METH_VARARGS,
     "convert(source, format, width, height, stride, target, out, /)\n--\n\n"
     "Converts the image in buffer `source` into the writable buffer `out`, which must\n"
     "have exactly the target's size. `stride` is the line pitch in bytes, 0 for none.\n"
     "Runs with the interpreter lock released."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvisk_pixels",
    "Native pixel-format unpacking and conversion for the corvisk package.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvisk::pyimage

PyMODINIT_FUNC PyInit__corvisk_pixels(void) {
    return PyModuleDef_Init(&corvisk::pyimage::module_def);
}
