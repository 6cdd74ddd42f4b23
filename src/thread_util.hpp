// Worker threads: the scheduling options a worker applies to itself, and the owner-side handle
// that asks it to stop, wakes it and joins it when dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "error.hpp"
#include "poller.hpp"

namespace corvisk {

struct ThreadConfig {
    std::optional<unsigned> affinity;  // pin to this CPU (0-based)
    int32_t priority = 0;              // SCHED_FIFO priority; <= 0 leaves the policy alone

    // Called by the worker on its own thread as its first action. Never fails: a setting that
    // cannot be applied is logged at WARN and the worker runs with default scheduling.
    void apply_logged() const;
};

using Flag = std::shared_ptr<std::atomic<bool>>;

// Owner side of a worker. Move-only; owns the thread (see docs/threading.md): on destruction it
// sets `stop`, wakes the worker and joins it. A moved-from handle owns nothing. Not thread-safe
// itself; the flags and the waker it shares with the worker are.
class ThreadHandle {
  public:
    ThreadHandle();
    ThreadHandle(ThreadHandle&&) noexcept = default;
    ThreadHandle& operator=(ThreadHandle&& other) noexcept;
    ThreadHandle(const ThreadHandle&) = delete;
    ThreadHandle& operator=(const ThreadHandle&) = delete;
    ~ThreadHandle();

    // Stores the join handle. A worker already stored is never detached: it is asked to stop,
    // woken and joined first (a programming error, logged at ERROR, since both threads share
    // this handle's flags).
    void set_handle(std::thread thread);
    bool has_thread() const { return join_ && join_->joinable(); }
    void set_waker(std::shared_ptr<Waker> waker) { waker_ = std::move(waker); }

    const Flag& alive_flag() const { return alive_; }
    const Flag& stop_flag() const { return stop_; }
    const std::shared_ptr<Waker>& waker() const { return waker_; }

    bool is_alive() const { return alive_->load(std::memory_order_acquire); }
    void request_stop() const { stop_->store(true, std::memory_order_release); }
    void wake() const {
        if (waker_) {
            waker_->wake();
        }
    }
    // Sets stop, wakes, and joins (when this handle owns a thread). Idempotent.
    void stop_and_join();

  private:
    Flag alive_;
    Flag stop_;
    std::optional<std::thread> join_;
    std::shared_ptr<Waker> waker_;
    bool owns_ = true;
};

// Starts a thread named `name` (at most 15 characters are kept) running body. The body is run
// inside a guard: an exception escaping it is caught and logged at ERROR, and `alive` is cleared
// when the thread ends however it ends. Returns ThreadSpawn when the thread cannot be created or
// the handle already holds a worker.
CameraResult<void> spawn_worker(ThreadHandle& handle, std::string name, std::function<void()> body);

}  // namespace corvisk
