// FORCEIP: gives the device with a given MAC address a new IP address, subnet mask and default
// gateway until its next power-up. Sent by broadcast, since the device may not be reachable at
// its current address; pure encoding and decoding, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "gige/proto/gvcp.hpp"

namespace corvisk::gvcp {

constexpr uint16_t kForceIpCmd = 0x0004;
constexpr uint16_t kForceIpAck = 0x0005;
constexpr size_t kForceIpPayloadSize = 56;
// Flag asking the device to broadcast its acknowledge: after the change the device may sit on
// a subnet our adapter does not route to.
constexpr uint8_t kBroadcastAckFlag = 0x10;

struct ForceIp {
    std::array<uint8_t, 6> mac{};
    std::array<uint8_t, 4> ip{};  // 0.0.0.0 asks the device to restart its address cycle
    std::array<uint8_t, 4> subnet_mask{};
    std::array<uint8_t, 4> gateway{};
};

// The 64-byte command: header with flags 0x11 (acknowledge, broadcast acknowledge), then
// reserved(2) MAC(6) reserved(12) ip(4) reserved(12) mask(4) reserved(12) gateway(4).
std::vector<uint8_t> encode_force_ip(const ForceIp& request, uint16_t req_id);
// Decodes a command (the simulator and tests read it back); nothing when malformed.
std::optional<ForceIp> decode_force_ip(std::span<const uint8_t> datagram);

// The acknowledge matching req_id: its status, or nothing for any other datagram.
std::optional<GvcpStatus> force_ip_ack_status(std::span<const uint8_t> datagram, uint16_t req_id);

}  // namespace corvisk::gvcp
