// What the units of _corvisk_ext share to work on a corvisk Camera handed in from Python: the
// camera's core (type-checked), running a node-map operation with the interpreter lock
// released and the camera mutex held, and raising the package's exception for a failure.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "error.hpp"
#include "interrupt.hpp"
#include "py/camera.hpp"
#include "py/gil.hpp"
#include "py/python.hpp"
#include "time.hpp"

namespace corvisk::ext {

// The camera core of `obj`, or null with TypeError set. The type is checked against the Camera
// class of the imported core module: this module links its own copy of the library, so the
// core's module definition cannot be compared.
std::shared_ptr<py::CameraCore> camera_arg(PyObject* obj);

// Raises CameraError for a transport failure (carrying the transport's text, as the core
// module does), GenicamError otherwise; returns nullptr for the caller to return. An exception
// already set (KeyboardInterrupt from an interrupted with_map) is left as it is.
PyObject* raise_genicam(const GenicamError& e);

// Creates the heap type of `spec` for `module` and adds it as `name`: 0, or -1 with an
// exception set.
int add_type(PyObject* module, PyType_Spec* spec, const char* name);

// Converts a timeout in seconds; false with ValueError set for NaN, infinite or negative ones.
bool timeout_of(double seconds, Duration& out);

// Runs fn(map, port) on the camera's node map with the interpreter lock released and the
// camera mutex held (the guard of the feature-level camera runs first). Ctrl-C ends the wait for
// a device that stopped answering: the result is then an error and KeyboardInterrupt is set,
// which raise_genicam keeps.
template <class Fn>
auto with_map(const std::shared_ptr<py::CameraCore>& core, Fn&& fn) {
    auto result = [&] {
        py::GilRelease released;
        InterruptScope scope(
            [&released] { return released.with_gil([] { return PyErr_CheckSignals() < 0; }); });
        std::lock_guard<std::timed_mutex> lock(core->mu);
        return core->camera.with_features(std::forward<Fn>(fn));
    }();
    if (PyErr_Occurred() != nullptr) {
        return decltype(result){Err{GenicamError(interrupted_error())}};
    }
    return result;
}

// The common shape of a (camera, name) function: parses both from `args` with `format`
// ("Os:function"), runs fn(map, port, name) through with_map and turns its value into a Python
// object with to_py, or raises. Null with an exception set on any failure.
template <class Fn, class ToPy>
PyObject* on_feature(PyObject* args, const char* format, Fn&& fn, ToPy&& to_py) {
    PyObject* cam = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, format, &cam, &name)) {
        return nullptr;
    }
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const std::string feature(name);
    auto r = with_map(
        core, [&](genicam::Genicam& map, genicam::PortIo& port) { return fn(map, port, feature); });
    if (!r.ok()) {
        return raise_genicam(r.error());
    }
    return to_py(*r);
}

}  // namespace corvisk::ext
