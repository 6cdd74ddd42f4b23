// GVCP (GigE Vision Control Protocol) vocabulary: status codes, command codes, and the codec
// for every command the library sends and every acknowledge it accepts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "gvcp_status.hpp"

namespace corvisk::gvcp {

constexpr uint16_t kGvcpPort = 3956;
constexpr uint8_t kCommandKey = 0x42;
constexpr uint8_t kFlagAckRequired = 0x01;
constexpr uint8_t kFlagCommandSpecific = 0x10;
constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxMemoryChunk = 512;

// Command and acknowledge codes.
enum Code : uint16_t {
    kDiscoveryCmd = 0x0002,
    kDiscoveryAck = 0x0003,
    kPacketResendCmd = 0x0040,
    kReadRegCmd = 0x0080,
    kReadRegAck = 0x0081,
    kWriteRegCmd = 0x0082,
    kWriteRegAck = 0x0083,
    kReadMemCmd = 0x0084,
    kReadMemAck = 0x0085,
    kWriteMemCmd = 0x0086,
    kWriteMemAck = 0x0087,
    kPendingAck = 0x0089,
    kEventCmd = 0x00C0,
    kEventAck = 0x00C1,
    kEventDataCmd = 0x00C2,
    kEventDataAck = 0x00C3,
};

// The parsed 8-byte header of an acknowledge. `payload` borrows the datagram and holds exactly
// `length` bytes (trailing bytes beyond the stated length are not part of it).
struct AckHeader {
    GvcpStatus status;
    uint16_t ack_code = 0;
    uint16_t length = 0;
    uint16_t ack_id = 0;
    std::span<const uint8_t> payload;
};

// The parsed 8-byte header of a command (host-bound events, or device-side parsing).
struct CommandHeader {
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t length = 0;
    uint16_t req_id = 0;
    std::span<const uint8_t> payload;
};

// A datagram is a command when its first byte is the 0x42 key, else an acknowledge.
inline bool is_command(std::span<const uint8_t> datagram) {
    return !datagram.empty() && datagram[0] == kCommandKey;
}

// Validates and parses an acknowledge: at least 8 bytes and length field <= size - 8.
bool parse_ack(std::span<const uint8_t> datagram, AckHeader& out);
// Same validity rule for a command (first byte must be 0x42).
bool parse_command(std::span<const uint8_t> datagram, CommandHeader& out);

// Request-id rule: 1, 2, ..., 0xFFFE, 1, ... (0 and 0xFFFF are never used).
constexpr uint16_t next_request_id(uint16_t last) {
    return last < 0xFFFE ? static_cast<uint16_t>(last + 1) : uint16_t{1};
}

std::vector<uint8_t> encode_read_reg(std::span<const uint32_t> addresses, uint16_t req_id);
std::vector<uint8_t> encode_write_reg(std::span<const std::pair<uint32_t, uint32_t>> pairs,
                                      uint16_t req_id);
// READMEM of `count` bytes (the caller rounds it up to a multiple of 4, at most 512).
std::vector<uint8_t> encode_read_mem(uint32_t address, uint32_t count, uint16_t req_id);
// WRITEMEM of `data` (at most 512 bytes; the caller keeps address and length 4-byte aligned).
std::vector<uint8_t> encode_write_mem(uint32_t address, std::span<const uint8_t> data,
                                      uint16_t req_id);
// The 8-byte acknowledge of an inbound EVENT/EVENTDATA command.
std::array<uint8_t, 8> encode_event_ack(uint16_t command, uint16_t req_id);
// The fixed 8-byte discovery beacon.
std::array<uint8_t, 8> discovery_command();

constexpr size_t kPacketResendStandardSize = 20;
constexpr size_t kPacketResendExtendedSize = 28;
// PACKETRESEND into buf (>= 20 bytes standard, >= 28 extended); returns the bytes written, or 0
// (nothing written) when buf is too short for the form.
size_t encode_packet_resend(std::span<uint8_t> buf, uint64_t block_id, uint32_t first,
                            uint32_t last, bool extended, uint16_t req_id);

// READREG_ACK: every complete 32-bit value of the payload, in order (one per address asked).
std::vector<uint32_t> decode_read_reg_ack(std::span<const uint8_t> payload);

// READMEM_ACK: the echoed address, then the data (borrowing the datagram).
struct ReadMemAck {
    uint32_t address = 0;
    std::span<const uint8_t> data;
};
// None when the payload is too short for the address echo.
std::optional<ReadMemAck> decode_read_mem_ack(std::span<const uint8_t> payload);

// PENDING_ACK: the extra time in milliseconds the device asks for; none when the acknowledge is
// not a PENDING_ACK or carries no time.
std::optional<uint32_t> decode_pending_ack(const AckHeader& ack);

// A device event (EVENT_CMD / EVENTDATA_CMD). Only the first event of a payload is decoded.
struct GvcpEvent {
    uint16_t command = 0;         // 0x00C0 or 0x00C2
    uint16_t event_id = 0;        // payload bytes 2..3
    uint16_t stream_channel = 0;  // bytes 4..5
    uint16_t block_id = 0;        // bytes 6..7
    uint64_t timestamp = 0;       // bytes 8..15
    std::vector<uint8_t> data;    // everything after byte 16
    std::vector<uint8_t> raw;     // the whole payload

    // Never fails: fields the payload is too short for are 0 (data empty).
    static GvcpEvent parse(uint16_t command, std::span<const uint8_t> payload);
};

// Number of bytes a READMEM asks for when `remaining` bytes are still wanted.
constexpr uint32_t read_mem_count(uint64_t remaining) {
    uint64_t rounded = (remaining + 3) / 4 * 4;
    return static_cast<uint32_t>(rounded < kMaxMemoryChunk ? rounded : kMaxMemoryChunk);
}

}  // namespace corvisk::gvcp
