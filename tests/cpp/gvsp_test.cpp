// GVSP datagram parsing, leader decoding, payload classification, frame-id distance and pixel
// formats, on hand-built datagrams.
#include <gtest/gtest.h>

#include <vector>

#include "bytes.hpp"
#include "gige/proto/gvsp.hpp"

using namespace corvisk;
using namespace corvisk::gvsp;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes standard_packet(uint16_t status, uint16_t block, uint8_t format, uint32_t packet_id,
                      const Bytes& payload = {}) {
    Bytes b(8);
    store_be16(&b[0], status);
    store_be16(&b[2], block);
    store_be32(&b[4], packet_id & 0xFFFFFF);
    b[4] = format;
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes extended_packet(uint16_t status, uint64_t block, uint8_t format, uint32_t packet_id,
                      const Bytes& payload = {}) {
    Bytes b(20, 0xAA);  // reserved fields filled with junk the parser must ignore
    store_be16(&b[0], status);
    b[4] = static_cast<uint8_t>(0x80 | format);
    store_be64(&b[8], block);
    store_be32(&b[16], packet_id);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// An image leader payload of `size` bytes (36 = every field present).
Bytes leader_payload(uint16_t type, size_t size = 36) {
    Bytes b(36, 0);
    store_be16(&b[0], 0xFFFF);
    store_be16(&b[2], type);
    store_be64(&b[4], 0x0102030405060708);
    store_be32(&b[12], PixelFormat::kMono8);
    store_be32(&b[16], 640);
    store_be32(&b[20], 480);
    store_be32(&b[24], 16);
    store_be32(&b[28], 8);
    store_be16(&b[32], 2);
    store_be16(&b[34], 4);
    b.resize(size);
    return b;
}

}  // namespace

TEST(GvspHeaderTest, ParsesStandardHeader) {
    const auto d = standard_packet(0x800C, 0xBEEF, kPayload, 0x123456, {9, 8, 7});
    GvspHeader h;
    ASSERT_TRUE(parse_header(d, h));
    EXPECT_EQ(h.status, 0x800C);
    EXPECT_TRUE(h.is_error());
    EXPECT_EQ(h.block_id, 0xBEEFu);
    EXPECT_EQ(h.format, kPayload);
    EXPECT_EQ(h.packet_id, 0x123456u);
    EXPECT_FALSE(h.extended_id);
    EXPECT_EQ(Bytes(h.payload.begin(), h.payload.end()), (Bytes{9, 8, 7}));
}

TEST(GvspHeaderTest, ParsesExtendedHeader) {
    const auto d = extended_packet(0, 0x1122334455667788, kTrailer, 0xA0B0C0D0, {1});
    GvspHeader h;
    ASSERT_TRUE(parse_header(d, h));
    EXPECT_TRUE(h.extended_id);
    EXPECT_FALSE(h.is_error());
    EXPECT_EQ(h.block_id, 0x1122334455667788u);
    EXPECT_EQ(h.packet_id, 0xA0B0C0D0u);
    EXPECT_EQ(h.format, kTrailer);
    EXPECT_EQ(Bytes(h.payload.begin(), h.payload.end()), (Bytes{1}));
}

TEST(GvspHeaderTest, HeaderOnlyDatagramsHaveEmptyPayload) {
    GvspHeader h;
    ASSERT_TRUE(parse_header(standard_packet(0, 1, kTrailer, 5), h));
    EXPECT_TRUE(h.payload.empty());
    ASSERT_TRUE(parse_header(extended_packet(0, 1, kTrailer, 5), h));
    EXPECT_TRUE(h.payload.empty());
}

TEST(GvspHeaderTest, RejectsTruncatedDatagrams) {
    GvspHeader h;
    auto standard = standard_packet(0, 1, kLeader, 0);
    standard.resize(7);
    EXPECT_FALSE(parse_header(standard, h));
    EXPECT_FALSE(parse_header(Bytes{}, h));
    auto extended = extended_packet(0, 1, kLeader, 0);
    extended.resize(19);
    EXPECT_FALSE(parse_header(extended, h));
    extended.resize(8);
    EXPECT_FALSE(parse_header(extended, h));
}

TEST(GvspHeaderTest, KeepsAllSevenFormatBits) {
    GvspHeader h;
    ASSERT_TRUE(parse_header(standard_packet(0, 1, 0x7F, 0), h));
    EXPECT_EQ(h.format, 0x7F);
    EXPECT_FALSE(h.extended_id);
}

TEST(GvspHeaderTest, HandlingIndexCoversFormatsOneToEight) {
    EXPECT_FALSE(handling_index(0));
    for (uint8_t f = 1; f <= 8; ++f) {
        EXPECT_EQ(handling_index(f), f - 1);
    }
    EXPECT_FALSE(handling_index(9));
    EXPECT_FALSE(handling_index(0x7F));
}

TEST(GvspLeaderTest, ParsesEveryField) {
    const auto info = parse_leader(leader_payload(1));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->payload_type, 1);
    EXPECT_EQ(info->timestamp, 0x0102030405060708u);
    EXPECT_EQ(info->pixel_format, PixelFormat::kMono8);
    EXPECT_EQ(info->size_x, 640u);
    EXPECT_EQ(info->size_y, 480u);
    EXPECT_EQ(info->offset_x, 16u);
    EXPECT_EQ(info->offset_y, 8u);
    EXPECT_EQ(info->padding_x, 2);
    EXPECT_EQ(info->padding_y, 4);
    EXPECT_FALSE(info->has_chunks);
}

TEST(GvspLeaderTest, ShortLeadersFillOnlyTheFieldsTheyReach) {
    EXPECT_FALSE(parse_leader(leader_payload(1, 11)));
    EXPECT_FALSE(parse_leader(Bytes{}));
    struct Case {
        size_t size;
        uint32_t pixel_format, size_x, size_y, offset_x, offset_y;
        uint16_t padding_x, padding_y;
    };
    const Case cases[] = {
        {12, 0, 0, 0, 0, 0, 0, 0},
        {15, 0, 0, 0, 0, 0, 0, 0},
        {16, PixelFormat::kMono8, 0, 0, 0, 0, 0, 0},
        {20, PixelFormat::kMono8, 640, 0, 0, 0, 0, 0},
        {31, PixelFormat::kMono8, 640, 480, 16, 0, 0, 0},
        {33, PixelFormat::kMono8, 640, 480, 16, 8, 0, 0},
        {34, PixelFormat::kMono8, 640, 480, 16, 8, 2, 0},
        {36, PixelFormat::kMono8, 640, 480, 16, 8, 2, 4},
        {100, PixelFormat::kMono8, 640, 480, 16, 8, 2, 4},
    };
    for (const auto& c : cases) {
        auto payload = leader_payload(1, c.size > 36 ? 36 : c.size);
        payload.resize(c.size, 0xEE);
        const auto info = parse_leader(payload);
        ASSERT_TRUE(info) << c.size;
        EXPECT_EQ(info->payload_type, 1) << c.size;
        EXPECT_EQ(info->timestamp, 0x0102030405060708u) << c.size;
        EXPECT_EQ(info->pixel_format, c.pixel_format) << c.size;
        EXPECT_EQ(info->size_x, c.size_x) << c.size;
        EXPECT_EQ(info->size_y, c.size_y) << c.size;
        EXPECT_EQ(info->offset_x, c.offset_x) << c.size;
        EXPECT_EQ(info->offset_y, c.offset_y) << c.size;
        EXPECT_EQ(info->padding_x, c.padding_x) << c.size;
        EXPECT_EQ(info->padding_y, c.padding_y) << c.size;
    }
}

TEST(GvspLeaderTest, PayloadTypesAndClassification) {
    struct Case {
        uint16_t raw;
        uint16_t masked;
        bool has_chunks;
        bool supported;
        PayloadKind kind;
    };
    const Case cases[] = {
        {0x0001, 1, false, true, PayloadKind::Image},
        {0x4001, 1, true, true, PayloadKind::Image},
        {0x0004, 4, true, true, PayloadKind::ChunkData},
        {0x0005, 5, true, true, PayloadKind::Image},
        {0x4005, 5, true, true, PayloadKind::Image},
        {0x0002, 2, false, false, PayloadKind::Other},
        {0x4002, 2, true, false, PayloadKind::Other},
        {0x8001, 1, false, true, PayloadKind::Image},
        {0xC001, 1, true, true, PayloadKind::Image},
        {0x8004, 4, true, true, PayloadKind::ChunkData},
        {0xC002, 2, true, false, PayloadKind::Other},
    };
    for (const auto& c : cases) {
        const auto info = parse_leader(leader_payload(c.raw));
        ASSERT_TRUE(info);
        EXPECT_EQ(info->payload_type, c.masked) << c.raw;
        EXPECT_EQ(info->has_chunks, c.has_chunks) << c.raw;
        EXPECT_EQ(is_supported_payload_type(info->payload_type), c.supported) << c.raw;
        const auto cls = classify_payload(info);
        EXPECT_EQ(cls.kind, c.kind) << c.raw;
        EXPECT_EQ(cls.raw, c.masked) << c.raw;
    }
    const auto none = classify_payload(std::nullopt);
    EXPECT_EQ(none.kind, PayloadKind::Other);
    EXPECT_EQ(none.raw, 0);
}

TEST(GvspFrameIdTest, StandardDistance) {
    struct Case {
        uint64_t last, id;
        int64_t distance;
    };
    const Case cases[] = {
        {100, 103, 3},        {100, 101, 1},
        {100, 100, 0},        {103, 100, -3},
        {0xFFFF, 1, 1},       {0xFFFE, 2, 3},
        {1, 0xFFFF, -1},      {2, 0xFFFE, -3},
        {0xFFF0, 5, 20},      {0, 1, 1},
        {0xFFFF, 0, 1},       {0, 0xFFFF, -1},
        {0x7FFF, 0x8000, 1},  {0x8000, 0x7FFF, -1},
        {0x7FF0, 0x8010, 32}, {0x8010, 0x7FF0, -32},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame_id_distance(c.last, c.id, false), c.distance) << c.last << " -> " << c.id;
    }
    // The first packet of a stream sets last = id - 1 (wrapping), which must read as one step.
    for (uint64_t id : {uint64_t{0}, uint64_t{1}, uint64_t{0x8000}, uint64_t{0xFFFF}}) {
        EXPECT_EQ(frame_id_distance(id - 1, id, false), 1) << id;
    }
}

TEST(GvspFrameIdTest, ExtendedDistance) {
    struct Case {
        uint64_t last, id;
        int64_t distance;
    };
    const Case cases[] = {
        {100, 103, 3},
        {103, 100, -3},
        {0xFFFFFFFF, 0x100000000, 1},  // no 16-bit wrap rule for 64-bit ids
        {0xFFFF, 0x10000, 1},
        {~uint64_t{0}, 1, 1},  // -1 -> 1 skips 0
        {~uint64_t{0}, 0, 1},
        {5, ~uint64_t{0}, -6},
        // Half the id space apart: wraps to the largest distance instead of overflowing.
        {0x80A0F30000000000, 0x00A0F30000000000, INT64_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frame_id_distance(c.last, c.id, true), c.distance) << c.last << " -> " << c.id;
    }
}

TEST(GvspSizingTest, PacketCountAndOverheads) {
    EXPECT_EQ(kStandardOverhead, 36u);
    EXPECT_EQ(kExtendedOverhead, 48u);
    EXPECT_EQ(packet_count_for(0, 1464), 2u);
    EXPECT_EQ(packet_count_for(1, 1464), 3u);
    EXPECT_EQ(packet_count_for(1464, 1464), 3u);
    EXPECT_EQ(packet_count_for(1465, 1464), 4u);
    EXPECT_EQ(packet_count_for(640 * 480, 1500 - 36), 212u);  // 209.8 -> 210 payload packets
}

TEST(GvspStatusTest, ResendStoppingStatuses) {
    for (uint16_t s : {0x800C, 0x8011, 0x8012}) {
        EXPECT_TRUE(stops_resend(s)) << s;
    }
    for (uint16_t s : {0x0000, 0x8001, 0x800D, 0x8010, 0x8014}) {
        EXPECT_FALSE(stops_resend(s)) << s;
    }
}

TEST(PixelFormatTest, NamesAndBits) {
    struct Case {
        uint32_t code;
        const char* name;
        uint32_t bits;
    };
    const Case cases[] = {
        {0x01080001, "Mono8", 8},      {0x01100003, "Mono10", 16},
        {0x01100005, "Mono12", 16},    {0x01100007, "Mono16", 16},
        {0x01080009, "BayerRG8", 8},   {0x0108000A, "BayerGB8", 8},
        {0x02100032, "YUV422_8", 16},  {0x02180014, "RGB8", 24},
        {0x02180015, "BGR8", 24},      {0x0210001F, "0x0210001f", 16},
        {0x00000000, "0x00000000", 0}, {0xFFFFFFFF, "0xffffffff", 255},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PixelFormat{c.code}.name(), c.name);
        EXPECT_EQ(PixelFormat{c.code}.bits_per_pixel(), c.bits) << c.name;
    }
}
