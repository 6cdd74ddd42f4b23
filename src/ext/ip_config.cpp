// Network configuration from Python: discovery with the adapter each answer arrived on, and
// FORCEIP. The package (corvisk/ipconfig.py) validates the arguments and wraps the results;
// this unit takes plain values (timeout in seconds, addresses as bytes) and returns dicts.
// Each run happens on a helper thread while the caller waits in slices with the GIL released,
// so Ctrl-C ends it within one slice.
#include <cmath>
#include <cstring>
#include <future>
#include <thread>

#include "ext/parts.hpp"
#include "gige/discovery.hpp"
#include "gige/ip_config.hpp"
#include "py/gil.hpp"

namespace corvisk::ext {
namespace {

constexpr double kMaxTimeout = 3600.0;

// Raises corvisk.CameraError (the core module's class) with the error's message.
std::nullptr_t raise_camera_error(const CameraError& error) {
    PyObject* core = PyImport_ImportModule("corvisk._corvisk_core");
    PyObject* cls = core != nullptr ? PyObject_GetAttrString(core, "CameraError") : nullptr;
    Py_XDECREF(core);
    if (cls != nullptr) {
        PyErr_SetString(cls, error.message().c_str());
        Py_DECREF(cls);
    }
    return nullptr;
}

std::optional<Duration> timeout_of(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxTimeout) {
        PyErr_Format(PyExc_ValueError, "timeout must be between 0 and %d seconds",
                     static_cast<int>(kMaxTimeout));
        return std::nullopt;
    }
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

template <size_t N>
bool octets_of(const char* data, Py_ssize_t size, std::array<uint8_t, N>& out, const char* what) {
    if (size != static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_ValueError, "%s must be %d bytes", what, static_cast<int>(N));
        return false;
    }
    std::memcpy(out.data(), data, N);
    return true;
}

// Runs fn(cancel) on a helper thread; nullopt with KeyboardInterrupt (or another exception from
// a signal handler) set when interrupted.
template <class Fn>
auto run_interruptible(Fn fn) -> std::optional<decltype(fn(nullptr))> {
    std::atomic<bool> cancel{false};
    std::packaged_task<decltype(fn(nullptr))()> task([&] { return fn(&cancel); });
    auto result = task.get_future();
    std::thread worker(std::move(task));
    const auto outcome = py::wait_in_slices(Instant::max(), [&](Instant until) {
        return result.wait_until(until) == std::future_status::ready;
    });
    if (outcome != py::WaitOutcome::Ready) {
        cancel.store(true);
    }
    py::without_gil([&] { worker.join(); });
    if (outcome != py::WaitOutcome::Ready) {
        return std::nullopt;
    }
    return result.get();
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// {"mac", "ip", ..., "adapter", "adapter_ip", "source"} for one answer.
PyObject* device_dict(const gige::DiscoveredDevice& d) {
    const auto& i = d.info;
    return Py_BuildValue(
        "{s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:I,s:I,s:N,s:N,s:N}", "mac",
        text(bootstrap::format_mac(i.mac)), "ip", text(bootstrap::format_ip(i.ip)), "subnet_mask",
        text(bootstrap::format_ip(i.subnet_mask)), "gateway", text(bootstrap::format_ip(i.gateway)),
        "manufacturer", text(i.manufacturer), "model", text(i.model), "serial", text(i.serial),
        "user_defined_name", text(i.user_defined_name), "device_version", text(i.device_version),
        "ip_config_supported", i.ip_config_supported, "ip_config_current", i.ip_config_current,
        "adapter", text(d.adapter.name), "adapter_ip", text(bootstrap::format_ip(d.adapter.ip)),
        "source", text(gige::format_endpoint(d.source)));
}

PyObject* device_list(const std::vector<gige::DiscoveredDevice>& devices) {
    PyObject* list = PyList_New(0);
    for (size_t n = 0; list != nullptr && n < devices.size(); ++n) {
        PyObject* item = device_dict(devices[n]);
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_CLEAR(list);
            break;
        }
        Py_DECREF(item);
    }
    return list;
}

// discover_devices(timeout, adapter): adapter "" = every adapter.
PyObject* discover_devices(PyObject*, PyObject* args) {
    double seconds = 1.0;
    const char* adapter = "";
    if (!PyArg_ParseTuple(args, "ds:discover_devices", &seconds, &adapter)) {
        return nullptr;
    }
    gige::DiscoveryConfig config;
    const auto timeout = timeout_of(seconds);
    if (!timeout) {
        return nullptr;
    }
    config.timeout = *timeout;
    const std::string adapter_name = adapter;
    auto run = run_interruptible([&](const std::atomic<bool>* cancel) {
        using R = CameraResult<std::vector<gige::DiscoveredDevice>>;
        if (!adapter_name.empty()) {
            auto found = gige::find_adapter(adapter_name);
            if (!found) {
                return R(Err{found.error()});
            }
            config.adapters = std::vector<gige::NetworkAdapter>{*found};
        }
        config.cancel = cancel;
        return gige::discover(config);
    });
    if (!run) {
        return nullptr;
    }
    return *run ? device_list(run->value()) : raise_camera_error(run->error());
}

// force_ip(mac, ip, mask, gateway, adapter, timeout): addresses as bytes.
PyObject* force_ip(PyObject*, PyObject* args) {
    const char *mac, *ip, *mask, *gateway, *adapter;
    Py_ssize_t mac_n, ip_n, mask_n, gateway_n;
    double seconds = 3.0;
    if (!PyArg_ParseTuple(args, "y#y#y#y#sd:force_ip", &mac, &mac_n, &ip, &ip_n, &mask, &mask_n,
                          &gateway, &gateway_n, &adapter, &seconds)) {
        return nullptr;
    }
    gige::ForceIpConfig config;
    const auto timeout = timeout_of(seconds);
    if (!timeout || !octets_of(mac, mac_n, config.request.mac, "mac") ||
        !octets_of(ip, ip_n, config.request.ip, "ip") ||
        !octets_of(mask, mask_n, config.request.subnet_mask, "subnet_mask") ||
        !octets_of(gateway, gateway_n, config.request.gateway, "gateway")) {
        return nullptr;
    }
    config.timeout = *timeout;
    const std::string adapter_name = adapter;
    auto run = run_interruptible([&](const std::atomic<bool>* cancel) {
        auto found = gige::find_adapter(adapter_name);
        if (!found) {
            return CameraResult<gige::DiscoveredDevice>(Err{found.error()});
        }
        config.adapter = *found;
        return gige::force_ip(config, cancel);
    });
    if (!run) {
        return nullptr;
    }
    return *run ? device_dict(run->value()) : raise_camera_error(run->error());
}

PyMethodDef methods[] = {
    {"discover_devices", discover_devices, METH_VARARGS,
     "discover_devices(timeout, adapter)\n--\n\nDiscovery answers as dicts, with the adapter "
     "each arrived on (adapter '' = every adapter)."},
    {"force_ip", force_ip, METH_VARARGS,
     "force_ip(mac, ip, subnet_mask, gateway, adapter, timeout)\n--\n\nFORCEIP on the adapter, "
     "then the device's answer from its new address as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_ip_config(PyObject* module) {
    return PyModule_AddFunctions(module, methods);
}

}  // namespace corvisk::ext
