// Chunk data of the simulated camera: ChunkModeActive / ChunkSelector / ChunkEnable, the chunk
// features of its description, and the chunks appended to each frame's image (which becomes
// the first chunk) while chunk mode is active.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace corvisk::sim {

namespace chunks {
constexpr uint32_t kImageId = 0x00000001;
constexpr uint32_t kTimestampId = 0x10000001;
constexpr uint32_t kExposureTimeId = 0x10000002;
constexpr uint32_t kFrameIdId = 0x10000003;
constexpr uint32_t kLineStatusAllId = 0x10000004;
constexpr uint32_t kGainId = 0x10000005;
// Feature registers.
constexpr uint32_t kChunkModeActive = 0x10420;
constexpr uint32_t kChunkSelector = 0x10424;
constexpr uint32_t kChunkEnable = 0x10428;
// What the chunks add to PayloadSize, in the low 16 bits, tagged 0xC0000000 when non-zero.
constexpr uint32_t kChunkPayloadBytes = 0x1042C;
}  // namespace chunks

// The XML of the chunk features (inserted into the simulated camera's description).
const char* chunks_xml();

// What one frame's chunks report.
struct ChunkValues {
    uint64_t timestamp = 0;
    double exposure_us = 0;
    uint64_t frame_id = 0;
    uint32_t line_status = 0;
    uint32_t gain_raw = 0;
};

// Thread-safe.
class SimChunks {
  public:
    // Register access (called with the device lock held): nothing when `addr` is not ours.
    std::optional<uint16_t> read(uint32_t addr, uint32_t& out) const;
    std::optional<uint16_t> write(uint32_t addr, uint32_t value);

    // The payload of a frame with `image` while chunk mode is active (the image as the first
    // chunk, then every enabled chunk); nothing while it is off.
    std::optional<std::vector<uint8_t>> payload(std::span<const uint8_t> image,
                                                const ChunkValues& values) const;

  private:
    static constexpr size_t kSelectors = 6;  // Image, Timestamp, ExposureTime, FrameID, ...
    uint32_t extra_bytes_locked() const;

    mutable std::mutex mu_;
    bool active_ = false;
    uint32_t selector_ = 0;
    std::array<bool, kSelectors> enabled_{true, true, true, true, true, true};
};

}  // namespace corvisk::sim
