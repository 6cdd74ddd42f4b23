// Per-target fuzz entry points, shared by the libFuzzer targets and the corpus replay test.
// Each runs one input through the wire decoders and checks invariants that must hold for any
// input; it returns false when one is broken (the fuzzer traps, the test fails).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvsp.hpp"

namespace corvisk::fuzz {

// True when `inner` lies entirely inside `outer`.
inline bool within(std::span<const uint8_t> inner, std::span<const uint8_t> outer) {
    if (inner.empty()) {
        return true;
    }
    const auto* lo = outer.data();
    const auto* hi = outer.data() + outer.size();
    return inner.data() >= lo && inner.data() + inner.size() <= hi;
}

// Interprets an acknowledge payload the way the control side does for its code.
inline bool check_ack_payload(const gvcp::AckHeader& ack) {
    ByteReader r(ack.payload);
    switch (ack.ack_code) {
        case gvcp::kReadRegAck: {
            uint32_t v = 0;
            size_t n = 0;
            while (r.read_u32(v)) {
                ++n;
            }
            return n == ack.payload.size() / 4;
        }
        case gvcp::kPendingAck: {
            uint32_t ms = 0;
            return r.read_u32(ms) == (ack.payload.size() >= 4);
        }
        case gvcp::kDiscoveryAck:
            return bootstrap::DeviceInfo::parse(ack.payload).has_value() ==
                   (ack.payload.size() >= bootstrap::kDiscoveryRecordSize);
        default:
            return true;
    }
}

// Encoders fed from the input must produce datagrams their own parser accepts unchanged.
inline bool check_encoders(std::span<const uint8_t> data) {
    ByteReader r(data);
    uint16_t id = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    uint64_t block = 0;
    r.read_u16(id);
    r.read_u32(first);
    r.read_u32(last);
    r.read_u64(block);
    std::array<uint8_t, 28> buf{};
    const size_t std_len = gvcp::encode_packet_resend(buf, block, first, last, false, id);
    if (std_len != 20 || load_be32(&buf[12]) != (first & 0xFFFFFF) ||
        load_be32(&buf[16]) != (last & 0xFFFFFF)) {
        return false;
    }
    const size_t ext_len = gvcp::encode_packet_resend(buf, block, first, last, true, id);
    if (ext_len != 28 || load_be64(&buf[20]) != block || load_be32(&buf[8]) != 0) {
        return false;
    }
    std::vector<uint32_t> addrs;
    uint32_t a = 0;
    while (addrs.size() < 16 && r.read_u32(a)) {
        addrs.push_back(a);
    }
    const auto cmd = gvcp::encode_read_reg(addrs, id);
    gvcp::CommandHeader h;
    if (!gvcp::parse_command(cmd, h) || h.command != gvcp::kReadRegCmd || h.req_id != id ||
        h.payload.size() != 4 * addrs.size()) {
        return false;
    }
    for (size_t i = 0; i < addrs.size(); ++i) {
        if (load_be32(&h.payload[4 * i]) != addrs[i]) {
            return false;
        }
    }
    const uint16_t next = gvcp::next_request_id(id);
    return next != 0 && next != 0xFFFF;
}

// GVCP acknowledges and inbound commands: validation, payload bounds, interpretation.
inline bool gvcp_ack_entry(std::span<const uint8_t> data) {
    if (gvcp::is_command(data)) {
        gvcp::CommandHeader h;
        if (gvcp::parse_command(data, h)) {
            if (data.size() < 8 || h.payload.size() != h.length || !within(h.payload, data)) {
                return false;
            }
            const auto ack = gvcp::encode_event_ack(h.command, h.req_id);
            if (load_be16(&ack[6]) != h.req_id) {
                return false;
            }
        }
    } else {
        gvcp::AckHeader h;
        if (gvcp::parse_ack(data, h)) {
            if (data.size() < 8 || h.payload.size() != h.length || !within(h.payload, data) ||
                !check_ack_payload(h)) {
                return false;
            }
            if (h.status.display().empty() || h.status.is_error() != (h.status.code() >= 0x8000)) {
                return false;
            }
        }
    }
    return check_encoders(data);
}

// True when s is well-formed UTF-8 with no zero byte.
inline bool valid_utf8_text(const std::string& s) {
    // Decoding valid text must give it back unchanged, and no zero byte may survive.
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    return std::find(s.begin(), s.end(), '\0') == s.end() &&
           bootstrap::string_reg(bytes, 0, bytes.size()) == s;
}

// DeviceInfo records and the fixed-width string decoder.
inline bool device_info_entry(std::span<const uint8_t> data) {
    const auto info = bootstrap::DeviceInfo::parse(data);
    if (info.has_value() != (data.size() >= bootstrap::kDiscoveryRecordSize)) {
        return false;
    }
    if (info) {
        for (const std::string* s :
             {&info->manufacturer, &info->model, &info->device_version, &info->manufacturer_info,
              &info->serial, &info->user_defined_name}) {
            if (!valid_utf8_text(*s)) {
                return false;
            }
        }
        if (bootstrap::format_mac(info->mac).size() != 17) {
            return false;
        }
    }
    if (data.size() < 2) {
        return true;
    }
    // The first two bytes choose a field inside the rest of the input.
    const auto rest = data.subspan(2);
    const size_t offset = rest.empty() ? 0 : data[0] % (rest.size() + 1);
    const size_t width = rest.size() - offset == 0 ? 0 : data[1] % (rest.size() - offset + 1);
    const std::string text = bootstrap::string_reg(rest, offset, width);
    // Every input byte becomes at most one 3-byte replacement character.
    return valid_utf8_text(text) && text.size() <= 3 * width;
}

// GVSP headers and leaders, classification, frame-id distance and pixel format names.
inline bool gvsp_entry(std::span<const uint8_t> data) {
    gvsp::GvspHeader h;
    if (gvsp::parse_header(data, h)) {
        const size_t header = h.extended_id ? gvsp::kExtendedHeaderSize : gvsp::kStandardHeaderSize;
        if (data.size() < header || h.payload.size() != data.size() - header ||
            !within(h.payload, data) || h.format > 0x7F ||
            (!h.extended_id && (h.block_id > 0xFFFF || h.packet_id > 0xFFFFFF))) {
            return false;
        }
        const auto index = gvsp::handling_index(h.format);
        if (index.has_value() != (h.format >= 1 && h.format <= 8)) {
            return false;
        }
        const auto leader = gvsp::parse_leader(h.payload);
        if (leader.has_value() != (h.payload.size() >= 12)) {
            return false;
        }
        const auto cls = gvsp::classify_payload(leader);
        if (leader && (leader->payload_type & 0x4000) != 0) {
            return false;
        }
        if (leader && cls.raw != leader->payload_type) {
            return false;
        }
        if (leader && gvsp::PixelFormat{leader->pixel_format}.name().empty()) {
            return false;
        }
    }
    ByteReader r(data);
    uint64_t a = 0;
    uint64_t b = 0;
    r.read_u64(a);
    r.read_u64(b);
    for (bool extended : {false, true}) {
        const int64_t d = gvsp::frame_id_distance(a, b, extended);
        const int64_t back = gvsp::frame_id_distance(b, a, extended);
        if (!extended && (d < -32768 || d > 32767)) {
            return false;
        }
        // Moving forward and back again cancels out away from the half-ring ambiguity.
        if (!extended && d > -30000 && d < 30000 && back != -d) {
            return false;
        }
        if (gvsp::frame_id_distance(a, a, extended) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace corvisk::fuzz
