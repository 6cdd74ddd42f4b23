// Fuzz entry points of the chunk layout parser and the event command decoder, shared by their
// libFuzzer targets and the corpus replay test. Each returns false when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "genicam/chunks.hpp"
#include "gige/proto/gvcp_event.hpp"

namespace corvisk::fuzz {

// A parsed layout tiles the payload exactly: chunks in order, each data + trailer, back to
// back from offset 0 to the end; nothing reaches outside the payload.
inline bool chunks_entry(std::span<const uint8_t> data) {
    auto layout = genicam::parse_chunks(data);
    if (!layout.ok()) {
        return true;
    }
    size_t at = 0;
    for (const auto& c : *layout) {
        if (c.offset != at || c.length > data.size() || c.offset > data.size() - c.length) {
            return false;
        }
        at = c.offset + c.length + genicam::kChunkTrailerSize;
        if (at > data.size()) {
            return false;
        }
    }
    return at == data.size();
}

// A decoded event command re-encodes to a datagram that decodes to the same events (the plain
// layout keeps 16-bit block ids); every event's data lies within the datagram's size.
inline bool event_entry(std::span<const uint8_t> data) {
    auto cmd = gvcp::decode_event_command(data);
    if (!cmd.ok()) {
        return true;
    }
    size_t bytes = 0;
    for (const auto& ev : cmd->events) {
        bytes += ev.data.size();
    }
    if (cmd->events.empty() || bytes > data.size()) {
        return false;
    }
    const auto again = gvcp::encode_event_command(cmd->command, cmd->req_id,
                                                  cmd->flags & gvcp::kFlagExtendedId, cmd->events);
    auto back = gvcp::decode_event_command(again);
    return back.ok() && back->events == cmd->events;
}

}  // namespace corvisk::fuzz
