// Camera feature methods: result conversion and the queries that keep the GIL.
#include "py/camera_features.hpp"

#include "py/access_mode.hpp"

namespace corvisk::py {
namespace {

using genicam::GenICamera;

// Runs fn(camera) with the GIL held, taking the camera mutex (releasing the GIL only if it has
// to wait for another thread's device operation).
template <class Fn>
auto on_camera(PyObject* self, Fn&& fn) {
    std::shared_ptr<CameraCore> core = camera_core(self);
    auto lock = lock_releasing_gil(core->mu);
    return fn(core->camera);
}

template <class T>
PyObject* pair_to_python(const ModuleState& state, const std::pair<T, T>& bounds) {
    PyRef lo = PyRef::steal(to_python(state, bounds.first));
    PyRef hi = PyRef::steal(to_python(state, bounds.second));
    if (!lo || !hi) {
        return nullptr;
    }
    return PyTuple_Pack(2, lo.get(), hi.get());
}

}  // namespace

PyObject* to_python(const ModuleState&, int64_t v) {
    return PyLong_FromLongLong(v);
}
PyObject* to_python(const ModuleState&, double v) {
    return PyFloat_FromDouble(v);
}
PyObject* to_python(const ModuleState&, bool v) {
    return PyBool_FromLong(v);
}
PyObject* to_python(const ModuleState&, const std::string& v) {
    return to_str(v).release();
}
PyObject* to_python(const ModuleState& state, genicam::AccessMode v) {
    return access_mode_new(state, v).release();
}
PyObject* to_python(const ModuleState&, const std::vector<std::string>& names) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t i = 0; list && i < names.size(); ++i) {
        PyRef item = to_str(names[i]);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}
PyObject* to_python(const ModuleState& state, const std::pair<int64_t, int64_t>& bounds) {
    return pair_to_python(state, bounds);
}
PyObject* to_python(const ModuleState& state, const std::pair<double, double>& bounds) {
    return pair_to_python(state, bounds);
}

PyObject* camera_has_feature(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"name", false, true}}};
    std::string name;
    if (!parse_args("has_feature", kParams, args, nargs, kwnames, name)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        // Never waits for another thread's device operation: when the camera is in use, the
        // names published at connect answer instead of the node map.
        std::shared_ptr<CameraCore> core = camera_core(self);
        std::unique_lock lock(core->mu, std::try_to_lock);
        if (lock.owns_lock()) {
            return PyBool_FromLong(core->camera.has_feature(name));
        }
        const CameraCore::Published known = core->published();
        return PyBool_FromLong(known.link.is_alive() && known.names &&
                               std::binary_search(known.names->begin(), known.names->end(), name));
    });
}

PyObject* camera_feature_names(PyObject* self, PyTypeObject* cls, PyObject* const*,
                               Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_no_args("feature_names", nargs, kwnames)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        auto r = on_camera(self, [](GenICamera& cam) { return cam.feature_names(); });
        return feature_result(state_of_defining_class(cls), r);
    });
}

PyObject* camera_invalidate_caches(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_no_args("invalidate_caches", nargs, kwnames)) {
        return nullptr;
    }
    auto r = on_camera(self, [](GenICamera& cam) { return cam.invalidate_caches(); });
    return feature_result(state_of_defining_class(cls), r);
}

}  // namespace corvisk::py
