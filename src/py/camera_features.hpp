// Feature methods of the Python Camera: typed reads and writes by feature name, bounds,
// increments, access modes, enumeration entries, commands and the cache reset. Each is made
// from one feature operation of the feature-level camera (genicam::feature), so the Camera's
// method table in camera.cpp is the only list of them.
#pragma once

#include "py/python.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "genicam/genicamera.hpp"
#include "interrupt.hpp"
#include "py/camera.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"

namespace corvisk::py {

// A method name usable as a template argument, so each method's errors can name it.
template <size_t N>
struct MethodName {
    char text[N];
    constexpr MethodName(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit
};

// Python values of feature results; nullptr with the exception set on failure.
PyObject* to_python(const ModuleState& state, int64_t v);
PyObject* to_python(const ModuleState& state, double v);
PyObject* to_python(const ModuleState& state, bool v);
PyObject* to_python(const ModuleState& state, const std::string& v);
PyObject* to_python(const ModuleState& state, genicam::AccessMode v);
PyObject* to_python(const ModuleState& state, const std::vector<std::string>& names);
PyObject* to_python(const ModuleState& state, const std::pair<int64_t, int64_t>& bounds);
PyObject* to_python(const ModuleState& state, const std::pair<double, double>& bounds);

// The Python result of a feature operation: its value, None, or the raised error.
template <class T>
PyObject* feature_result(const ModuleState& state, const GenicamResult<T>& result) {
    if (!result.ok()) {
        return raise_error(state, result.error());
    }
    if constexpr (std::is_void_v<T>) {
        Py_RETURN_NONE;
    } else {
        return to_python(state, result.value());
    }
}

// Runs fn(camera) with the GIL released and the camera mutex held; empty (exception set) when
// Ctrl-C interrupted the wait for the camera or for the device (its control requests wait in
// slices that run pending signal handlers: a dead device's retries end at Ctrl-C).
template <class Fn>
auto on_device(PyObject* self, Fn&& fn) {
    std::shared_ptr<CameraCore> core = camera_core(self);
    auto r = device_call(*core, [&](genicam::GenICamera& cam, const genicam::Interrupt& stop) {
        InterruptScope scope(stop);
        return fn(cam);
    });
    if (r && PyErr_Occurred()) {
        r.reset();  // KeyboardInterrupt (or a signal handler's exception) wins over the result
    }
    return r;
}

// name(name): a feature read (or a command: a write without a value).
template <MethodName Name, const auto& Op>
PyObject* feature_read_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"name", false, true}}};
    std::string name;
    if (!parse_args(Name.text, kParams, args, nargs, kwnames, name)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        auto r = on_device(self, [&](genicam::GenICamera& cam) { return cam.run(Op, name); });
        return r ? feature_result(state_of_defining_class(cls), *r) : nullptr;
    });
}

// name(name, value): a feature write; V is the C++ type the value converts to.
template <MethodName Name, const auto& Op, class V>
PyObject* feature_write_method(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    const std::array<Param, 2> params{{{"name", false, true}, {Op.value_field, false, true}}};
    std::string name;
    V value{};
    if (!parse_args(Name.text, params, args, nargs, kwnames, name, value)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        auto r =
            on_device(self, [&](genicam::GenICamera& cam) { return cam.run(Op, name, value); });
        return r ? feature_result(state_of_defining_class(cls), *r) : nullptr;
    });
}

// The quick queries that keep the GIL: has_feature, feature_names, invalidate_caches.
PyObject* camera_has_feature(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
PyObject* camera_feature_names(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames);
PyObject* camera_invalidate_caches(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvisk::py
