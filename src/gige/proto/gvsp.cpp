// GVSP header and image-leader parsing, payload classification, frame-id distance and pixel
// format names.
#include "gige/proto/gvsp.hpp"

#include <fmt/format.h>

#include "bytes.hpp"

namespace corvisk::gvsp {
namespace {

constexpr uint8_t kExtendedIdFlag = 0x80;
constexpr uint16_t kExtendedChunkFlag = 0x4000;
// The payload type proper is the low 14 bits; the two above are flags a device may set (the
// extended-chunk flag, and a device-specific one that some cameras raise on every frame).
constexpr uint16_t kPayloadTypeMask = 0x3FFF;
constexpr size_t kMinLeaderPayload = 12;

// Reads one trailing leader field if the payload reaches its end; false (and `out` left at 0)
// otherwise. Fields sit at fixed offsets, so once one is missing every later one is too.
bool read_optional(ByteReader& r, uint16_t& out) {
    return r.remaining() >= sizeof(out) && r.read_u16(out);
}
bool read_optional(ByteReader& r, uint32_t& out) {
    return r.remaining() >= sizeof(out) && r.read_u32(out);
}

}  // namespace

bool parse_header(std::span<const uint8_t> datagram, GvspHeader& out) {
    ByteReader r(datagram);
    GvspHeader h;
    uint16_t short_id = 0;
    uint8_t format_byte = 0;
    std::span<const uint8_t> packet_id24;
    r.read_u16(h.status);
    r.read_u16(short_id);
    r.read_u8(format_byte);
    r.read_span(3, packet_id24);
    if (!r.ok()) {
        return false;
    }
    h.format = format_byte & 0x7F;
    h.extended_id = (format_byte & kExtendedIdFlag) != 0;
    if (h.extended_id) {
        r.read_u64(h.block_id);
        r.read_u32(h.packet_id);
        if (!r.ok()) {
            return false;
        }
    } else {
        h.block_id = short_id;
        h.packet_id = (uint32_t{packet_id24[0]} << 16) | (uint32_t{packet_id24[1]} << 8) |
                      uint32_t{packet_id24[2]};
    }
    h.payload = r.read_rest();
    out = h;
    return true;
}

std::optional<uint8_t> handling_index(uint8_t format) {
    if (format >= 1 && format <= 8) {
        return static_cast<uint8_t>(format - 1);
    }
    return std::nullopt;
}

std::optional<LeaderInfo> parse_leader(std::span<const uint8_t> payload) {
    if (payload.size() < kMinLeaderPayload) {
        return std::nullopt;
    }
    ByteReader r(payload);
    LeaderInfo info;
    uint16_t raw_type = 0;
    r.skip(2);  // reserved / field info
    r.read_u16(raw_type);
    r.read_u64(info.timestamp);
    static_cast<void>(read_optional(r, info.pixel_format) && read_optional(r, info.size_x) &&
                      read_optional(r, info.size_y) && read_optional(r, info.offset_x) &&
                      read_optional(r, info.offset_y) && read_optional(r, info.padding_x) &&
                      read_optional(r, info.padding_y));
    info.payload_type = raw_type & kPayloadTypeMask;
    info.has_chunks =
        info.payload_type == 4 || info.payload_type == 5 || (raw_type & kExtendedChunkFlag) != 0;
    return info;
}

PayloadClass classify_payload(const std::optional<LeaderInfo>& leader) {
    if (!leader) {
        return {PayloadKind::Other, 0};
    }
    const uint16_t t = leader->payload_type;
    if (t == 1 || t == 5) {
        return {PayloadKind::Image, t};
    }
    if (t == 4) {
        return {PayloadKind::ChunkData, t};
    }
    return {PayloadKind::Other, t};
}

int64_t frame_id_distance(uint64_t last, uint64_t id, bool extended) {
    if (extended) {
        // Unsigned arithmetic wraps instead of overflowing; the result is read back as signed.
        uint64_t d = id - last;
        if (static_cast<int64_t>(id) > 0 && static_cast<int64_t>(last) < 0) {
            d -= 1;
        }
        return static_cast<int64_t>(d);
    }
    // Standard ids are 16-bit and the device skips 0 when it wraps from 0xFFFF to 1. Take the
    // shortest way round the 16-bit ring, so that crossing 0x7FFF -> 0x8000 is one step like
    // any other, then drop the skipped 0 when that way passes through the wrap.
    const auto from = static_cast<uint16_t>(last);
    const auto to = static_cast<uint16_t>(id);
    int64_t d = static_cast<int16_t>(static_cast<uint16_t>(to - from));
    if (d > 0 && to < from && to != 0) {
        d -= 1;
    } else if (d < 0 && to > from && from != 0) {
        d += 1;
    }
    return d;
}

std::string PixelFormat::name() const {
    switch (code) {
        case kMono8:
            return "Mono8";
        case kMono10:
            return "Mono10";
        case kMono12:
            return "Mono12";
        case kMono16:
            return "Mono16";
        case kBayerRG8:
            return "BayerRG8";
        case kBayerGB8:
            return "BayerGB8";
        case kYUV422_8:
            return "YUV422_8";
        case kRGB8:
            return "RGB8";
        case kBGR8:
            return "BGR8";
        default:
            return fmt::format("{:#010x}", code);
    }
}

}  // namespace corvisk::gvsp
