// Interpreter-lock (GIL) helpers: scoped release, bounded waits in slices that keep Ctrl-C
// working, and locking a C++ mutex without ever blocking while the GIL is held.
//
// Rule for the whole binding: convert every argument to C++ values first, then block only with
// the GIL released, and create Python objects only after re-acquiring it. Code that runs with
// the GIL released must not touch any Python object (not even a refcount).
#pragma once

#include "py/python.hpp"

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <utility>

#include "time.hpp"

namespace corvisk::py {

namespace detail {

// The thread that runs the interpreter's exit, as noted by watch_interpreter_exit's callback;
// 0 until the exit has begun. One per extension module, each noting it for itself.
inline std::atomic<unsigned long>& exiting_thread() {
    static std::atomic<unsigned long> thread{0};
    return thread;
}

inline PyObject* note_exiting_thread(PyObject*, PyObject*) {
    exiting_thread().store(PyThread_get_thread_ident());
    Py_RETURN_NONE;
}

// Whether another thread is finalizing the interpreter, so that asking for the GIL would end
// this one. The exit's atexit callbacks run on the finalizing thread before finalization
// begins; without that note (the callback never ran) the process's initial thread, which runs
// the exit of every `python` program, is taken to be it.
inline bool another_thread_finalizes() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (!finalizing) {
        return false;
    }
    const unsigned long exiting = exiting_thread().load();
    return exiting != 0 ? exiting != PyThread_get_thread_ident() : ::gettid() != ::getpid();
}

}  // namespace detail

// Registers the atexit callback that notes which thread runs the interpreter's exit. Called by
// each extension module's initialisation; 0, or -1 with an exception set.
inline int watch_interpreter_exit() {
    static PyMethodDef def{"_note_exiting_thread", detail::note_exiting_thread, METH_NOARGS,
                           nullptr};
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (atexit == nullptr) {
        return -1;
    }
    PyObject* fn = PyCFunction_New(&def, nullptr);
    PyObject* done = fn != nullptr ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(fn);
    Py_DECREF(atexit);
    return done != nullptr ? 0 : -1;
}

// Takes the GIL back for a thread that released it. While the interpreter is finalizing, Python
// ends any thread but the finalizing one that asks for the GIL by unwinding its stack
// (pthread_exit); raised from a destructor, as here, that unwinding aborts the process with
// std::terminate. A thread still inside a corvisk call when the program exits (a daemon thread
// waiting for frames) is parked instead and ends with the process, which is also what newer
// Pythons do themselves.
inline void restore_thread(PyThreadState* saved) noexcept {
    if (detail::another_thread_finalizes()) {
        for (;;) {
            ::pause();
        }
    }
    PyEval_RestoreThread(saved);
}

// Releases the GIL for its lifetime (like Py_BEGIN/END_ALLOW_THREADS, but exception- and
// early-return-safe). Construct only on a thread that holds the GIL.
class GilRelease {
  public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilRelease() { restore_thread(saved_); }
    GilRelease(const GilRelease&) = delete;

    // Runs fn() with the GIL held again for a moment (for example PyErr_CheckSignals between
    // the slices of a long wait), then releases it again.
    template <class Fn>
    decltype(auto) with_gil(Fn&& fn) {
        restore_thread(saved_);
        struct Resave {
            PyThreadState*& saved;
            ~Resave() { saved = PyEval_SaveThread(); }
        } resave{saved_};
        return std::forward<Fn>(fn)();
    }

    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* saved_;
};

// Runs fn() with the GIL released and returns its result once the GIL is held again.
template <class Fn>
decltype(auto) without_gil(Fn&& fn) {
    GilRelease released;
    return std::forward<Fn>(fn)();
}

// The longest single blocking step of a sliced wait: short enough that Ctrl-C feels immediate.
inline constexpr Duration kWaitSlice = std::chrono::milliseconds(100);

enum class WaitOutcome {
    Ready,        // attempt() reported completion
    TimedOut,     // the deadline passed first
    Interrupted,  // a signal handler raised; the Python exception is set
};

// Waits until `deadline` in slices of at most `slice`. Each slice calls attempt(until) with the
// GIL released; it must block no later than `until` and return true once the wait is over
// (item received, peer closed, ...), leaving its result in variables it captured. Between
// slices, with the GIL held, pending signals run (PyErr_CheckSignals), so KeyboardInterrupt
// ends the wait. The remaining time is always recomputed from the monotonic deadline, never
// accumulated. attempt() runs at least once, so a deadline already passed means a poll.
template <class Attempt>
WaitOutcome wait_in_slices(Instant deadline, Attempt&& attempt, Duration slice = kWaitSlice) {
    for (;;) {
        const Instant now = Clock::now();
        const Instant until = deadline - now > slice ? now + slice : deadline;
        const bool done = without_gil([&] { return attempt(until); });
        if (done) {
            return WaitOutcome::Ready;
        }
        if (Clock::now() >= deadline) {
            return WaitOutcome::TimedOut;
        }
        if (PyErr_CheckSignals() < 0) {
            return WaitOutcome::Interrupted;
        }
    }
}

// Locks `mu` from a thread that holds the GIL: tries it first with the GIL held (the common,
// uncontended case costs no GIL round trip) and only blocks after releasing the GIL, so a
// thread that holds `mu` while waiting for the GIL cannot deadlock against us. Returns with
// both the GIL and the lock held.
template <class Mutex>
[[nodiscard]] std::unique_lock<Mutex> lock_releasing_gil(Mutex& mu) {
    std::unique_lock<Mutex> lock(mu, std::try_to_lock);
    if (!lock.owns_lock()) {
        GilRelease released;
        lock.lock();
    }
    return lock;
}

// Like lock_releasing_gil, but gives up after `limit` (for destructors that must not hang when
// another thread holds the mutex for a long device operation). Needs a timed mutex
// (std::timed_mutex). Check owns_lock() on the result.
template <class TimedMutex>
[[nodiscard]] std::unique_lock<TimedMutex> try_lock_for_releasing_gil(TimedMutex& mu,
                                                                      Duration limit) {
    std::unique_lock<TimedMutex> lock(mu, std::try_to_lock);
    if (!lock.owns_lock()) {
        GilRelease released;
        (void)lock.try_lock_for(limit);
    }
    return lock;
}

// Locks a timed mutex that another thread may hold for a long device operation (a 30 s snap),
// without ever blocking while the GIL is held and without ignoring Ctrl-C: tries it first, then
// waits in slices with the GIL released and runs pending signal handlers between them. An
// empty (not owning) lock means a handler raised; its exception is set.
template <class TimedMutex>
[[nodiscard]] std::unique_lock<TimedMutex> lock_honouring_signals(TimedMutex& mu) {
    std::unique_lock<TimedMutex> lock(mu, std::try_to_lock);
    while (!lock.owns_lock()) {
        if (without_gil([&] { return lock.try_lock_for(kWaitSlice); })) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            break;
        }
    }
    return lock;
}

}  // namespace corvisk::py
