// ControlPort: the thread-safe, cheaply copyable front door to one camera's control worker. It is
// also the blocking, byte-addressed PortIo through which the feature model reaches the device.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error.hpp"
#include "gige/runner.hpp"
#include "gige/wire.hpp"
#include "handle.hpp"
#include "interrupt.hpp"
#include "poller.hpp"
#include "port_io.hpp"
#include "queue.hpp"
#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::gige {

// The flags and waker of the control worker, without ownership: copies never join the thread.
struct WorkerRef {
    Flag alive;
    Flag stop;
    std::shared_ptr<Waker> waker;

    static WorkerRef of(const ThreadHandle& worker);
    bool is_alive() const { return alive->load(std::memory_order_acquire); }
    void wake() const;
};

// Thread-safe; copy freely (a copy shares the channel, the flags and the waker). The
// asynchronous operations never block: they post one message, wake the worker, and return a
// handle the caller waits on for as long as it chooses. Requests are executed in posting order.
//
// The PortIo operations that fit one datagram go straight onto the wire from the caller's thread
// when it is idle (see gige/wire.hpp), others and those on a busy wire through the worker's queue;
// either way they block for at most request_timeout per transaction (scaled by the number of
// 512-byte chunks for memory transfers). Aligned 4-byte accesses use the register commands, other
// aligned ranges the memory commands. A range whose address or length is not a multiple of 4 is
// carried out on the aligned words enclosing it (the wire only moves whole words): a read returns
// the requested bytes of them, a write reads them, patches the bytes and writes them back, which is
// not atomic on the device (see write_unaligned).
class ControlPort final : public PortIo {
  public:
    // Without a wire every request goes through the worker's queue.
    ControlPort(chan::Sender<ToWorker> sender, WorkerRef worker, Duration request_timeout,
                std::shared_ptr<Wire> wire = nullptr)
        : sender_(std::move(sender)),
          worker_(std::move(worker)),
          request_timeout_(request_timeout),
          wire_(std::move(wire)) {}

    ResponseHandle<uint32_t> read_register(uint32_t address) const;
    // Values in the order of `addresses`.
    ResponseHandle<std::vector<uint32_t>> read_registers(std::vector<uint32_t> addresses) const;
    ResponseHandle<void> write_register(uint32_t address, uint32_t value) const;
    // Exactly `length` bytes on success. The address must be 4-byte aligned; the length need not.
    ResponseHandle<Bytes> read_memory(uint32_t address, uint32_t length) const;
    // Address and length must both be 4-byte aligned.
    ResponseHandle<void> write_memory(uint32_t address, Bytes data) const;
    // Device events are offered to `sender` (without blocking) until it disconnects.
    void subscribe_events(chan::Sender<GvcpEvent> sender) const;
    // Asks the worker to end (outstanding requests fail with NotConnected, CCP is released).
    void shutdown() const;

    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override;
    CameraResult<void> write(uint64_t address, std::span<const uint8_t> data) override;

    // How long one blocking caller waits for one transaction.
    Duration request_timeout() const { return request_timeout_; }
    bool is_alive() const { return worker_.is_alive(); }
    const WorkerRef& worker() const { return worker_; }

  private:
    template <class T>
    void post(ToWorker msg, const ResponseHandle<T>& handle) const;
    // A blocking request: direct when the wire is idle, queued otherwise.
    template <class T>
    CameraResult<T> call(ToWorker msg, const ResponseHandle<T>& handle, Duration timeout) const;
    // The aligned words enclosing [address, address + length), read from the device, with the
    // offset of `address` in them.
    struct Words {
        uint32_t begin = 0;
        uint32_t offset = 0;
        Bytes bytes;
    };
    CameraResult<Words> enclosing_words(uint32_t address, size_t length);
    CameraResult<void> read_unaligned(uint32_t address, std::span<uint8_t> buffer);
    CameraResult<void> write_unaligned(uint32_t address, std::span<const uint8_t> data);
    // request_timeout for each started 512-byte chunk of a `length`-byte transfer.
    Duration memory_wait(size_t length) const;

    mutable chan::Sender<ToWorker> sender_;  // try_send is logically const
    WorkerRef worker_;
    Duration request_timeout_;
    std::shared_ptr<Wire> wire_;
};

// Waits for a request's result for at most `timeout`. When the wait expires, the handle is
// settled with AckTimeout before returning, so a request still queued in the worker is dropped
// instead of being sent after its caller was told it failed (a result that arrived meanwhile
// wins and is returned).
// On a thread with an interrupt check (interrupt.hpp) the wait is sliced, and an interruption
// settles the handle the same way with the interrupted error.
template <class T>
CameraResult<T> wait_or_cancel(const ResponseHandle<T>& handle, Duration timeout) {
    const Instant deadline = deadline_after(timeout);
    for (;;) {
        const Instant until = interrupt_slice_end(deadline);
        auto result = handle.wait_until(until);
        if (result.ok() || handle.is_filled()) {
            return unshare(std::move(result));
        }
        const bool expired = Clock::now() >= deadline;
        if (expired || interrupt_requested()) {
            handle.fail(expired ? CameraError::ack_timeout() : interrupted_error());
            return unshare(handle.get());
        }
    }
}

}  // namespace corvisk::gige
