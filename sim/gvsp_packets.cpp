// Device-side GVSP encoding and test patterns.
#include "gvsp_packets.hpp"

#include "pixel_pattern.hpp"

#include "bytes.hpp"

namespace corvisk::sim {

size_t encode_gvsp_header(uint8_t* out, uint16_t status, uint64_t block_id, uint8_t format,
                          uint32_t packet_id, bool extended) {
    store_be16(out, status);
    if (!extended) {
        store_be16(out + 2, static_cast<uint16_t>(block_id));
        store_be32(out + 4, (packet_id & 0xFFFFFF) | (uint32_t{format & 0x0Fu} << 24));
        return gvsp::kStandardHeader;
    }
    store_be16(out + 2, 0);                                         // flags
    store_be32(out + 4, uint32_t{0x80u | (format & 0x0Fu)} << 24);  // EI, format, reserved
    store_be64(out + 8, block_id);
    store_be32(out + 16, packet_id);
    return gvsp::kExtendedHeader;
}

size_t encode_image_leader(uint8_t* out, const ImageInfo& info) {
    store_be16(out, 0);  // field id / count, reserved
    store_be16(out + 2, info.payload_type);
    store_be64(out + 4, info.timestamp);
    store_be32(out + 12, info.pixel_format);
    store_be32(out + 16, info.width);
    store_be32(out + 20, info.height);
    store_be32(out + 24, info.offset_x);
    store_be32(out + 28, info.offset_y);
    store_be16(out + 32, info.padding_x);
    store_be16(out + 34, info.padding_y);
    return gvsp::kImageLeaderSize;
}

size_t encode_image_trailer(uint8_t* out, uint16_t payload_type, uint32_t height) {
    store_be16(out, 0);
    store_be16(out + 2, payload_type);
    store_be32(out + 4, height);
    return gvsp::kImageTrailerSize;
}

PacketGeometry PacketGeometry::make(uint32_t packet_size, bool extended, size_t payload_bytes) {
    PacketGeometry g;
    g.packet_size = packet_size;
    g.extended = extended;
    g.header = extended ? gvsp::kExtendedHeader : gvsp::kStandardHeader;
    size_t overhead = gvsp::kIpUdpOverhead + g.header;
    g.data_per_packet = packet_size > overhead ? packet_size - overhead : 0;
    if (g.data_per_packet > 0) {
        g.packet_count =
            static_cast<uint32_t>((payload_bytes + g.data_per_packet - 1) / g.data_per_packet) + 2;
    }
    return g;
}

uint64_t next_block_id(uint64_t current, bool extended) {
    if (extended) {
        return current + 1 == 0 ? 1 : current + 1;
    }
    uint64_t id = current & 0xFFFF;
    return id >= 0xFFFF ? 1 : id + 1;
}

size_t image_bytes(uint32_t width, uint32_t height, uint32_t pixel_format) {
    size_t bits = (pixel_format >> 16) & 0xFF;
    return (size_t{width} * height * bits + 7) / 8;  // packed formats may end mid-byte
}

std::vector<uint8_t> expected_pattern(uint64_t block_id, uint32_t width, uint32_t height,
                                      uint32_t pixel_format, Pattern pattern) {
    if (pattern == Pattern::ChannelRamps) {
        return channel_ramps(width, height, 0, 0, pixel_format);
    }
    size_t size = image_bytes(width, height, pixel_format);
    size_t line = height ? size / height : 0;
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) {
        uint8_t v = 0;
        switch (pattern) {
            case Pattern::Black:
                v = 0;
                break;
            case Pattern::White:
                v = 0xFF;
                break;
            case Pattern::GreyHorizontalRamp:
                v = static_cast<uint8_t>(i % line);
                break;
            case Pattern::GreyVerticalRamp:
                v = static_cast<uint8_t>(i / line);
                break;
            case Pattern::GreyDiagonalRampMoving:
                v = static_cast<uint8_t>(i + block_id);
                break;
            case Pattern::ChannelRamps:  // made whole above
                break;
            case Pattern::FrameCounter:
                v = static_cast<uint8_t>(block_id >> (8 * (7 - i % 8)));
                break;
        }
        out[i] = v;
    }
    return out;
}

}  // namespace corvisk::sim
