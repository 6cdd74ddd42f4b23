// Action commands, the frame trigger and the clock of the simulated camera (and the TTL of its
// multicast stream packets).
//
// The unit owns the action registers (the device key, a group key and mask per action signal),
// the trigger registers (TriggerMode, TriggerSource, TriggerSoftware), the PTP registers and the
// scheduled actions waiting for their device time. It answers ACTION_CMD: an action whose
// device key, group key and group mask match one of its signals fires that signal, now or at
// the scheduled device time; a fired signal that is the trigger source of an acquiring camera
// in trigger mode queues one frame trigger stamped with the time it fired.
//
// Not thread-safe: the GvcpDevice calls every member with its own lock held.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "time.hpp"

namespace corvisk::sim {

namespace actreg {
constexpr uint16_t kActionCmd = 0x0100;
constexpr uint16_t kActionAck = 0x0101;
constexpr uint8_t kFlagScheduled = 0x80;  // the command carries a 64-bit action time
constexpr uint16_t kActionLate = 0x8016;
constexpr uint16_t kOverflow = 0x8015;

constexpr uint32_t kActionSignalCount = 0x0908;  // bootstrap: number of action signals
constexpr uint32_t kActionDeviceKey = 0x090C;    // bootstrap: write-only device key
constexpr uint32_t kActionGroupKey = 0x9800;     // + kActionStride * signal
constexpr uint32_t kActionGroupMask = 0x9804;    // + kActionStride * signal
constexpr uint32_t kActionStride = 0x10;
constexpr uint32_t kSignals = 2;

// Capability bits (GVCP capability register) of actions and of the device clock.
constexpr uint32_t kCapAction = 0x00000040;
constexpr uint32_t kCapScheduledAction = 0x00020000;
constexpr uint32_t kCapIeee1588 = 0x00080000;

// Device feature registers of the trigger and the PTP state.
constexpr uint32_t kActionSelector = 0x10100;
constexpr uint32_t kTriggerSelector = 0x10104;
constexpr uint32_t kTriggerMode = 0x10108;
constexpr uint32_t kTriggerSource = 0x1010C;  // 0 Software, 1 Action1, 2 Action2
constexpr uint32_t kTriggerSoftware = 0x10110;
constexpr uint32_t kPtpEnable = 0x10114;
constexpr uint32_t kPtpStatus = 0x10118;  // read-only, computed
constexpr uint32_t kStreamTtl = 0x1011C;  // TTL of stream packets sent to a multicast group
constexpr uint32_t kEnd = 0x10120;

// PtpStatus values.
constexpr uint32_t kPtpDisabled = 0;
constexpr uint32_t kPtpListening = 1;
constexpr uint32_t kPtpSlave = 2;
}  // namespace actreg

class ActionUnit {
  public:
    // `ptp_synchronised`: the device clock follows the host's wall clock while PTP is enabled,
    // as if a grandmaster on the host's clock served the link (and PTP is on at power-up).
    explicit ActionUnit(bool ptp_synchronised);

    // True for every register address the unit owns.
    static bool owns(uint32_t addr);
    // Register access; the caller has checked alignment and, for writes, control privilege.
    // Each returns a GVCP status.
    uint16_t read(uint32_t addr, uint32_t& out) const;
    uint16_t write(uint32_t addr, uint32_t value, uint64_t device_now, bool acquiring);

    // The device timestamp at `now`: the free-running counter (`free_running`, ticks since
    // power-up or reset) unless the clock is PTP-synchronised to the host.
    uint64_t device_time(Instant now, uint64_t free_running) const;
    bool ptp_locked() const { return ptp_synchronised_ && ptp_enable_ != 0; }

    // Handles one ACTION_CMD payload. Returns the acknowledge status, or nothing when the
    // action is not addressed to this device (it stays silent then).
    std::optional<uint16_t> command(uint8_t flags, std::span<const uint8_t> payload,
                                    uint64_t device_now, bool acquiring);
    // Fires the scheduled actions that are due; returns the device time of the next one.
    std::optional<uint64_t> run_due(uint64_t device_now, bool acquiring);
    // The next frame trigger's device timestamp, oldest first.
    std::optional<uint64_t> take_trigger();
    bool trigger_mode() const { return trigger_mode_ != 0; }
    bool trigger_pending() const { return !triggers_.empty(); }
    uint32_t stream_ttl() const { return stream_ttl_; }
    // Acquisition stopped or control was lost: queued triggers and scheduled actions go.
    void reset_pending();

  private:
    void fire(uint32_t signal_mask, uint64_t stamp, bool acquiring);

    bool ptp_synchronised_;
    uint32_t device_key_ = 0;
    uint32_t group_key_[actreg::kSignals] = {};
    uint32_t group_mask_[actreg::kSignals] = {};
    uint32_t selector_ = 0;
    uint32_t trigger_mode_ = 0;
    uint32_t trigger_source_ = 0;
    uint32_t ptp_enable_ = 0;
    uint32_t stream_ttl_ = 1;
    std::multimap<uint64_t, uint32_t> scheduled_;  // device time -> signal mask
    std::deque<uint64_t> triggers_;
};

// The description with this unit's features (action, trigger and PTP control) added.
std::string with_action_features(std::string xml);

}  // namespace corvisk::sim
