// DeviceInfo decoding from a DISCOVERY_ACK or the identity registers, and the lossy UTF-8
// decoding of the fixed-width string fields devices fill in.
#include "gige/proto/bootstrap.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "bytes.hpp"
#include "utf8.hpp"

namespace corvisk::bootstrap {
namespace {

std::array<uint8_t, 4> octets(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

}  // namespace

std::string string_reg(std::span<const uint8_t> payload, size_t offset, size_t width) {
    if (offset > payload.size()) {
        return {};
    }
    auto field = payload.subspan(offset, std::min(width, payload.size() - offset));
    auto zero = std::find(field.begin(), field.end(), uint8_t{0});
    field = field.first(static_cast<size_t>(zero - field.begin()));
    return utf8_lossy(field);
}

std::optional<DeviceInfo> DeviceInfo::parse(std::span<const uint8_t> payload) {
    if (payload.size() < kDiscoveryRecordSize) {
        return std::nullopt;
    }
    ByteReader r(payload.first(kDiscoveryRecordSize));
    DeviceInfo info;
    uint32_t version = 0;
    uint32_t ip = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    std::span<const uint8_t> mac;
    r.read_u32(version);
    r.read_u32(info.device_mode);
    r.skip(2);
    r.read_span(6, mac);
    r.read_u32(info.ip_config_supported);
    r.read_u32(info.ip_config_current);
    r.skip(12);
    r.read_u32(ip);
    r.skip(12);
    r.read_u32(mask);
    r.skip(12);
    r.read_u32(gateway);
    if (!r.ok()) {
        return std::nullopt;  // unreachable: the record size covers every field
    }
    info.spec_major = static_cast<uint16_t>(version >> 16);
    info.spec_minor = static_cast<uint16_t>(version);
    std::copy(mac.begin(), mac.end(), info.mac.begin());
    info.ip = octets(ip);
    info.subnet_mask = octets(mask);
    info.gateway = octets(gateway);
    // In the discovery record every string sits at its bootstrap register address.
    std::string* strings[] = {&info.manufacturer,      &info.model,  &info.device_version,
                              &info.manufacturer_info, &info.serial, &info.user_defined_name};
    for (size_t i = 0; i < kStringFields.size(); ++i) {
        *strings[i] = string_reg(payload, kStringFields[i].address, kStringFields[i].width);
    }
    return info;
}

DeviceInfo DeviceInfo::from_registers(std::span<const uint32_t, 9> regs,
                                      std::span<const std::string, 6> strings) {
    DeviceInfo info;
    info.spec_major = static_cast<uint16_t>(regs[0] >> 16);
    info.spec_minor = static_cast<uint16_t>(regs[0]);
    info.device_mode = regs[1];
    info.mac = {static_cast<uint8_t>(regs[2] >> 8),  static_cast<uint8_t>(regs[2]),
                static_cast<uint8_t>(regs[3] >> 24), static_cast<uint8_t>(regs[3] >> 16),
                static_cast<uint8_t>(regs[3] >> 8),  static_cast<uint8_t>(regs[3])};
    info.ip_config_supported = regs[4];
    info.ip_config_current = regs[5];
    info.ip = octets(regs[6]);
    info.subnet_mask = octets(regs[7]);
    info.gateway = octets(regs[8]);
    info.manufacturer = strings[0];
    info.model = strings[1];
    info.device_version = strings[2];
    info.manufacturer_info = strings[3];
    info.serial = strings[4];
    info.user_defined_name = strings[5];
    return info;
}

uint64_t DeviceInfo::mac_u64() const {
    uint64_t v = 0;
    for (uint8_t b : mac) {
        v = (v << 8) | b;
    }
    return v;
}

std::string format_ip(const std::array<uint8_t, 4>& ip) {
    return fmt::format("{}.{}.{}.{}", ip[0], ip[1], ip[2], ip[3]);
}

std::string format_mac(const std::array<uint8_t, 6>& mac) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", mac[0], mac[1], mac[2], mac[3],
                       mac[4], mac[5]);
}

}  // namespace corvisk::bootstrap
