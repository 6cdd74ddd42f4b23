// The event-loop piece every socket worker is built on: one readiness poller watching the
// worker's socket and a waker, the worker's command queue, and its stop flag.
//
// Conventions shared by every worker:
// - the socket is registered under kSocketToken, the waker under kWakerToken;
// - an owner posts a command and then wakes the waker (commands are never lost: the worker
//   drains the queue after every wait, whether or not the waker fired);
// - the owner's ThreadHandle sets the stop flag and wakes; the worker tests stop_requested() at
//   the top of every pass;
// - the worker waits until its own earliest deadline (wait_until), never on a fixed tick;
// - every failure while building the loop is a CameraError ThreadSpawn (spawn_error).
//
// Usage (worker side, the loop is worker-only; the waker and the command sender are
// thread-safe and go to the owners):
//
//     auto loop = CVK_TRY(EventLoop<MyCommand>::create(socket.get(), std::move(rx), stop));
//     handle.set_waker(loop.waker());
//     ... in the worker:
//     while (!loop.stop_requested()) {
//         auto ready = loop.wait_until(next_deadline);   // socket readable?
//         if (!ready.ok()) break;                         // EINTR is already retried
//         if (*ready) drain_socket();
//         while (auto cmd = loop.try_command()) handle(*cmd);
//         handle_timers(Clock::now());
//     }
#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"
#include "poller.hpp"
#include "queue.hpp"
#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::gige {

inline constexpr uint64_t kSocketToken = 0;
inline constexpr uint64_t kWakerToken = 1;

// A loop-building failure as a ThreadSpawn error: an I/O error's bare system text, otherwise
// the error's message.
inline CameraError spawn_error(const CameraError& e) {
    return CameraError::thread_spawn(e.kind() == CameraError::Kind::Io ? e.text() : e.message());
}

// Worker-only (see the top of the file for the thread-safe parts it hands out).
template <class Command>
class EventLoop {
  public:
    // Watches `socket_fd` (borrowed: the worker keeps owning the socket and must outlive the
    // loop's use of it) and a fresh waker. Errors are ThreadSpawn.
    static CameraResult<EventLoop> create(int socket_fd, chan::Receiver<Command> commands,
                                          Flag stop) {
        auto poller = Poller::create();
        if (!poller.ok()) {
            return Err{spawn_error(poller.error())};
        }
        if (auto r = poller->add_readable(socket_fd, kSocketToken); !r.ok()) {
            return Err{spawn_error(r.error())};
        }
        auto waker = Waker::create();
        if (!waker.ok()) {
            return Err{spawn_error(waker.error())};
        }
        if (auto r = poller->add_waker(**waker, kWakerToken); !r.ok()) {
            return Err{spawn_error(r.error())};
        }
        return EventLoop(std::move(*poller), std::move(*waker), std::move(commands),
                         std::move(stop));
    }

    // Thread-safe; give it to the owner's ThreadHandle and to every command sender.
    const std::shared_ptr<Waker>& waker() const { return waker_; }
    bool stop_requested() const { return stop_->load(std::memory_order_acquire); }

    // Waits until the socket is readable, the waker fires or `deadline` passes (none: no
    // deadline). True when the socket is readable. An interrupted wait counts as a spurious
    // wake-up; any other failure is returned and should end the worker.
    CameraResult<bool> wait_until(std::optional<Instant> deadline) {
        int timeout_ms = deadline ? ms_until(*deadline, kMaxWaitMs) : -1;
        auto n = poller_->wait(events_, timeout_ms);
        if (!n.ok()) {
            if (n.error().kind() == CameraError::Kind::Io && n.error().os_errno() == EINTR) {
                return false;
            }
            return Err{n.error()};
        }
        for (size_t i = 0; i < *n; ++i) {
            if (events_[i].token == kSocketToken) {
                return true;
            }
        }
        return false;
    }

    // The poller's descriptor (borrowed, valid until close()).
    int poller_fd() const { return poller_->native_handle(); }

    // The next command, without blocking.
    std::optional<Command> try_command() { return commands_.try_recv(); }

    // Drops the poller (the waker stays valid for owners that still hold it).
    void close() { poller_.reset(); }

  private:
    // Longest single wait; a later deadline is reached by waiting again.
    static constexpr int kMaxWaitMs = 60'000;
    static constexpr size_t kMaxEvents = 16;

    EventLoop(Poller poller, std::shared_ptr<Waker> waker, chan::Receiver<Command> commands,
              Flag stop)
        : poller_(std::move(poller)),
          waker_(std::move(waker)),
          commands_(std::move(commands)),
          stop_(std::move(stop)) {}

    std::optional<Poller> poller_;
    std::shared_ptr<Waker> waker_;
    chan::Receiver<Command> commands_;
    Flag stop_;
    std::array<Poller::Event, kMaxEvents> events_{};
};

// Starts `worker->run()` on a thread named `name` owned by `handle`. The worker object is
// released on its own thread as soon as run() returns, so its socket and queues go with the
// worker and not with whoever drops the thread's closure last.
template <class Worker>
CameraResult<void> spawn_loop_worker(ThreadHandle& handle, std::string name,
                                     std::shared_ptr<Worker> worker) {
    return spawn_worker(handle, std::move(name), [worker = std::move(worker)]() mutable {
        worker->run();
        worker.reset();
    });
}

}  // namespace corvisk::gige
