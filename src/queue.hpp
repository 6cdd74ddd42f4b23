// Multi-producer, multi-consumer FIFO channel: bounded, unbounded, or capacity 0 (hand-over).
//
// Every queue in the library (worker commands, subscriber frame queues, the free-buffer pool)
// is one of these. Senders and receivers are cheap, copyable handles; the channel disconnects
// when every sender or every receiver is gone:
//   - with no receivers left, sends fail with Disconnected (the item stays with the caller);
//   - with no senders left, receivers first drain what is queued, then see Disconnected.
// Capacity 0 is a hand-over: a non-blocking send succeeds only when a receiver is blocked in a
// receive at that moment and no other item is already on its way to it.
//
// Thread-safe: any handle may be used from any thread. Every handle shares the channel (the
// words thread-safe, owns, borrows and shares are defined in docs/threading.md).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "time.hpp"

namespace corvisk::chan {

enum class SendResult { Ok, Full, Disconnected };
enum class RecvResult { Item, Empty, Timeout, Disconnected };

using corvisk::Clock;

namespace detail {

template <class T>
struct Core {
    explicit Core(std::optional<size_t> cap) : capacity(cap) {}

    bool has_room() const {
        if (!capacity) {
            return true;
        }
        if (*capacity == 0) {
            return items.size() < waiting_receivers;
        }
        return items.size() < *capacity;
    }

    std::mutex mu;
    std::condition_variable not_empty;  // receivers wait here
    std::condition_variable not_full;   // blocking senders wait here
    std::deque<T> items;
    const std::optional<size_t> capacity;  // nullopt = unbounded
    size_t senders = 1;
    size_t receivers = 1;
    size_t waiting_receivers = 0;
};

}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender {
  public:
    Sender() = default;
    Sender(const Sender& o) : core_(o.core_) { add_ref(); }
    Sender(Sender&& o) noexcept : core_(std::move(o.core_)) {}
    Sender& operator=(const Sender& o) {
        if (this != &o) {
            drop();
            core_ = o.core_;
            add_ref();
        }
        return *this;
    }
    Sender& operator=(Sender&& o) noexcept {
        if (this != &o) {
            drop();
            core_ = std::move(o.core_);
        }
        return *this;
    }
    ~Sender() { drop(); }

    bool valid() const { return core_ != nullptr; }

    // Never blocks. On Ok the item has been moved into the queue; otherwise it is untouched.
    SendResult try_send(T&& item) {
        if (!core_) {
            return SendResult::Disconnected;
        }
        std::unique_lock lock(core_->mu);
        if (core_->receivers == 0) {
            return SendResult::Disconnected;
        }
        if (!core_->has_room()) {
            return SendResult::Full;
        }
        core_->items.push_back(std::move(item));
        lock.unlock();
        core_->not_empty.notify_one();
        return SendResult::Ok;
    }

    // Blocks while the queue is full (never for an unbounded queue). Ok or Disconnected.
    SendResult send(T&& item) {
        if (!core_) {
            return SendResult::Disconnected;
        }
        std::unique_lock lock(core_->mu);
        core_->not_full.wait(lock, [&] { return core_->receivers == 0 || core_->has_room(); });
        if (core_->receivers == 0) {
            return SendResult::Disconnected;
        }
        core_->items.push_back(std::move(item));
        lock.unlock();
        core_->not_empty.notify_one();
        return SendResult::Ok;
    }

    bool is_disconnected() const {
        if (!core_) {
            return true;
        }
        std::lock_guard lock(core_->mu);
        return core_->receivers == 0;
    }

  private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<size_t>);
    explicit Sender(std::shared_ptr<detail::Core<T>> core) : core_(std::move(core)) {}

    void add_ref() {
        if (core_) {
            std::lock_guard lock(core_->mu);
            ++core_->senders;
        }
    }
    void drop() {
        if (!core_) {
            return;
        }
        bool last;
        {
            std::lock_guard lock(core_->mu);
            last = --core_->senders == 0;
        }
        if (last) {
            core_->not_empty.notify_all();
        }
        core_.reset();
    }

    std::shared_ptr<detail::Core<T>> core_;
};

template <class T>
class Receiver {
  public:
    Receiver() = default;
    Receiver(const Receiver& o) : core_(o.core_) { add_ref(); }
    Receiver(Receiver&& o) noexcept : core_(std::move(o.core_)) {}
    Receiver& operator=(const Receiver& o) {
        if (this != &o) {
            drop();
            core_ = o.core_;
            add_ref();
        }
        return *this;
    }
    Receiver& operator=(Receiver&& o) noexcept {
        if (this != &o) {
            drop();
            core_ = std::move(o.core_);
        }
        return *this;
    }
    ~Receiver() { drop(); }

    bool valid() const { return core_ != nullptr; }

    // Item (moved into out), Empty, or Disconnected (no senders and nothing queued).
    RecvResult try_recv(T& out) {
        if (!core_) {
            return RecvResult::Disconnected;
        }
        std::unique_lock lock(core_->mu);
        return take_locked(lock, out);
    }
    // Like try_recv, but takes the item queued last (a stack's order).
    RecvResult try_recv_newest(T& out) {
        if (!core_) {
            return RecvResult::Disconnected;
        }
        std::unique_lock lock(core_->mu);
        if (core_->items.empty()) {
            return core_->senders == 0 ? RecvResult::Disconnected : RecvResult::Empty;
        }
        out = std::move(core_->items.back());
        core_->items.pop_back();
        lock.unlock();
        core_->not_full.notify_one();
        return RecvResult::Item;
    }
    std::optional<T> try_recv() {
        T out;
        if (try_recv(out) == RecvResult::Item) {
            return std::optional<T>(std::move(out));
        }
        return std::nullopt;
    }

    // Blocks until an item arrives, the deadline passes (Timeout) or the channel disconnects.
    RecvResult recv_deadline(T& out, Clock::time_point deadline) {
        if (!core_) {
            return RecvResult::Disconnected;
        }
        std::unique_lock lock(core_->mu);
        if (core_->items.empty() && core_->senders > 0) {
            ++core_->waiting_receivers;
            if (core_->capacity && *core_->capacity == 0) {
                core_->not_full.notify_all();  // a hand-over sender may now proceed
            }
            core_->not_empty.wait_until(
                lock, deadline, [&] { return !core_->items.empty() || core_->senders == 0; });
            --core_->waiting_receivers;
        }
        RecvResult r = take_locked(lock, out);
        return r == RecvResult::Empty ? RecvResult::Timeout : r;
    }
    RecvResult recv_timeout(T& out, Clock::duration timeout) {
        return recv_deadline(out, corvisk::deadline_after(timeout));
    }
    RecvResult recv(T& out) { return recv_deadline(out, Clock::time_point::max()); }

    // Moves every queued item into out, in order, without waiting. Returns how many.
    size_t drain(std::vector<T>& out) {
        if (!core_) {
            return 0;
        }
        std::unique_lock lock(core_->mu);
        size_t n = core_->items.size();
        for (T& item : core_->items) {
            out.push_back(std::move(item));
        }
        core_->items.clear();
        lock.unlock();
        core_->not_full.notify_all();
        return n;
    }
    // Discards every queued item. The items are destroyed outside the lock.
    void clear() {
        std::vector<T> dropped;
        drain(dropped);
    }

    size_t len() const {
        if (!core_) {
            return 0;
        }
        std::lock_guard lock(core_->mu);
        return core_->items.size();
    }
    bool is_disconnected() const {
        if (!core_) {
            return true;
        }
        std::lock_guard lock(core_->mu);
        return core_->senders == 0 && core_->items.empty();
    }

  private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::optional<size_t>);
    explicit Receiver(std::shared_ptr<detail::Core<T>> core) : core_(std::move(core)) {}

    RecvResult take_locked(std::unique_lock<std::mutex>& lock, T& out) {
        if (core_->items.empty()) {
            return core_->senders == 0 ? RecvResult::Disconnected : RecvResult::Empty;
        }
        out = std::move(core_->items.front());
        core_->items.pop_front();
        lock.unlock();
        core_->not_full.notify_one();
        return RecvResult::Item;
    }
    void add_ref() {
        if (core_) {
            std::lock_guard lock(core_->mu);
            ++core_->receivers;
        }
    }
    void drop() {
        if (!core_) {
            return;
        }
        bool last;
        std::deque<T> orphaned;
        {
            std::lock_guard lock(core_->mu);
            last = --core_->receivers == 0;
            if (last) {
                // Nobody can take these any more; release them now (outside the lock), so
                // pooled resources they hold go home promptly.
                orphaned.swap(core_->items);
            }
        }
        if (last) {
            core_->not_full.notify_all();
        }
        core_.reset();
    }

    std::shared_ptr<detail::Core<T>> core_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::optional<size_t> capacity) {
    auto core = std::make_shared<detail::Core<T>>(capacity);
    return {Sender<T>(core), Receiver<T>(core)};
}

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(size_t capacity) {
    return make_channel<T>(capacity);
}

template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
    return make_channel<T>(std::nullopt);
}

}  // namespace corvisk::chan
