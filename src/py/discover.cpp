// discover(timeout=1.0): GigE Vision discovery on every usable IPv4 adapter, from Python.
#include "py/discover.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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

// A discovery run on its own thread, so that the caller can give up on Ctrl-C: the run ends by
// itself within its timeout (it needs no Python and owns its sockets), an abandoned run is told
// to stop listening at once (so its sockets close now, not at the end of the timeout), and its
// answers are simply dropped with the job.
struct DiscoveryJob {
    std::atomic<bool> cancel{false};
    std::mutex mu;
    std::condition_variable cv;
    std::optional<CameraResult<std::vector<gige::DiscoveredDevice>>> result;  // guarded by mu
};

// The run's result, or nothing with the handler's exception set when Ctrl-C ended the wait.
std::optional<CameraResult<std::vector<gige::DiscoveredDevice>>> run_discovery(
    const gige::DiscoveryConfig& config) {
    auto job = std::make_shared<DiscoveryJob>();
    std::thread([job, config = gige::DiscoveryConfig(config)]() mutable {
        config.cancel = &job->cancel;
        auto found = gige::discover(config);
        {
            std::lock_guard lock(job->mu);
            job->result.emplace(std::move(found));
        }
        job->cv.notify_all();
    }).detach();
    const WaitOutcome outcome = wait_in_slices(Instant::max(), [&](Instant until) {
        std::unique_lock lock(job->mu);
        return job->cv.wait_until(lock, until, [&] { return job->result.has_value(); });
    });
    if (outcome == WaitOutcome::Interrupted) {
        job->cancel.store(true, std::memory_order_relaxed);
        return std::nullopt;
    }
    auto lock = lock_releasing_gil(job->mu);
    return std::move(job->result);
}

PyObject* discover_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static constexpr std::array<Param, 1> kParams{{{"timeout"}}};
    gige::DiscoveryConfig config;  // every adapter, any source port, port 3956, limited bcast
    if (!parse_args("discover", kParams, args, nargs, kwnames, config.timeout)) {
        return nullptr;
    }
    return guard_cxx<PyObject*>(nullptr, [&]() -> PyObject* {
        auto run = run_discovery(config);
        if (!run) {
            return nullptr;  // KeyboardInterrupt
        }
        const ModuleState& state = state_of_module(module);
        if (!*run) {
            return raise_error(state, run->error());
        }
        return devices_to_list(state, run->value()).release();
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
