// Register value encoding: integers and bit fields in both byte orders, floats, strings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "genicam/register_codec.hpp"

using namespace corvisk::genicam;

namespace {

constexpr bool kBig = true;
constexpr bool kLittle = false;

IntField field(bool big_endian, bool is_unsigned, std::optional<uint32_t> lsb = std::nullopt,
               std::optional<uint32_t> msb = std::nullopt) {
    return IntField{lsb, msb, is_unsigned, big_endian};
}

struct DecodeCase {
    const char* label;
    Bytes bytes;
    IntField field;
    int64_t expected;
};

TEST(RegisterCodecTest, DecodesIntegerFields) {
    const std::vector<DecodeCase> cases = {
        {"packet size field", {0x00, 0x00, 0x05, 0xDC}, field(kBig, true, 31, 16), 1500},
        {"LE u16 all ones signed", {0xFF, 0xFF}, field(kLittle, false), -1},
        {"LE u16 all ones unsigned", {0xFF, 0xFF}, field(kLittle, true), 65535},
        {"BE two bytes", {0x12, 0x34}, field(kBig, true), 0x1234},
        {"LE two bytes", {0x12, 0x34}, field(kLittle, true), 0x3412},
        {"BE three bytes signed", {0xFF, 0xFF, 0xFE}, field(kBig, false), -2},
        {"LE three bytes signed positive", {0xFE, 0xFF, 0x7F}, field(kLittle, false), 0x7FFFFE},
        {"one byte signed", {0x80}, field(kLittle, false), -128},
        {"Bit 3 of LE byte", {0x08}, field(kLittle, true, 3, 3), 1},
        {"Bit 3 of LE byte, signed", {0x08}, field(kLittle, false, 3, 3), -1},
        {"Bit 3 clear", {0xF7}, field(kLittle, true, 3, 3), 0},
        {"BE bit 0 is the top bit", {0x80}, field(kBig, true, 0, 0), 1},
        {"BE bit 7 is the bottom bit", {0x01}, field(kBig, true, 7, 7), 1},
        {"LE lsb only", {0x10}, field(kLittle, true, 4), 1},
        {"LE msb only: bits 0..msb", {0x0F}, field(kLittle, true, std::nullopt, 2), 7},
        {"BE msb only: one bit", {0x20}, field(kBig, true, std::nullopt, 2), 1},
        {"LE byte 1 of four", {0x12, 0x34, 0x56, 0x78}, field(kLittle, true, 8, 15), 0x34},
        {"BE bits 16..23 of four", {0x12, 0x34, 0x56, 0x78}, field(kBig, true, 23, 16), 0x56},
        {"BE signed nibble", {0x00, 0xE0}, field(kBig, false, 11, 8), -2},
        {"LE signed nibble", {0xE0, 0x00}, field(kLittle, false, 4, 7), -2},
        {"eight bytes, no sign handling", Bytes(8, 0xFF), field(kLittle, true), -1},
        {"eight bytes BE",
         {0x80, 0, 0, 0, 0, 0, 0, 1},
         field(kBig, false),
         std::numeric_limits<int64_t>::min() + 1},
        {"full 64-bit field via lsb/msb",
         {1, 2, 3, 4, 5, 6, 7, 8},
         field(kLittle, false, 0, 63),
         0x0807060504030201},
        {"63-bit signed field", Bytes(8, 0xFF), field(kLittle, false, 0, 62), -1},
        {"63-bit unsigned field", Bytes(8, 0xFF), field(kLittle, true, 0, 62),
         std::numeric_limits<int64_t>::max()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto v = decode_int(c.bytes, c.field);
        ASSERT_TRUE(v.ok()) << v.error();
        EXPECT_EQ(*v, c.expected);
    }
}

TEST(RegisterCodecTest, RefusesBadLengthsAndBitRanges) {
    const std::vector<std::tuple<Bytes, IntField, std::string>> cases = {
        {Bytes(16, 0), field(kBig, true), "unsupported integer register length 16"},
        {Bytes(9, 0), field(kLittle, true, 0, 0), "unsupported integer register length 9"},
        {Bytes{}, field(kLittle, true), "unsupported integer register length 0"},
        {Bytes(4, 0), field(kLittle, true, 0, 32), "bad bit range 0..32 for 4 bytes"},
        {Bytes(4, 0), field(kLittle, true, 5, 3), "bad bit range 5..3 for 4 bytes"},
        {Bytes(1, 0), field(kLittle, true, 8), "bad bit range 8..8 for 1 bytes"},
        // Big-endian positions wrap around when LSB lies beyond the register.
        {Bytes(4, 0), field(kBig, true, 40, 0), "bad bit range 4294967287..31 for 4 bytes"},
        {Bytes(4, 0), field(kBig, true, 16, 31), "bad bit range 15..0 for 4 bytes"},
    };
    for (const auto& [bytes, f, message] : cases) {
        SCOPED_TRACE(message);
        auto decoded = decode_int(bytes, f);
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error(), message);
        auto inserted = insert_int(bytes, 1, f);
        ASSERT_FALSE(inserted.ok());
        EXPECT_EQ(inserted.error(), message);
    }
}

struct InsertCase {
    const char* label;
    Bytes old;
    int64_t value;
    IntField field;
    Bytes expected;
};

TEST(RegisterCodecTest, InsertsFieldsKeepingTheOtherBits) {
    const std::vector<InsertCase> cases = {
        {"packet size field",
         {0x00, 0x00, 0x05, 0xDC},
         9000,
         field(kBig, true, 31, 16),
         {0x00, 0x00, 0x23, 0x28}},
        {"packet size keeps flags",
         {0xAA, 0xBB, 0x05, 0xDC},
         9000,
         field(kBig, true, 31, 16),
         {0xAA, 0xBB, 0x23, 0x28}},
        {"set LE bit 3", {0x00}, 1, field(kLittle, true, 3, 3), {0x08}},
        {"clear LE bit 3", {0xFF}, 0, field(kLittle, true, 3, 3), {0xF7}},
        {"set BE bit 0", {0x00, 0x00}, 1, field(kBig, true, 0, 0), {0x80, 0x00}},
        {"value wider than the field is cut", {0x00}, 0x1F, field(kLittle, true, 0, 3), {0x0F}},
        {"negative into a signed field", {0x00}, -1, field(kLittle, false, 4, 7), {0xF0}},
        {"LE middle byte",
         {0x11, 0x22, 0x33, 0x44},
         0xAB,
         field(kLittle, true, 8, 15),
         {0x11, 0xAB, 0x33, 0x44}},
        {"BE middle byte",
         {0x11, 0x22, 0x33, 0x44},
         0xAB,
         field(kBig, true, 23, 16),
         {0x11, 0x22, 0xAB, 0x44}},
        {"whole 64-bit field",
         Bytes(8, 0),
         0x0102030405060708,
         field(kBig, true, 63, 0),
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"no mask replaces all", {0x12, 0x34}, 0x5678, field(kLittle, true), {0x78, 0x56}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto bytes = insert_int(c.old, c.value, c.field);
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        EXPECT_EQ(*bytes, c.expected);
    }
}

TEST(RegisterCodecTest, InsertThenDecodeRoundTripsInBothByteOrders) {
    const Bytes noise = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0xF0, 0x0F};
    for (bool big : {kLittle, kBig}) {
        for (size_t length : {1u, 2u, 3u, 4u, 8u}) {
            const uint32_t w = static_cast<uint32_t>(8 * length);
            for (uint32_t low = 0; low < w; low += 3) {
                for (uint32_t high = low; high < w; high += 5) {
                    const uint32_t n = high - low + 1;
                    // GenICam numbering counts from the top bit for big-endian registers.
                    const IntField f = big ? field(big, false, w - 1 - low, w - 1 - high)
                                           : field(big, false, low, high);
                    const int64_t v = n == 1 ? -1 : -(int64_t{1} << (n - 2)) + 1;
                    const Bytes old(noise.begin(), noise.begin() + static_cast<long>(length));
                    auto bytes = insert_int(old, v, f);
                    ASSERT_TRUE(bytes.ok()) << bytes.error();
                    auto back = decode_int(*bytes, f);
                    ASSERT_TRUE(back.ok());
                    EXPECT_EQ(*back, v)
                        << "big=" << big << " len=" << length << " bits " << low << ".." << high;
                    // Bits outside the field are untouched.
                    const uint64_t mask = n >= 64 ? ~0ull : ((1ull << n) - 1) << low;
                    EXPECT_EQ(load_u64(*bytes, big) & ~mask, load_u64(old, big) & ~mask);
                }
            }
        }
    }
}

TEST(RegisterCodecTest, EncodesWholeIntegers) {
    const std::vector<std::tuple<int64_t, int64_t, bool, Bytes>> cases = {
        {0x1234, 2, kBig, {0x12, 0x34}},
        {0x1234, 2, kLittle, {0x34, 0x12}},
        {-1, 3, kBig, {0xFF, 0xFF, 0xFF}},
        {0x12345678, 2, kBig, {0x56, 0x78}},  // high bits dropped, no range check
        {0x0102030405060708, 8, kBig, {1, 2, 3, 4, 5, 6, 7, 8}},
        {0x0102030405060708, 8, kLittle, {8, 7, 6, 5, 4, 3, 2, 1}},
        {-2, 1, kLittle, {0xFE}},
    };
    for (const auto& [value, length, big, expected] : cases) {
        auto bytes = encode_int(value, length, big);
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        EXPECT_EQ(*bytes, expected);
    }
    for (int64_t length : {0, 9, 16, -1}) {
        auto bytes = encode_int(1, length, kBig);
        ASSERT_FALSE(bytes.ok());
        EXPECT_EQ(bytes.error(), "unsupported integer register length " + std::to_string(length));
    }
    EXPECT_EQ(store_u64(0x0102030405060708, 3, kBig), (Bytes{6, 7, 8}));
    EXPECT_EQ(store_u64(0x0102030405060708, 3, kLittle), (Bytes{8, 7, 6}));
}

TEST(RegisterCodecTest, DecodesAndEncodesFloats) {
    const std::vector<std::tuple<Bytes, bool, double>> cases = {
        {{0x3F, 0x80, 0x00, 0x00}, kBig, 1.0},
        {{0x00, 0x00, 0x80, 0x3F}, kLittle, 1.0},
        {{0xC0, 0x49, 0x0F, 0xDB}, kBig, static_cast<double>(3.14159274101257324f) * -1},
        {{0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, kBig, 1.5},
        {{0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, kLittle, 1.5},
    };
    for (const auto& [bytes, big, value] : cases) {
        auto v = decode_float(bytes, big);
        ASSERT_TRUE(v.ok()) << v.error();
        EXPECT_EQ(*v, value);
        auto back = encode_float(value, static_cast<int64_t>(bytes.size()), big);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(*back, bytes);
    }
    // Narrowing to single precision rounds, and saturates to infinity past the float range.
    const double fmax = std::numeric_limits<float>::max();
    const std::vector<std::pair<double, Bytes>> narrow = {
        {0.1, {0x3D, 0xCC, 0xCC, 0xCD}},
        {1e300, {0x7F, 0x80, 0x00, 0x00}},
        {-1e300, {0xFF, 0x80, 0x00, 0x00}},
        {fmax * (1 + 1e-9), {0x7F, 0x7F, 0xFF, 0xFF}},
        {std::numeric_limits<double>::infinity(), {0x7F, 0x80, 0x00, 0x00}},
    };
    for (const auto& [value, bytes] : narrow) {
        auto out = encode_float(value, 4, kBig);
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(*out, bytes) << value;
    }
    auto nan = decode_float(encode_float(std::nan(""), 4, kLittle).value(), kLittle);
    ASSERT_TRUE(nan.ok());
    EXPECT_TRUE(std::isnan(*nan));

    for (int64_t length : {0, 2, 3, 16}) {
        const std::string message = "unsupported float register length " + std::to_string(length);
        auto out = encode_float(1.0, length, kBig);
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error(), message);
        auto in = decode_float(Bytes(static_cast<size_t>(length), 0), kBig);
        ASSERT_FALSE(in.ok());
        EXPECT_EQ(in.error(), message);
    }
}

TEST(RegisterCodecTest, StringsStopAtNulAndArePaddedOrCut) {
    const std::vector<std::pair<std::string, std::string>> reads = {
        {std::string("abc\0def", 7), "abc"},
        {"no terminator", "no terminator"},
        {std::string(4, '\0'), ""},
        {"bad\xFFutf8", "bad\uFFFDutf8"},
        {"", ""},
    };
    for (const auto& [raw, text] : reads) {
        EXPECT_EQ(decode_string({reinterpret_cast<const uint8_t*>(raw.data()), raw.size()}), text);
    }
    const std::vector<std::tuple<std::string, int64_t, std::string>> writes = {
        {"hello", 8, std::string("hello\0\0\0", 8)},
        {"hello", 5, "hello"},
        {"hello", 3, "hel"},
        {"", 2, std::string(2, '\0')},
        {"x", 0, ""},
    };
    for (const auto& [text, length, raw] : writes) {
        auto bytes = encode_string(text, length);
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), raw);
    }
    for (int64_t length : {int64_t{-1}, int64_t{1} << 40}) {
        auto bytes = encode_string("x", length);
        ASSERT_FALSE(bytes.ok());
        EXPECT_EQ(bytes.error(), "unsupported string register length " + std::to_string(length));
    }
}

}  // namespace
