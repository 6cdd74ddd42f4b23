// Stream settings from Python that the core's capture methods take no arguments for: the
// receive buffer (fixed size, or the ceiling of the automatic one), the frame pool's memory
// limit, the resend timings and budget and the receive moderation, kept per camera
// (py::StreamTuning). The package (corvisk/streamconfig.py) validates the values and warns
// about system caps; this unit stores them and reports the defaults and what the system grants.
#include <sys/socket.h>

#include <cmath>

#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "gige/stream/pool.hpp"
#include "gige/stream_channel.hpp"
#include "gige/udp_socket.hpp"

namespace corvisk::ext {
namespace {

// stream_tuning(camera) -> (recv_buffer, recv_buffer_max, pool_memory_limit); 0 = automatic.
PyObject* stream_tuning(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const py::StreamTuning& t = core->stream_tuning;
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(t.recv_buffer.load()),
                         static_cast<unsigned long long>(t.recv_buffer_max.load()),
                         static_cast<unsigned long long>(t.pool_memory_limit.load()));
}

// set_stream_tuning(camera, recv_buffer, recv_buffer_max, pool_memory_limit).
PyObject* set_stream_tuning(PyObject*, PyObject* args) {
    PyObject* cam = nullptr;
    unsigned long long recv_buffer = 0;
    unsigned long long recv_buffer_max = 0;
    unsigned long long pool_memory_limit = 0;
    if (!PyArg_ParseTuple(args, "OKKK:set_stream_tuning", &cam, &recv_buffer, &recv_buffer_max,
                          &pool_memory_limit)) {
        return nullptr;
    }
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    py::StreamTuning& t = core->stream_tuning;
    t.recv_buffer.store(recv_buffer);
    t.recv_buffer_max.store(recv_buffer_max);
    t.pool_memory_limit.store(pool_memory_limit);
    Py_RETURN_NONE;
}

double seconds(int64_t ns) {
    return static_cast<double>(ns) / 1e9;
}

double seconds(Duration d) {
    return seconds(py::StreamTuning::nanoseconds(d));
}

// The limits the package checks against with its own messages; here they only keep a value
// that slipped past it (a NaN, say) out of the conversion to nanoseconds.
struct TimingLimit {
    double low, high;
};
constexpr TimingLimit kInitialDelayLimit{0.0, 10.0};
constexpr TimingLimit kIntervalLimit{0.0005, 10.0};
constexpr TimingLimit kFrameTimeoutLimit{0.001, 60.0};
constexpr TimingLimit kRatioLimit{0.0, 16.0};
constexpr TimingLimit kModerationLimit{
    0.0, std::chrono::duration<double>(gige::stream_defaults::kMaxReceiveModeration).count()};

bool within(double v, TimingLimit limit) {
    return v >= limit.low && v <= limit.high;  // false for NaN
}

// stream_timing(camera) -> (resend_initial_delay, resend_interval, frame_timeout, resend_ratio,
// receive_moderation), the durations in seconds.
PyObject* stream_timing(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const py::StreamTuning& t = core->stream_tuning;
    return Py_BuildValue("(ddddd)", seconds(t.resend_initial_delay_ns.load()),
                         seconds(t.resend_interval_ns.load()), seconds(t.frame_timeout_ns.load()),
                         t.resend_ratio.load(), seconds(t.receive_moderation_ns.load()));
}

// set_stream_timing(camera, resend_initial_delay, resend_interval, frame_timeout, resend_ratio,
// receive_moderation).
PyObject* set_stream_timing(PyObject*, PyObject* args) {
    PyObject* cam = nullptr;
    double delay = 0, interval = 0, timeout = 0, ratio = 0, moderation = 0;
    if (!PyArg_ParseTuple(args, "Oddddd:set_stream_timing", &cam, &delay, &interval, &timeout,
                          &ratio, &moderation)) {
        return nullptr;
    }
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    if (!within(delay, kInitialDelayLimit) || !within(interval, kIntervalLimit) ||
        !within(timeout, kFrameTimeoutLimit) || !within(ratio, kRatioLimit) ||
        !within(moderation, kModerationLimit)) {
        PyErr_SetString(PyExc_ValueError, "stream timing out of range");
        return nullptr;
    }
    auto ns = [](double s) { return static_cast<int64_t>(std::llround(s * 1e9)); };
    py::StreamTuning& t = core->stream_tuning;
    t.resend_initial_delay_ns.store(ns(delay));
    t.resend_interval_ns.store(ns(interval));
    t.frame_timeout_ns.store(ns(timeout));
    t.resend_ratio.store(ratio);
    t.receive_moderation_ns.store(ns(moderation));
    Py_RETURN_NONE;
}

PyObject* limits(TimingLimit limit) {
    return Py_BuildValue("(dd)", limit.low, limit.high);
}

// stream_defaults() -> {"recv_buffer_min", "recv_buffer_max", "pool_memory_limit",
// "resend_initial_delay", "resend_interval", "frame_timeout", "resend_ratio",
// "receive_moderation", "timing_limits"}: what the automatic settings resolve to on this host,
// the stream worker's own timings, and the (low, high) range of each.
PyObject* stream_defaults(PyObject*, PyObject*) {
    using namespace gige::stream_defaults;
    auto ranges = py::PyRef::steal(Py_BuildValue(
        "{s:N,s:N,s:N,s:N,s:N}", "resend_initial_delay", limits(kInitialDelayLimit),
        "resend_interval", limits(kIntervalLimit), "frame_timeout", limits(kFrameTimeoutLimit),
        "resend_ratio", limits(kRatioLimit), "receive_moderation", limits(kModerationLimit)));
    if (!ranges) {
        return nullptr;
    }
    return Py_BuildValue(
        "{s:K,s:K,s:K,s:d,s:d,s:d,s:d,s:d,s:O}", "recv_buffer_min",
        static_cast<unsigned long long>(gige::kMinAutoRecvBuffer), "recv_buffer_max",
        static_cast<unsigned long long>(gige::kMaxAutoRecvBuffer), "pool_memory_limit",
        static_cast<unsigned long long>(gige::default_pool_memory_limit()), "resend_initial_delay",
        seconds(kResendInitialDelay), "resend_interval", seconds(kResendInterval), "frame_timeout",
        seconds(kFrameTimeout), "resend_ratio", kResendRatio, "receive_moderation",
        seconds(kReceiveModeration), "timing_limits", ranges.get());
}

// granted_receive_buffer(requested) -> the receive buffer a fresh UDP socket gets when it asks
// for `requested` bytes (SO_RCVBUFFORCE included when permitted); 0 when no socket can be made.
PyObject* granted_receive_buffer(PyObject*, PyObject* arg) {
    unsigned long long requested = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    auto fd = gige::udp::open(AF_INET);
    uint64_t granted = fd.ok() ? gige::udp::set_receive_buffer(fd->get(), requested).granted : 0;
    return PyLong_FromUnsignedLongLong(granted);
}

PyMethodDef methods[] = {
    {"stream_tuning", stream_tuning, METH_O,
     "stream_tuning(camera, /)\n--\n\nThe camera's (recv_buffer, recv_buffer_max, "
     "pool_memory_limit); 0 = automatic."},
    {"set_stream_tuning", set_stream_tuning, METH_VARARGS,
     "set_stream_tuning(camera, recv_buffer, recv_buffer_max, pool_memory_limit, /)\n--\n\n"
     "Sets the stream settings later captures of the camera use (0 = automatic)."},
    {"stream_timing", stream_timing, METH_O,
     "stream_timing(camera, /)\n--\n\nThe camera's (resend_initial_delay, resend_interval, "
     "frame_timeout, resend_ratio, receive_moderation), the durations in seconds."},
    {"set_stream_timing", set_stream_timing, METH_VARARGS,
     "set_stream_timing(camera, resend_initial_delay, resend_interval, frame_timeout, "
     "resend_ratio, receive_moderation, /)\n--\n\nSets the resend timings and receive "
     "moderation later captures of the camera use."},
    {"stream_defaults", stream_defaults, METH_NOARGS,
     "stream_defaults()\n--\n\nWhat the automatic stream settings resolve to on this host."},
    {"granted_receive_buffer", granted_receive_buffer, METH_O,
     "granted_receive_buffer(requested, /)\n--\n\nThe receive buffer the system grants a "
     "socket that asks for `requested` bytes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_stream_config(PyObject* module) {
    return PyModule_AddFunctions(module, methods);
}

}  // namespace corvisk::ext
