// Event command codec: every field read through the byte cursor, never by raw offsets.
#include "gige/proto/gvcp_event.hpp"

#include <fmt/format.h>

#include "bytes.hpp"
#include "gige/proto/gvcp.hpp"

namespace corvisk::gvcp {
namespace {

// One event at the cursor; false when not a whole one remains.
bool read_plain(ByteReader& r, bool with_data, DeviceEventRecord& out) {
    uint16_t reserved = 0, block16 = 0;
    if (r.remaining() < kPlainEventSize) {
        return false;
    }
    r.read_u16(reserved);
    r.read_u16(out.event_id);
    r.read_u16(out.stream_channel);
    r.read_u16(block16);
    r.read_u64(out.timestamp);
    out.block_id = block16;
    if (with_data) {
        auto rest = r.read_rest();
        out.data.assign(rest.begin(), rest.end());
    }
    return r.ok();
}

// An extended event; an error text when its size field is inconsistent.
std::optional<std::string> read_extended(ByteReader& r, bool with_data, DeviceEventRecord& out) {
    uint16_t size = 0, reserved = 0;
    const size_t start_remaining = r.remaining();
    r.read_u16(size);
    if (size < kExtendedEventSize || size > start_remaining) {
        return fmt::format("event size {} outside {}..{}", size, kExtendedEventSize,
                           start_remaining);
    }
    r.read_u16(out.event_id);
    r.read_u16(out.stream_channel);
    r.read_u16(reserved);
    r.read_u64(out.block_id);
    r.read_u64(out.timestamp);
    std::span<const uint8_t> data;
    r.read_span(size - kExtendedEventSize, data);
    if (with_data) {
        out.data.assign(data.begin(), data.end());
    }
    return std::nullopt;
}

}  // namespace

Result<EventCommand, std::string> decode_event_command(std::span<const uint8_t> datagram) {
    CommandHeader header;
    if (!parse_command(datagram, header)) {
        return Err{std::string("not a well-formed command")};
    }
    if (header.command != kEventCmd && header.command != kEventDataCmd) {
        return Err{fmt::format("command {:#06x} is not an event", header.command)};
    }
    EventCommand out{header.flags, header.command, header.req_id, {}};
    const bool with_data = header.command == kEventDataCmd;
    const bool extended = (header.flags & kFlagExtendedId) != 0;
    ByteReader r(header.payload);
    while (r.remaining() > 0 && !(with_data && !out.events.empty())) {
        DeviceEventRecord ev;
        if (extended) {
            if (r.remaining() < kExtendedEventSize) {
                break;
            }
            if (auto bad = read_extended(r, with_data, ev)) {
                return Err{std::move(*bad)};
            }
        } else if (!read_plain(r, with_data, ev)) {
            break;
        }
        out.events.push_back(std::move(ev));
    }
    if (out.events.empty()) {
        return Err{fmt::format("{} payload bytes hold no whole event", header.payload.size())};
    }
    return out;
}

std::vector<uint8_t> encode_event_command(uint16_t command, uint16_t req_id, uint8_t flags,
                                          std::span<const DeviceEventRecord> events) {
    const bool extended = (flags & kFlagExtendedId) != 0;
    const bool with_data = command == kEventDataCmd;
    const size_t count = with_data ? std::min<size_t>(events.size(), 1) : events.size();
    size_t payload = 0;
    for (size_t i = 0; i < count; ++i) {
        payload += (extended ? kExtendedEventSize : kPlainEventSize) +
                   (with_data ? events[i].data.size() : 0);
    }
    std::vector<uint8_t> out(8 + payload);
    ByteWriter w(out);
    w.write_u8(kCommandKey);
    w.write_u8(static_cast<uint8_t>(flags | kFlagAckRequired));
    w.write_u16(command);
    w.write_u16(static_cast<uint16_t>(payload));
    w.write_u16(req_id);
    for (size_t i = 0; i < count; ++i) {
        const auto& ev = events[i];
        const size_t data = with_data ? ev.data.size() : 0;
        if (extended) {
            w.write_u16(static_cast<uint16_t>(kExtendedEventSize + data));
            w.write_u16(ev.event_id);
            w.write_u16(ev.stream_channel);
            w.write_u16(0);
            w.write_u64(ev.block_id);
        } else {
            w.write_u16(0);
            w.write_u16(ev.event_id);
            w.write_u16(ev.stream_channel);
            w.write_u16(static_cast<uint16_t>(ev.block_id));
        }
        w.write_u64(ev.timestamp);
        if (with_data) {
            w.write_bytes(ev.data);
        }
    }
    return out;
}

}  // namespace corvisk::gvcp
