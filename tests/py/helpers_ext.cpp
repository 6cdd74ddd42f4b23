// A test-only extension module exercising the binding helpers of src/py (error conversion,
// timeout parsing, sliced waits, GIL-aware locking, PyRef) through Python. Built by the
// `helpers` fixture in test_helpers.py against the library's build tree.
#include "py/python.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "error.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

// The helpers reach module_def only through state_of_type, which these tests do not use.
PyModuleDef corvisk::py::module_def = {
    PyModuleDef_HEAD_INIT, "_unused", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

namespace corvisk::py {
namespace {

std::timed_mutex g_mutex;
std::mutex g_release_mu;
std::condition_variable g_release_cv;
bool g_released = false;
std::atomic<long> g_lock_waiters{0};

// A ModuleState whose exception classes are the real ones of corvisk._corvisk_core.
bool real_state(ModuleState& state, PyRef& core) {
    core = PyRef::steal(PyImport_ImportModule("corvisk._corvisk_core"));
    if (!core) {
        return false;
    }
    state.camera_exception = PyObject_GetAttrString(core.get(), "CameraError");
    Py_XDECREF(state.camera_exception);  // the module keeps them alive
    state.genicam_exception = PyObject_GetAttrString(core.get(), "GenicamError");
    Py_XDECREF(state.genicam_exception);
    return state.camera_exception != nullptr && state.genicam_exception != nullptr;
}

// raise_error(case): raises the conversion of one library error, named by `case`.
PyObject* raise_error_case(PyObject*, PyObject* arg) {
    const char* which = PyUnicode_AsUTF8(arg);
    if (which == nullptr) {
        return nullptr;
    }
    ModuleState state{};
    PyRef core;
    if (!real_state(state, core)) {
        return nullptr;
    }
    const std::string_view w = which;
    if (w == "camera-status") {
        return raise_error(state, CameraError::status(0x0084, gvcp::GvcpStatus(0x8006)));
    }
    if (w == "camera-lost") {
        return raise_error(state, CameraError::control_lost());
    }
    if (w == "transport-lost") {
        return raise_error(state, GenicamError(CameraError::control_lost()));
    }
    if (w == "feature") {
        return raise_error(state, GenicamError::feature_not_found("Width"));
    }
    if (w == "bad-utf8") {
        return raise_error(state, GenicamError::feature_not_found("W\xff"));
    }
    PyErr_SetString(PyExc_KeyError, which);
    return nullptr;
}

// parse(value): the timeout in nanoseconds.
PyObject* parse(PyObject*, PyObject* value) {
    const auto d = parse_timeout(value, "parse", "timeout");
    if (!d) {
        return nullptr;
    }
    return PyLong_FromLongLong(std::chrono::nanoseconds(*d).count());
}

template <class T>
PyObject* box(const std::optional<T>& v, PyObject* (*make)(T)) {
    return v ? make(*v) : nullptr;
}
PyObject* from_u64(uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}
PyObject* from_i64(int64_t v) {
    return PyLong_FromLongLong(v);
}
PyObject* from_bool(bool v) {
    return PyBool_FromLong(v);
}
PyObject* from_string(std::string v) {
    return to_str(v).release();
}
template <class UInt>
std::optional<uint64_t> widen(const std::optional<UInt>& v) {
    return v ? std::optional<uint64_t>(*v) : std::nullopt;
}

// convert(kind, value): one argument conversion, by kind; returns the converted value
// (None for an absent optional).
PyObject* convert(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &kind, &value)) {
        return nullptr;
    }
    const std::string_view k = kind;
    const char* f = "convert";
    if (k == "u8") {
        return box(widen(parse_unsigned<uint8_t>(value, f, "retries")), from_u64);
    }
    if (k == "u16") {
        return box(widen(parse_unsigned<uint16_t>(value, f, "channel")), from_u64);
    }
    if (k == "u32") {
        return box(widen(parse_unsigned<uint32_t>(value, f, "packet_delay")), from_u64);
    }
    if (k == "usize") {
        return box(widen(parse_unsigned<size_t>(value, f, "n_buffers")), from_u64);
    }
    if (k == "opt_u16") {
        const auto v = parse_optional_unsigned<uint16_t>(value, f, "packet_size");
        if (!v) {
            return nullptr;
        }
        return *v ? from_u64(**v) : Py_NewRef(Py_None);
    }
    if (k == "i64") {
        return box(parse_int64(value, f, "value"), from_i64);
    }
    if (k == "bool") {
        return box(parse_bool(value, f, "exclusive"), from_bool);
    }
    if (k == "str") {
        return box(parse_str(value, f, "name"), from_string);
    }
    PyErr_SetString(PyExc_KeyError, kind);
    return nullptr;
}

// wait(timeout, ready_after): a sliced wait whose attempt becomes ready after `ready_after`
// seconds. Returns ("ready"|"timeout", slices).
PyObject* wait(PyObject*, PyObject* args) {
    double timeout = 0, ready_after = 0;
    if (!PyArg_ParseTuple(args, "dd", &timeout, &ready_after)) {
        return nullptr;
    }
    const Instant start = Clock::now();
    const Instant ready_at =
        start + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(ready_after));
    const Instant deadline =
        start + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(timeout));
    int slices = 0;
    const WaitOutcome outcome = wait_in_slices(deadline, [&](Instant until) {
        ++slices;
        std::this_thread::sleep_until(std::min(until, ready_at));
        return Clock::now() >= ready_at;
    });
    if (outcome == WaitOutcome::Interrupted) {
        return nullptr;
    }
    return Py_BuildValue("(si)", outcome == WaitOutcome::Ready ? "ready" : "timeout", slices);
}

// hold(seconds): takes the mutex (GIL-aware) and keeps it, with the GIL released, until
// release() is called or `seconds` (a safety limit) have passed.
PyObject* hold(PyObject*, PyObject* arg) {
    const double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    auto lock = lock_releasing_gil(g_mutex);
    without_gil([&] {
        std::unique_lock released(g_release_mu);
        g_release_cv.wait_for(released, std::chrono::duration<double>(seconds),
                              [] { return g_released; });
        g_released = false;
    });
    Py_RETURN_NONE;
}

// release(): ends the current hold().
PyObject* release(PyObject*, PyObject*) {
    {
        std::lock_guard guard(g_release_mu);
        g_released = true;
    }
    g_release_cv.notify_all();
    Py_RETURN_NONE;
}

// lock(): takes and releases the mutex; returns True. lock_waiters() counts the calls that have
// started, so a test can release a holder only once lock() is on its way to wait.
PyObject* lock(PyObject*, PyObject*) {
    g_lock_waiters.fetch_add(1);
    auto held = lock_releasing_gil(g_mutex);
    return PyBool_FromLong(held.owns_lock());
}

PyObject* lock_waiters(PyObject*, PyObject*) {
    return PyLong_FromLong(g_lock_waiters.load());
}

// try_lock_for(seconds): whether the mutex was obtained within `seconds`.
PyObject* try_lock_for(PyObject*, PyObject* arg) {
    const double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    auto held = try_lock_for_releasing_gil(
        g_mutex, std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)));
    return PyBool_FromLong(held.owns_lock());
}

// refs(obj): reference counts of obj seen through PyRef operations, relative to the start:
// (after borrowed, after clone, after reset of the clone, after release+steal round trip,
// after all PyRefs are gone).
PyObject* refs(PyObject*, PyObject* obj) {
    const Py_ssize_t base = Py_REFCNT(obj);
    Py_ssize_t counts[5];
    {
        PyRef a = PyRef::borrowed(obj);
        counts[0] = Py_REFCNT(obj) - base;
        PyRef b = a.clone();
        counts[1] = Py_REFCNT(obj) - base;
        b.reset();
        counts[2] = Py_REFCNT(obj) - base;
        PyRef c = PyRef::steal(a.release());
        PyRef d = std::move(c);
        counts[3] = Py_REFCNT(obj) - base;
    }
    counts[4] = Py_REFCNT(obj) - base;
    return Py_BuildValue("(nnnnn)", counts[0], counts[1], counts[2], counts[3], counts[4]);
}

// cxx_throw(): a C++ exception escaping a binding body, caught by guard_cxx.
PyObject* cxx_throw(PyObject*, PyObject*) {
    return guard_cxx<PyObject*>(nullptr, []() -> PyObject* { throw std::runtime_error("bug"); });
}

PyMethodDef methods[] = {
    {"raise_error", raise_error_case, METH_O, nullptr},
    {"parse", parse, METH_O, nullptr},
    {"convert", convert, METH_VARARGS, nullptr},
    {"wait", wait, METH_VARARGS, nullptr},
    {"hold", hold, METH_O, nullptr},
    {"release", release, METH_NOARGS, nullptr},
    {"lock", lock, METH_NOARGS, nullptr},
    {"lock_waiters", lock_waiters, METH_NOARGS, nullptr},
    {"try_lock_for", try_lock_for, METH_O, nullptr},
    {"refs", refs, METH_O, nullptr},
    {"cxx_throw", cxx_throw, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef test_def = {
    PyModuleDef_HEAD_INIT, "_cvk_helpers", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace corvisk::py

PyMODINIT_FUNC PyInit__cvk_helpers(void) {
    return PyModule_Create(&corvisk::py::test_def);
}
