// GVCP status texts and packet codec.
#include "gige/proto/gvcp.hpp"

#include "bytes.hpp"

namespace corvisk::gvcp {

const char* status_text(uint16_t code) {
    switch (code) {
        case 0x0000:
            return "success";
        case 0x0100:
            return "packet resend";
        case 0x8001:
            return "not implemented";
        case 0x8002:
            return "invalid parameter";
        case 0x8003:
            return "invalid address";
        case 0x8004:
            return "write protect";
        case 0x8005:
            return "bad alignment";
        case 0x8006:
            return "access denied";
        case 0x8007:
            return "busy";
        case 0x800C:
            return "packet unavailable";
        case 0x800D:
            return "data overrun";
        case 0x800E:
            return "invalid header";
        case 0x8010:
            return "packet not yet available";
        case 0x8011:
            return "packet and previous removed from memory";
        case 0x8012:
            return "packet removed from memory";
        case 0x8013:
            return "no reference time";
        case 0x8014:
            return "packet temporarily unavailable";
        case 0x8015:
            return "overflow";
        case 0x8016:
            return "action late";
        case 0x8017:
            return "leader/trailer overflow";
        case 0x8FFF:
            return "generic error";
        default:
            return nullptr;
    }
}

std::string GvcpStatus::display() const {
    if (const char* text = status_text(code_)) {
        return fmt::format("{} ({:#06x})", text, code_);
    }
    return fmt::format("status {:#06x}", code_);
}

}  // namespace corvisk::gvcp

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

}  // namespace corvisk::gvcp
