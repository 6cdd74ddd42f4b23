// discover(timeout=1.0): GigE Vision discovery on every usable IPv4 adapter, from Python.
#include "py/discover.hpp"

#include <utility>
#include <vector>

#include "gige/discovery.hpp"
#include "py/convert.hpp"
#include "py/device_info.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/module.hpp"

namespace corvisk::py {
namespace {

PyRef devices_to_list(const ModuleState& state,
                      const std::vector<gige::DiscoveredDevice>& devices) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(devices.size())));
    if (!list) {
        return list;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        PyRef info = device_info_new(state, devices[i].info);
        if (!info) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), info.release());
    }
    return list;
}

PyObject* discover_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"timeout"}}};
    gige::DiscoveryConfig config;  // every adapter, any source port, port 3956, limited bcast
    if (!parse_args("discover", kParams, args, nargs, kwnames, config.timeout)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        // The run is bounded by the timeout plus one receive sweep, and needs no Python.
        auto result = without_gil([&] { return gige::discover(config); });
        const ModuleState& state = state_of_module(module);
        if (!result) {
            return raise_error(state, result.error());
        }
        return devices_to_list(state, result.value()).release();
    });
}

PyMethodDef discover_def = {
    "discover",
    as_cfunction(discover_impl),
    METH_FASTCALL | METH_KEYWORDS,
    "discover(timeout=1.0)\n--\n\n"
    "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
    "return the devices that answer within `timeout` seconds.",
};

}  // namespace

PyRef discover_function_create(PyObject* module) {
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) {
        return PyRef();
    }
    PyRef module_name = PyRef::steal(name);
    return PyRef::steal(PyCFunction_NewEx(&discover_def, module, module_name.get()));
}

}  // namespace corvisk::py
