// Device events as they arrive on the message channel: EVENT commands (one or more events,
// no data) and EVENTDATA commands (one event and its data), in the plain layout (16-bit block
// ids, 16 bytes per event) and the extended-id layout (header flag 0x10: a size field, 64-bit
// block ids, 24 bytes per event before the data).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace corvisk::gvcp {

inline constexpr uint8_t kFlagExtendedId = 0x10;
inline constexpr size_t kPlainEventSize = 16;
inline constexpr size_t kExtendedEventSize = 24;

struct DeviceEventRecord {
    uint16_t event_id = 0;
    uint16_t stream_channel = 0;
    uint64_t block_id = 0;
    uint64_t timestamp = 0;  // device ticks
    std::vector<uint8_t> data;
    friend bool operator==(const DeviceEventRecord&, const DeviceEventRecord&) = default;
};

struct EventCommand {
    uint8_t flags = 0;
    uint16_t command = 0;  // kEventCmd or kEventDataCmd
    uint16_t req_id = 0;
    std::vector<DeviceEventRecord> events;
};

// Decodes an EVENT or EVENTDATA command datagram, bounds-checked: the header (key 0x42, length
// field within the datagram), then every whole event. A trailing fragment too short for an event
// is ignored; a datagram with no whole event, another command, or an extended event whose size
// field is below the header size or runs past the payload fails with the reason.
Result<EventCommand, std::string> decode_event_command(std::span<const uint8_t> datagram);

// The datagram a device sends: the header (acknowledge requested) and `events` in the layout
// `flags` selects (kFlagExtendedId or not); EVENT carries no data, EVENTDATA carries the first
// event and its data. For the simulator and tests.
std::vector<uint8_t> encode_event_command(uint16_t command, uint16_t req_id, uint8_t flags,
                                          std::span<const DeviceEventRecord> events);

}  // namespace corvisk::gvcp
