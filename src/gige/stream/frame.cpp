// Frame status names, payload view and the device timestamp conversion.
#include "gige/stream/frame.hpp"

#include <algorithm>
#include <limits>

namespace corvisk::gige {

const char* frame_status_name(FrameStatus status) {
    switch (status) {
        case FrameStatus::Complete:
            return "Complete";
        case FrameStatus::MissingPackets:
            return "MissingPackets";
        case FrameStatus::Timeout:
            return "Timeout";
        case FrameStatus::Aborted:
            return "Aborted";
        case FrameStatus::WrongPacketId:
            return "WrongPacketId";
        case FrameStatus::PayloadUnsupported:
            return "PayloadUnsupported";
    }
    return "Unknown";
}

std::span<const uint8_t> Frame::payload() const {
    auto all = buffer.bytes();
    return all.first(static_cast<size_t>(std::min<uint64_t>(all.size(), data_end)));
}

uint64_t device_timestamp_ns(uint64_t ticks, uint64_t tick_frequency, uint64_t system_ns) {
    if (tick_frequency == 0) {
        return system_ns;
    }
    constexpr uint64_t kNsPerSecond = 1'000'000'000;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t seconds = ticks / tick_frequency;
    // The fraction in 128 bits: a device reporting more than ~18 GHz would overflow 64 bits.
    auto fraction = static_cast<uint64_t>(static_cast<unsigned __int128>(ticks % tick_frequency) *
                                          kNsPerSecond / tick_frequency);
    if (seconds > (kMax - fraction) / kNsPerSecond) {
        return kMax;  // centuries of ticks: saturate rather than wrap
    }
    return seconds * kNsPerSecond + fraction;
}

}  // namespace corvisk::gige
