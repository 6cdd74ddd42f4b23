// GVSP (GigE Vision Streaming Protocol) datagrams as the stream receiver reads them: header and
// image-leader parsing, payload-type classification, sizing rules, frame-id distance, and the
// PixelFormat vocabulary. Stateless: one datagram in, parsed values out; views borrow the
// datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvisk::gvsp {

enum Format : uint8_t {
    kLeader = 1,
    kTrailer = 2,
    kPayload = 3,
    kAllIn = 4,
    // 5..8: H.264, multi-zone, multi-part, GenDC; 0 and > 8 invalid. All unsupported.
};

// The formats a frame of the receiver's can start with.
constexpr bool is_known_format(uint8_t format) {
    return format >= kLeader && format <= kAllIn;
}

constexpr size_t kStandardHeaderSize = 8;
constexpr size_t kExtendedHeaderSize = 20;
// IP + UDP + GVSP header bytes per packet.
constexpr uint64_t kStandardOverhead = 36;
constexpr uint64_t kExtendedOverhead = 48;

struct GvspHeader {
    uint16_t status = 0;
    uint64_t block_id = 0;
    uint8_t format = 0;  // byte 4 with bit 7 cleared
    uint32_t packet_id = 0;
    bool extended_id = false;
    std::span<const uint8_t> payload;  // everything after the header

    bool is_error() const { return (status & 0x8000) != 0; }
};

// False when the datagram is too short for its header (8 bytes, or 20 with extended ids).
bool parse_header(std::span<const uint8_t> datagram, GvspHeader& out);

// Handling index (format - 1) for formats 1..8; nothing for unknown formats.
std::optional<uint8_t> handling_index(uint8_t format);

struct LeaderInfo {
    uint16_t payload_type = 0;  // flag bits 14 (extended chunk) and 15 cleared
    uint64_t timestamp = 0;
    uint32_t pixel_format = 0;
    uint32_t size_x = 0;
    uint32_t size_y = 0;
    uint32_t offset_x = 0;
    uint32_t offset_y = 0;
    uint16_t padding_x = 0;
    uint16_t padding_y = 0;
    bool has_chunks = false;
};

// An image leader payload: nothing when shorter than 12 bytes; fields the payload does not
// reach read as 0.
std::optional<LeaderInfo> parse_leader(std::span<const uint8_t> payload);

// Masked payload types the receiver accepts: 1 (image), 4 (chunk data), 5 (extended chunk).
constexpr bool is_supported_payload_type(uint16_t masked) {
    return masked == 1 || masked == 4 || masked == 5;
}

enum class PayloadKind : uint8_t { Image, ChunkData, Other };
struct PayloadClass {
    PayloadKind kind = PayloadKind::Other;
    uint16_t raw = 0;  // the masked type (0 without a leader)
};
PayloadClass classify_payload(const std::optional<LeaderInfo>& leader);

// Error statuses after which no more resends are requested for the frame.
constexpr bool stops_resend(uint16_t status) {
    return status == 0x800C || status == 0x8011 || status == 0x8012;
}

// Packets of a frame started by a leader or payload packet: ceil(payload / per_packet) + 2.
constexpr uint64_t packet_count_for(uint64_t payload_size, uint64_t per_packet) {
    return (payload_size + per_packet - 1) / per_packet + 2;
}

// Signed distance from the last started block id to `id` (1 = the next frame). Standard ids
// use their low 16 bits, go the shortest way round the 16-bit ring and skip block id 0 on the
// 0xFFFF -> 1 wrap; extended ids are compared as signed 64-bit values.
int64_t frame_id_distance(uint64_t last, uint64_t id, bool extended);

// A 32-bit GigE Vision pixel format code.
struct PixelFormat {
    uint32_t code = 0;

    static constexpr uint32_t kMono8 = 0x01080001;
    static constexpr uint32_t kMono10 = 0x01100003;
    static constexpr uint32_t kMono12 = 0x01100005;
    static constexpr uint32_t kMono16 = 0x01100007;
    static constexpr uint32_t kBayerRG8 = 0x01080009;
    static constexpr uint32_t kBayerGB8 = 0x0108000A;
    static constexpr uint32_t kYUV422_8 = 0x02100032;
    static constexpr uint32_t kRGB8 = 0x02180014;
    static constexpr uint32_t kBGR8 = 0x02180015;

    // The known name, else "0x" and eight lower-case hex digits.
    std::string name() const;
    constexpr uint32_t bits_per_pixel() const { return (code >> 16) & 0xFF; }
};

}  // namespace corvisk::gvsp
