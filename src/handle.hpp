// ResponseHandle: the one-shot rendezvous between a control-request caller and the worker that
// answers it. The first result stored wins; any number of threads may wait on it; a result that
// arrives after a waiter gave up is still stored and visible to later get() calls.
//
// Thread-safe. Copies share one slot (shared ownership: requester, queued request, waiters);
// the words are defined in docs/threading.md.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "error.hpp"
#include "time.hpp"

namespace corvisk {

template <class T>
using SharedResult = Result<T, SharedCameraError>;

template <class T>
class ResponseHandle {
  public:
    ResponseHandle() : inner_(std::make_shared<Inner>()) {}

    // Stores the result unless one is already there (then it is discarded); wakes all waiters.
    void fulfill(SharedResult<T> result) const {
        {
            std::lock_guard lock(inner_->mu);
            if (!inner_->slot) {
                inner_->slot.emplace(std::move(result));
                inner_->filled.store(true, std::memory_order_release);
            }
        }
        inner_->cv.notify_all();
    }
    void fail(CameraError error) const { fulfill(Err{share(std::move(error))}); }

    bool is_filled() const {
        std::lock_guard lock(inner_->mu);
        return inner_->slot.has_value();
    }

    // The stored result, or a fresh AckTimeout when the slot is still empty.
    SharedResult<T> get() const {
        std::lock_guard lock(inner_->mu);
        return current_locked();
    }

    // Waits until the slot is filled or the duration has passed (then AckTimeout). Returns at
    // once when already filled, even with a zero duration.
    SharedResult<T> wait_timeout(Duration timeout) const {
        return wait_until(deadline_after(timeout));
    }
    SharedResult<T> wait_until(Instant deadline) const {
        spin_until(std::min(deadline, deadline_after(kSpin)));
        std::unique_lock lock(inner_->mu);
        inner_->cv.wait_until(lock, deadline, [&] { return inner_->slot.has_value(); });
        return current_locked();
    }

    // Number of handles sharing this slot (tests).
    long use_count() const { return inner_.use_count(); }

  private:
    // A waiter checks the slot this long before it sleeps: a control request on a short link
    // is answered within it, and the answer is then taken without a sleep and a wake-up.
    static constexpr Duration kSpin = std::chrono::microseconds(30);

    struct Inner {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<SharedResult<T>> slot;
        std::atomic<bool> filled{false};  // set with the slot, read without the lock
    };

    void spin_until(Instant until) const {
        while (!inner_->filled.load(std::memory_order_acquire) && Clock::now() < until) {
            std::this_thread::yield();
        }
    }

    SharedResult<T> current_locked() const {
        if (inner_->slot) {
            return *inner_->slot;
        }
        return Err{share(CameraError::ack_timeout())};
    }

    std::shared_ptr<Inner> inner_;
};

// Converts a shared-error result into an owned-error result (see unwrap_arc).
template <class T>
CameraResult<T> unshare(SharedResult<T> r) {
    if (!r.ok()) {
        return Err{unwrap_arc(std::move(r).error())};
    }
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(r).value();
    }
}

}  // namespace corvisk
