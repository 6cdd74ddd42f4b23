// GVCP codec: golden byte vectors for every command we send, acknowledge/command validation,
// status display and the request-id rule.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "gige/proto/gvcp.hpp"

using namespace corvisk::gvcp;
using Bytes = std::vector<uint8_t>;

namespace {

template <size_t N>
Bytes to_bytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

}  // namespace

TEST(GvcpEncodeTest, ReadRegListsAddressesInOrder) {
    const uint32_t addrs[] = {0x00000A00, 0x12345678};
    EXPECT_EQ(encode_read_reg(addrs, 0x0102),
              (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x01, 0x02, 0x00, 0x00, 0x0A, 0x00, 0x12,
                     0x34, 0x56, 0x78}));
}

TEST(GvcpEncodeTest, EmptyReadRegIsBareHeader) {
    EXPECT_EQ(encode_read_reg({}, 7), (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x07}));
}

TEST(GvcpEncodeTest, WriteRegPairsAddressAndValue) {
    const std::pair<uint32_t, uint32_t> pairs[] = {{0x0A00, 2}, {0x0938, 0xDEADBEEF}};
    EXPECT_EQ(encode_write_reg(pairs, 0xFFFE),
              (Bytes{0x42, 0x01, 0x00, 0x82, 0x00, 0x10, 0xFF, 0xFE, 0x00, 0x00, 0x0A, 0x00,
                     0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x09, 0x38, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(GvcpEncodeTest, ReadMemAndWriteMem) {
    EXPECT_EQ(encode_read_mem(0x00010200, 512, 3),
              (Bytes{0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x00, 0x03, 0x00, 0x01, 0x02, 0x00, 0x00,
                     0x00, 0x02, 0x00}));
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(encode_write_mem(0x1000, data, 4),
              (Bytes{0x42, 0x01, 0x00, 0x86, 0x00, 0x0C, 0x00, 0x04, 0x00, 0x00,
                     0x10, 0x00, 1,    2,    3,    4,    5,    6,    7,    8}));
    EXPECT_EQ(encode_write_mem(0x1000, {}, 4).size(), 12u);
}

TEST(GvcpEncodeTest, ReadMemCountRoundsUpAndCaps) {
    const std::pair<uint64_t, uint32_t> cases[] = {
        {1, 4}, {4, 4}, {5, 8}, {511, 512}, {512, 512}, {513, 512}, {1ull << 40, 512}};
    for (const auto& [remaining, count] : cases) {
        EXPECT_EQ(read_mem_count(remaining), count) << remaining;
    }
}

TEST(GvcpEncodeTest, EventAckEchoesIdWithCodePlusOne) {
    EXPECT_EQ(to_bytes(encode_event_ack(kEventCmd, 0xABCD)),
              (Bytes{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0xAB, 0xCD}));
    EXPECT_EQ(to_bytes(encode_event_ack(kEventDataCmd, 0)),
              (Bytes{0x00, 0x00, 0x00, 0xC3, 0x00, 0x00, 0x00, 0x00}));
}

TEST(GvcpEncodeTest, DiscoveryBeaconIsFixed) {
    EXPECT_EQ(to_bytes(discovery_command()),
              (Bytes{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(GvcpPacketResendTest, StandardFormMasksPacketIdsTo24Bits) {
    std::array<uint8_t, 20> buf{};
    ASSERT_EQ(encode_packet_resend(buf, 0x1234, 0xAB000001, 0xFFFFFFFF, false, 9), 20u);
    EXPECT_EQ(to_bytes(buf), (Bytes{0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x09, 0x00, 0x00,
                                    0x12, 0x34, 0x00, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}));
}

TEST(GvcpPacketResendTest, StandardFormKeepsLow32BitsOfBlockId) {
    std::array<uint8_t, 24> buf{};
    buf.fill(0xEE);
    ASSERT_EQ(encode_packet_resend(buf, 0x1122334455667788, 1, 2, false, 1), 20u);
    EXPECT_EQ(Bytes(buf.begin() + 8, buf.begin() + 12), (Bytes{0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(buf[20], 0xEE) << "wrote past the standard form";
}

TEST(GvcpPacketResendTest, ExtendedFormLayout) {
    std::array<uint8_t, 28> buf{};
    buf.fill(0xEE);
    ASSERT_EQ(encode_packet_resend(buf, 0x0102030405060708, 0xAB000001, 0xAB000010, true, 0x0203),
              28u);
    EXPECT_EQ(to_bytes(buf), (Bytes{0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x02, 0x03, 0x00, 0x00,
                                    0x00, 0x00, 0xAB, 0x00, 0x00, 0x01, 0xAB, 0x00, 0x00, 0x10,
                                    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
}

TEST(GvcpPacketResendTest, ShortBufferWritesNothing) {
    std::array<uint8_t, 27> buf{};
    EXPECT_EQ(encode_packet_resend(std::span(buf).first(19), 1, 1, 1, false, 1), 0u);
    EXPECT_EQ(encode_packet_resend(buf, 1, 1, 1, true, 1), 0u);
    EXPECT_EQ(to_bytes(buf), Bytes(27, 0));
}

TEST(GvcpAckTest, ParsesHeaderAndBoundsPayloadByLength) {
    const Bytes d = {0x80, 0x06, 0x00, 0x83, 0x00, 0x04, 0x12, 0x34, 1, 2, 3, 4, 0xFF, 0xFF};
    AckHeader h;
    ASSERT_TRUE(parse_ack(d, h));
    EXPECT_EQ(h.status, GvcpStatus(0x8006));
    EXPECT_TRUE(h.status.is_error());
    EXPECT_EQ(h.ack_code, kWriteRegAck);
    EXPECT_EQ(h.length, 4);
    EXPECT_EQ(h.ack_id, 0x1234);
    EXPECT_EQ(Bytes(h.payload.begin(), h.payload.end()), (Bytes{1, 2, 3, 4}));
}

TEST(GvcpAckTest, RejectsShortOrOverlongDatagrams) {
    const std::vector<Bytes> bad = {
        {},
        {0x00, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00},                 // 7 bytes
        {0x00, 0x00, 0x00, 0x81, 0x00, 0x04, 0x00, 0x01, 1, 2, 3},  // length 4, 3 follow
        {0x00, 0x00, 0x00, 0x81, 0xFF, 0xFF, 0x00, 0x01},           // length 65535, none follow
    };
    for (const auto& d : bad) {
        AckHeader h;
        h.ack_id = 77;
        EXPECT_FALSE(parse_ack(d, h)) << d.size();
        EXPECT_EQ(h.ack_id, 77) << "output touched on failure";
    }
    AckHeader h;
    EXPECT_TRUE(parse_ack(Bytes{0x00, 0x00, 0x00, 0x89, 0x00, 0x00, 0x00, 0x01}, h));
    EXPECT_TRUE(h.payload.empty());
}

TEST(GvcpCommandTest, ParsesInboundEventCommand) {
    const Bytes d = {0x42, 0x01, 0x00, 0xC0, 0x00, 0x02, 0x00, 0x05, 0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(is_command(d));
    CommandHeader h;
    ASSERT_TRUE(parse_command(d, h));
    EXPECT_EQ(h.flags, 0x01);
    EXPECT_EQ(h.command, kEventCmd);
    EXPECT_EQ(h.length, 2);
    EXPECT_EQ(h.req_id, 5);
    EXPECT_EQ(Bytes(h.payload.begin(), h.payload.end()), (Bytes{0xAA, 0xBB}));
}

TEST(GvcpCommandTest, RejectsWrongKeyShortAndOverlong) {
    CommandHeader h;
    EXPECT_FALSE(parse_command(Bytes{0x43, 0x01, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x05}, h));
    EXPECT_FALSE(parse_command(Bytes{0x42, 0x01, 0x00, 0xC0, 0x00, 0x00, 0x00}, h));
    EXPECT_FALSE(parse_command(Bytes{0x42, 0x01, 0x00, 0xC0, 0x00, 0x01, 0x00, 0x05}, h));
    EXPECT_FALSE(is_command(Bytes{}));
    EXPECT_FALSE(is_command(Bytes{0x00, 0x42}));
}

TEST(GvcpEncodeTest, EncodedCommandsParseBack) {
    const uint32_t addrs[] = {1, 2, 3};
    const auto d = encode_read_reg(addrs, 42);
    CommandHeader h;
    ASSERT_TRUE(parse_command(d, h));
    EXPECT_EQ(h.command, kReadRegCmd);
    EXPECT_EQ(h.req_id, 42);
    EXPECT_EQ(h.payload.size(), 12u);
}

TEST(GvcpStatusTest, DisplaysKnownAndUnknownCodes) {
    const std::pair<uint16_t, const char*> cases[] = {
        {0x0000, "success (0x0000)"},
        {0x0100, "packet resend (0x0100)"},
        {0x8006, "access denied (0x8006)"},
        {0x800C, "packet unavailable (0x800c)"},
        {0x8017, "leader/trailer overflow (0x8017)"},
        {0x8FFF, "generic error (0x8fff)"},
        {0x8008, "status 0x8008"},
        {0x0001, "status 0x0001"},
        {0xFFFF, "status 0xffff"},
    };
    for (const auto& [code, text] : cases) {
        EXPECT_EQ(GvcpStatus(code).display(), text);
        EXPECT_EQ(fmt::format("{}", GvcpStatus(code)), text);
    }
}

TEST(GvcpStatusTest, ErrorIsBit15) {
    EXPECT_FALSE(GvcpStatus(0x0000).is_error());
    EXPECT_FALSE(GvcpStatus(0x7FFF).is_error());
    EXPECT_FALSE(GvcpStatus(0x0100).is_error());
    EXPECT_TRUE(GvcpStatus(0x8000).is_error());
    EXPECT_TRUE(GvcpStatus(0xFFFF).is_error());
}

TEST(GvcpRequestIdTest, RunsFromOneToFffeAndWrapsToOne) {
    EXPECT_EQ(next_request_id(0), 1);
    EXPECT_EQ(next_request_id(1), 2);
    EXPECT_EQ(next_request_id(0xFFFD), 0xFFFE);
    EXPECT_EQ(next_request_id(0xFFFE), 1);
    EXPECT_EQ(next_request_id(0xFFFF), 1);
    uint16_t id = 0;
    for (int i = 0; i < 3 * 0xFFFF; ++i) {
        id = next_request_id(id);
        ASSERT_NE(id, 0);
        ASSERT_NE(id, 0xFFFF);
    }
}
