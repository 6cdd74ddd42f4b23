// GVCP packet codec: command encoders and acknowledge decoders.
#include "gige/proto/gvcp.hpp"

#include "bytes.hpp"

namespace corvisk::gvcp {
namespace {

// Writes the 8-byte command header; the caller sized the buffer for header plus payload.
void write_command_header(ByteWriter& w, uint8_t flags, uint16_t command, uint16_t length,
                          uint16_t req_id) {
    w.write_u8(kCommandKey);
    w.write_u8(flags);
    w.write_u16(command);
    w.write_u16(length);
    w.write_u16(req_id);
}

// Splits off the stated payload after the common validity rule: at least a header, and a
// length field that fits in what follows it. Bytes beyond the stated length are dropped.
bool read_payload(ByteReader& r, uint16_t length, std::span<const uint8_t>& payload) {
    return r.ok() && r.read_span(length, payload);
}

}  // namespace

bool parse_ack(std::span<const uint8_t> datagram, AckHeader& out) {
    ByteReader r(datagram);
    uint16_t status = 0;
    AckHeader h;
    r.read_u16(status);
    r.read_u16(h.ack_code);
    r.read_u16(h.length);
    r.read_u16(h.ack_id);
    if (!read_payload(r, h.length, h.payload)) {
        return false;
    }
    h.status = GvcpStatus(status);
    out = h;
    return true;
}

bool parse_command(std::span<const uint8_t> datagram, CommandHeader& out) {
    ByteReader r(datagram);
    uint8_t key = 0;
    CommandHeader h;
    r.read_u8(key);
    r.read_u8(h.flags);
    r.read_u16(h.command);
    r.read_u16(h.length);
    r.read_u16(h.req_id);
    if (key != kCommandKey || !read_payload(r, h.length, h.payload)) {
        return false;
    }
    out = h;
    return true;
}

std::vector<uint8_t> encode_read_reg(std::span<const uint32_t> addresses, uint16_t req_id) {
    std::vector<uint8_t> out(kHeaderSize + 4 * addresses.size());
    ByteWriter w(out);
    write_command_header(w, kFlagAckRequired, kReadRegCmd,
                         static_cast<uint16_t>(4 * addresses.size()), req_id);
    for (uint32_t address : addresses) {
        w.write_u32(address);
    }
    return out;
}

std::vector<uint8_t> encode_write_reg(std::span<const std::pair<uint32_t, uint32_t>> pairs,
                                      uint16_t req_id) {
    std::vector<uint8_t> out(kHeaderSize + 8 * pairs.size());
    ByteWriter w(out);
    write_command_header(w, kFlagAckRequired, kWriteRegCmd, static_cast<uint16_t>(8 * pairs.size()),
                         req_id);
    for (const auto& [address, value] : pairs) {
        w.write_u32(address);
        w.write_u32(value);
    }
    return out;
}

std::vector<uint8_t> encode_read_mem(uint32_t address, uint32_t count, uint16_t req_id) {
    std::vector<uint8_t> out(kHeaderSize + 8);
    ByteWriter w(out);
    write_command_header(w, kFlagAckRequired, kReadMemCmd, 8, req_id);
    w.write_u32(address);
    w.write_u32(count);
    return out;
}

std::vector<uint8_t> encode_write_mem(uint32_t address, std::span<const uint8_t> data,
                                      uint16_t req_id) {
    std::vector<uint8_t> out(kHeaderSize + 4 + data.size());
    ByteWriter w(out);
    write_command_header(w, kFlagAckRequired, kWriteMemCmd, static_cast<uint16_t>(4 + data.size()),
                         req_id);
    w.write_u32(address);
    w.write_bytes(data);
    return out;
}

std::array<uint8_t, 8> encode_event_ack(uint16_t command, uint16_t req_id) {
    std::array<uint8_t, 8> out{};
    ByteWriter w(out);
    w.write_u16(0x0000);
    w.write_u16(static_cast<uint16_t>(command + 1));
    w.write_u16(0);
    w.write_u16(req_id);
    return out;
}

std::array<uint8_t, 8> discovery_command() {
    // Flag 0x10 lets the device answer by broadcast when its address is not on our subnet.
    return {kCommandKey, kFlagAckRequired | kFlagCommandSpecific, 0x00, 0x02, 0x00, 0x00, 0xFF,
            0xFF};
}

size_t encode_packet_resend(std::span<uint8_t> buf, uint64_t block_id, uint32_t first,
                            uint32_t last, bool extended, uint16_t req_id) {
    const size_t size = extended ? kPacketResendExtendedSize : kPacketResendStandardSize;
    if (buf.size() < size) {
        return 0;
    }
    ByteWriter w(buf.first(size));
    if (extended) {
        write_command_header(w, kFlagCommandSpecific, kPacketResendCmd, 20, req_id);
        w.write_u32(0);  // stream channel 0, reserved
        w.write_u32(first);
        w.write_u32(last);
        w.write_u64(block_id);
    } else {
        // Low 32 bits: stream channel index 0 in the upper half, the 16-bit block id below.
        write_command_header(w, 0x00, kPacketResendCmd, 12, req_id);
        w.write_u32(static_cast<uint32_t>(block_id));
        w.write_u32(first & 0x00FF'FFFF);
        w.write_u32(last & 0x00FF'FFFF);
    }
    return w.size();
}

std::vector<uint32_t> decode_read_reg_ack(std::span<const uint8_t> payload) {
    ByteReader r(payload);
    std::vector<uint32_t> values;
    values.reserve(payload.size() / 4);
    uint32_t v = 0;
    while (r.remaining() >= 4 && r.read_u32(v)) {
        values.push_back(v);
    }
    return values;
}

std::optional<ReadMemAck> decode_read_mem_ack(std::span<const uint8_t> payload) {
    ByteReader r(payload);
    ReadMemAck ack;
    if (!r.read_u32(ack.address)) {
        return std::nullopt;
    }
    ack.data = r.read_rest();
    return ack;
}

std::optional<uint32_t> decode_pending_ack(const AckHeader& ack) {
    ByteReader r(ack.payload);
    uint32_t ms = 0;
    if (ack.ack_code != kPendingAck || !r.read_u32(ms)) {
        return std::nullopt;
    }
    return ms;
}

GvcpEvent GvcpEvent::parse(uint16_t command, std::span<const uint8_t> payload) {
    GvcpEvent e;
    e.command = command;
    e.raw.assign(payload.begin(), payload.end());
    // Reads stop at the first field the payload is too short for; earlier ones are kept.
    ByteReader r(payload);
    if (!r.skip(2) || !r.read_u16(e.event_id) || !r.read_u16(e.stream_channel) ||
        !r.read_u16(e.block_id)) {
        return e;
    }
    uint64_t timestamp = 0;
    if (r.read_u64(timestamp)) {
        e.timestamp = timestamp;
        auto rest = r.read_rest();
        e.data.assign(rest.begin(), rest.end());
    }
    return e;
}

}  // namespace corvisk::gvcp
