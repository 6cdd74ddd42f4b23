// Constructs real device descriptions use, each in a small description of our own: indexed
// registers and values, integer/float links both ways, formula locals and name shadowing, float
// and integer formula kinds, predicates, imposed access, polled values, vendor register kinds,
// number spellings, and the document forms (encodings, leading blanks, root element).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "genicam/introspection.hpp"
#include "genicam/registers.hpp"
#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"
#include "memory_port.hpp"

using namespace corvisk;
using namespace corvisk::genicam;
using namespace corvisk::genicam::testing;

namespace {

std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::string int_reg(const std::string& name, const std::string& address,
                    const std::string& extra = "") {
    return "<IntReg Name=\"" + name + "\"><Address>" + address +
           "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>" + extra +
           "</IntReg>";
}

std::string integer(const std::string& name, const std::string& inner) {
    return "<Integer Name=\"" + name + "\">" + inner + "</Integer>";
}

TEST(DescriptionConstructsTest, IndexedRegistersAddTheIndexTimesTheOffset) {
    Genicam map = build(integer("Sel", "<Value>3</Value>") + integer("Step", "<Value>16</Value>") +
                        int_reg("ByOffset", "0x100", "<pIndex Offset=\"4\">Sel</pIndex>") +
                        int_reg("ByNode", "0x200", "<pIndex pOffset=\"Step\">Sel</pIndex>") +
                        int_reg("ByLength", "0x300", "<pIndex>Sel</pIndex>"));
    MemoryPort port;
    port.poke(0x100 + 12, le32(7));
    port.poke(0x200 + 48, le32(8));
    port.poke(0x300 + 12, le32(9));
    EXPECT_EQ(must(get_integer(map, port, "ByOffset")), 7);
    EXPECT_EQ(must(get_integer(map, port, "ByNode")), 8);
    EXPECT_EQ(must(get_integer(map, port, "ByLength")), 9);
    const NodeId id = *map.find("ByOffset");
    EXPECT_EQ(must(register_address(map, port, id)).address, 0x10c);
    // Writing goes to the indexed address as well.
    ASSERT_TRUE(set_integer(map, port, "ByNode", 5).ok());
    EXPECT_EQ(port.peek(0x200 + 48, 4), le32(5));
}

// Vendors point the registers a model lacks at a sentinel address and mark them not
// implemented (or not available) for that selector value: such a register is refused without
// a request, the others are read.
TEST(DescriptionConstructsTest, AbsentRegistersAreRefusedWithoutTouchingTheDevice) {
    for (const char* predicate : {"pIsImplemented", "pIsAvailable"}) {
        SCOPED_TRACE(predicate);
        const std::string tag = predicate;
        Genicam map = build(
            integer("Sel", "<Value>2</Value>") +
            "<IntSwissKnife Name=\"Adr\"><pVariable Name=\"SEL\">Sel</pVariable>"
            "<Formula>(SEL = 0) ? 0x40 : 0xffffffff</Formula></IntSwissKnife>"
            "<IntSwissKnife Name=\"Present\"><pVariable Name=\"SEL\">Sel</pVariable>"
            "<Formula>SEL = 0</Formula></IntSwissKnife>"
            "<IntReg Name=\"R\"><" +
            tag + ">Present</" + tag +
            "><pAddress>Adr</pAddress>"
            "<Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
            "<Cachable>NoCache</Cachable><Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>"
            "</IntReg>");
        MemoryPort port;
        port.poke(0x40, le32(7));
        auto absent = get_integer(map, port, "R");
        ASSERT_FALSE(absent.ok());
        EXPECT_EQ(absent.error().kind(), GenicamError::Kind::NotAccessible);
        EXPECT_FALSE(set_integer(map, port, "R", 1).ok());
        EXPECT_EQ(port.reads, 0);
        ASSERT_TRUE(set_integer(map, port, "Sel", 0).ok());
        EXPECT_EQ(must(get_integer(map, port, "R")), 7);
    }
}

// A location that runs past the end of the address space (a sentinel address from a selector
// value its formula does not cover) fails the feature by name, without a request.
TEST(DescriptionConstructsTest, RegistersPastTheAddressSpaceFailByName) {
    Genicam map = build(int_reg("Edge", "0xfffffffe") + int_reg("Last", "0xfffffffc"));
    MemoryPort port;
    auto read = get_integer(map, port, "Edge");
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message(),
              "formula in 'Edge': register at 0xfffffffe (4 bytes) runs past the 32-bit address "
              "space");
    EXPECT_FALSE(set_integer(map, port, "Edge", 1).ok());
    EXPECT_EQ(port.traffic(), 0);
    EXPECT_TRUE(get_integer(map, port, "Last").ok());  // the last word is addressable
}

TEST(DescriptionConstructsTest, IndexedValuesPickTheEntryOrTheDefault) {
    Genicam map = build(
        integer("Sel", "<Value>1</Value>") + int_reg("R", "0x10") +
        integer("I",
                "<pIndex>Sel</pIndex><ValueIndexed Index=\"0\">10</ValueIndexed>"
                "<pValueIndexed Index=\"1\">R</pValueIndexed><ValueDefault>-1</ValueDefault>") +
        "<Float Name=\"F\"><pIndex>Sel</pIndex><ValueIndexed Index=\"1\">2.5</ValueIndexed>"
        "<ValueDefault>0.5</ValueDefault></Float>");
    MemoryPort port;
    port.poke(0x10, le32(42));
    EXPECT_EQ(must(get_integer(map, port, "I")), 42);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "F")), 2.5);
    ASSERT_TRUE(set_integer(map, port, "I", 43).ok());  // through the selected register
    EXPECT_EQ(port.peek(0x10, 4), le32(43));
    ASSERT_TRUE(set_integer(map, port, "Sel", 7).ok());
    EXPECT_EQ(must(get_integer(map, port, "I")), -1);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "F")), 0.5);
    ASSERT_TRUE(set_integer(map, port, "Sel", 0).ok());
    EXPECT_EQ(must(get_integer(map, port, "I")), 10);
}

TEST(DescriptionConstructsTest, FloatsAndIntegersLinkEachOtherBothWays) {
    Genicam map = build(
        int_reg("IR", "0x10") + integer("Int", "<pValue>IR</pValue>") +
        "<FloatReg Name=\"FR\"><Address>0x20</Address><Length>8</Length><AccessMode>RW</AccessMode>"
        "<pPort>Device</pPort></FloatReg>" +
        "<Float Name=\"FromReg\"><pValue>IR</pValue><pMin>Int</pMin><pMax>IR</pMax>"
        "<pInc>Int</pInc></Float>"
        "<Float Name=\"FromInt\"><pValue>Int</pValue></Float>" +
        integer("IntOfFloat", "<pValue>FR</pValue><pMin>FR</pMin><pInc>FR</pInc>"));
    MemoryPort port;
    port.poke(0x10, le32(12));
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "FromReg")), 12.0);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "FromInt")), 12.0);
    EXPECT_EQ(must(float_bounds(map, port, "FromReg")), (std::pair{12.0, 12.0}));
    ASSERT_TRUE(set_float(map, port, "FromReg", 20.4).ok());
    EXPECT_EQ(port.peek(0x10, 4), le32(20));
    ASSERT_TRUE(set_float(map, port, "IntOfFloat", 2.0).ok());  // an Integer over a FloatReg
    EXPECT_EQ(must(get_integer(map, port, "IntOfFloat")), 2);
    EXPECT_EQ(must(integer_bounds(map, port, "IntOfFloat")).first, 2);
    EXPECT_EQ(must(integer_increment(map, port, "IntOfFloat")), 2);
    ASSERT_TRUE(set_float(map, port, "FromInt", 3.0).ok());  // a Float over an Integer
    EXPECT_EQ(port.peek(0x10, 4), le32(3));
}

TEST(DescriptionConstructsTest, FormulaLocalsBindAndShadowBuiltInNames) {
    Genicam map =
        build(int_reg("R", "0x10") +
              "<SwissKnife Name=\"K\"><pVariable Name=\"EXP\">R</pVariable>"
              "<Constant Name=\"E\">10</Constant><Expression Name=\"TWICE\">EXP * 2</Expression>"
              "<Formula>TWICE + E + EXP(0)</Formula></SwissKnife>"
              "<IntSwissKnife Name=\"PiVar\"><pVariable Name=\"PI\">R</pVariable>"
              "<Formula>PI + 1</Formula></IntSwissKnife>"
              "<Converter Name=\"C\"><pVariable Name=\"GAIN\">R</pVariable>"
              "<Constant Name=\"OFF\">0.5</Constant><FormulaTo>(FROM - OFF) / GAIN</FormulaTo>"
              "<FormulaFrom>TO * GAIN + OFF</FormulaFrom><pValue>R</pValue></Converter>"
              "<SwissKnife Name=\"Unbound\"><Formula>E + PI</Formula></SwissKnife>");
    MemoryPort port;
    port.poke(0x10, le32(4));
    // EXP is the variable (4) except where "(" makes it the function; E is the constant 10.
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "K")), 8 + 10 + 1);
    EXPECT_EQ(must(get_integer(map, port, "PiVar")), 5);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "C")), 4 * 4 + 0.5);
    EXPECT_NEAR(must(get_float(map, port, "Unbound")), M_E + M_PI, 1e-12);
}

TEST(DescriptionConstructsTest, FloatKindsComputeInFloatsAndIntegerKindsInIntegers) {
    Genicam map = build(
        int_reg("R", "0x10") +
        "<SwissKnife Name=\"Gamma\"><pVariable Name=\"V\">R</pVariable><Formula>V / 1024</Formula>"
        "</SwissKnife>"
        "<IntSwissKnife Name=\"IntDiv\"><pVariable Name=\"V\">R</pVariable>"
        "<Formula>V / 1024</Formula></IntSwissKnife>"
        "<Converter Name=\"Temp\"><FormulaTo>FROM</FormulaTo>"
        "<FormulaFrom>( TO / 10 ) - 273.15</FormulaFrom><pValue>R</pValue></Converter>"
        "<IntConverter Name=\"Half\"><FormulaTo>FROM * 2</FormulaTo><FormulaFrom>TO / 2"
        "</FormulaFrom><pValue>R</pValue></IntConverter>"
        "<Converter Name=\"Masked\"><FormulaTo>( FROM / 1.024 + 0.5 ) &amp; 0xFFFF</FormulaTo>"
        "<FormulaFrom>TO</FormulaFrom><pValue>R</pValue></Converter>"
        "<SwissKnife Name=\"Round\"><Formula>ROUND(2.71828, 2) + ROUND(1234.5, -2)</Formula>"
        "</SwissKnife>"
        "<SwissKnife Name=\"Trunc\"><Formula>-2.7 | 0</Formula></SwissKnife>"
        "<SwissKnife Name=\"Nested\"><pVariable Name=\"G\">Gamma</pVariable>"
        "<Formula>G * 2</Formula></SwissKnife>");
    MemoryPort port;
    port.poke(0x10, le32(3143));
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "Gamma")), 3143.0 / 1024);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "IntDiv")), 3.0);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "Temp")), 314.3 - 273.15);
    EXPECT_EQ(must(get_integer(map, port, "Half")), 1571);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "Nested")), 3143.0 / 512);
    EXPECT_DOUBLE_EQ(must(get_float(map, port, "Round")), 2.72 + 1200);
    EXPECT_EQ(must(get_integer(map, port, "Trunc")), -2);  // toward zero, not -3
    ASSERT_TRUE(set_float(map, port, "Masked", 100.0).ok());
    EXPECT_EQ(port.peek(0x10, 4), le32(98));  // trunc(100 / 1.024 + 0.5) = 98
}

TEST(DescriptionConstructsTest, AddressesAboveThirtyTwoBitsUseTheLowBits) {
    Genicam map =
        build(integer("Base", "<Value>0xffffd0000000</Value>") +
              "<IntReg Name=\"High\"><pAddress>Base</pAddress><Address>0x10</Address>"
              "<Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    port.poke(0xd0000010, le32(77));
    EXPECT_EQ(must(get_integer(map, port, "High")), 77);
    ASSERT_TRUE(set_integer(map, port, "High", 78).ok());
    EXPECT_EQ(port.peek(0xd0000010, 4), le32(78));
}

TEST(DescriptionConstructsTest, PredicatesTextsAndImposedAccessAreKept) {
    Genicam map =
        build(integer("Impl", "<Value>1</Value>") + int_reg("R", "0x10") +
              "<Integer Name=\"Gain\"><ToolTip>tip</ToolTip><Description>desc</Description>"
              "<DisplayName>The Gain</DisplayName><Visibility>Expert</Visibility>"
              "<pIsImplemented>Impl</pIsImplemented><pIsAvailable>Impl</pIsAvailable>"
              "<pIsLocked>Impl</pIsLocked><pSelected>R</pSelected><pAlias>R</pAlias>"
              "<pError>R</pError><Extension><Anything/></Extension><Streamable>Yes</Streamable>"
              "<ImposedAccessMode>RO</ImposedAccessMode><pValue>R</pValue><Unit>dB</Unit>"
              "<Representation>Logarithmic</Representation></Integer>" +
              integer("WoView", "<ImposedAccessMode>WO</ImposedAccessMode><pValue>R</pValue>"));
    const NodeMeta& m = map.at(*map.find("Gain")).meta;
    EXPECT_EQ(m.tooltip, "tip");
    EXPECT_EQ(m.description, "desc");
    EXPECT_EQ(m.display_name, "The Gain");
    EXPECT_EQ(m.unit, "dB");
    EXPECT_EQ(m.representation, "Logarithmic");
    EXPECT_EQ(m.visibility, Visibility::Expert);
    EXPECT_TRUE(m.streamable);
    const ValueRef impl = ValueRef::node(Link::resolved(*map.find("Impl")));
    EXPECT_EQ(m.is_implemented, impl);
    EXPECT_EQ(m.is_available, impl);
    EXPECT_EQ(m.is_locked, impl);
    EXPECT_EQ(m.selected, std::vector<Link>{Link::resolved(*map.find("R"))});
    MemoryPort port;
    port.poke(0x10, le32(6));
    EXPECT_EQ(must(get_integer(map, port, "Gain")), 6);
    EXPECT_EQ(must(access_mode(map, "Gain")), AccessMode::RO);
    EXPECT_EQ(set_integer(map, port, "Gain", 1).error().kind(), GenicamError::Kind::NotAccessible);
    EXPECT_EQ(must(access_mode(map, "WoView")), AccessMode::WO);
    EXPECT_EQ(get_integer(map, port, "WoView").error().kind(), GenicamError::Kind::NotAccessible);
    EXPECT_EQ(port.peek(0x10, 4), le32(6));
}

TEST(DescriptionConstructsTest, PolledValuesAreReadFromTheDeviceEachTime) {
    Genicam map =
        build(int_reg("Temp", "0x10") + int_reg("Plain", "0x20") +
              integer("Temperature", "<PollingTime>1000</PollingTime><pValue>Temp</pValue>") +
              integer("Width", "<pValue>Plain</pValue>"));
    MemoryPort port;
    port.poke(0x10, le32(30));
    EXPECT_EQ(must(get_integer(map, port, "Temperature")), 30);
    port.poke(0x10, le32(31));
    EXPECT_EQ(must(get_integer(map, port, "Temperature")), 31);
    (void)must(get_integer(map, port, "Width"));
    const int reads = port.reads;
    (void)must(get_integer(map, port, "Width"));
    EXPECT_EQ(port.reads, reads);  // an ordinary register stays cached
}

TEST(DescriptionConstructsTest, VendorRegisterKindsReadAsTheirRegisterKind) {
    std::string body;
    for (const char* tag : {"IntKey", "SmartFeature", "AdvFeatureLock", "DcamLock", "ConfRom"}) {
        body += std::string("<") + tag + " Name=\"" + tag +
                "\"><Address>0x40</Address><Length>4"
                "</Length><AccessMode>RO</AccessMode><pPort>Device</pPort><Endianness>BigEndian"
                "</Endianness></" +
                tag + ">";
    }
    body +=
        "<TextDesc Name=\"Text\"><Address>0x50</Address><Length>8</Length>"
        "<AccessMode>RO</AccessMode><pPort>Device</pPort></TextDesc>"
        "<Integer Name=\"Viaa\"><pValue>IntKey</pValue></Integer>";
    Genicam map = build(body);
    MemoryPort port;
    port.poke(0x40, {0, 0, 1, 2});
    port.poke(0x50, {'a', 'b', 'c', 0});
    for (const char* tag : {"IntKey", "SmartFeature", "AdvFeatureLock", "DcamLock", "ConfRom"}) {
        SCOPED_TRACE(tag);
        EXPECT_EQ(must(get_integer(map, port, tag)), 0x102);  // Endianness spelling honoured
    }
    EXPECT_EQ(must(get_integer(map, port, "Viaa")), 0x102);
    EXPECT_EQ(must(get_string(map, port, "Text")), "abc");
}

TEST(DescriptionConstructsTest, SignedHexadecimalValues) {
    Genicam map = build(integer("Neg", "<Value>-0x10</Value>") +
                        integer("Pos", "<Value>+0x10</Value><Min>-0x20</Min>"));
    MemoryPort port;
    EXPECT_EQ(must(get_integer(map, port, "Neg")), -16);
    EXPECT_EQ(must(get_integer(map, port, "Pos")), 16);
    EXPECT_EQ(must(integer_bounds(map, port, "Pos")).first, -32);
}

std::vector<uint8_t> bytes_of(const std::string& s) {
    return {s.begin(), s.end()};
}

// UTF-16 little-endian with a byte-order mark, from ASCII and one extra code unit.
std::vector<uint8_t> utf16le(const std::string& ascii_before, uint16_t unit,
                             const std::string& ascii_after) {
    std::vector<uint8_t> out{0xFF, 0xFE};
    const auto put = [&out](uint16_t u) {
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (char c : ascii_before) {
        put(static_cast<uint8_t>(c));
    }
    put(unit);
    for (char c : ascii_after) {
        put(static_cast<uint8_t>(c));
    }
    return out;
}

TEST(DescriptionConstructsTest, DocumentsDecodeByTheirEncodingAndNeedTheRootElement) {
    const std::string body = "<String Name=\"S\"><Value>";
    const std::string tail = "</Value></String></RegisterDescription>";
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"latin-1",
         bytes_of("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><RegisterDescription>" + body +
                  "\xb5" + tail)},
        {"utf-16",
         utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?><RegisterDescription>" + body, 0x00B5,
                 tail)},
        {"leading blanks", bytes_of("\r\n  <?xml version=\"1.0\" encoding=\"utf-8\"?>"
                                    "<RegisterDescription>" +
                                    body + "\xc2\xb5" + tail)},
        {"bad bytes in utf-8", bytes_of("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                                        "<RegisterDescription>" +
                                        body + "\xb5" + tail)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto map = xml::parse_description(c.bytes);
        ASSERT_TRUE(map.ok()) << map.error().message();
        MemoryPort port;
        const std::string expected =
            std::string(c.what) == "bad bytes in utf-8" ? "\xef\xbf\xbd" : "\xc2\xb5";
        EXPECT_EQ(must(get_string(*map, port, "S")), expected);
    }
    auto other =
        xml::parse_description(bytes_of("<?xml version=\"1.0\"?><Manifest><a/></Manifest>"));
    ASSERT_FALSE(other.ok());
    EXPECT_EQ(other.error().message(),
              "device description: root element is 'Manifest', not RegisterDescription");
}

}  // namespace

namespace {

TEST(DescriptionConstructsTest, IntrospectionReportsTypesTextsAccessAndEntries) {
    Genicam map = build(
        integer("Avail", "<Value>0</Value>") + integer("Lock", "<Value>1</Value>") +
        int_reg("R", "0x10") +
        "<Category Name=\"Root\"><pFeature>Gain</pFeature><pFeature>Mode</pFeature></Category>"
        "<Float Name=\"Gain\"><DisplayName>Gain (dB)</DisplayName><pValue>Conv</pValue>"
        "<Min>0</Min><Max>24</Max><Inc>0.5</Inc><Unit>dB</Unit><pSelected>Mode</pSelected>"
        "</Float>"
        "<Converter Name=\"Conv\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom>"
        "<pValue>R</pValue></Converter>"
        "<Enumeration Name=\"Mode\"><pIsLocked>Lock</pIsLocked><EnumEntry Name=\"A\">"
        "<DisplayName>Mode A</DisplayName><Value>0</Value></EnumEntry><EnumEntry Name=\"B\">"
        "<pIsAvailable>Avail</pIsAvailable><Value>1</Value></EnumEntry><pValue>R</pValue>"
        "</Enumeration>"
        "<Integer Name=\"Gone\"><pIsImplemented>Avail</pIsImplemented><pValue>R</pValue></Integer>"
        "<IntSwissKnife Name=\"K\"><Formula>1</Formula></IntSwissKnife>");
    MemoryPort port;
    const FeatureInfo gain = must(describe(map, port, "Gain"));
    EXPECT_EQ(gain.interface_type, "Float");
    EXPECT_EQ(gain.display_name, "Gain (dB)");
    EXPECT_EQ(gain.access, "RW");  // through the converter to the register
    EXPECT_EQ(gain.float_bounds, (std::pair{0.0, 24.0}));
    EXPECT_EQ(gain.float_increment, 0.5);
    EXPECT_EQ(gain.selected, std::vector<std::string>{"Mode"});
    const FeatureInfo mode = must(describe(map, port, "Mode"));
    EXPECT_TRUE(mode.locked);
    EXPECT_EQ(mode.access, "RO");
    ASSERT_EQ(mode.entries.size(), 2u);
    EXPECT_EQ(mode.entries[0].display_name, "Mode A");
    EXPECT_TRUE(mode.entries[0].available);
    EXPECT_FALSE(mode.entries[1].available);
    EXPECT_EQ(mode.entries[1].display_name, "B");
    EXPECT_EQ(must(describe(map, port, "Gone")).access, "NI");
    EXPECT_EQ(must(describe(map, port, "K")).interface_type, "Integer");
    EXPECT_EQ(must(describe(map, port, "Root")).children,
              (std::vector<std::string>{"Gain", "Mode"}));
    EXPECT_EQ(selectors(map).size(), 1u);
    const auto names = user_feature_names(map);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Device"), 0);  // the port
    EXPECT_EQ(describe(map, port, "Nope").error().kind(), GenicamError::Kind::FeatureNotFound);
}

}  // namespace
