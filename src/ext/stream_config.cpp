// Stream settings from Python that the core's capture methods take no arguments for: the
// receive buffer (fixed size, or the ceiling of the automatic one) and the frame pool's memory
// limit, kept per camera (py::StreamTuning). The package (corvisk/streamconfig.py) validates the
// values and warns about system caps; this unit stores plain integers and reports the defaults
// and what the system grants.
#include <sys/socket.h>

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

// stream_defaults() -> {"recv_buffer_min", "recv_buffer_max", "pool_memory_limit"}: what the
// automatic settings resolve to on this host.
PyObject* stream_defaults(PyObject*, PyObject*) {
    return Py_BuildValue(
        "{s:K,s:K,s:K}", "recv_buffer_min",
        static_cast<unsigned long long>(gige::kMinAutoRecvBuffer), "recv_buffer_max",
        static_cast<unsigned long long>(gige::kMaxAutoRecvBuffer), "pool_memory_limit",
        static_cast<unsigned long long>(gige::default_pool_memory_limit()));
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
