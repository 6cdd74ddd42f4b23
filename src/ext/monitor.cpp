// Monitor access and multicast reception for the corvisk package.
//
// MonitorConnection reads a camera's registers and features beside the application that
// controls it: the connection claims no control privilege, sends no heartbeat and its worker
// refuses every write. MulticastReceiver receives a stream channel sent to a multicast group:
// its socket shares the group's port with every other receiver on the host (SO_REUSEADDR),
// joins the group on one adapter and feeds the ordinary stream worker; frames come out as
// tuples the package wraps. Every blocking step runs with the interpreter lock released; waits
// for frames run in slices so Ctrl-C ends them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>

#include "errno_text.hpp"
#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "genicam/genicamera.hpp"
#include "gige/stream/runner.hpp"
#include "gige/stream_channel.hpp"
#include "gige/udp_socket.hpp"
#include "py/gil.hpp"
#include "unique_fd.hpp"

namespace corvisk::ext {
namespace {

// Raises the core module's exception class `name` with `message`.
std::nullptr_t raise_core(const char* name, const std::string& message) {
    PyObject* core = PyImport_ImportModule("corvisk._corvisk_core");
    PyObject* cls = core != nullptr ? PyObject_GetAttrString(core, name) : nullptr;
    Py_XDECREF(core);
    if (cls != nullptr) {
        PyErr_SetString(cls, message.c_str());
        Py_DECREF(cls);
    }
    return nullptr;
}

std::nullptr_t raise_genicam(const GenicamError& e) {
    if (e.kind() == GenicamError::Kind::Transport) {
        return raise_core("CameraError", e.transport().message());
    }
    return raise_core("GenicamError", e.message());
}

// ---- MonitorConnection -------------------------------------------------------------------

struct MonitorCore {
    explicit MonitorCore(gige::ConnectionConfig config) : camera(std::move(config)) {}
    std::timed_mutex mu;
    genicam::GenICamera camera;
};

struct MonitorObject {
    PyObject_HEAD MonitorCore* core;
};

MonitorObject* monitor_cast(PyObject* self) {
    return reinterpret_cast<MonitorObject*>(self);
}

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject*) {
    const char* ip = nullptr;
    const char* local = nullptr;
    double timeout = 0.5;
    int retries = 4;
    if (!PyArg_ParseTuple(args, "sdiz", &ip, &timeout, &retries, &local)) {
        return nullptr;
    }
    auto addr = gige::IpAddress::parse(ip);
    std::optional<gige::IpAddress> local_ip;
    if (local != nullptr && *local != '\0') {
        local_ip = gige::IpAddress::parse(local);
        if (!local_ip) {
            PyErr_Format(PyExc_ValueError, "invalid local address '%s'", local);
            return nullptr;
        }
    }
    Duration gvcp_timeout{};
    if (!addr || !timeout_of(timeout, gvcp_timeout) || gvcp_timeout.count() == 0 || retries < 0 ||
        retries > 255) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "invalid camera address '%s' or settings", ip);
        }
        return nullptr;
    }
    gige::ConnectionConfig config = gige::ConnectionConfig::for_device(*addr);
    config.gvcp_timeout = gvcp_timeout;
    config.retries = static_cast<uint8_t>(retries);
    config.local_ip = local_ip;
    config.monitor = true;
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        monitor_cast(self)->core = new MonitorCore(std::move(config));
    }
    return self;
}

void monitor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    MonitorCore* core = monitor_cast(self)->core;
    if (core != nullptr) {
        py::without_gil([&] {
            std::lock_guard<std::timed_mutex> lock(core->mu);
            core->camera.disconnect(std::chrono::milliseconds(500));
        });
        delete core;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

template <class Fn>
auto locked(PyObject* self, Fn&& fn) {
    MonitorCore* core = monitor_cast(self)->core;
    return py::without_gil([&] {
        std::lock_guard<std::timed_mutex> lock(core->mu);
        return fn(core->camera);
    });
}

PyObject* monitor_connect(PyObject* self, PyObject*) {
    auto r = locked(self, [](genicam::GenICamera& cam) { return cam.connect(); });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    Py_RETURN_NONE;
}

PyObject* monitor_disconnect(PyObject* self, PyObject*) {
    locked(self, [](genicam::GenICamera& cam) {
        cam.disconnect(std::chrono::milliseconds(500));
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* monitor_is_connected(PyObject* self, PyObject*) {
    bool on = locked(self, [](genicam::GenICamera& cam) { return cam.transport().is_connected(); });
    return PyBool_FromLong(on);
}

PyObject* to_python(int64_t v) {
    return PyLong_FromLongLong(v);
}
PyObject* to_python(double v) {
    return PyFloat_FromDouble(v);
}
PyObject* to_python(bool v) {
    return PyBool_FromLong(v);
}
PyObject* to_python(const std::string& v) {
    return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace");
}

template <class Op>
PyObject* read_feature(PyObject* self, const Op& op, const std::string& name) {
    auto r = locked(self, [&](genicam::GenICamera& cam) { return cam.run(op, name); });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    return to_python(*r);
}

// get(name, kind): kind 0 integer, 1 float, 2 boolean, 3 string, 4 enumeration entry.
PyObject* monitor_get(PyObject* self, PyObject* args) {
    const char* name = nullptr;
    int kind = 0;
    if (!PyArg_ParseTuple(args, "si", &name, &kind)) {
        return nullptr;
    }
    switch (kind) {
        case 0:
            return read_feature(self, genicam::feature::get_integer, name);
        case 1:
            return read_feature(self, genicam::feature::get_float, name);
        case 2:
            return read_feature(self, genicam::feature::get_boolean, name);
        case 3:
            return read_feature(self, genicam::feature::get_string, name);
        case 4:
            return read_feature(self, genicam::feature::get_enum, name);
        default:
            PyErr_SetString(PyExc_ValueError, "unknown feature kind");
            return nullptr;
    }
}

PyObject* monitor_has_feature(PyObject* self, PyObject* args) {
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return nullptr;
    }
    const std::string n = name;
    bool has = locked(self, [&](genicam::GenICamera& cam) { return cam.has_feature(n); });
    return PyBool_FromLong(has);
}

PyObject* monitor_read_register(PyObject* self, PyObject* args) {
    unsigned int addr = 0;
    if (!PyArg_ParseTuple(args, "I", &addr)) {
        return nullptr;
    }
    auto r = locked(self, [&](genicam::GenICamera& cam) -> CameraResult<uint32_t> {
        gige::Connection* conn = CVK_TRY(cam.transport().check_connection());
        return unshare(conn->port.read_register(addr).wait_timeout(conn->port.request_timeout()));
    });
    if (!r.ok()) {
        return raise_core("CameraError", r.error().message());
    }
    return PyLong_FromUnsignedLong(*r);
}

PyMethodDef monitor_methods[] = {
    {"connect", monitor_connect, METH_NOARGS, "connect()\n--\n\nConnects without control."},
    {"disconnect", monitor_disconnect, METH_NOARGS, "disconnect()\n--\n\nCloses the connection."},
    {"is_connected", monitor_is_connected, METH_NOARGS, "is_connected()\n--\n\n"},
    {"get", monitor_get, METH_VARARGS, "get(name, kind)\n--\n\nReads a feature."},
    {"has_feature", monitor_has_feature, METH_VARARGS, "has_feature(name)\n--\n\n"},
    {"read_register", monitor_read_register, METH_VARARGS,
     "read_register(address)\n--\n\nReads one 32-bit register."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_methods, monitor_methods},
    {Py_tp_doc, const_cast<char*>("MonitorConnection(ip, gvcp_timeout, retries, local_ip)\n--\n\n"
                                  "A read-only connection that claims no control.")},
    {0, nullptr},
};

PyType_Spec monitor_spec = {"corvisk._corvisk_ext.MonitorConnection", sizeof(MonitorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, monitor_slots};

// ---- MulticastReceiver -------------------------------------------------------------------

struct ReceiverCore {
    gige::StreamReceiver receiver;
    gige::FrameChannel frames;
    uint16_t port = 0;
};

struct ReceiverObject {
    PyObject_HEAD ReceiverCore* core;
};

ReceiverObject* receiver_cast(PyObject* self) {
    return reinterpret_cast<ReceiverObject*>(self);
}

struct GroupSocket {
    UniqueFd fd;
    uint16_t port = 0;
};

// A socket on `port` (0: the system picks one) of every local address, sharing the port with
// the group's other receivers on this host, member of `group` on the adapter `adapter`.
Result<GroupSocket, std::string> join_group(in_addr group, in_addr adapter, uint16_t port,
                                            uint64_t recv_buffer) {
    GroupSocket s;
    auto bound = gige::udp::open_bound(
        gige::SocketAddress{gige::IpAddress::unspecified(AF_INET), port}, {.reuse_address = true});
    if (!bound.ok()) {
        return Err{"bind: " + errno_text(bound.error())};
    }
    s.fd = std::move(*bound);
    auto local = gige::udp::local_address(s.fd.get());
    if (!local.ok()) {
        return Err{"bind: " + errno_text(local.error())};
    }
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface = adapter;
    if (::setsockopt(s.fd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) !=
        0) {
        return Err{"joining the group: " + errno_text(errno)};
    }
    // Only the groups this socket joined, not every group some other socket on the host joined.
    const int zero = 0;
    (void)::setsockopt(s.fd.get(), IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    (void)gige::udp::set_receive_buffer(s.fd.get(), recv_buffer);
    s.port = local->port;
    return s;
}

bool parse_v4(const char* text, const char* what, in_addr& out) {
    if (inet_pton(AF_INET, text, &out) != 1) {
        PyErr_Format(PyExc_ValueError, "invalid %s '%s'", what, text);
        return false;
    }
    return true;
}

// MulticastReceiver(group, port, adapter_ip, device_ip, payload_size, packet_size,
//                   tick_frequency, resend, n_buffers)
PyObject* receiver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    const char *group_text, *adapter_text, *device_text;
    unsigned int port = 0, packet_size = 0, n_buffers = 0;
    unsigned long long payload = 0, tick = 0;
    int resend = 0;
    if (!PyArg_ParseTuple(args, "sIssKIKpI", &group_text, &port, &adapter_text, &device_text,
                          &payload, &packet_size, &tick, &resend, &n_buffers)) {
        return nullptr;
    }
    in_addr group{}, adapter{}, device{};
    if (!parse_v4(group_text, "group", group) || !parse_v4(adapter_text, "adapter", adapter) ||
        !parse_v4(device_text, "device address", device)) {
        return nullptr;
    }
    if (port > 65535 || payload == 0 || packet_size < 64 || packet_size > 65535 || n_buffers == 0) {
        PyErr_SetString(PyExc_ValueError, "invalid port, payload size, packet size or buffers");
        return nullptr;
    }
    gige::StreamConfig config;
    config.payload_size = payload;
    config.n_buffers = n_buffers;
    config.resend = resend != 0;
    sockaddr_in device_sa{};
    device_sa.sin_family = AF_INET;
    device_sa.sin_addr = device;
    device_sa.sin_port = htons(3956);
    auto params = gige::StreamRunnerParams::from_config(
        config, payload, static_cast<uint16_t>(packet_size), tick, config.resend);
    auto made = py::without_gil([&]() -> Result<std::unique_ptr<ReceiverCore>, std::string> {
        auto sock = join_group(group, adapter, static_cast<uint16_t>(port),
                               gige::receive_buffer_size(0, payload));
        if (!sock.ok()) {
            return Err{sock.error()};
        }
        auto receiver = gige::spawn_stream_runner(std::move(sock->fd), device_sa, params);
        if (!receiver.ok()) {
            return Err{receiver.error().message()};
        }
        auto core = std::make_unique<ReceiverCore>(
            ReceiverCore{std::move(*receiver), gige::FrameChannel{}, sock->port});
        core->frames = core->receiver.subscribe(n_buffers);
        return core;
    });
    if (!made.ok()) {
        return raise_core("CameraError", "multicast reception: " + made.error());
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        receiver_cast(self)->core = made->release();
    }
    return self;
}

void receiver_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    ReceiverCore* core = receiver_cast(self)->core;
    if (core != nullptr) {
        py::without_gil([&] { delete core; });  // stops and joins the worker
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* frame_tuple(const gige::Frame& f) {
    auto payload = f.payload();
    return Py_BuildValue("(KsIIIIKKKy#)", static_cast<unsigned long long>(f.frame_id),
                         gige::frame_status_name(f.status), f.pixel_format, f.width, f.height,
                         f.x_offset, static_cast<unsigned long long>(f.timestamp_ticks),
                         static_cast<unsigned long long>(f.timestamp_ns),
                         static_cast<unsigned long long>(f.system_timestamp_ns),
                         reinterpret_cast<const char*>(payload.data()),
                         static_cast<Py_ssize_t>(payload.size()));
}

// wait_for(timeout): (frame_id, status, pixel_format, width, height, x_offset, timestamp_ticks,
// timestamp_ns, system_timestamp_ns, data), or None on timeout or after close().
PyObject* receiver_wait_for(PyObject* self, PyObject* args) {
    double seconds = 0;
    if (!PyArg_ParseTuple(args, "d", &seconds)) {
        return nullptr;
    }
    Duration timeout{};
    ReceiverCore* core = receiver_cast(self)->core;
    if (!timeout_of(seconds, timeout)) {
        return nullptr;
    }
    if (core == nullptr) {
        Py_RETURN_NONE;
    }
    gige::FramePtr frame;
    auto outcome = py::wait_in_slices(deadline_after(timeout), [&](Instant until) {
        auto r = core->frames.recv_deadline(frame, until);
        return r != chan::RecvResult::Timeout;
    });
    if (outcome == py::WaitOutcome::Interrupted) {
        return nullptr;
    }
    if (!frame) {
        Py_RETURN_NONE;
    }
    return frame_tuple(*frame);
}

PyObject* receiver_port(PyObject* self, PyObject*) {
    ReceiverCore* core = receiver_cast(self)->core;
    return PyLong_FromLong(core != nullptr ? core->port : 0);
}

PyObject* receiver_stats(PyObject* self, PyObject*) {
    ReceiverCore* core = receiver_cast(self)->core;
    gige::StreamStats stats = core != nullptr ? core->receiver.stats() : gige::StreamStats{};
    PyObject* out = PyDict_New();
    for (const auto& field : gige::kStreamStatsFields) {
        PyObject* v = out != nullptr ? PyLong_FromUnsignedLongLong(stats.*field.member) : nullptr;
        if (v == nullptr || PyDict_SetItemString(out, field.name, v) != 0) {
            Py_XDECREF(v);
            Py_XDECREF(out);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return out;
}

PyObject* receiver_close(PyObject* self, PyObject*) {
    ReceiverCore* core = receiver_cast(self)->core;
    receiver_cast(self)->core = nullptr;
    if (core != nullptr) {
        py::without_gil([&] { delete core; });
    }
    Py_RETURN_NONE;
}

PyMethodDef receiver_methods[] = {
    {"wait_for", receiver_wait_for, METH_VARARGS,
     "wait_for(timeout)\n--\n\nThe next frame as a tuple, or None."},
    {"port", receiver_port, METH_NOARGS, "port()\n--\n\nThe UDP port the group is received on."},
    {"stats", receiver_stats, METH_NOARGS, "stats()\n--\n\nThe stream counters as a dict."},
    {"close", receiver_close, METH_NOARGS, "close()\n--\n\nStops the worker; idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot receiver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(receiver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(receiver_dealloc)},
    {Py_tp_methods, receiver_methods},
    {Py_tp_doc, const_cast<char*>("MulticastReceiver(group, port, adapter_ip, device_ip, "
                                  "payload_size, packet_size, tick_frequency, resend, "
                                  "n_buffers)\n--\n\nReceives a stream sent to a group.")},
    {0, nullptr},
};

PyType_Spec receiver_spec = {"corvisk._corvisk_ext.MulticastReceiver", sizeof(ReceiverObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, receiver_slots};

}  // namespace

int add_monitor(PyObject* module) {
    if (add_type(module, &monitor_spec, "MonitorConnection") < 0) {
        return -1;
    }
    return add_type(module, &receiver_spec, "MulticastReceiver");
}

}  // namespace corvisk::ext
