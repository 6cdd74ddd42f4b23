// Frame buffer pool: fixed payload buffers that cycle worker -> frame -> consumers -> pool,
// allocated once per stream and never in steady state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "queue.hpp"
#include "time.hpp"

namespace corvisk::gige {

// Resend state of one expected packet of a frame in progress. Fresh: nothing set.
struct PacketSlot {
    std::optional<Instant> next_request_at;  // set when first seen missing
    bool received = false;
    bool requested = false;
};

// The unit the pool hands out. `packets` keeps its capacity across frames; `data` has the
// stream's payload size, is zero-filled once at pool creation and never cleared between frames.
struct BufSlot {
    std::vector<PacketSlot> packets;
    std::vector<uint8_t> data;
};

using PoolSender = chan::Sender<BufSlot>;
using PoolReceiver = chan::Receiver<BufSlot>;

// The two ends of a pool: the worker takes free slots from `free` and hands `home` clones to
// the frames it builds. Once `free` is gone, returned slots are simply freed.
struct FramePool {
    PoolSender home;
    PoolReceiver free;

    // n_buffers zero-filled buffers of payload_size bytes, each with room for packets_hint
    // packet slots. Io(ENOMEM) when the memory cannot be had (a hostile payload size must not
    // abort the process).
    static CameraResult<FramePool> create(uint64_t n_buffers, uint64_t payload_size,
                                          uint64_t packets_hint);
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
