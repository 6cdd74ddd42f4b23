// The Python Camera class: constructor argument conversion, the busy-slot claim, and the
// connection methods, each running its device work with the GIL released.
#include "py/camera.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "py/camera_capture.hpp"
#include "py/camera_features.hpp"
#include "py/convert.hpp"
#include "py/device_info.hpp"
#include "py/gil.hpp"
#include "py/link_stats.hpp"
#include "py/method.hpp"

namespace corvisk::py {
namespace {

namespace feature = genicam::feature;

constexpr const char* kCameraDoc =
    "Camera(ip, *, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False, "
    "local_ip=None)\n--\n\nA connected GenICam camera shared behind a mutex, so sessions and\n"
    "channels created from it stay valid while Python holds them.";

constexpr double kDefaultDisconnectDeadline = 0.5;

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

}  // namespace

// Addresses convert through parse_ip_arg; None for the optional local address.
template <>
struct FromPython<gige::IpAddress> {
    static bool convert(PyObject* o, gige::IpAddress& out, const char*, const char* arg) {
        auto ip = parse_ip_arg(o, arg);
        return ip ? (out = *ip, true) : false;
    }
};
template <>
struct FromPython<std::optional<gige::IpAddress>> {
    static bool convert(PyObject* o, std::optional<gige::IpAddress>& out, const char* fn,
                        const char* arg) {
        if (o == Py_None) {
            out.reset();
            return true;
        }
        gige::IpAddress ip;
        return FromPython<gige::IpAddress>::convert(o, ip, fn, arg) && (out = ip, true);
    }
};

namespace {

constexpr std::array<Param, 6> kCameraParams{{{"ip", false, true},
                                              {"gvcp_timeout", true},
                                              {"retries", true},
                                              {"heartbeat_timeout", true},
                                              {"exclusive", true},
                                              {"local_ip", true}}};

// A shorter per-try timeout sends every retry back to back and fails a live device within a
// fraction of a millisecond.
constexpr Duration kMinGvcpTimeout = std::chrono::milliseconds(1);

// Everything the constructor accepts, converted; nothing with the Python exception set.
std::optional<gige::ConnectionConfig> parse_config(PyObject* args, PyObject* kwargs) {
    gige::IpAddress ip;
    gige::ConnectionConfig c;
    Duration heartbeat = std::chrono::milliseconds(c.heartbeat_timeout_ms);
    std::optional<gige::IpAddress> local_ip;
    if (!parse_tuple_args("Camera", kCameraParams, args, kwargs, ip, c.gvcp_timeout, c.retries,
                          heartbeat, c.exclusive, local_ip)) {
        return std::nullopt;
    }
    if (c.gvcp_timeout < kMinGvcpTimeout) {
        PyErr_SetString(PyExc_ValueError, "gvcp_timeout must be at least 0.001 seconds");
        return std::nullopt;
    }
    gige::ConnectionConfig config = gige::ConnectionConfig::for_device(ip);
    config.gvcp_timeout = c.gvcp_timeout;
    config.retries = c.retries;
    config.heartbeat_timeout_ms = heartbeat_ms(heartbeat);
    config.exclusive = c.exclusive;
    config.local_ip = local_ip;
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
    return core.published().link.is_alive();
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

// A connect running on its own thread, so that the caller can give up on Ctrl-C while the
// device is still being asked (a connect may wait several seconds per request). The thread
// owns everything it needs; a connect abandoned by its caller is undone (disconnected, so
// control is released) as soon as it completes, and the camera stays busy ("a connect")
// until then.
struct ConnectJob {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;       // guarded by mu
    bool abandoned = false;  // guarded by mu
    GenicamResult<void> result{};
    // The camera's claim for "a connect": released by the caller when it takes the result, or
    // by the thread once it has undone an abandoned connect.
    BusyToken token;
};

void run_connect(const std::shared_ptr<CameraCore>& core, ConnectJob& job) {
    std::lock_guard camera_lock(core->mu);
    {
        std::lock_guard lock(job.mu);
        if (job.abandoned) {
            return;
        }
    }
    GenicamResult<void> result = core->camera.connect();
    core->publish();  // before the caller returns, so its next is_connected() agrees
    bool undo = false;
    {
        std::lock_guard lock(job.mu);
        undo = job.abandoned;
        job.result = std::move(result);
        job.done = true;
    }
    job.cv.notify_all();
    if (undo) {
        core->camera.disconnect(genicam::kReleaseDeadline);
        core->publish();
    }
}

void release_abandoned(ConnectJob& job) {
    std::lock_guard lock(job.mu);
    if (job.abandoned) {
        job.token.release();
    }
}

void start_connect(std::shared_ptr<CameraCore> core, std::shared_ptr<ConnectJob> job) {
    std::thread([core = std::move(core), job = std::move(job)] {
        run_connect(core, *job);
        release_abandoned(*job);  // only now may anything else use the camera
    }).detach();
}

// Waits for the job in slices, honouring Ctrl-C: its result, or nothing with the handler's
// exception set (the job is then abandoned).
std::optional<GenicamResult<void>> wait_connect(ConnectJob& job) {
    const WaitOutcome outcome = wait_in_slices(Instant::max(), [&](Instant until) {
        std::unique_lock lock(job.mu);
        return job.cv.wait_until(lock, until, [&] { return job.done; });
    });
    auto lock = lock_releasing_gil(job.mu);
    if (outcome == WaitOutcome::Interrupted && !job.done) {
        job.abandoned = true;
        return std::nullopt;
    }
    job.token.release();
    return job.result;
}

// A camera on another subnet than every adapter is unreachable: the error says how to fix it.
std::nullptr_t raise_connect_error(const ModuleState& state, const GenicamError& error) {
    const bool unreachable = error.kind() == GenicamError::Kind::Transport &&
                             error.transport().kind() == CameraError::Kind::Io &&
                             (error.transport().os_errno() == ENETUNREACH ||
                              error.transport().os_errno() == EHOSTUNREACH);
    if (!unreachable) {
        return raise_error(state, error);
    }
    const std::string text = error.transport().message() +
                             " (if the camera is on another subnet, find it with `python -m "
                             "corvisk ip list` and move it with `python -m corvisk ip force MAC "
                             "ADDRESS MASK`)";
    PyRef message = to_str(text);
    if (message) {
        PyErr_SetObject(state.camera_exception, message.get());
    }
    return nullptr;
}

PyObject* camera_connect(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!parse_no_args("connect", nargs, kwnames)) {
        return nullptr;
    }
    CameraObject& cam = camera_of(self);
    BusyToken token = claim_busy(cam.busy, "a connect");
    if (!token.is_held()) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        auto job = std::make_shared<ConnectJob>();
        job->token = std::move(token);
        start_connect(cam.core, job);
        std::optional<GenicamResult<void>> result = wait_connect(*job);
        if (!result) {
            return nullptr;  // KeyboardInterrupt; the thread undoes the connect
        }
        if (!result->ok()) {
            return raise_connect_error(state_of_defining_class(cls), result->error());
        }
        Py_RETURN_NONE;
    });
}

// The deadline argument: positional or keyword, default 0.5 s.
std::optional<Duration> parse_deadline(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"deadline"}}};
    Duration deadline = std::chrono::duration_cast<Duration>(
        std::chrono::duration<double>(kDefaultDisconnectDeadline));
    if (!parse_args("disconnect", kParams, args, nargs, kwnames, deadline)) {
        return std::nullopt;
    }
    return deadline;
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
            core.publish();
        });
        token.release();
        Py_RETURN_NONE;
    });
}

PyObject* camera_is_connected(PyObject* self, PyTypeObject*, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (!parse_no_args("is_connected", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(core_is_connected(*camera_of(self).core));
}

PyObject* camera_device_info(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                             PyObject* kwnames) {
    if (!parse_no_args("device_info", nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        CameraCore& core = *camera_of(self).core;
        // The copy published at connect: never waits for another thread's device operation.
        const CameraCore::Published known = core.published();
        const ModuleState& state = state_of_defining_class(cls);
        if (!known.link.is_alive()) {
            return raise_error(state, known.link.cause());
        }
        return device_info_new(state, known.device_info).release();
    });
}

PyObject* camera_link_stats(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                            PyObject* kwnames) {
    if (!parse_no_args("link_stats", nargs, kwnames)) {
        return nullptr;
    }
    std::optional<gige::LinkStats> stats = camera_of(self).core->published().link.stats();
    if (!stats) {
        Py_RETURN_NONE;
    }
    return link_stats_new(state_of_defining_class(cls), *stats).release();
}

// The Camera's one method table: connection, features, capture.
const PyMethodDef camera_methods[] = {
    method_def("connect", camera_connect, "connect($self)\n--\n\n"),
    method_def("disconnect", camera_disconnect, "disconnect($self, deadline=0.5)\n--\n\n"),
    method_def("is_connected", camera_is_connected, "is_connected($self)\n--\n\n"),
    method_def("device_info", camera_device_info, "device_info($self)\n--\n\n"),
    method_def("link_stats", camera_link_stats, "link_stats($self)\n--\n\n"),
    method_def("get_integer", feature_read_method<"get_integer", feature::get_integer>,
               "get_integer($self, name)\n--\n\n"),
    method_def("set_integer", feature_write_method<"set_integer", feature::set_integer, int64_t>,
               "set_integer($self, name, value)\n--\n\n"),
    method_def("get_float", feature_read_method<"get_float", feature::get_float>,
               "get_float($self, name)\n--\n\n"),
    method_def("set_float", feature_write_method<"set_float", feature::set_float, double>,
               "set_float($self, name, value)\n--\n\n"),
    method_def("get_boolean", feature_read_method<"get_boolean", feature::get_boolean>,
               "get_boolean($self, name)\n--\n\n"),
    method_def("set_boolean", feature_write_method<"set_boolean", feature::set_boolean, bool>,
               "set_boolean($self, name, value)\n--\n\n"),
    method_def("get_string", feature_read_method<"get_string", feature::get_string>,
               "get_string($self, name)\n--\n\n"),
    method_def("set_string", feature_write_method<"set_string", feature::set_string, std::string>,
               "set_string($self, name, value)\n--\n\n"),
    method_def("get_enum", feature_read_method<"get_enum", feature::get_enum>,
               "get_enum($self, name)\n--\n\n"),
    method_def("set_enum", feature_write_method<"set_enum", feature::set_enum, std::string>,
               "set_enum($self, name, entry)\n--\n\n"),
    method_def("enum_entries", feature_read_method<"enum_entries", feature::enum_entries>,
               "enum_entries($self, name)\n--\n\n"),
    method_def("execute", feature_read_method<"execute", feature::execute>,
               "execute($self, name)\n--\n\n"),
    method_def("integer_bounds", feature_read_method<"integer_bounds", feature::integer_bounds>,
               "integer_bounds($self, name)\n--\n\n"),
    method_def("float_bounds", feature_read_method<"float_bounds", feature::float_bounds>,
               "float_bounds($self, name)\n--\n\n"),
    method_def("integer_increment",
               feature_read_method<"integer_increment", feature::integer_increment>,
               "integer_increment($self, name)\n--\n\n"),
    method_def("access_mode", feature_read_method<"access_mode", feature::access_mode>,
               "access_mode($self, name)\n--\n\n"),
    method_def("has_feature", camera_has_feature, "has_feature($self, name)\n--\n\n"),
    method_def("feature_names", camera_feature_names, "feature_names($self)\n--\n\n"),
    method_def("invalidate_caches", camera_invalidate_caches, "invalidate_caches($self)\n--\n\n"),
    method_def("snap", camera_snap,
               "snap($self, timeout=5.0, *, channel=0, n_buffers=8, packet_size=None, "
               "packet_delay=None, resend=True)\n--\n\n"),
    method_def("start_acquisition", camera_start_acquisition,
               "start_acquisition($self, *, channel=0, n_buffers=8, packet_size=None, "
               "packet_delay=None, resend=True)\n--\n\n"),
    method_def("snapshot_session", camera_snapshot_session,
               "snapshot_session($self, *, channel=0, n_buffers=8, packet_size=None, "
               "packet_delay=None, resend=True)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot camera_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(camera_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(camera_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(camera_repr)},
    {Py_tp_methods, const_cast<PyMethodDef*>(camera_methods)},
    {Py_tp_doc, const_cast<char*>(kCameraDoc)},
    {0, nullptr},
};

PyType_Spec camera_spec = {
    "corvisk.Camera",
    sizeof(CameraObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    const_cast<PyType_Slot*>(camera_slots),
};

}  // namespace

PyRef camera_type_create(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &camera_spec, nullptr));
}

void CameraCore::publish() {
    Published now;
    now.link = camera.link_watch();
    gige::Connection* conn = camera.transport().connection();
    if (conn != nullptr) {
        now.device_info = conn->device_info;
    }
    if (conn != nullptr && conn->feature_model) {
        auto names = camera.feature_names();
        if (names.ok()) {
            std::sort(names.value().begin(), names.value().end());
            now.names = std::make_shared<const std::vector<std::string>>(std::move(names.value()));
        }
    }
    std::lock_guard lock(published_mu);
    published_ = std::move(now);
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
