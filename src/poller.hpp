// Readiness waiting for worker threads: an epoll instance plus an eventfd waker that any thread
// may trigger to cut a wait short. Thread-safe and worker-only as in docs/threading.md.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <sys/epoll.h>

#include "error.hpp"
#include "unique_fd.hpp"

namespace corvisk {

// Cross-thread wake-up for a Poller. Thread-safe; shared between the worker and its owners.
class Waker {
  public:
    static CameraResult<std::shared_ptr<Waker>> create();
    // Makes the poller's current or next wait return at once. Never blocks.
    void wake() const;
    // Consumes pending wake-ups (worker side, after a wait reported the waker readable).
    void drain() const;
    int fd() const { return fd_.get(); }

    explicit Waker(UniqueFd fd) : fd_(std::move(fd)) {}

  private:
    UniqueFd fd_;
};

// Worker-only: one thread waits on it.
class Poller {
  public:
    struct Event {
        uint64_t token;
        uint32_t events;  // EPOLLIN etc.
    };

    static CameraResult<Poller> create();

    // Registers fd for readability under token.
    CameraResult<void> add_readable(int fd, uint64_t token);
    // Registers the waker under token; its wake-ups are drained by wait() itself.
    CameraResult<void> add_waker(const Waker& waker, uint64_t token);

    // Waits up to timeout_ms (-1 = forever) and fills out; returns the number of events. EINTR is
    // returned as an Io error with errno EINTR so the caller can decide to retry.
    CameraResult<size_t> wait(std::span<Event> out, int timeout_ms);

    // The epoll descriptor (borrowed), for changing a registration from another thread.
    int native_handle() const { return fd_.get(); }

  private:
    explicit Poller(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;
    int waker_fd_ = -1;
    uint64_t waker_token_ = 0;
};

}  // namespace corvisk
