// Feature introspection for the corvisk package: describe(), feature_names(), categories() and
// selectors() over a connected corvisk Camera. Each call converts its arguments, releases the
// interpreter lock, takes the camera's mutex (as every camera operation does), asks the node
// map, and builds the Python result after re-acquiring the interpreter lock.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ext/camera_access.hpp"
#include "ext/parts.hpp"
#include "genicam/introspection.hpp"

namespace corvisk::ext {
namespace {

using corvisk::GenicamResult;
using genicam::FeatureInfo;

PyObject* str_list(const std::vector<std::string>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    for (size_t i = 0; list != nullptr && i < items.size(); ++i) {
        PyObject* s = PyUnicode_DecodeUTF8(items[i].data(),
                                           static_cast<Py_ssize_t>(items[i].size()), "replace");
        if (s == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
    }
    return list;
}

// Sets d[key] = value, stealing `value`; false (exception set) on failure.
bool put(PyObject* d, const char* key, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    const int rc = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* entries_list(const std::vector<genicam::EntryInfo>& entries) {
    PyObject* list = PyList_New(0);
    for (const auto& e : entries) {
        PyObject* item = Py_BuildValue(
            "{s:N,s:N,s:L,s:O,s:O}", "name", text(e.name), "display_name", text(e.display_name),
            "value", static_cast<long long>(e.value), "implemented",
            e.implemented ? Py_True : Py_False, "available", e.available ? Py_True : Py_False);
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

PyObject* limits_tuple(const FeatureInfo& f) {
    if (f.int_bounds) {
        return Py_BuildValue("(LL)", static_cast<long long>(f.int_bounds->first),
                             static_cast<long long>(f.int_bounds->second));
    }
    if (f.float_bounds) {
        return Py_BuildValue("(dd)", f.float_bounds->first, f.float_bounds->second);
    }
    Py_RETURN_NONE;
}

PyObject* increment(const FeatureInfo& f) {
    if (f.int_increment) {
        return PyLong_FromLongLong(*f.int_increment);
    }
    if (f.float_increment) {
        return PyFloat_FromDouble(*f.float_increment);
    }
    Py_RETURN_NONE;
}

PyObject* info_dict(const FeatureInfo& f) {
    PyObject* d = PyDict_New();
    const bool ok =
        d != nullptr && put(d, "name", text(f.name)) &&
        put(d, "interface_type", text(f.interface_type)) &&
        put(d, "display_name", text(f.display_name)) && put(d, "tooltip", text(f.tooltip)) &&
        put(d, "description", text(f.description)) && put(d, "unit", text(f.unit)) &&
        put(d, "visibility", text(f.visibility)) &&
        put(d, "representation", text(f.representation)) &&
        put(d, "implemented", PyBool_FromLong(f.implemented)) &&
        put(d, "available", PyBool_FromLong(f.available)) &&
        put(d, "locked", PyBool_FromLong(f.locked)) && put(d, "access", text(f.access)) &&
        put(d, "bounds", limits_tuple(f)) && put(d, "increment", increment(f)) &&
        put(d, "entries", entries_list(f.entries)) && put(d, "selected", str_list(f.selected)) &&
        put(d, "children", str_list(f.children)) &&
        put(d, "streamable", PyBool_FromLong(f.streamable)) &&
        put(d, "data", f.data.empty() ? Py_NewRef(Py_None) : text(f.data));
    if (!ok) {
        Py_XDECREF(d);
        return nullptr;
    }
    return d;
}

PyObject* describe(PyObject*, PyObject* args) {
    PyObject* cam = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "Os:describe", &cam, &name)) {
        return nullptr;
    }
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    const std::string feature(name);
    GenicamResult<FeatureInfo> r =
        with_map(core, [&](genicam::Genicam& map, genicam::PortIo& port) {
            return genicam::describe(map, port, feature);
        });
    return r.ok() ? info_dict(*r) : raise_genicam(r.error());
}

PyObject* feature_names(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    auto r = with_map(
        core,
        [](genicam::Genicam& map, genicam::PortIo&) -> GenicamResult<std::vector<std::string>> {
            return genicam::user_feature_names(map);
        });
    return r.ok() ? str_list(*r) : raise_genicam(r.error());
}

// {name: [children]} for every category, or {name: [selected]} for every selector.
using Pairs = std::vector<std::pair<std::string, std::vector<std::string>>>;

PyObject* pairs_dict(const Pairs& pairs) {
    PyObject* d = PyDict_New();
    for (const auto& [name, items] : pairs) {
        PyObject* key = text(name);
        PyObject* value = str_list(items);
        const int rc = key != nullptr && value != nullptr ? PyDict_SetItem(d, key, value) : -1;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (rc < 0) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d;
}

PyObject* categories(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    auto r =
        with_map(core, [](genicam::Genicam& map, genicam::PortIo& port) -> GenicamResult<Pairs> {
            Pairs out;
            for (const auto& d : map.nodes()) {
                if (std::holds_alternative<genicam::CategoryNode>(d.node) && map.find(d.name)) {
                    auto info = genicam::describe(map, port, d.name);
                    if (info.ok()) {
                        out.emplace_back(d.name, std::move(info->children));
                    }
                }
            }
            return out;
        });
    return r.ok() ? pairs_dict(*r) : raise_genicam(r.error());
}

PyObject* selectors(PyObject*, PyObject* cam) {
    auto core = camera_arg(cam);
    if (!core) {
        return nullptr;
    }
    auto r = with_map(core, [](genicam::Genicam& map, genicam::PortIo&) -> GenicamResult<Pairs> {
        return genicam::selectors(map);
    });
    return r.ok() ? pairs_dict(*r) : raise_genicam(r.error());
}

PyMethodDef kMethods[] = {
    {"describe", describe, METH_VARARGS,
     "describe(camera, name)\n--\n\nA dict describing the feature of a connected camera."},
    {"feature_names", feature_names, METH_O,
     "feature_names(camera)\n--\n\nThe names of the camera's features, in description order."},
    {"categories", categories, METH_O,
     "categories(camera)\n--\n\nEvery category with the names of its features."},
    {"selectors", selectors, METH_O,
     "selectors(camera)\n--\n\nEvery selector with the names of the features it selects."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_introspection(PyObject* module) {
    return PyModule_AddFunctions(module, kMethods);
}

}  // namespace corvisk::ext
