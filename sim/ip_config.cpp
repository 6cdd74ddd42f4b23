// IP configuration of the simulated camera: FORCEIP (a new address, mask and gateway for the
// device with a given MAC, sent by broadcast because the device may sit on another subnet) and
// the network-interface configuration register with its DHCP / link-local / persistent bits.
#include <utility>

#include "bytes.hpp"
#include "gvcp_device.hpp"
#include "registers.hpp"

namespace corvisk::sim {
namespace {

constexpr size_t kForceIpPayload = 56;
constexpr uint8_t kBroadcastAckFlag = 0x10;
constexpr uint32_t kLinkLocalBit = 0x4;
constexpr uint32_t kConfigBits = 0x7;  // link-local, DHCP, persistent

std::vector<uint8_t> force_ip_ack(uint16_t status, uint16_t req_id) {
    std::vector<uint8_t> out(8);
    store_be16(out.data(), status);
    store_be16(out.data() + 2, reg::kForceIpCmd + 1);
    store_be16(out.data() + 6, req_id);
    return out;
}

}  // namespace

std::vector<uint8_t> GvcpDevice::force_ip(const Command& cmd) {
    if (cmd.payload.size() < kForceIpPayload) {
        return force_ip_ack(reg::kInvalidParameter, cmd.req_id);
    }
    const uint8_t* p = cmd.payload.data();
    if (load_be16(p + 2) != (word(reg::kMacHigh) & 0xFFFF) ||
        load_be32(p + 4) != word(reg::kMacLow)) {
        return {};  // for another device: stay silent
    }
    const uint32_t ip = load_be32(p + 20);
    if (ip == 0) {
        // Restart of the address cycle: the simulated device keeps its current address.
        return force_ip_ack(reg::kSuccess, cmd.req_id);
    }
    AddressChange change{ip, load_be32(p + 36), load_be32(p + 52),
                         (cmd.flags & kBroadcastAckFlag) != 0};
    set_word(reg::kCurrentIp, change.ip);
    set_word(reg::kCurrentSubnet, change.subnet_mask);
    set_word(reg::kCurrentGateway, change.gateway);
    // A new address ends every session bound to the old one.
    if (controller_) {
        release_control();
    }
    address_change_ = change;
    return force_ip_ack(reg::kSuccess, cmd.req_id);
}

std::optional<GvcpDevice::AddressChange> GvcpDevice::take_address_change() {
    std::lock_guard lock(mutex_);
    return std::exchange(address_change_, std::nullopt);
}

uint16_t GvcpDevice::write_ip_config(uint32_t value, Word& word_ref) {
    // Only the supported procedures can be enabled; link-local is always on.
    word_ref.value = (value & word(reg::kIpConfigSupported) & kConfigBits) | kLinkLocalBit;
    return reg::kSuccess;
}

}  // namespace corvisk::sim
