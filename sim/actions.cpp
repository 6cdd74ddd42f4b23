// Action commands, the frame trigger and the clock of the simulated camera.
#include "actions.hpp"

#include <fmt/format.h>

#include "bytes.hpp"

namespace corvisk::sim {

namespace {

constexpr size_t kMaxScheduled = 128;  // beyond this the device reports an overflow
constexpr size_t kMaxTriggers = 64;    // triggers the stream side has not taken yet

constexpr uint16_t kSuccess = 0x0000;
constexpr uint16_t kInvalidParameter = 0x8002;
constexpr uint16_t kAccessDenied = 0x8006;
constexpr uint16_t kInvalidAddress = 0x8003;

uint32_t signal_of(uint32_t addr) {
    return (addr - actreg::kActionGroupKey) / actreg::kActionStride;
}

bool is_group_reg(uint32_t addr) {
    if (addr < actreg::kActionGroupKey ||
        addr >= actreg::kActionGroupKey + actreg::kActionStride * actreg::kSignals) {
        return false;
    }
    uint32_t offset = (addr - actreg::kActionGroupKey) % actreg::kActionStride;
    return offset == 0 || offset == 4;
}

}  // namespace

ActionUnit::ActionUnit(bool ptp_synchronised)
    : ptp_synchronised_(ptp_synchronised), ptp_enable_(ptp_synchronised ? 1 : 0) {}

bool ActionUnit::owns(uint32_t addr) {
    return addr == actreg::kActionSignalCount || addr == actreg::kActionDeviceKey ||
           is_group_reg(addr) || (addr >= actreg::kActionSelector && addr < actreg::kEnd);
}

uint16_t ActionUnit::read(uint32_t addr, uint32_t& out) const {
    if (is_group_reg(addr)) {
        uint32_t n = signal_of(addr);
        out = addr % actreg::kActionStride == 0 ? group_key_[n] : group_mask_[n];
        return kSuccess;
    }
    switch (addr) {
        case actreg::kActionSignalCount:
            out = actreg::kSignals;
            return kSuccess;
        case actreg::kActionDeviceKey:
        case actreg::kTriggerSoftware:
            return kAccessDenied;  // write-only
        case actreg::kActionSelector:
            out = selector_;
            return kSuccess;
        case actreg::kTriggerSelector:
            out = 0;  // FrameStart, the only trigger
            return kSuccess;
        case actreg::kTriggerMode:
            out = trigger_mode_;
            return kSuccess;
        case actreg::kTriggerSource:
            out = trigger_source_;
            return kSuccess;
        case actreg::kPtpEnable:
            out = ptp_enable_;
            return kSuccess;
        case actreg::kStreamTtl:
            out = stream_ttl_;
            return kSuccess;
        case actreg::kPtpStatus:
            out = ptp_enable_ == 0 ? actreg::kPtpDisabled
                  : ptp_locked()   ? actreg::kPtpSlave
                                   : actreg::kPtpListening;
            return kSuccess;
        default:
            return kInvalidAddress;
    }
}

uint16_t ActionUnit::write(uint32_t addr, uint32_t value, uint64_t device_now, bool acquiring) {
    if (is_group_reg(addr)) {
        uint32_t n = signal_of(addr);
        (addr % actreg::kActionStride == 0 ? group_key_[n] : group_mask_[n]) = value;
        return kSuccess;
    }
    auto bounded = [&](uint32_t& field, uint32_t max) {
        if (value > max) {
            return kInvalidParameter;
        }
        field = value;
        return kSuccess;
    };
    switch (addr) {
        case actreg::kActionDeviceKey:
            device_key_ = value;
            return kSuccess;
        case actreg::kActionSelector:
            return bounded(selector_, actreg::kSignals - 1);
        case actreg::kTriggerSelector:
            return value == 0 ? kSuccess : kInvalidParameter;
        case actreg::kTriggerMode:
            return bounded(trigger_mode_, 1);
        case actreg::kTriggerSource:
            return bounded(trigger_source_, actreg::kSignals);
        case actreg::kTriggerSoftware:
            if (value == 1 && trigger_source_ == 0 && trigger_mode_ != 0 && acquiring &&
                triggers_.size() < kMaxTriggers) {
                triggers_.push_back(device_now);
            }
            return kSuccess;
        case actreg::kPtpEnable:
            return bounded(ptp_enable_, 1);
        case actreg::kStreamTtl:
            return value == 0 ? kInvalidParameter : bounded(stream_ttl_, 255);
        default:
            return 0x8004;  // write protect: the signal count and PtpStatus are read-only
    }
}

uint64_t ActionUnit::device_time(Instant now, uint64_t free_running) const {
    if (!ptp_locked()) {
        return free_running;
    }
    auto wall = std::chrono::system_clock::now() + (now - Clock::now());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch());
    return ns.count() > 0 ? static_cast<uint64_t>(ns.count()) : 0;
}

std::optional<uint16_t> ActionUnit::command(uint8_t flags, std::span<const uint8_t> payload,
                                            uint64_t device_now, bool acquiring) {
    ByteReader r(payload);
    uint32_t device_key = 0, group_key = 0, group_mask = 0;
    uint64_t action_time = 0;
    r.read_u32(device_key);
    r.read_u32(group_key);
    r.read_u32(group_mask);
    bool scheduled = (flags & actreg::kFlagScheduled) != 0;
    if (scheduled) {
        r.read_u64(action_time);
    }
    if (!r.ok()) {
        return kInvalidParameter;
    }
    if (device_key != device_key_) {
        return std::nullopt;
    }
    uint32_t signals = 0;
    for (uint32_t n = 0; n < actreg::kSignals; ++n) {
        if (group_key == group_key_[n] && (group_mask & group_mask_[n]) != 0) {
            signals |= 1u << n;
        }
    }
    if (signals == 0) {
        return std::nullopt;  // meant for another group: not ours to answer
    }
    if (!scheduled) {
        fire(signals, device_now, acquiring);
        return kSuccess;
    }
    if (action_time <= device_now) {
        // Too late to wait for: the action runs at once and the sender learns it was late.
        fire(signals, device_now, acquiring);
        return actreg::kActionLate;
    }
    if (scheduled_.size() >= kMaxScheduled) {
        return actreg::kOverflow;
    }
    scheduled_.emplace(action_time, signals);
    return kSuccess;
}

std::optional<uint64_t> ActionUnit::run_due(uint64_t device_now, bool acquiring) {
    while (!scheduled_.empty() && scheduled_.begin()->first <= device_now) {
        // A triggered sensor starts its exposure at the scheduled time itself, however late
        // the software around it wakes up: the frame carries that time.
        fire(scheduled_.begin()->second, scheduled_.begin()->first, acquiring);
        scheduled_.erase(scheduled_.begin());
    }
    if (scheduled_.empty()) {
        return std::nullopt;
    }
    return scheduled_.begin()->first;
}

void ActionUnit::fire(uint32_t signal_mask, uint64_t stamp, bool acquiring) {
    // TriggerSource n (Action1, Action2 ...) follows action signal n - 1.
    bool ours = trigger_source_ > 0 && (signal_mask & (1u << (trigger_source_ - 1))) != 0;
    if (ours && trigger_mode_ != 0 && acquiring && triggers_.size() < kMaxTriggers) {
        triggers_.push_back(stamp);
    }
}

std::optional<uint64_t> ActionUnit::take_trigger() {
    if (triggers_.empty()) {
        return std::nullopt;
    }
    uint64_t t = triggers_.front();
    triggers_.pop_front();
    return t;
}

void ActionUnit::reset_pending() {
    scheduled_.clear();
    triggers_.clear();
}

}  // namespace corvisk::sim

namespace corvisk::sim {

namespace {

std::string int_reg(const char* name, uint32_t addr, const char* access, const char* extra = "") {
    return fmt::format(
        "    <IntReg Name=\"{}\">\n      <Address>0x{:X}</Address>\n      <Length>4</Length>\n"
        "      <AccessMode>{}</AccessMode>\n      <pPort>Device</pPort>\n"
        "      <Cachable>NoCache</Cachable>\n{}      <Sign>Unsigned</Sign>\n"
        "      <Endianess>BigEndian</Endianess>\n    </IntReg>\n",
        name, addr, access, extra);
}

std::string entries(std::initializer_list<const char*> names) {
    std::string out;
    uint32_t value = 0;
    for (const char* n : names) {
        out += fmt::format(
            "      <EnumEntry Name=\"{}\" NameSpace=\"Standard\">\n        <Value>{}</Value>\n"
            "      </EnumEntry>\n",
            n, value++);
    }
    return out;
}

constexpr char kCategories[] = R"XML(
  <Category Name="ActionControl" NameSpace="Standard">
    <pFeature>ActionDeviceKey</pFeature>
    <pFeature>ActionSelector</pFeature>
    <pFeature>ActionGroupKey</pFeature>
    <pFeature>ActionGroupMask</pFeature>
    <pFeature>GevActionDeviceKey</pFeature>
  </Category>
  <Category Name="TriggerControl" NameSpace="Custom">
    <pFeature>TriggerSelector</pFeature>
    <pFeature>TriggerMode</pFeature>
    <pFeature>TriggerSource</pFeature>
    <pFeature>TriggerSoftware</pFeature>
  </Category>
  <Category Name="PtpControl" NameSpace="Standard">
    <pFeature>PtpEnable</pFeature>
    <pFeature>PtpStatus</pFeature>
    <pFeature>GevIEEE1588</pFeature>
    <pFeature>GevIEEE1588Status</pFeature>
  </Category>
  <Integer Name="ActionDeviceKey" NameSpace="Standard">
    <pValue>ActionDeviceKeyReg</pValue>
  </Integer>
  <Integer Name="GevActionDeviceKey" NameSpace="Standard">
    <pValue>ActionDeviceKeyReg</pValue>
  </Integer>
  <Integer Name="ActionSelector" NameSpace="Standard">
    <pValue>ActionSelectorReg</pValue>
    <Min>0</Min>
    <Max>1</Max>
    <pSelected>ActionGroupKey</pSelected>
    <pSelected>ActionGroupMask</pSelected>
  </Integer>
  <Integer Name="ActionGroupKey" NameSpace="Standard">
    <pValue>ActionGroupKeyReg</pValue>
  </Integer>
  <Integer Name="ActionGroupMask" NameSpace="Standard">
    <pValue>ActionGroupMaskReg</pValue>
  </Integer>
  <Enumeration Name="TriggerSelector" NameSpace="Standard">
    <EnumEntry Name="FrameStart" NameSpace="Standard">
      <Value>0</Value>
    </EnumEntry>
    <pValue>TriggerSelectorReg</pValue>
    <pSelected>TriggerMode</pSelected>
    <pSelected>TriggerSource</pSelected>
    <pSelected>TriggerSoftware</pSelected>
  </Enumeration>
  <Enumeration Name="TriggerMode" NameSpace="Standard">
{mode}    <pValue>TriggerModeReg</pValue>
  </Enumeration>
  <Enumeration Name="TriggerSource" NameSpace="Standard">
{source}    <pValue>TriggerSourceReg</pValue>
  </Enumeration>
  <Command Name="TriggerSoftware" NameSpace="Standard">
    <pValue>TriggerSoftwareReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <Boolean Name="PtpEnable" NameSpace="Standard">
    <pValue>PtpEnableReg</pValue>
  </Boolean>
  <Boolean Name="GevIEEE1588" NameSpace="Standard">
    <pValue>PtpEnableReg</pValue>
  </Boolean>
  <Enumeration Name="PtpStatus" NameSpace="Standard">
{ptp}    <pValue>PtpStatusReg</pValue>
  </Enumeration>
  <Integer Name="StreamChannelMulticastTTL" NameSpace="Custom">
    <ToolTip>Time to live of stream packets sent to a multicast group</ToolTip>
    <pValue>StreamChannelMulticastTTLReg</pValue>
    <Min>1</Min>
    <Max>255</Max>
  </Integer>
  <Enumeration Name="GevIEEE1588Status" NameSpace="Standard">
{ptp}    <pValue>PtpStatusReg</pValue>
  </Enumeration>
)XML";

}  // namespace

std::string with_action_features(std::string xml) {
    std::string nodes = fmt::format(kCategories, fmt::arg("mode", entries({"Off", "On"})),
                                    fmt::arg("source", entries({"Software", "Action1", "Action2"})),
                                    fmt::arg("ptp", entries({"Disabled", "Listening", "Slave"})));
    const std::string index =
        fmt::format("      <pIndex Offset=\"{}\">ActionSelector</pIndex>\n", actreg::kActionStride);
    nodes += int_reg("ActionDeviceKeyReg", actreg::kActionDeviceKey, "WO");
    nodes += int_reg("ActionSelectorReg", actreg::kActionSelector, "RW");
    nodes += int_reg("ActionGroupKeyReg", actreg::kActionGroupKey, "RW", index.c_str());
    nodes += int_reg("ActionGroupMaskReg", actreg::kActionGroupMask, "RW", index.c_str());
    nodes += int_reg("TriggerSelectorReg", actreg::kTriggerSelector, "RW");
    nodes += int_reg("TriggerModeReg", actreg::kTriggerMode, "RW");
    nodes += int_reg("TriggerSourceReg", actreg::kTriggerSource, "RW");
    nodes += int_reg("TriggerSoftwareReg", actreg::kTriggerSoftware, "WO");
    nodes += int_reg("PtpEnableReg", actreg::kPtpEnable, "RW");
    nodes += int_reg("PtpStatusReg", actreg::kPtpStatus, "RO");
    nodes += int_reg("StreamChannelMulticastTTLReg", actreg::kStreamTtl, "RW");
    const std::string end = "</RegisterDescription>";
    xml.insert(xml.rfind(end), nodes);
    const std::string root = "    <pFeature>TransportLayerControl</pFeature>\n";
    xml.insert(xml.find(root) + root.size(),
               "    <pFeature>ActionControl</pFeature>\n    <pFeature>TriggerControl</pFeature>\n"
               "    <pFeature>PtpControl</pFeature>\n");
    return xml;
}

}  // namespace corvisk::sim
