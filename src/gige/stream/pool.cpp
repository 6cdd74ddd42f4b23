// Frame buffer pool and the return-on-release buffer lease.
#include "gige/stream/pool.hpp"

#include <cerrno>
#include <new>

namespace corvisk::gige {

CameraResult<FramePool> FramePool::create(uint64_t n_buffers, uint64_t payload_size,
                                          uint64_t packets_hint) {
    auto [home, free] = chan::bounded<BufSlot>(n_buffers);
    try {
        for (uint64_t i = 0; i < n_buffers; ++i) {
            BufSlot slot;
            slot.data.resize(payload_size);
            slot.packets.reserve(packets_hint);
            // Cannot be refused: the capacity equals the number of slots.
            [[maybe_unused]] auto r = home.try_send(std::move(slot));
        }
    } catch (const std::bad_alloc&) {
        return Err{CameraError::io(ENOMEM)};
    } catch (const std::length_error&) {
        return Err{CameraError::io(ENOMEM)};
    }
    return FramePool{std::move(home), std::move(free)};
}

PooledBuf& PooledBuf::operator=(PooledBuf&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::exchange(other.slot_, std::nullopt);
        home_ = std::move(other.home_);
    }
    return *this;
}

std::span<const uint8_t> PooledBuf::bytes() const {
    if (!slot_) {
        return {};
    }
    return slot_->data;
}

void PooledBuf::release() {
    if (!slot_) {
        return;
    }
    BufSlot slot = std::move(*slot_);
    slot_.reset();
    // Full cannot happen while the slot count equals the capacity; Disconnected means the
    // stream is gone. Either way the slot is destroyed here, freeing its memory.
    [[maybe_unused]] auto r = home_.try_send(std::move(slot));
    home_ = PoolSender();
}

}  // namespace corvisk::gige
