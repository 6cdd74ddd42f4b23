// Device-side GVSP encoding (headers, image leader and trailer, packet geometry) and the
// deterministic test patterns the camera streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim_config.hpp"

namespace corvisk::sim {

namespace gvsp {
constexpr uint8_t kLeader = 1;
constexpr uint8_t kTrailer = 2;
constexpr uint8_t kPayload = 3;
constexpr uint8_t kAllIn = 4;
constexpr uint16_t kImagePayload = 0x0001;
constexpr size_t kStandardHeader = 8;
constexpr size_t kExtendedHeader = 20;
constexpr size_t kIpUdpOverhead = 28;
constexpr size_t kImageLeaderSize = 36;
constexpr size_t kImageTrailerSize = 8;
constexpr size_t kMaxHeaderBytes = kExtendedHeader + kImageLeaderSize + kImageTrailerSize;
}  // namespace gvsp

// Writes a GVSP header at out (8 bytes standard, 20 extended) and returns its size. Standard
// headers keep the low 16 bits of the block id and the low 24 bits of the packet id.
size_t encode_gvsp_header(uint8_t* out, uint16_t status, uint64_t block_id, uint8_t format,
                          uint32_t packet_id, bool extended);

// The image leader's 36-byte payload.
struct ImageInfo {
    uint16_t payload_type = gvsp::kImagePayload;
    uint64_t timestamp = 0;
    uint32_t pixel_format = 0;
    uint32_t width = 0, height = 0, offset_x = 0, offset_y = 0;
    uint16_t padding_x = 0, padding_y = 0;
};
size_t encode_image_leader(uint8_t* out, const ImageInfo& info);
// The image trailer's 8-byte payload: reserved, payload type, size_y.
size_t encode_image_trailer(uint8_t* out, uint16_t payload_type, uint32_t height);

// How a frame is cut into packets for one stream channel's packet size (IP + UDP + GVSP).
struct PacketGeometry {
    uint32_t packet_size = 0;
    bool extended = false;
    size_t header = 0;
    size_t data_per_packet = 0;  // 0 = the packet size cannot carry data
    uint32_t packet_count = 0;   // leader + payload packets + trailer
    static PacketGeometry make(uint32_t packet_size, bool extended, size_t payload_bytes);
};

// The block id after `current`: standard ids run 1..0xFFFF and wrap to 1 (0 is never used);
// extended ids run through 64 bits, skipping 0 as well.
uint64_t next_block_id(uint64_t current, bool extended);

// Bytes of one image: width × height × bits per pixel / 8, rounded up.
size_t image_bytes(uint32_t width, uint32_t height, uint32_t pixel_format);

// The image the camera sends as block `block_id`, byte for byte. With R = bytes per line, byte i
// of the payload (line y = i / R, byte x = i % R) is: Black 0x00; White 0xFF; GreyHorizontalRamp
// x mod 256; GreyVerticalRamp y mod 256; GreyDiagonalRampMoving (i + block_id) mod 256;
// FrameCounter byte i mod 8 of the big-endian 64-bit block id; ChannelRamps as pixel_pattern.hpp
// says, with offsets 0.
std::vector<uint8_t> expected_pattern(uint64_t block_id, uint32_t width, uint32_t height,
                                      uint32_t pixel_format, Pattern pattern);

}  // namespace corvisk::sim
