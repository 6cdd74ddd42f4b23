// Camera feature methods. Device work runs with the GIL released and the camera mutex held for
// the whole operation; Python objects are made only after the GIL is back.
#include "py/camera_features.hpp"

#include <string>
#include <utility>
#include <vector>

#include "py/access_mode.hpp"
#include "py/camera.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"

namespace corvisk::py {
namespace {

using genicam::GenICamera;

const ModuleState& state_of(PyObject* self) {
    return *state_of_type(Py_TYPE(self));
}

// Runs fn(camera) with the GIL released and the camera mutex held.
template <class Fn>
auto on_device(PyObject* self, Fn&& fn) {
    std::shared_ptr<CameraCore> core = camera_core(self);
    return without_gil([&] {
        std::lock_guard lock(core->mu);
        return fn(core->camera);
    });
}

// Runs fn(camera) with the GIL held, taking the camera mutex (releasing the GIL only if it has
// to wait for another thread's device operation).
template <class Fn>
auto on_camera(PyObject* self, Fn&& fn) {
    std::shared_ptr<CameraCore> core = camera_core(self);
    auto lock = lock_releasing_gil(core->mu);
    return fn(core->camera);
}

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
template <class T>
PyObject* to_python(const ModuleState& state, const std::pair<T, T>& bounds) {
    PyRef lo = PyRef::steal(to_python(state, bounds.first));
    PyRef hi = PyRef::steal(to_python(state, bounds.second));
    if (!lo || !hi) {
        return nullptr;
    }
    return PyTuple_Pack(2, lo.get(), hi.get());
}

template <class T>
PyObject* finish(PyObject* self, const GenicamResult<T>& result) {
    const ModuleState& state = state_of(self);
    if (!result.ok()) {
        return raise_error(state, result.error());
    }
    if constexpr (std::is_void_v<T>) {
        Py_RETURN_NONE;
    } else {
        return to_python(state, result.value());
    }
}

// ---- argument parsing: (name) and (name, value) ----

const char* parse_name(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* kwlist[] = {"name", nullptr};
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &name)) {
        return nullptr;
    }
    return name;
}

template <auto Op>
PyObject* read_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    const char* name = parse_name(args, kwargs, format);
    if (name == nullptr) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        std::string feature(name);
        auto r = on_device(self, [&](GenICamera& cam) { return (cam.*Op)(feature); });
        return finish(self, r);
    });
}

#define CVK_READ_METHOD(method, format)                                           \
    PyObject* camera_##method(PyObject* self, PyObject* args, PyObject* kwargs) { \
        return read_method<&GenICamera::method>(self, args, kwargs, format);      \
    }

CVK_READ_METHOD(get_integer, "s:get_integer")
CVK_READ_METHOD(get_float, "s:get_float")
CVK_READ_METHOD(get_boolean, "s:get_boolean")
CVK_READ_METHOD(get_string, "s:get_string")
CVK_READ_METHOD(get_enum, "s:get_enum")
CVK_READ_METHOD(enum_entries, "s:enum_entries")
CVK_READ_METHOD(execute, "s:execute")
CVK_READ_METHOD(integer_bounds, "s:integer_bounds")
CVK_READ_METHOD(float_bounds, "s:float_bounds")
CVK_READ_METHOD(integer_increment, "s:integer_increment")
CVK_READ_METHOD(access_mode, "s:access_mode")

#undef CVK_READ_METHOD

// Writes: the value converts with the format unit given (L, d, O! bool, s); `kw` names it.
template <class V, class Op>
PyObject* write_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                       const char* value_kw, V value, Op op) {
    const char* kwlist[] = {"name", value_kw, nullptr};
    const char* name = nullptr;
    bool ok;
    if constexpr (std::is_same_v<V, PyObject*>) {
        ok = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &name,
                                         &PyBool_Type, &value);
    } else {
        ok = PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &name,
                                         &value);
    }
    if (!ok) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        std::string feature(name);
        auto r = on_device(self, [&](GenICamera& cam) { return op(cam, feature, value); });
        return finish(self, r);
    });
}

PyObject* camera_set_integer(PyObject* self, PyObject* args, PyObject* kwargs) {
    return write_method(self, args, kwargs, "sL:set_integer", "value", 0LL,
                        [](GenICamera& cam, const std::string& name, long long v) {
                            return cam.set_integer(name, v);
                        });
}

PyObject* camera_set_float(PyObject* self, PyObject* args, PyObject* kwargs) {
    return write_method(
        self, args, kwargs, "sd:set_float", "value", 0.0,
        [](GenICamera& cam, const std::string& name, double v) { return cam.set_float(name, v); });
}

PyObject* camera_set_boolean(PyObject* self, PyObject* args, PyObject* kwargs) {
    return write_method(self, args, kwargs, "sO!:set_boolean", "value",
                        static_cast<PyObject*>(nullptr),
                        [](GenICamera& cam, const std::string& name, PyObject* v) {
                            return cam.set_boolean(name, v == Py_True);
                        });
}

PyObject* camera_set_string(PyObject* self, PyObject* args, PyObject* kwargs) {
    return write_method(self, args, kwargs, "ss:set_string", "value",
                        static_cast<const char*>(nullptr),
                        [](GenICamera& cam, const std::string& name, const char* v) {
                            return cam.set_string(name, v);
                        });
}

PyObject* camera_set_enum(PyObject* self, PyObject* args, PyObject* kwargs) {
    return write_method(self, args, kwargs, "ss:set_enum", "entry",
                        static_cast<const char*>(nullptr),
                        [](GenICamera& cam, const std::string& name, const char* v) {
                            return cam.set_enum(name, v);
                        });
}

// ---- quick queries that keep the GIL ----

PyObject* camera_has_feature(PyObject* self, PyObject* args, PyObject* kwargs) {
    const char* name = parse_name(args, kwargs, "s:has_feature");
    if (name == nullptr) {
        return nullptr;
    }
    bool found = on_camera(self, [&](GenICamera& cam) { return cam.has_feature(name); });
    return PyBool_FromLong(found);
}

PyObject* camera_feature_names(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":feature_names", const_cast<char**>(kwlist))) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&] {
        auto r = on_camera(self, [](GenICamera& cam) { return cam.feature_names(); });
        return finish(self, r);
    });
}

PyObject* camera_invalidate_caches(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":invalidate_caches",
                                     const_cast<char**>(kwlist))) {
        return nullptr;
    }
    auto r = on_camera(self, [](GenICamera& cam) { return cam.invalidate_caches(); });
    return finish(self, r);
}

PyCFunction as_cfunction(PyCFunctionWithKeywords fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef camera_feature_methods[] = {
    {"get_integer", as_cfunction(camera_get_integer), kFlags, "get_integer($self, name)\n--\n\n"},
    {"set_integer", as_cfunction(camera_set_integer), kFlags,
     "set_integer($self, name, value)\n--\n\n"},
    {"get_float", as_cfunction(camera_get_float), kFlags, "get_float($self, name)\n--\n\n"},
    {"set_float", as_cfunction(camera_set_float), kFlags, "set_float($self, name, value)\n--\n\n"},
    {"get_boolean", as_cfunction(camera_get_boolean), kFlags, "get_boolean($self, name)\n--\n\n"},
    {"set_boolean", as_cfunction(camera_set_boolean), kFlags,
     "set_boolean($self, name, value)\n--\n\n"},
    {"get_string", as_cfunction(camera_get_string), kFlags, "get_string($self, name)\n--\n\n"},
    {"set_string", as_cfunction(camera_set_string), kFlags,
     "set_string($self, name, value)\n--\n\n"},
    {"get_enum", as_cfunction(camera_get_enum), kFlags, "get_enum($self, name)\n--\n\n"},
    {"set_enum", as_cfunction(camera_set_enum), kFlags, "set_enum($self, name, entry)\n--\n\n"},
    {"enum_entries", as_cfunction(camera_enum_entries), kFlags,
     "enum_entries($self, name)\n--\n\n"},
    {"execute", as_cfunction(camera_execute), kFlags, "execute($self, name)\n--\n\n"},
    {"integer_bounds", as_cfunction(camera_integer_bounds), kFlags,
     "integer_bounds($self, name)\n--\n\n"},
    {"float_bounds", as_cfunction(camera_float_bounds), kFlags,
     "float_bounds($self, name)\n--\n\n"},
    {"integer_increment", as_cfunction(camera_integer_increment), kFlags,
     "integer_increment($self, name)\n--\n\n"},
    {"access_mode", as_cfunction(camera_access_mode), kFlags, "access_mode($self, name)\n--\n\n"},
    {"has_feature", as_cfunction(camera_has_feature), kFlags, "has_feature($self, name)\n--\n\n"},
    {"feature_names", as_cfunction(camera_feature_names), kFlags, "feature_names($self)\n--\n\n"},
    {"invalidate_caches", as_cfunction(camera_invalidate_caches), kFlags,
     "invalidate_caches($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace corvisk::py
