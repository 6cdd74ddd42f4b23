// Register access through nodes: byte orders, signs and bit ranges both ways, floats, strings,
// caching modes, invalidation, overlapping registers, access modes, lengths and port failures.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "genicam/registers.hpp"
#include "genicam/value.hpp"
#include "memory_port.hpp"

using namespace corvisk;
using namespace corvisk::genicam;
using corvisk::genicam::testing::build;
using corvisk::genicam::testing::error_of;
using corvisk::genicam::testing::MemoryPort;
using corvisk::genicam::testing::must;

namespace {

constexpr uint64_t kAddr = 0x100;

// A register element named R at kAddr with the given length and extra children.
std::string reg(const char* element, int length, const std::string& extra) {
    return fmt::format(
        "<{0} Name=\"R\"><Address>0x100</Address><Length>{1}</Length><pPort>Device</pPort>"
        "{2}</{0}>",
        element, length, extra);
}

struct IntCase {
    const char* label;
    std::string element;
    std::vector<uint8_t> bytes;
    int64_t expected;
};

const std::vector<IntCase>& int_cases() {
    static const std::vector<IntCase> cases = {
        {"be 4 bytes LSB31 MSB16 is the low half",
         reg("MaskedIntReg", 4, "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess>"),
         {0x00, 0x00, 0x05, 0xDC},
         1500},
        {"le 2 bytes signed", reg("IntReg", 2, "<Sign>Signed</Sign>"), {0xFF, 0xFF}, -1},
        {"le 2 bytes unsigned", reg("IntReg", 2, "<Sign>Unsigned</Sign>"), {0xFF, 0xFF}, 65535},
        {"le 2 bytes, sign absent means unsigned", reg("IntReg", 2, ""), {0xFF, 0xFF}, 65535},
        {"be 2 bytes", reg("IntReg", 2, "<Endianess>BigEndian</Endianess>"), {0x12, 0x34}, 0x1234},
        {"le 2 bytes",
         reg("IntReg", 2, "<Endianess>LittleEndian</Endianess>"),
         {0x12, 0x34},
         0x3412},
        {"one bit unsigned", reg("MaskedIntReg", 1, "<Bit>3</Bit>"), {0x08}, 1},
        {"one bit signed", reg("MaskedIntReg", 1, "<Bit>3</Bit><Sign>Signed</Sign>"), {0x08}, -1},
        {"one bit clear", reg("MaskedIntReg", 1, "<Bit>3</Bit>"), {0xF7}, 0},
        {"be bit 0 is the top bit",
         reg("MaskedIntReg", 4, "<Bit>0</Bit><Endianess>BigEndian</Endianess>"),
         {0x80, 0x00, 0x00, 0x00},
         1},
        {"le msb only is bits 0..msb",
         reg("MaskedIntReg", 2, "<MSB>11</MSB>"),
         {0xFF, 0xFF},
         0xFFF},
        {"le field 4..7 signed",
         reg("MaskedIntReg", 1, "<LSB>4</LSB><MSB>7</MSB><Sign>Signed</Sign>"),
         {0x8F},
         -8},
        {"8 bytes whole value, no sign handling",
         reg("IntReg", 8, "<Sign>Unsigned</Sign>"),
         {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         -2},
        {"8 bytes be",
         reg("IntReg", 8, "<Endianess>BigEndian</Endianess>"),
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
         0x0102030405060708},
        {"3 bytes signed le",
         reg("IntReg", 3, "<Sign>Signed</Sign>"),
         {0x00, 0x00, 0x80},
         -8388608},
        {"struct entry inherits be and sign",
         "<StructReg Comment=\"s\"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort>"
         "<Endianess>BigEndian</Endianess><Sign>Signed</Sign>"
         "<StructEntry Name=\"R\"><LSB>31</LSB><MSB>24</MSB></StructEntry></StructReg>",
         {0x00, 0x00, 0x00, 0xFE},
         -2},
    };
    return cases;
}

class IntDecodeTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntDecodeTest, ReadsThroughTheNode) {
    const IntCase& c = GetParam();
    Genicam map = build(c.element);
    MemoryPort port;
    port.poke(kAddr, c.bytes);
    auto v = get_integer(map, port, "R");
    ASSERT_TRUE(v.ok()) << v.error().message();
    EXPECT_EQ(*v, c.expected);
    EXPECT_EQ(port.last_read_length, c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Registers, IntDecodeTest, ::testing::ValuesIn(int_cases()),
                         [](const auto& param) { return fmt::format("case{}", param.index); });

struct EncodeCase {
    const char* label;
    std::string element;
    std::vector<uint8_t> before;
    int64_t value;
    std::vector<uint8_t> after;
};

class IntEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(IntEncodeTest, WritesThroughTheNode) {
    const EncodeCase& c = GetParam();
    Genicam map = build(c.element);
    MemoryPort port;
    port.poke(kAddr, c.before);
    auto w = set_integer(map, port, "R", c.value);
    ASSERT_TRUE(w.ok()) << w.error().message();
    EXPECT_EQ(port.peek(kAddr, c.after.size()), c.after);
    EXPECT_EQ(port.writes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, IntEncodeTest,
    ::testing::Values(
        EncodeCase{
            "masked be keeps the high half",
            reg("MaskedIntReg", 4, "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess>"),
            {0xAB, 0xCD, 0x05, 0xDC},
            9000,
            {0xAB, 0xCD, 0x23, 0x28}},
        EncodeCase{"whole le", reg("IntReg", 4, ""), {}, 0x11223344, {0x44, 0x33, 0x22, 0x11}},
        EncodeCase{"whole be",
                   reg("IntReg", 4, "<Endianess>BigEndian</Endianess>"),
                   {},
                   0x11223344,
                   {0x11, 0x22, 0x33, 0x44}},
        EncodeCase{
            "higher bits dropped", reg("IntReg", 2, ""), {0, 0, 0x77}, 0x12345, {0x45, 0x23, 0x77}},
        EncodeCase{"negative into 1 byte", reg("IntReg", 1, "<Sign>Signed</Sign>"), {}, -1, {0xFF}},
        EncodeCase{
            "one bit set keeps others", reg("MaskedIntReg", 1, "<Bit>3</Bit>"), {0x81}, 1, {0x89}},
        EncodeCase{"field value masked to width",
                   reg("MaskedIntReg", 1, "<LSB>4</LSB><MSB>5</MSB>"),
                   {0x0F},
                   0xFF,
                   {0x3F}},
        EncodeCase{"8 bytes be",
                   reg("IntReg", 8, "<Endianess>BigEndian</Endianess>"),
                   {},
                   -2,
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}}),
    [](const auto& param) { return fmt::format("case{}", param.index); });

TEST(RegisterErrorTest, BadLengthsAndBitRangesAreFormulaErrors) {
    struct Case {
        std::string element;
        const char* message;
    };
    const std::vector<Case> cases = {
        {reg("IntReg", 16, ""), "formula in 'R': unsupported integer register length 16"},
        {reg("MaskedIntReg", 1, "<MSB>9</MSB>"), "formula in 'R': bad bit range 0..9 for 1 bytes"},
        {reg("MaskedIntReg", 1, "<LSB>5</LSB><MSB>2</MSB>"),
         "formula in 'R': bad bit range 5..2 for 1 bytes"},
        {reg("MaskedIntReg", 2, "<Bit>16</Bit><Endianess>BigEndian</Endianess>"),
         "formula in 'R': bad bit range 4294967295..4294967295 for 2 bytes"},
        {reg("FloatReg", 2, ""), "formula in 'R': unsupported float register length 2"},
        {reg("IntReg", 0, ""), "formula in 'R': unsupported integer register length 0"},
    };
    for (const auto& c : cases) {
        Genicam map = build(c.element);
        MemoryPort port;
        const bool is_float = c.element.find("FloatReg") != std::string::npos;
        const std::string msg =
            is_float ? error_of(get_float(map, port, "R")) : error_of(get_integer(map, port, "R"));
        EXPECT_EQ(msg, c.message) << c.element;
        EXPECT_TRUE(map.stack().empty());
    }
}

TEST(RegisterLengthTest, AbsurdLengthsAreRefusedBeforeAnyRead) {
    // 0xFFFFFFFF bytes, and a negative length through a node: neither may allocate or read.
    for (const std::string& length :
         {std::string("<Length>0xFFFFFFFF</Length>"), std::string("<pLength>Neg</pLength>")}) {
        Genicam map = build(
            "<Integer Name=\"Neg\"><Value>-4</Value></Integer>"
            "<StringReg Name=\"S\"><Address>0x100</Address>" +
            length + "<pPort>Device</pPort></StringReg>");
        MemoryPort port;
        const std::string msg = error_of(get_string(map, port, "S"));
        EXPECT_NE(msg.find("formula in 'S': unsupported register length"), std::string::npos)
            << msg;
        EXPECT_EQ(port.traffic(), 0);
    }
}

TEST(RegisterAddressTest, TermsAreSummedInOrder) {
    Genicam map = build(
        "<Integer Name=\"Offset\"><Value>0x20</Value></Integer>"
        "<IntReg Name=\"R\"><Address>0x1000</Address><pAddress>Offset</pAddress>"
        "<IntSwissKnife><pVariable Name=\"O\">Offset</pVariable><Formula>O * 2</Formula>"
        "</IntSwissKnife><Length>4</Length><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    port.poke(0x1060, {7, 0, 0, 0});
    const NodeId r = *map.find("R");
    auto loc = register_address(map, port, r);
    ASSERT_TRUE(loc.ok()) << loc.error().message();
    EXPECT_EQ(loc->address, 0x1060);
    EXPECT_EQ(loc->length, 4);
    EXPECT_EQ(must(get_integer(map, port, "R")), 7);
}

TEST(RegisterTypedTest, FloatRegistersBothOrdersAndWidths) {
    Genicam map = build(reg("FloatReg", 4, "<Endianess>BigEndian</Endianess>") +
                        "<FloatReg Name=\"D\"><Address>0x200</Address><Length>8</Length>"
                        "<pPort>Device</pPort></FloatReg>");
    MemoryPort port;
    port.poke(kAddr, {0x3F, 0xC0, 0x00, 0x00});  // 1.5f big-endian
    EXPECT_EQ(must(get_float(map, port, "R")), 1.5);
    ASSERT_TRUE(set_float(map, port, "R", -2.25).ok());
    EXPECT_EQ(port.peek(kAddr, 4), (std::vector<uint8_t>{0xC0, 0x10, 0x00, 0x00}));
    ASSERT_TRUE(set_float(map, port, "D", 0.1).ok());
    EXPECT_EQ(port.peek(0x200, 8),
              (std::vector<uint8_t>{0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}));
    EXPECT_EQ(must(get_float(map, port, "D")), 0.1);
    // A float register read as an integer is not an integer register.
    EXPECT_EQ(error_of(get_integer(map, port, "D")), "node 'D' does not support this access");
}

TEST(RegisterTypedTest, StringRegistersCutPadAndReplace) {
    Genicam map = build(reg("StringReg", 8, ""));
    MemoryPort port;
    port.poke(kAddr, {'a', 'b', 'c', 0, 'x', 'y', 'z', 'w', '!'});
    EXPECT_EQ(must(get_string(map, port, "R")), "abc");

    ASSERT_TRUE(set_string(map, port, "R", "hi").ok());
    EXPECT_EQ(port.peek(kAddr, 8), (std::vector<uint8_t>{'h', 'i', 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(set_string(map, port, "R", "0123456789").ok());
    EXPECT_EQ(port.peek(kAddr, 9),
              (std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7', '!'}));

    Genicam bad = build(reg("StringReg", 4, "<Cachable>NoCache</Cachable>"));
    port.poke(kAddr, {'o', 0xFF, 'k', 'k'});
    EXPECT_EQ(must(get_string(bad, port, "R")), "o\xEF\xBF\xBDkk");
}

TEST(RegisterTypedTest, RawRegistersHaveNoTypedAccessAndDefaultLengthIsFour) {
    Genicam map = build(
        "<Register Name=\"Raw\"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort>"
        "</Register><IntReg Name=\"NoLen\"><Address>0x104</Address><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    port.poke(0x104, {9, 0, 0, 0});
    EXPECT_EQ(error_of(get_integer(map, port, "Raw")), "node 'Raw' does not support this access");
    EXPECT_EQ(error_of(set_integer(map, port, "Raw", 1)),
              "node 'Raw' does not support this access");
    EXPECT_EQ(error_of(get_string(map, port, "Raw")), "node 'Raw' does not support this access");
    EXPECT_EQ(error_of(get_float(map, port, "Raw")), "node 'Raw' does not support this access");

    EXPECT_EQ(must(get_integer(map, port, "NoLen")), 9);
    EXPECT_EQ(port.last_read_length, 4u);
    // Writes take their byte count from the length reference itself.
    EXPECT_EQ(error_of(set_integer(map, port, "NoLen", 1)),
              "node '<value reference>' does not support this access");
    EXPECT_EQ(port.writes, 0);
}

TEST(RegisterAccessTest, WriteOnlyAndReadOnlyRegisters) {
    Genicam map =
        build(reg("IntReg", 4, "<AccessMode>WO</AccessMode><Cachable>WriteThrough</Cachable>") +
              "<IntReg Name=\"Ro\"><Address>0x200</Address><Length>4</Length>"
              "<AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    ASSERT_TRUE(set_integer(map, port, "R", 5).ok());
    // Even with the written bytes cached, a write-only register cannot be read back.
    EXPECT_EQ(error_of(get_integer(map, port, "R")),
              "node 'R' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(set_integer(map, port, "Ro", 5)),
              "node 'Ro' is not accessible this way (access mode)");
    EXPECT_EQ(port.writes, 1);
    EXPECT_EQ(port.reads, 0);
    EXPECT_EQ(must(access_mode(map, "R")), AccessMode::WO);
    EXPECT_EQ(must(access_mode(map, "Ro")), AccessMode::RO);
}

// --- caching ---

struct CacheCase {
    const char* cachable;
    int reads_for_two_gets;
    int reads_after_write;  // total reads after get, set, get
    int64_t value_after_write;
};

class CacheModeTest : public ::testing::TestWithParam<CacheCase> {};

TEST_P(CacheModeTest, ReadsAndWrites) {
    const CacheCase& c = GetParam();
    Genicam map = build(reg("IntReg", 4, fmt::format("<Cachable>{}</Cachable>", c.cachable)));
    MemoryPort port;
    port.poke(kAddr, {1, 0, 0, 0});
    EXPECT_EQ(must(get_integer(map, port, "R")), 1);
    EXPECT_EQ(must(get_integer(map, port, "R")), 1);
    EXPECT_EQ(port.reads, c.reads_for_two_gets);

    port.reads = 0;
    ASSERT_TRUE(set_integer(map, port, "R", 2).ok());
    EXPECT_EQ(must(get_integer(map, port, "R")), c.value_after_write);
    EXPECT_EQ(port.reads, c.reads_after_write);
}

INSTANTIATE_TEST_SUITE_P(Registers, CacheModeTest,
                         ::testing::Values(CacheCase{"NoCache", 2, 1, 2},
                                           CacheCase{"WriteThrough", 1, 0, 2},
                                           CacheCase{"WriteAround", 1, 1, 2},
                                           CacheCase{"Bogus", 1, 1, 2}),
                         [](const auto& param) { return std::string(param.param.cachable); });

TEST(RegisterCacheTest, WriteThroughServesTheWrittenBytesNotTheDevice) {
    Genicam map = build(reg("IntReg", 4, "<Cachable>WriteThrough</Cachable>"));
    MemoryPort port;
    ASSERT_TRUE(set_integer(map, port, "R", 7).ok());
    port.poke(kAddr, {99, 0, 0, 0});  // the device changed it behind our back
    EXPECT_EQ(must(get_integer(map, port, "R")), 7);
    invalidate_caches(map);
    EXPECT_EQ(must(get_integer(map, port, "R")), 99);
    EXPECT_EQ(port.reads, 1);
}

TEST(RegisterCacheTest, PortFailureIsTransportAndLeavesCachesAlone) {
    Genicam map = build(reg("IntReg", 4, ""));
    MemoryPort port;
    port.poke(kAddr, {3, 0, 0, 0});
    EXPECT_EQ(must(get_integer(map, port, "R")), 3);
    port.fail = true;
    auto w = set_integer(map, port, "R", 4);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(w.error().message(), "timed out waiting for acknowledge");
    EXPECT_EQ(must(get_integer(map, port, "R")), 3);  // still cached

    invalidate_caches(map);
    auto r = get_integer(map, port, "R");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), GenicamError::Kind::Transport);
    port.fail = false;
    EXPECT_EQ(must(get_integer(map, port, "R")), 3);
    EXPECT_TRUE(map.stack().empty());
}

TEST(RegisterCacheTest, MaskedWriteReusesCachedBytes) {
    Genicam map = build(reg("MaskedIntReg", 4, "<LSB>0</LSB><MSB>7</MSB>"));
    MemoryPort port;
    port.poke(kAddr, {0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(must(get_integer(map, port, "R")), 0x11);
    ASSERT_TRUE(set_integer(map, port, "R", 0x55).ok());
    EXPECT_EQ(port.reads, 1);  // the read-modify-write used the cache
    EXPECT_EQ(port.peek(kAddr, 4), (std::vector<uint8_t>{0x55, 0x22, 0x33, 0x44}));
}

// B declares pInvalidator A, C declares pInvalidator B: writing A drops B only.
TEST(RegisterInvalidationTest, OneLevelThroughTheIndex) {
    Genicam map = build(
        "<IntReg Name=\"A\"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort>"
        "</IntReg>"
        "<IntReg Name=\"B\"><pInvalidator>A</pInvalidator><Address>0x200</Address>"
        "<Length>4</Length><pPort>Device</pPort></IntReg>"
        "<IntReg Name=\"C\"><pInvalidator>B</pInvalidator><Address>0x300</Address>"
        "<Length>4</Length><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    port.poke(0x200, {2, 0, 0, 0});
    port.poke(0x300, {3, 0, 0, 0});
    ASSERT_TRUE(get_integer(map, port, "B").ok());
    ASSERT_TRUE(get_integer(map, port, "C").ok());
    port.poke(0x200, {20, 0, 0, 0});
    port.poke(0x300, {30, 0, 0, 0});
    ASSERT_TRUE(set_integer(map, port, "A", 1).ok());
    port.reads = 0;
    EXPECT_EQ(must(get_integer(map, port, "B")), 20);  // dropped: read again
    EXPECT_EQ(must(get_integer(map, port, "C")), 3);   // one level only: still cached
    EXPECT_EQ(port.reads, 1);
}

// Descriptions usually name the feature, not its register: writing Width must refresh the
// cached PayloadSize register whose pInvalidator names Width.
TEST(RegisterInvalidationTest, InvalidatorNamingAFeatureFires) {
    Genicam map = build(
        "<Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>"
        "<IntReg Name=\"WidthReg\"><Address>0x100</Address><Length>4</Length>"
        "<pPort>Device</pPort></IntReg>"
        "<Integer Name=\"PayloadSize\"><pValue>PayloadReg</pValue></Integer>"
        "<IntReg Name=\"PayloadReg\"><pInvalidator>Width</pInvalidator><Address>0x200</Address>"
        "<Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
        "<IntReg Name=\"Other\"><pInvalidator>PayloadSize</pInvalidator><Address>0x300</Address>"
        "<Length>4</Length><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    port.poke(0x200, {100, 0, 0, 0});
    EXPECT_EQ(must(get_integer(map, port, "PayloadSize")), 100);
    port.poke(0x200, {200, 0, 0, 0});
    EXPECT_EQ(must(get_integer(map, port, "PayloadSize")), 100);  // cached
    ASSERT_TRUE(set_integer(map, port, "Width", 640).ok());
    EXPECT_EQ(must(get_integer(map, port, "PayloadSize")), 200);
}

// Whatever node a write goes through (a command, a converter, an enumeration), an invalidator
// naming that node drops the dependent register's cache.
TEST(RegisterInvalidationTest, InvalidatorsFireForEveryNodeOnTheWritePath) {
    Genicam map = build(
        "<IntReg Name=\"Target\"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort>"
        "</IntReg>"
        "<Command Name=\"Cmd\"><pValue>Target</pValue></Command>"
        "<Converter Name=\"Conv\"><pValue>Target</pValue><FormulaTo>FROM</FormulaTo>"
        "<FormulaFrom>TO</FormulaFrom></Converter>"
        "<Enumeration Name=\"Enum\"><pValue>Target</pValue>"
        "<EnumEntry Name=\"A\"><Value>1</Value></EnumEntry></Enumeration>"
        "<IntReg Name=\"Dep\"><pInvalidator>Cmd</pInvalidator><pInvalidator>Conv</pInvalidator>"
        "<pInvalidator>Enum</pInvalidator><Address>0x200</Address><Length>4</Length>"
        "<pPort>Device</pPort></IntReg>");
    MemoryPort port;
    const std::function<Status<GenicamError>()> writes[] = {
        [&] { return execute(map, port, "Cmd"); },
        [&] { return set_integer(map, port, "Conv", 3); },
        [&] { return set_enum(map, port, "Enum", "A"); },
    };
    for (size_t i = 0; i < std::size(writes); ++i) {
        port.poke(0x200, {1, 0, 0, 0});
        invalidate_caches(map);
        EXPECT_EQ(must(get_integer(map, port, "Dep")), 1);  // now cached
        port.poke(0x200, {2, 0, 0, 0});
        ASSERT_TRUE(writes[i]().ok());
        EXPECT_EQ(must(get_integer(map, port, "Dep")), 2) << i;
    }
}

// Two entries of one StructReg share a word; writing one must not let the other's cached copy
// put the old bits back on the device. A register declared apart keeps its cache.
TEST(RegisterInvalidationTest, StructEntriesDropEachOthersCopies) {
    Genicam map = build(
        "<StructReg Comment=\"ctl\"><Address>0x100</Address><Length>4</Length>"
        "<pPort>Device</pPort>"
        "<StructEntry Name=\"Lo\"><LSB>0</LSB><MSB>7</MSB></StructEntry>"
        "<StructEntry Name=\"Hi\"><LSB>8</LSB><MSB>15</MSB></StructEntry></StructReg>"
        "<Integer Name=\"Apart\"><Value>0</Value></Integer>"
        "<IntReg Name=\"Word\"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort>"
        "</IntReg>");
    MemoryPort port;
    port.poke(kAddr, {0x01, 0x02, 0, 0});
    EXPECT_EQ(must(get_integer(map, port, "Lo")), 1);
    EXPECT_EQ(must(get_integer(map, port, "Hi")), 2);
    EXPECT_EQ(must(get_integer(map, port, "Word")), 0x0201);
    ASSERT_TRUE(set_integer(map, port, "Lo", 0x11).ok());
    ASSERT_TRUE(set_integer(map, port, "Hi", 0x22).ok());
    EXPECT_EQ(port.peek(kAddr, 4), (std::vector<uint8_t>{0x11, 0x22, 0, 0}));
    EXPECT_EQ(must(get_integer(map, port, "Lo")), 0x11);
    EXPECT_EQ(must(get_integer(map, port, "Word")), 0x0201);
}

}  // namespace
