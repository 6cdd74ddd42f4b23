// The camera's busy slot: keeps one capture activity, or one connect/disconnect, on a camera at
// a time. Pure C++ (no Python objects), so tokens may be released without the GIL.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace corvisk::py {

// The label of the activity holding the camera ("an acquisition", "a connect", ...), or null.
// Shared (shared_ptr) by the Camera and every token taken from it. Thread-safe.
struct BusySlot {
    std::mutex mu;
    const char* label = nullptr;  // static text
};

// A claim on a BusySlot; releasing it (explicitly or on destruction) empties the slot.
// Move-only.
class BusyToken {
  public:
    BusyToken() = default;
    BusyToken(BusyToken&& other) noexcept : slot_(std::move(other.slot_)) {}
    BusyToken& operator=(BusyToken&& other) noexcept {
        if (this != &other) {
            release();
            slot_ = std::move(other.slot_);
        }
        return *this;
    }
    BusyToken(const BusyToken&) = delete;
    BusyToken& operator=(const BusyToken&) = delete;
    ~BusyToken() { release(); }

    // Stores `label` and returns a token when the slot is empty; otherwise returns an empty
    // token and sets *holder to the label of the activity in progress.
    static BusyToken claim(const std::shared_ptr<BusySlot>& slot, const char* label,
                           const char** holder) {
        std::lock_guard lock(slot->mu);
        if (slot->label != nullptr) {
            *holder = slot->label;
            return BusyToken();
        }
        slot->label = label;
        return BusyToken(slot);
    }

    bool is_held() const { return slot_ != nullptr; }

    void release() {
        if (slot_) {
            {
                std::lock_guard lock(slot_->mu);
                slot_->label = nullptr;
            }
            slot_.reset();
        }
    }

  private:
    explicit BusyToken(std::shared_ptr<BusySlot> slot) : slot_(std::move(slot)) {}

    std::shared_ptr<BusySlot> slot_;
};

}  // namespace corvisk::py
