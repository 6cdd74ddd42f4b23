// Chunk data of the simulated camera: registers, description fragment, payload layout.
#include "chunks.hpp"

#include <cstring>

#include "bytes.hpp"
#include "registers.hpp"

namespace corvisk::sim {
namespace {

// Data bytes of each selectable chunk, in selector order (the image has its own size).
constexpr std::array<uint32_t, 6> kDataBytes = {0, 8, 8, 8, 4, 4};
constexpr std::array<uint32_t, 6> kIds = {chunks::kImageId,         chunks::kTimestampId,
                                          chunks::kExposureTimeId,  chunks::kFrameIdId,
                                          chunks::kLineStatusAllId, chunks::kGainId};

void append_be(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int s = (bytes - 1) * 8; s >= 0; s -= 8) {
        out.push_back(static_cast<uint8_t>(v >> s));
    }
}

void append_chunk(std::vector<uint8_t>& out, size_t start, uint32_t id) {
    const auto length = static_cast<uint32_t>(out.size() - start);
    append_be(out, id, 4);
    append_be(out, length, 4);
}

}  // namespace

const char* chunks_xml() {
    return R"XML(
  <Category Name="ChunkDataControl" NameSpace="Standard">
    <pFeature>ChunkModeActive</pFeature>
    <pFeature>ChunkSelector</pFeature>
    <pFeature>ChunkEnable</pFeature>
  </Category>
  <Boolean Name="ChunkModeActive" NameSpace="Standard">
    <pValue>ChunkModeActiveReg</pValue><OnValue>1</OnValue><OffValue>0</OffValue>
  </Boolean>
  <IntReg Name="ChunkModeActiveReg">
    <Address>0x10420</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Enumeration Name="ChunkSelector" NameSpace="Standard">
    <pSelected>ChunkEnable</pSelected>
    <EnumEntry Name="Image" NameSpace="Standard"><Value>0</Value></EnumEntry>
    <EnumEntry Name="Timestamp" NameSpace="Standard"><Value>1</Value></EnumEntry>
    <EnumEntry Name="ExposureTime" NameSpace="Standard"><Value>2</Value></EnumEntry>
    <EnumEntry Name="FrameID" NameSpace="Standard"><Value>3</Value></EnumEntry>
    <EnumEntry Name="LineStatusAll" NameSpace="Standard"><Value>4</Value></EnumEntry>
    <EnumEntry Name="Gain" NameSpace="Standard"><Value>5</Value></EnumEntry>
    <pValue>ChunkSelectorReg</pValue>
  </Enumeration>
  <IntReg Name="ChunkSelectorReg">
    <Address>0x10424</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Boolean Name="ChunkEnable" NameSpace="Standard">
    <pValue>ChunkEnableReg</pValue><OnValue>1</OnValue><OffValue>0</OffValue>
  </Boolean>
  <IntReg Name="ChunkEnableReg">
    <Address>0x10428</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="ChunkPayloadBytesReg">
    <Address>0x1042C</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Port Name="ChunkTimestampPort"><ChunkID>10000001</ChunkID></Port>
  <Port Name="ChunkExposureTimePort"><ChunkID>10000002</ChunkID></Port>
  <Port Name="ChunkFrameIDPort"><ChunkID>0x10000003</ChunkID></Port>
  <Port Name="ChunkLineStatusAllPort"><ChunkID>10000004</ChunkID></Port>
  <Port Name="ChunkGainPort"><ChunkID>10000005</ChunkID></Port>
  <Integer Name="ChunkTimestamp" NameSpace="Standard"><pValue>ChunkTimestampReg</pValue></Integer>
  <IntReg Name="ChunkTimestampReg">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>ChunkTimestampPort</pPort><Cachable>WriteThrough</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <FloatReg Name="ChunkExposureTime" NameSpace="Standard">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>ChunkExposureTimePort</pPort><Cachable>NoCache</Cachable>
    <Endianess>BigEndian</Endianess>
  </FloatReg>
  <IntReg Name="ChunkFrameID" NameSpace="Standard">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>ChunkFrameIDPort</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="ChunkLineStatusAll" NameSpace="Standard">
    <Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>ChunkLineStatusAllPort</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Converter Name="ChunkGain" NameSpace="Standard">
    <FormulaTo>FROM * 10</FormulaTo>
    <FormulaFrom>TO / 10</FormulaFrom>
    <pValue>ChunkGainRaw</pValue>
  </Converter>
  <IntReg Name="ChunkGainRaw">
    <Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>
    <pPort>ChunkGainPort</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
)XML";
}

uint32_t SimChunks::extra_bytes_locked() const {
    if (!active_) {
        return 0;
    }
    uint32_t extra = 8;  // the image's own trailer
    for (size_t i = 1; i < kSelectors; ++i) {
        extra += enabled_[i] ? kDataBytes[i] + 8 : 0;
    }
    return extra;
}

std::optional<uint16_t> SimChunks::read(uint32_t addr, uint32_t& out) const {
    std::lock_guard lock(mu_);
    switch (addr) {
        case chunks::kChunkModeActive:
            out = active_ ? 1 : 0;
            break;
        case chunks::kChunkSelector:
            out = selector_;
            break;
        case chunks::kChunkEnable:
            out = enabled_[selector_] ? 1 : 0;
            break;
        case chunks::kChunkPayloadBytes: {
            // Tagged in the top bits, so that memory merely holding a small number (this
            // description served by another device model) adds nothing to PayloadSize.
            const uint32_t extra = extra_bytes_locked();
            out = extra != 0 ? (0xC0000000u | extra) : 0;
            break;
        }
        default:
            return std::nullopt;
    }
    return reg::kSuccess;
}

std::optional<uint16_t> SimChunks::write(uint32_t addr, uint32_t value) {
    std::lock_guard lock(mu_);
    switch (addr) {
        case chunks::kChunkModeActive:
            active_ = value != 0;
            return reg::kSuccess;
        case chunks::kChunkSelector:
            if (value >= kSelectors) {
                return reg::kInvalidParameter;
            }
            selector_ = value;
            return reg::kSuccess;
        case chunks::kChunkEnable:
            // The image chunk cannot be switched off.
            enabled_[selector_] = selector_ == 0 || value != 0;
            return reg::kSuccess;
        case chunks::kChunkPayloadBytes:
            return reg::kWriteProtect;
        default:
            return std::nullopt;
    }
}

std::optional<std::vector<uint8_t>> SimChunks::payload(std::span<const uint8_t> image,
                                                       const ChunkValues& v) const {
    std::array<bool, kSelectors> enabled{};
    {
        std::lock_guard lock(mu_);
        if (!active_) {
            return std::nullopt;
        }
        enabled = enabled_;
    }
    std::vector<uint8_t> out(image.begin(), image.end());
    out.reserve(image.size() + 96);
    append_chunk(out, 0, chunks::kImageId);
    uint64_t exposure_bits = 0;
    std::memcpy(&exposure_bits, &v.exposure_us, sizeof exposure_bits);
    const std::array<uint64_t, kSelectors> values = {0,          v.timestamp,   exposure_bits,
                                                     v.frame_id, v.line_status, 0};
    for (size_t i = 1; i < kSelectors; ++i) {
        if (!enabled[i]) {
            continue;
        }
        const size_t start = out.size();
        if (kIds[i] == chunks::kGainId) {
            for (int s = 0; s < 32; s += 8) {  // little-endian, as the description says
                out.push_back(static_cast<uint8_t>(v.gain_raw >> s));
            }
        } else {
            append_be(out, values[i], static_cast<int>(kDataBytes[i]));
        }
        append_chunk(out, start, kIds[i]);
    }
    return out;
}

}  // namespace corvisk::sim
