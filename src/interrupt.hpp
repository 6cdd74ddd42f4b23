// Interrupting a blocking control request from the thread that waits for it.
//
// A caller that must stay responsive (the Python binding: Ctrl-C) installs a check for the
// duration of a device operation. Every control request made on that thread then waits in
// slices of at most kInterruptSlice and consults the check between slices; once it says so,
// the request is abandoned (a queued one is cancelled, one on the wire is no longer waited for
// and its late acknowledge is ignored) and every later request of the operation fails at once,
// so a node-map operation of many reads ends promptly. Threads without a check, worker threads
// included, wait exactly as before.
#pragma once

#include <cerrno>
#include <functional>

#include "error.hpp"
#include "time.hpp"

namespace corvisk {

inline constexpr Duration kInterruptSlice = std::chrono::milliseconds(100);

// Installs `check` for the current thread until destroyed (scopes nest). The check runs on this
// thread only, between wait slices. Not copyable.
class InterruptScope {
  public:
    explicit InterruptScope(std::function<bool()> check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

  private:
    std::function<bool()> check_;
    bool fired_ = false;
    InterruptScope* outer_;
    friend bool interrupt_requested();
    friend bool interrupt_scope_active();
};

// True when the current thread has a check installed (its waits are sliced).
bool interrupt_scope_active();

// Runs the current thread's check, unless it already fired (the answer then stays true for the
// rest of the scope); false without a scope.
bool interrupt_requested();

// The failure an abandoned request reports.
inline CameraError interrupted_error() {
    return CameraError::io_text(EINTR, "the wait for the device was interrupted");
}

// The end of the next wait slice: `until`, or sooner when the thread's waits are sliced.
inline Instant interrupt_slice_end(Instant until) {
    if (!interrupt_scope_active()) {
        return until;
    }
    const Instant slice = Clock::now() + kInterruptSlice;
    return slice < until ? slice : until;
}

}  // namespace corvisk
