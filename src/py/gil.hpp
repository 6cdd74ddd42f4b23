// Interpreter-lock (GIL) helpers: scoped release, bounded waits in slices that keep Ctrl-C
// working, and locking a C++ mutex without ever blocking while the GIL is held.
//
// Rule for the whole binding: convert every argument to C++ values first, then block only with
// the GIL released, and create Python objects only after re-acquiring it. Code that runs with
// the GIL released must not touch any Python object (not even a refcount).
#pragma once

#include "py/python.hpp"

#include <unistd.h>
#include <chrono>
#include <mutex>
#include <utility>

#include "time.hpp"

namespace corvisk::py {

// Takes the GIL back for a thread that released it. Once the interpreter is finalizing, Python
// ends any other thread that asks for the GIL by unwinding its stack (pthread_exit); raised from a
// destructor, as here, that unwinding aborts the process with std::terminate. A thread that is
// still inside a corvisk call when the program exits (a daemon thread waiting for frames) is
// parked instead and ends with the process, which is also what newer Pythons do themselves.
inline void restore_thread(PyThreadState* saved) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (finalizing) {
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
