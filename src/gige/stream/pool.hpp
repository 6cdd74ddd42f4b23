// Frame buffer pool: fixed payload buffers that cycle worker -> frame -> consumers -> pool,
// allocated once per stream and never in steady state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "gige/stream/config.hpp"
#include "queue.hpp"
#include "time.hpp"

namespace corvisk::gige {

// Resend state of one expected packet of a frame in progress. Fresh: nothing set.
struct PacketSlot {
    std::optional<Instant> next_request_at;  // set when first seen missing
    bool received = false;
    bool requested = false;
};

// The payload bytes of one pooled buffer. Zero when allocated, without the allocation writing
// them: large buffers are mapped straight from the system, whose fresh pages read as zero and
// cost memory only once written, so the part of a buffer no frame ever fills costs nothing.
// With `prefault` the system maps (and zeroes) every page of a large buffer at once instead;
// with `huge` a buffer of a huge page or more is aligned to huge pages and asks for them.
// Move-only; frees on destruction.
class PayloadBuffer {
  public:
    PayloadBuffer() = default;
    // Nothing when the memory cannot be had.
    static std::optional<PayloadBuffer> allocate(uint64_t size, bool prefault = false,
                                                 bool huge = false);
    PayloadBuffer(PayloadBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mapped_(other.mapped_) {}
    PayloadBuffer& operator=(PayloadBuffer&& other) noexcept;
    PayloadBuffer(const PayloadBuffer&) = delete;
    PayloadBuffer& operator=(const PayloadBuffer&) = delete;
    ~PayloadBuffer() { reset(); }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint8_t& operator[](size_t i) { return data_[i]; }
    const uint8_t* begin() const { return data_; }
    const uint8_t* end() const { return data_ + size_; }
    operator std::span<const uint8_t>() const { return {data_, size_}; }

  private:
    void reset();

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
};

// The unit the pool hands out. `packets` keeps its capacity across frames; `data` has the
// stream's payload size, reads as zero when the pool is created and is never cleared between
// frames.
struct BufSlot {
    std::vector<PacketSlot> packets;
    PayloadBuffer data;
};

// Memory a stream's frame pool may take unless its configuration says otherwise: a quarter of
// the host's physical memory.
uint64_t default_pool_memory_limit();

// Refuses a pool of n_buffers × payload_size bytes above `limit` (0: the default limit) at once,
// with an error naming the figures, before anything is allocated or sent.
CameraResult<void> check_pool_memory(uint64_t n_buffers, uint64_t payload_size, uint64_t limit);

using PoolSender = chan::Sender<BufSlot>;
using PoolReceiver = chan::Receiver<BufSlot>;

// The two ends of a pool: the worker takes free slots from `free` and hands `home` clones to
// the frames it builds. Once `free` is gone, returned slots are simply freed.
struct FramePool {
    PoolSender home;
    PoolReceiver free;
    PoolOptions options;

    // n_buffers zero-filled buffers of payload_size bytes, each with room for packets_hint
    // packet slots. Io(ENOMEM) when the memory cannot be had (a hostile payload size must not
    // abort the process).
    static CameraResult<FramePool> create(uint64_t n_buffers, uint64_t payload_size,
                                          uint64_t packets_hint, PoolOptions options = {});

    // A free slot, in the order the options ask for (the one returned last first, by default).
    chan::RecvResult take(BufSlot& out) {
        return options.newest_first ? free.try_recv_newest(out) : free.try_recv(out);
    }
};

// Owns one slot until released; releasing queues it back on its pool without blocking, or
// frees it when the pool's receiving end is gone. Move-only; thread-safe to release from any
// thread (the pool queue is).
class PooledBuf {
  public:
    PooledBuf() = default;
    PooledBuf(BufSlot slot, PoolSender home) : slot_(std::move(slot)), home_(std::move(home)) {}
    PooledBuf(PooledBuf&& other) noexcept
        : slot_(std::exchange(other.slot_, std::nullopt)), home_(std::move(other.home_)) {}
    PooledBuf& operator=(PooledBuf&& other) noexcept;
    PooledBuf(const PooledBuf&) = delete;
    PooledBuf& operator=(const PooledBuf&) = delete;
    ~PooledBuf() { release(); }

    // The whole buffer (payload_size bytes), or empty once released.
    std::span<const uint8_t> bytes() const;
    bool has_slot() const { return slot_.has_value(); }
    // Gives the slot back (idempotent). Never blocks, never fails visibly.
    void release();

  private:
    std::optional<BufSlot> slot_;
    PoolSender home_;
};

}  // namespace corvisk::gige
