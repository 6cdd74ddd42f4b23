// The Python Camera class: constructor argument conversion, the busy-slot claim, and the
// connection methods, each running its device work with the GIL released.
#include "py/camera.hpp"

#include <cmath>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "py/camera_capture.hpp"
#include "py/camera_features.hpp"
#include "py/convert.hpp"
#include "py/device_info.hpp"
#include "py/gil.hpp"
#include "py/link_stats.hpp"

namespace corvisk::py {
namespace {

constexpr const char* kCameraDoc =
    "Camera(ip, *, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False, "
    "local_ip=None)\n--\n\nA connected GenICam camera shared behind a mutex, so sessions and\n"
    "channels created from it stay valid while Python holds them.";

constexpr double kDefaultDisconnectDeadline = 0.5;

struct CameraObject {
    PyObject ob_base;  // PyObject_HEAD
    // Never change after construction, so methods need no per-object lock.
    std::shared_ptr<CameraCore> core;
    std::shared_ptr<BusySlot> busy;
    gige::IpAddress ip;
};

CameraObject& camera_of(PyObject* self) {
    return *reinterpret_cast<CameraObject*>(self);
}

// ---- argument conversion -------------------------------------------------------------------

// The text in double quotes with quotes, backslashes and control characters escaped.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += fmt::format("\\u{{{:x}}}", c);
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

// Parses a str argument as an IP address; ValueError "invalid IP address: ..." otherwise.
std::optional<gige::IpAddress> parse_ip_arg(PyObject* value, const char* argument) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Camera() argument '%s' must be str, not %.200s", argument,
                     Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    std::string text;
    if (utf8 == nullptr) {  // lone surrogates: not an address either
        PyErr_Clear();
        PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "backslashreplace"));
        if (!bytes) {
            return std::nullopt;
        }
        text.assign(PyBytes_AS_STRING(bytes.get()),
                    static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    } else {
        text.assign(utf8, static_cast<size_t>(size));
        if (auto ip = gige::IpAddress::parse(text)) {
            return ip;
        }
    }
    PyRef message = to_str("invalid IP address: " + quoted(text));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return std::nullopt;
}

// Seconds to whole milliseconds, clamped to the 32-bit register and truncated. The seconds
// arrive as a binary float (1.025 is 1.02499999999999991... s), so the value is first rounded
// to whole microseconds: the truncation then acts on the decimal value the caller wrote.
uint32_t heartbeat_ms(Duration timeout) {
    auto us = std::chrono::round<std::chrono::microseconds>(timeout);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(us).count();
    return ms > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

constexpr Duration kMinGvcpTimeout = std::chrono::milliseconds(1);

// Everything the constructor accepts, converted; nothing with the Python exception set.
std::optional<gige::ConnectionConfig> parse_config(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ip",        "gvcp_timeout", "retries", "heartbeat_timeout",
                                     "exclusive", "local_ip",     nullptr};
    PyObject *ip_arg = nullptr, *gvcp_arg = nullptr, *retries_arg = nullptr,
             *heartbeat_arg = nullptr, *exclusive_arg = nullptr, *local_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:Camera", const_cast<char**>(keywords),
                                     &ip_arg, &gvcp_arg, &retries_arg, &heartbeat_arg,
                                     &exclusive_arg, &local_arg)) {
        return std::nullopt;
    }
    auto ip = parse_ip_arg(ip_arg, "ip");
    if (!ip) {
        return std::nullopt;
    }
    gige::ConnectionConfig config = gige::ConnectionConfig::for_device(*ip);
    if (gvcp_arg != nullptr) {
        auto t = parse_timeout(gvcp_arg, "Camera", "gvcp_timeout");
        if (!t) {
            return std::nullopt;
        }
        // A shorter per-try timeout sends every retry back to back and fails a live device
        // within a fraction of a millisecond.
        if (*t < kMinGvcpTimeout) {
            PyErr_SetString(PyExc_ValueError, "gvcp_timeout must be at least 0.001 seconds");
            return std::nullopt;
        }
        config.gvcp_timeout = *t;
    }
    if (retries_arg != nullptr) {
        auto r = parse_unsigned<uint8_t>(retries_arg, "Camera", "retries");
        if (!r) {
            return std::nullopt;
        }
        config.retries = *r;
    }
    if (heartbeat_arg != nullptr) {
        auto t = parse_timeout(heartbeat_arg, "Camera", "heartbeat_timeout");
        if (!t) {
            return std::nullopt;
        }
        config.heartbeat_timeout_ms = heartbeat_ms(*t);
    }
    if (exclusive_arg != nullptr) {
        auto e = parse_bool(exclusive_arg, "Camera", "exclusive");
        if (!e) {
            return std::nullopt;
        }
        config.exclusive = *e;
    }
    if (local_arg != nullptr && local_arg != Py_None) {
        auto local = parse_ip_arg(local_arg, "local_ip");
        if (!local) {
            return std::nullopt;
        }
        config.local_ip = *local;
    }
    return config;
}

// ---- type slots ----------------------------------------------------------------------------

PyObject* camera_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto config = parse_config(args, kwargs);
    if (!config) {
        return nullptr;
    }
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) {
        return nullptr;
    }
    // Valid empty fields first, so dealloc is safe whatever happens next.
    CameraObject& cam = camera_of(obj.get());
    new (&cam.core) std::shared_ptr<CameraCore>();
    new (&cam.busy) std::shared_ptr<BusySlot>();
    new (&cam.ip) gige::IpAddress();
    return guard_cxx<PyObject*>(nullptr, [&] {
        cam.ip = config->device.ip;
        cam.core = std::make_shared<CameraCore>(std::move(*config));
        cam.busy = std::make_shared<BusySlot>();
        return obj.release();
    });
}

void camera_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    CameraObject& cam = camera_of(self);
    {
        // The last holder of the core disconnects, which joins the control worker: never
        // with the GIL held.
        std::shared_ptr<CameraCore> core = std::move(cam.core);
        GilRelease released;
        core.reset();
    }
    cam.core.~shared_ptr();
    cam.busy.~shared_ptr();
    cam.ip.~IpAddress();
    type->tp_free(self);
    Py_DECREF(type);
}

bool core_is_connected(CameraCore& core) {
    auto lock = lock_releasing_gil(core.mu);
    return core.camera.transport().is_connected();
}

PyObject* camera_repr(PyObject* self) {
    return guard_cxx<PyObject*>(nullptr, [&] {
        CameraObject& cam = camera_of(self);
        bool connected = core_is_connected(*cam.core);
        return to_str(fmt::format("Camera({}, connected={})", cam.ip.to_string(),
                                  connected ? "True" : "False"))
            .release();
    });
}

// ---- methods -------------------------------------------------------------------------------

bool no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t n = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    if (n != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", name, n);
        return false;
    }
    return true;
}

PyObject* camera_connect(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!no_arguments("connect", nargs, kwnames)) {
        return nullptr;
    }
    CameraObject& cam = camera_of(self);
    BusyToken token = claim_busy(cam.busy, "a connect");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        CameraCore& core = *cam.core;
        auto result = without_gil([&] {
            std::lock_guard lock(core.mu);
            return core.camera.connect();
        });
        token.release();
        if (!result.ok()) {
            return raise_error(state_of_defining_class(cls), result.error());
        }
        Py_RETURN_NONE;
    });
}

// The deadline argument: positional or keyword, default 0.5 s.
std::optional<Duration> parse_deadline(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > 1) {
        PyErr_Format(PyExc_TypeError, "disconnect() takes at most 1 argument (%zd given)",
                     nargs + nkw);
        return std::nullopt;
    }
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    if (nkw == 1) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
        if (PyUnicode_CompareWithASCIIString(name, "deadline") != 0) {
            PyErr_Format(PyExc_TypeError, "disconnect() got an unexpected keyword argument '%U'",
                         name);
            return std::nullopt;
        }
        value = args[0];
    }
    if (value == nullptr) {
        return std::chrono::duration_cast<Duration>(
            std::chrono::duration<double>(kDefaultDisconnectDeadline));
    }
    return parse_timeout(value, "disconnect", "deadline");
}

PyObject* camera_disconnect(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    auto deadline = parse_deadline(args, nargs, kwnames);
    if (!deadline) {
        return nullptr;
    }
    CameraObject& cam = camera_of(self);
    BusyToken token = claim_busy(cam.busy, "a disconnect");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        CameraCore& core = *cam.core;
        without_gil([&] {
            std::lock_guard lock(core.mu);
            core.camera.transport().disconnect(*deadline);
        });
        token.release();
        Py_RETURN_NONE;
    });
}

PyObject* camera_is_connected(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!no_arguments("is_connected", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(core_is_connected(*camera_of(self).core));
}

PyObject* camera_device_info(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                             PyObject* kwnames) {
    if (!no_arguments("device_info", nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        CameraCore& core = *camera_of(self).core;
        auto info = [&] {
            auto lock = lock_releasing_gil(core.mu);
            return core.camera.transport().device_info();
        }();
        const ModuleState& state = state_of_defining_class(cls);
        if (!info.ok()) {
            return raise_error(state, info.error());
        }
        return device_info_new(state, *info).release();
    });
}

PyObject* camera_link_stats(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!no_arguments("link_stats", nargs, kwnames)) {
        return nullptr;
    }
    CameraCore& core = *camera_of(self).core;
    std::optional<gige::LinkStats> stats = [&] {
        auto lock = lock_releasing_gil(core.mu);
        return core.camera.transport().link_stats();
    }();
    if (!stats) {
        Py_RETURN_NONE;
    }
    return link_stats_new(state_of_defining_class(cls), *stats).release();
}

using MethodFn = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyCFunction as_cfunction(MethodFn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef camera_methods[] = {
    {"connect", as_cfunction(camera_connect), kMethodFlags, "connect($self)\n--\n\n"},
    {"disconnect", as_cfunction(camera_disconnect), kMethodFlags,
     "disconnect($self, deadline=0.5)\n--\n\n"},
    {"is_connected", as_cfunction(camera_is_connected), kMethodFlags,
     "is_connected($self)\n--\n\n"},
    {"device_info", as_cfunction(camera_device_info), kMethodFlags, "device_info($self)\n--\n\n"},
    {"link_stats", as_cfunction(camera_link_stats), kMethodFlags, "link_stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The connection methods above followed by the feature methods, in one table.
PyMethodDef* all_camera_methods() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> out;
        for (PyMethodDef* m = camera_methods; m->ml_name != nullptr; ++m) {
            out.push_back(*m);
        }
        for (PyMethodDef* m = camera_feature_methods; m->ml_name != nullptr; ++m) {
            out.push_back(*m);
        }
        for (PyMethodDef* m = camera_capture_methods; m->ml_name != nullptr; ++m) {
            out.push_back(*m);
        }
        out.push_back({nullptr, nullptr, 0, nullptr});
        return out;
    }();
    return table.data();
}

PyType_Slot camera_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(camera_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(camera_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(camera_repr)},
    {Py_tp_methods, nullptr},  // filled by camera_type_create (the tables live in three files)
    {Py_tp_doc, const_cast<char*>(kCameraDoc)},
    {0, nullptr},
};

PyType_Spec camera_spec = {
    "corvisk.Camera", sizeof(CameraObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    camera_slots,
};

}  // namespace

PyRef camera_type_create(PyObject* module) {
    for (PyType_Slot& slot : camera_slots) {
        if (slot.slot == Py_tp_methods) {
            slot.pfunc = all_camera_methods();
        }
    }
    return PyRef::steal(PyType_FromModuleAndSpec(module, &camera_spec, nullptr));
}

std::shared_ptr<CameraCore> camera_core(PyObject* obj) {
    return camera_of(obj).core;
}

std::shared_ptr<BusySlot> camera_busy_slot(PyObject* obj) {
    return camera_of(obj).busy;
}

BusyToken claim_busy(const std::shared_ptr<BusySlot>& slot, const char* label) {
    const char* holder = nullptr;
    BusyToken token = BusyToken::claim(slot, label, &holder);
    if (!token.is_held()) {
        PyErr_Format(PyExc_ValueError, "camera is busy (%s in progress); stop it first", holder);
    }
    return token;
}

}  // namespace corvisk::py
