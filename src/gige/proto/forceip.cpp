// FORCEIP command and acknowledge.
#include "gige/proto/forceip.hpp"

#include <algorithm>

namespace corvisk::gvcp {
namespace {

constexpr size_t kMacOffset = 2;
constexpr size_t kIpOffset = 20;
constexpr size_t kMaskOffset = 36;
constexpr size_t kGatewayOffset = 52;

template <size_t N>
void put(std::vector<uint8_t>& out, size_t payload_offset, const std::array<uint8_t, N>& v) {
    std::copy(v.begin(), v.end(), out.begin() + static_cast<ptrdiff_t>(8 + payload_offset));
}

template <size_t N>
std::array<uint8_t, N> get(std::span<const uint8_t> payload, size_t offset) {
    std::array<uint8_t, N> v{};
    std::copy_n(payload.begin() + static_cast<ptrdiff_t>(offset), N, v.begin());
    return v;
}

}  // namespace

std::vector<uint8_t> encode_force_ip(const ForceIp& request, uint16_t req_id) {
    std::vector<uint8_t> out(8 + kForceIpPayloadSize, 0);
    out[0] = 0x42;
    out[1] = 0x01 | kBroadcastAckFlag;
    out[2] = static_cast<uint8_t>(kForceIpCmd >> 8);
    out[3] = static_cast<uint8_t>(kForceIpCmd);
    out[4] = static_cast<uint8_t>(kForceIpPayloadSize >> 8);
    out[5] = static_cast<uint8_t>(kForceIpPayloadSize);
    out[6] = static_cast<uint8_t>(req_id >> 8);
    out[7] = static_cast<uint8_t>(req_id);
    put(out, kMacOffset, request.mac);
    put(out, kIpOffset, request.ip);
    put(out, kMaskOffset, request.subnet_mask);
    put(out, kGatewayOffset, request.gateway);
    return out;
}

std::optional<ForceIp> decode_force_ip(std::span<const uint8_t> datagram) {
    if (datagram.size() < 8 || datagram[0] != 0x42) {
        return std::nullopt;
    }
    const uint16_t code = static_cast<uint16_t>((datagram[2] << 8) | datagram[3]);
    const size_t length = static_cast<size_t>((datagram[4] << 8) | datagram[5]);
    if (code != kForceIpCmd || length < kForceIpPayloadSize || length > datagram.size() - 8) {
        return std::nullopt;
    }
    const auto payload = datagram.subspan(8, length);
    return ForceIp{get<6>(payload, kMacOffset), get<4>(payload, kIpOffset),
                   get<4>(payload, kMaskOffset), get<4>(payload, kGatewayOffset)};
}

std::optional<GvcpStatus> force_ip_ack_status(std::span<const uint8_t> datagram, uint16_t req_id) {
    AckHeader ack;
    if (!parse_ack(datagram, ack) || ack.ack_code != kForceIpAck || ack.ack_id != req_id) {
        return std::nullopt;
    }
    return ack.status;
}

}  // namespace corvisk::gvcp
