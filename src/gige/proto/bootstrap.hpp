// The GigE Vision bootstrap register map as the control side uses it, and DeviceInfo: the
// identity and addressing of one device, from a DISCOVERY_ACK or from registers read at connect.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvisk::bootstrap {

constexpr uint32_t kVersion = 0x0000;
constexpr uint32_t kDeviceMode = 0x0004;
constexpr uint32_t kMacHigh = 0x0008;
constexpr uint32_t kMacLow = 0x000C;
constexpr uint32_t kIpConfigSupported = 0x0010;
constexpr uint32_t kIpConfigCurrent = 0x0014;
constexpr uint32_t kCurrentIp = 0x0024;
constexpr uint32_t kCurrentSubnet = 0x0034;
constexpr uint32_t kCurrentGateway = 0x0044;
constexpr uint32_t kManufacturerName = 0x0048;  // 32 bytes
constexpr uint32_t kModelName = 0x0068;         // 32 bytes
constexpr uint32_t kDeviceVersion = 0x0088;     // 32 bytes
constexpr uint32_t kManufacturerInfo = 0x00A8;  // 48 bytes
constexpr uint32_t kSerialNumber = 0x00D8;      // 16 bytes
constexpr uint32_t kUserDefinedName = 0x00E8;   // 16 bytes
constexpr uint32_t kFirstUrl = 0x0200;          // 512 bytes
constexpr uint32_t kSecondUrl = 0x0400;         // 512 bytes
constexpr uint32_t kGvcpCapability = 0x0934;
constexpr uint32_t kHeartbeatTimeout = 0x0938;
constexpr uint32_t kTimestampFreqHigh = 0x093C;
constexpr uint32_t kTimestampFreqLow = 0x0940;
constexpr uint32_t kCcp = 0x0A00;
// Stream channel registers of channel 0; channel n adds n * 0x40.
constexpr uint32_t kScp = 0x0D00;
constexpr uint32_t kScps = 0x0D04;
constexpr uint32_t kScpd = 0x0D08;
constexpr uint32_t kScda = 0x0D18;
constexpr uint32_t kStreamChannelStride = 0x40;

// Persistent IP configuration, applied at the device's next power-up when the persistent bit of
// the IP configuration register (kIpConfigCurrent) is set.
constexpr uint32_t kPersistentIp = 0x064C;
constexpr uint32_t kPersistentSubnet = 0x065C;
constexpr uint32_t kPersistentGateway = 0x066C;
// Bits of kIpConfigSupported (what the device can do) and kIpConfigCurrent (what is enabled).
constexpr uint32_t kIpConfigPersistent = 0x1;
constexpr uint32_t kIpConfigDhcp = 0x2;
constexpr uint32_t kIpConfigLinkLocal = 0x4;

constexpr uint32_t kCcpExclusive = 0x1;
constexpr uint32_t kCcpControl = 0x2;
constexpr uint32_t kCapabilityPacketResend = 0x00000004;
constexpr uint32_t kCapabilityConcatenation = 0x00000001;  // several addresses per READREG/WRITEREG

// The nine identity registers, read in this order with one READREG at connect.
constexpr std::array<uint32_t, 9> kIdentityRegisters = {
    kVersion,         kDeviceMode, kMacHigh,       kMacLow,        kIpConfigSupported,
    kIpConfigCurrent, kCurrentIp,  kCurrentSubnet, kCurrentGateway};

struct StringField {
    uint32_t address;
    uint32_t width;
};
// The six string fields, in the order they are read at connect.
constexpr std::array<StringField, 6> kStringFields = {{{kManufacturerName, 32},
                                                       {kModelName, 32},
                                                       {kDeviceVersion, 32},
                                                       {kManufacturerInfo, 48},
                                                       {kSerialNumber, 16},
                                                       {kUserDefinedName, 16}}};

constexpr size_t kDiscoveryRecordSize = 248;

// Identity and addressing of a device. A plain value; copies are independent.
struct DeviceInfo {
    std::string manufacturer;
    std::string model;
    std::string device_version;
    std::string manufacturer_info;
    std::string serial;
    std::string user_defined_name;
    uint16_t spec_major = 0;
    uint16_t spec_minor = 0;
    uint32_t device_mode = 0;
    uint32_t ip_config_supported = 0;
    uint32_t ip_config_current = 0;
    std::array<uint8_t, 4> ip{};  // network order: ip[0] is the first octet
    std::array<uint8_t, 4> subnet_mask{};
    std::array<uint8_t, 4> gateway{};
    std::array<uint8_t, 6> mac{};  // most significant byte first

    // Decodes a DISCOVERY_ACK payload; nothing when it is shorter than 248 bytes.
    static std::optional<DeviceInfo> parse(std::span<const uint8_t> payload);

    // Builds the record from the nine identity register values (kIdentityRegisters order) and
    // the six strings (kStringFields order).
    static DeviceInfo from_registers(std::span<const uint32_t, 9> regs,
                                     std::span<const std::string, 6> strings);

    // 48-bit MAC as a number (for de-duplication).
    uint64_t mac_u64() const;
};

// Bytes [offset, offset+width) up to the first zero byte, decoded as UTF-8 with each invalid
// sequence replaced by U+FFFD. Never fails; a range reaching past the payload is clipped to it.
std::string string_reg(std::span<const uint8_t> payload, size_t offset, size_t width);

// "192.168.1.10" and "00:1a:2b:3c:4d:5e".
std::string format_ip(const std::array<uint8_t, 4>& ip);
std::string format_mac(const std::array<uint8_t, 6>& mac);

}  // namespace corvisk::bootstrap
