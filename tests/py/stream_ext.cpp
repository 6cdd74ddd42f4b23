// A test-only extension module that runs the stream receiver on a loopback UDP socket and hands
// its subscriptions and counters to Python as the core's own FrameChannel and StreamStats
// objects (made with frame_channel_new / stream_stats_new). Built by the `stream_ext` fixture
// in test_frames.py against the library's build tree; the Python test plays the device.
#include "py/python.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>

#include "gige/stream/runner.hpp"
#include "py/convert.hpp"
#include "py/frame_channel.hpp"
#include "py/gil.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"
#include "py/stream_stats.hpp"
#include "unique_fd.hpp"

// The objects made here belong to the core's types, whose slots run in the core module; the
// code compiled into this extension never looks its own module up.
PyModuleDef corvisk::py::module_def = {
    PyModuleDef_HEAD_INIT, "_unused", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

namespace corvisk::py {
namespace {

constexpr const char* kCapsuleName = "corvisk.test.StreamReceiver";

// A ModuleState whose types are the real ones of corvisk._corvisk_core (borrowed: the module
// keeps them alive, and `core` keeps the module).
bool real_state(ModuleState& state, PyRef& core) {
    core = PyRef::steal(PyImport_ImportModule("corvisk._corvisk_core"));
    if (!core) {
        return false;
    }
    PyRef channel = PyRef::steal(PyObject_GetAttrString(core.get(), "FrameChannel"));
    PyRef stats = PyRef::steal(PyObject_GetAttrString(core.get(), "StreamStats"));
    if (!channel || !stats) {
        return false;
    }
    state.frame_channel_type = reinterpret_cast<PyTypeObject*>(channel.get());
    state.stream_stats_type = reinterpret_cast<PyTypeObject*>(stats.get());
    return true;
}

gige::StreamReceiver* receiver_of(PyObject* capsule) {
    return static_cast<gige::StreamReceiver*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void destroy_receiver(PyObject* capsule) {
    auto* receiver = receiver_of(capsule);
    if (receiver == nullptr) {
        PyErr_Clear();
        return;
    }
    without_gil([&] { delete receiver; });  // stops and joins the worker
}

bool parse_ip(const char* text, in_addr& out) {
    if (inet_pton(AF_INET, text, &out) != 1) {
        PyErr_Format(PyExc_ValueError, "bad IPv4 address %s", text);
        return false;
    }
    return true;
}

// A UDP socket bound to local_ip on any port, with a receive buffer large enough for the
// bursts the tests send (forced past the system limit where permitted).
UniqueFd bound_socket(const in_addr& local_ip) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.is_valid()) {
        PyErr_SetFromErrno(PyExc_OSError);
        return fd;
    }
    const int size = 8 << 20;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = local_ip;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return UniqueFd();
    }
    return fd;
}

// start(local_ip, device_ip, payload_size, packet_size, n_buffers, frame_timeout) ->
// (receiver, port): a running stream receiver (resend off, tick frequency unknown) that takes
// datagrams from device_ip only.
PyObject* start(PyObject*, PyObject* args) {
    const char* local_text = nullptr;
    const char* device_text = nullptr;
    unsigned long long payload_size = 0, packet_size = 0, n_buffers = 0;
    double frame_timeout = 0;
    if (!PyArg_ParseTuple(args, "ssKKKd", &local_text, &device_text, &payload_size, &packet_size,
                          &n_buffers, &frame_timeout)) {
        return nullptr;
    }
    in_addr local_ip{}, device_ip{};
    if (!parse_ip(local_text, local_ip) || !parse_ip(device_text, device_ip)) {
        return nullptr;
    }
    UniqueFd fd = bound_socket(local_ip);
    if (!fd.is_valid()) {
        return nullptr;
    }
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_addr = device_ip;
    device.sin_port = htons(3956);
    gige::StreamRunnerParams params;
    params.assembler.payload_size = payload_size;
    params.assembler.packet_size = packet_size;
    params.assembler.n_buffers = n_buffers;
    params.assembler.resend_enabled = false;
    params.assembler.frame_timeout =
        std::chrono::duration_cast<Duration>(std::chrono::duration<double>(frame_timeout));
    auto receiver = gige::spawn_stream_runner(std::move(fd), device, params);
    if (!receiver) {
        PyErr_SetString(PyExc_OSError, receiver.error().message().c_str());
        return nullptr;
    }
    auto owned = std::make_unique<gige::StreamReceiver>(std::move(*receiver));
    const int port = ntohs(owned->local().sin_port);
    PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), kCapsuleName, destroy_receiver));
    if (!capsule) {
        return nullptr;
    }
    (void)owned.release();
    return Py_BuildValue("(Oi)", capsule.get(), port);
}

// subscribe(receiver, capacity) -> FrameChannel
PyObject* subscribe(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    unsigned long long capacity = 0;
    if (!PyArg_ParseTuple(args, "OK", &capsule, &capacity)) {
        return nullptr;
    }
    auto* receiver = receiver_of(capsule);
    ModuleState state{};
    PyRef core;
    if (receiver == nullptr || !real_state(state, core)) {
        return nullptr;
    }
    return frame_channel_new(state, receiver->subscribe(capacity)).release();
}

// stats(receiver) -> StreamStats
PyObject* stats(PyObject*, PyObject* capsule) {
    auto* receiver = receiver_of(capsule);
    ModuleState state{};
    PyRef core;
    if (receiver == nullptr || !real_state(state, core)) {
        return nullptr;
    }
    return stream_stats_new(state, receiver->stats()).release();
}

// stop(receiver): stops and joins the worker (frames in flight close as Aborted).
PyObject* stop(PyObject*, PyObject* capsule) {
    auto* receiver = receiver_of(capsule);
    if (receiver == nullptr) {
        return nullptr;
    }
    without_gil([&] { receiver->stop(); });
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"start", start, METH_VARARGS, nullptr}, {"subscribe", subscribe, METH_VARARGS, nullptr},
    {"stats", stats, METH_O, nullptr},       {"stop", stop, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef test_def = {
    PyModuleDef_HEAD_INIT, "_cvk_stream", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace corvisk::py

PyMODINIT_FUNC PyInit__cvk_stream(void) {
    return PyModule_Create(&corvisk::py::test_def);
}
