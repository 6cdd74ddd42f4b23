// Node value access: circular and dangling references, converters and swiss knives, booleans,
// strings, enumerations, commands, bounds, increments, access modes, and hostile depths.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"
#include "memory_port.hpp"

using namespace corvisk;
using namespace corvisk::genicam;
using corvisk::genicam::testing::build;
using corvisk::genicam::testing::doc;
using corvisk::genicam::testing::error_of;
using corvisk::genicam::testing::MemoryPort;
using corvisk::genicam::testing::must;

namespace {

// A 4-byte little-endian integer register at `address`.
std::string int_reg(const char* name, int address, const std::string& extra = "") {
    return fmt::format(
        "<IntReg Name=\"{}\"><Address>{}</Address><Length>4</Length><pPort>Device</pPort>{}"
        "</IntReg>",
        name, address, extra);
}

std::vector<uint8_t> le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// --- references ---

TEST(ValueReferenceTest, CircularAndDanglingReferences) {
    Genicam map = build(
        "<Integer Name=\"Self\"><pValue>Self</pValue></Integer>"
        "<Integer Name=\"A\"><pValue>B</pValue></Integer>"
        "<Integer Name=\"B\"><pMax>A</pMax><pValue>A</pValue></Integer>"
        "<Integer Name=\"Lost\"><pValue>Nowhere</pValue></Integer>"
        "<Float Name=\"LostF\"><pValue>Nowhere</pValue></Float>"
        "<Integer Name=\"Empty\"/>"
        "<SwissKnife Name=\"K\"><pVariable Name=\"X\">Gone</pVariable><Formula>X</Formula>"
        "</SwissKnife>");
    MemoryPort port;
    struct Case {
        const char* feature;
        const char* message;
    };
    const Case cases[] = {
        {"Self", "circular reference through 'Self'"},
        {"A", "circular reference through 'A'"},
        {"Lost", "dangling reference 'Nowhere'"},
        {"Empty", "node '<value reference>' does not support this access"},
        {"K", "dangling reference 'Gone'"},
        {"Missing", "feature 'Missing' not found"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_of(get_integer(map, port, c.feature)), c.message) << c.feature;
        EXPECT_TRUE(map.stack().empty()) << c.feature;
        EXPECT_FALSE(set_integer(map, port, c.feature, 1).ok()) << c.feature;
        EXPECT_TRUE(map.stack().empty()) << c.feature;
    }
    EXPECT_EQ(error_of(get_float(map, port, "LostF")), "dangling reference 'Nowhere'");
    EXPECT_EQ(error_of(set_float(map, port, "LostF", 1.0)), "dangling reference 'Nowhere'");
    EXPECT_EQ(error_of(set_integer(map, port, "Empty", 1)),
              "node 'Empty' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(access_mode(map, "A")), "circular reference through 'A'");
    EXPECT_TRUE(map.stack().empty());
    EXPECT_EQ(port.traffic(), 0);
}

TEST(ValueReferenceTest, DefaultTLParamsLockedLivesInMemory) {
    Genicam map = build("");
    MemoryPort port;
    EXPECT_EQ(must(get_integer(map, port, "TLParamsLocked")), 0);
    ASSERT_TRUE(set_integer(map, port, "TLParamsLocked", 1).ok());
    EXPECT_EQ(must(get_integer(map, port, "TLParamsLocked")), 1);
    EXPECT_EQ(must(integer_bounds(map, port, "TLParamsLocked")),
              (std::pair<int64_t, int64_t>{0, 1}));
    EXPECT_EQ(must(access_mode(map, "TLParamsLocked")), AccessMode::RW);
    EXPECT_EQ(port.traffic(), 0);
}

TEST(ValueReferenceTest, FloatAndIntegerConversions) {
    Genicam map = build(
        "<Float Name=\"F\"><Value>2.5</Value></Float>"
        "<Float Name=\"Hex\"><Value>0x10</Value></Float>"
        "<Integer Name=\"I\"><pValue>F</pValue></Integer>"
        "<Integer Name=\"J\"><Value>7</Value></Integer>");
    MemoryPort port;
    EXPECT_EQ(must(get_integer(map, port, "F")), 3);  // half away from zero
    EXPECT_EQ(must(get_float(map, port, "J")), 7.0);
    EXPECT_EQ(must(get_float(map, port, "Hex")), 16.0);
    ASSERT_TRUE(set_float(map, port, "F", -1.5).ok());
    EXPECT_EQ(must(get_integer(map, port, "F")), -2);
    // A float written into an Integer is rounded; an Int constant in a Float is not writable.
    ASSERT_TRUE(set_float(map, port, "J", 2.5).ok());
    EXPECT_EQ(must(get_integer(map, port, "J")), 3);
    EXPECT_EQ(error_of(set_float(map, port, "Hex", 1.0)),
              "node 'Hex' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(set_integer(map, port, "F", 1)), "node 'F' does not support this access");
    ASSERT_TRUE(set_float(map, port, "F", 1e300).ok());
    EXPECT_EQ(must(get_integer(map, port, "F")), std::numeric_limits<int64_t>::max());
}

TEST(ValueReferenceTest, DuplicateNamesAndGeneratedNames) {
    Genicam map = build(
        "<Integer Name=\"W\"><Value>1</Value></Integer>"
        "<Integer Name=\"W\"><Value>2</Value></Integer>"
        "<IntReg><Address>0</Address><Length>4</Length><pPort>Device</pPort></IntReg>");
    MemoryPort port;
    EXPECT_EQ(must(get_integer(map, port, "W")), 2);
    const auto names = feature_names(map);
    EXPECT_EQ(std::count(names.begin(), names.end(), "W"), 2);
    EXPECT_NE(std::find(names.begin(), names.end(), "__anonymous_IntReg_1"), names.end());
    EXPECT_TRUE(has_feature(map, "__anonymous_IntReg_1"));
    EXPECT_FALSE(has_feature(map, "w"));
}

// --- formulas ---

TEST(FormulaNodeTest, SwissKnifeMixesIntegerAndFloat) {
    Genicam map = build(int_reg("A", 0x100) +
                        "<Float Name=\"B\"><Value>0.5</Value></Float>"
                        "<SwissKnife Name=\"K\"><pVariable Name=\"A\">A</pVariable>"
                        "<pVariable Name=\"B\">B</pVariable><Formula>A + B</Formula></SwissKnife>"
                        "<IntSwissKnife Name=\"Direct\"><Formula>A * 2 + TLParamsLocked</Formula>"
                        "</IntSwissKnife>"
                        "<SwissKnife Name=\"Unbound\"><Formula>Q + 1</Formula></SwissKnife>"
                        "<SwissKnife Name=\"Broken\"><Formula>(1</Formula></SwissKnife>"
                        "<SwissKnife Name=\"Div\"><Formula>1 / (A - 3)</Formula></SwissKnife>");
    MemoryPort port;
    port.poke(0x100, le32(3));
    EXPECT_EQ(must(get_integer(map, port, "K")), 4);
    EXPECT_EQ(must(get_float(map, port, "K")), 3.5);
    EXPECT_EQ(must(get_integer(map, port, "Direct")), 6);  // names any node directly
    EXPECT_EQ(error_of(get_integer(map, port, "Unbound")),
              "formula in 'Unbound': unbound variable 'Q'");
    EXPECT_EQ(error_of(get_integer(map, port, "Broken")),
              "formula in 'Broken': unbalanced parenthesis");
    EXPECT_EQ(error_of(get_integer(map, port, "Div")), "formula in 'Div': division by zero");
    EXPECT_EQ(error_of(set_integer(map, port, "K", 1)), "node 'K' does not support this access");
    EXPECT_EQ(must(access_mode(map, "K")), AccessMode::RO);
    EXPECT_EQ(port.reads, 1);  // A is cached after the first read

    // Compiled once, on the first successful evaluation; failures leave nothing compiled.
    const auto& knife = std::get<SwissKnifeNode>(map.at(*map.find("K")).node);
    EXPECT_TRUE(knife.formula.compiled.has_value());
    const auto& broken = std::get<SwissKnifeNode>(map.at(*map.find("Broken")).node);
    EXPECT_FALSE(broken.formula.compiled.has_value());
    EXPECT_TRUE(map.stack().empty());
}

TEST(FormulaNodeTest, ConverterRoundTripsThroughARegister) {
    Genicam map = build(int_reg("Raw", 0x100) +
                        "<Converter Name=\"C\"><pValue>Raw</pValue><FormulaTo>FROM * 2</FormulaTo>"
                        "<FormulaFrom>TO / 2</FormulaFrom></Converter>"
                        "<FloatReg Name=\"FR\"><Address>0x200</Address><Length>8</Length>"
                        "<pPort>Device</pPort></FloatReg>"
                        "<Converter Name=\"Scaled\"><pVariable Name=\"K\">Gain</pVariable>"
                        "<pValue>FR</pValue><FormulaTo>FROM / K</FormulaTo>"
                        "<FormulaFrom>TO * K</FormulaFrom></Converter>"
                        "<Integer Name=\"Gain\"><Value>4</Value></Integer>"
                        "<Converter Name=\"Const\"><Value>10</Value><FormulaTo>FROM</FormulaTo>"
                        "<FormulaFrom>TO + 1</FormulaFrom></Converter>");
    MemoryPort port;
    ASSERT_TRUE(set_integer(map, port, "C", 21).ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(42));
    EXPECT_EQ(must(get_integer(map, port, "C")), 21);

    // A float target is written with a float write: 3.0 / 4 = 0.75 lands in the register.
    ASSERT_TRUE(set_float(map, port, "Scaled", 3.0).ok());
    EXPECT_EQ(must(get_float(map, port, "FR")), 0.75);
    EXPECT_EQ(must(get_float(map, port, "Scaled")), 3.0);

    EXPECT_EQ(must(get_integer(map, port, "Const")), 11);
    EXPECT_EQ(error_of(set_integer(map, port, "Const", 1)),
              "node 'Const' is not accessible this way (access mode)");
}

TEST(FormulaNodeTest, VariablesAreAllReadBeforeEvaluating) {
    // The conditional does not need X, but X is read (and fails) anyway.
    Genicam map = build(
        "<SwissKnife Name=\"K\"><pVariable Name=\"X\">Bad</pVariable>"
        "<Formula>1 ? 2 : X</Formula></SwissKnife>"
        "<Integer Name=\"Bad\"><pValue>Bad</pValue></Integer>");
    MemoryPort port;
    EXPECT_EQ(error_of(get_integer(map, port, "K")), "circular reference through 'Bad'");
}

// --- boolean, string, enumeration, command ---

TEST(KindTest, Booleans) {
    Genicam map = build(int_reg("Reg", 0x100) +
                        "<Boolean Name=\"B\"><pValue>Reg</pValue><OnValue>1</OnValue>"
                        "<OffValue>0</OffValue></Boolean>"
                        "<Boolean Name=\"Odd\"><pValue>Reg</pValue><OnValue>5</OnValue>"
                        "<OffValue>3</OffValue></Boolean>");
    MemoryPort port;
    port.poke(0x100, le32(2));
    EXPECT_FALSE(must(get_boolean(map, port, "B")));   // 2 is not the on value
    EXPECT_TRUE(must(get_boolean(map, port, "Reg")));  // other nodes: not 0
    ASSERT_TRUE(set_boolean(map, port, "Odd", true).ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(5));
    EXPECT_TRUE(must(get_boolean(map, port, "Odd")));
    ASSERT_TRUE(set_boolean(map, port, "Odd", false).ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(3));
    ASSERT_TRUE(set_boolean(map, port, "Reg", true).ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(1));
    EXPECT_EQ(must(get_integer(map, port, "B")), 1);
    EXPECT_EQ(error_of(get_float(map, port, "B")), "node 'B' does not support this access");
}

TEST(KindTest, Strings) {
    Genicam map = build(
        "<String Name=\"S\"><Value>hello</Value></String>"
        "<String Name=\"P\"><pValue>Reg</pValue></String>"
        "<StringReg Name=\"Reg\"><Address>0x100</Address><Length>8</Length><pPort>Device</pPort>"
        "</StringReg>"
        "<String Name=\"Loop\"><pValue>Loop2</pValue></String>"
        "<String Name=\"Loop2\"><pValue>Loop</pValue></String>"
        "<String Name=\"Lost\"><pValue>Nowhere</pValue></String>"
        "<String Name=\"None\"/>"
        "<Integer Name=\"I\"><Value>1</Value></Integer>");
    MemoryPort port;
    EXPECT_EQ(must(get_string(map, port, "S")), "hello");
    ASSERT_TRUE(set_string(map, port, "S", "bye").ok());
    EXPECT_EQ(must(get_string(map, port, "S")), "bye");
    ASSERT_TRUE(set_string(map, port, "P", "cam").ok());
    EXPECT_EQ(port.peek(0x100, 4), (std::vector<uint8_t>{'c', 'a', 'm', 0}));
    EXPECT_EQ(must(get_string(map, port, "P")), "cam");
    // The first node of a string chain is not entered itself, so the cycle shows at the second.
    EXPECT_EQ(error_of(get_string(map, port, "Loop")), "circular reference through 'Loop2'");
    EXPECT_EQ(error_of(set_string(map, port, "Loop", "x")), "circular reference through 'Loop2'");
    EXPECT_EQ(error_of(get_string(map, port, "Lost")), "dangling reference 'Nowhere'");
    EXPECT_EQ(error_of(get_string(map, port, "None")), "node 'None' does not support this access");
    EXPECT_EQ(error_of(set_string(map, port, "None", "x")),
              "node 'None' is not accessible this way (access mode)");
    EXPECT_EQ(error_of(get_string(map, port, "I")), "node 'I' does not support this access");
    EXPECT_EQ(error_of(get_integer(map, port, "S")), "node 'S' does not support this access");
    EXPECT_TRUE(map.stack().empty());
}

TEST(KindTest, Enumerations) {
    Genicam map = build(int_reg("ModeReg", 0x100) +
                        "<Enumeration Name=\"Mode\"><pValue>ModeReg</pValue>"
                        "<EnumEntry Name=\"Continuous\"><Value>0</Value></EnumEntry>"
                        "<EnumEntry Name=\"SingleFrame\"><Value>1</Value></EnumEntry>"
                        "<EnumEntry Name=\"Broken\"><Value>x</Value></EnumEntry>"
                        "<EnumEntry Name=\"MultiFrame\"><Value>0x2</Value></EnumEntry>"
                        "<EnumEntry Name=\"Again\"><Value>1</Value></EnumEntry>"
                        "</Enumeration>"
                        "<Integer Name=\"I\"><Value>1</Value></Integer>");
    MemoryPort port;
    EXPECT_EQ(must(enum_entries(map, "Mode")),
              (std::vector<std::string>{"Continuous", "SingleFrame", "MultiFrame", "Again"}));
    EXPECT_EQ(must(get_enum(map, port, "Mode")), "Continuous");
    ASSERT_TRUE(set_enum(map, port, "Mode", "MultiFrame").ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(2));
    EXPECT_EQ(must(get_enum(map, port, "Mode")), "MultiFrame");
    ASSERT_TRUE(set_string(map, port, "Mode", "Again").ok());
    EXPECT_EQ(must(get_string(map, port, "Mode")), "SingleFrame");  // first entry with value 1
    EXPECT_EQ(must(get_integer(map, port, "Mode")), 1);

    EXPECT_EQ(error_of(set_enum(map, port, "Mode", "continuous")),
              "enumeration 'Mode' has no entry 'continuous'");
    ASSERT_TRUE(set_integer(map, port, "Mode", 7).ok());
    EXPECT_EQ(error_of(get_enum(map, port, "Mode")), "enumeration 'Mode' has no entry '7'");
    EXPECT_EQ(error_of(enum_entries(map, "I")), "node 'I' does not support this access");
    EXPECT_EQ(error_of(get_enum(map, port, "I")), "node 'I' does not support this access");
    EXPECT_EQ(error_of(set_enum(map, port, "I", "x")), "node 'I' does not support this access");
    EXPECT_EQ(must(access_mode(map, "Mode")), AccessMode::RW);
}

TEST(KindTest, Commands) {
    Genicam map = build(int_reg("StartReg", 0x100) + int_reg("StopReg", 0x104) +
                        "<Command Name=\"Start\"><pValue>StartReg</pValue>"
                        "<CommandValue>0x5</CommandValue></Command>"
                        "<Command Name=\"Stop\"><pValue>StopReg</pValue></Command>"
                        "<Command Name=\"Mem\"><Value>0</Value><CommandValue>9</CommandValue>"
                        "</Command>"
                        "<Command Name=\"Loop\"><pValue>StartReg</pValue>"
                        "<pCommandValue>Loop</pCommandValue></Command>"
                        "<Integer Name=\"I\"><Value>1</Value></Integer>");
    MemoryPort port;
    ASSERT_TRUE(execute(map, port, "Start").ok());
    EXPECT_EQ(port.peek(0x100, 4), le32(5));
    ASSERT_TRUE(execute(map, port, "Stop").ok());
    EXPECT_EQ(port.peek(0x104, 4), le32(1));
    ASSERT_TRUE(execute(map, port, "Mem").ok());
    EXPECT_EQ(std::get<CommandNode>(map.at(*map.find("Mem")).node).value, ValueRef::integer(9));
    EXPECT_EQ(error_of(execute(map, port, "Loop")), "circular reference through 'Loop'");
    EXPECT_EQ(error_of(execute(map, port, "I")), "node 'I' does not support this access");
    EXPECT_EQ(error_of(get_integer(map, port, "Start")),
              "node 'Start' does not support this access");
    EXPECT_EQ(must(access_mode(map, "Start")), AccessMode::WO);
    EXPECT_TRUE(map.stack().empty());
}

// --- bounds, increments, access modes ---

TEST(BoundsTest, IntegerFloatAndRegisterBounds) {
    Genicam map = build(int_reg("MaxReg", 0x100) +
                        "<Integer Name=\"W\"><Value>8</Value><Min>0</Min><pMax>MaxReg</pMax>"
                        "<Inc>4</Inc></Integer>"
                        "<Integer Name=\"Free\"><Value>0</Value></Integer>"
                        "<Float Name=\"F\"><Value>0</Value><Min>-1.5</Min><Max>2</Max></Float>"
                        "<Float Name=\"Open\"><Value>0</Value></Float>"
                        "<Integer Name=\"BadInc\"><Value>0</Value><pInc>Nowhere</pInc></Integer>");
    MemoryPort port;
    port.poke(0x100, le32(4096));
    EXPECT_EQ(must(integer_bounds(map, port, "W")), (std::pair<int64_t, int64_t>{0, 4096}));
    EXPECT_EQ(must(integer_increment(map, port, "W")), 4);
    EXPECT_EQ(
        must(integer_bounds(map, port, "Free")),
        (std::pair{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}));
    EXPECT_EQ(must(integer_increment(map, port, "Free")), 1);
    EXPECT_EQ(
        must(integer_bounds(map, port, "MaxReg")),
        (std::pair{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}));
    EXPECT_EQ(must(float_bounds(map, port, "F")), (std::pair{-1.5, 2.0}));
    EXPECT_EQ(
        must(float_bounds(map, port, "Open")),
        (std::pair{std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max()}));
    EXPECT_EQ(error_of(float_bounds(map, port, "W")), "node 'W' does not support this access");
    EXPECT_EQ(error_of(integer_bounds(map, port, "F")), "node 'F' does not support this access");
    EXPECT_EQ(error_of(integer_increment(map, port, "MaxReg")),
              "node 'MaxReg' does not support this access");
    EXPECT_EQ(error_of(integer_increment(map, port, "BadInc")), "dangling reference 'Nowhere'");
    // Writes do not check bounds.
    ASSERT_TRUE(set_integer(map, port, "W", 5).ok());
    EXPECT_EQ(must(get_integer(map, port, "W")), 5);
}

TEST(AccessModeTest, FollowsValueLinks) {
    Genicam map = build(
        "<IntReg Name=\"RoReg\"><Address>0</Address><Length>4</Length><AccessMode>RO</AccessMode>"
        "<pPort>Device</pPort></IntReg>"
        "<Integer Name=\"Top\"><pValue>Mid</pValue></Integer>"
        "<Integer Name=\"Mid\"><pValue>RoReg</pValue></Integer>"
        "<Integer Name=\"Const\"><Value>1</Value></Integer>"
        "<Float Name=\"FConst\"><Value>1.5</Value></Float>"
        "<Integer Name=\"NoValue\"/>"
        "<Integer Name=\"Lost\"><pValue>Nowhere</pValue></Integer>"
        "<Integer Name=\"Knifed\"><pValue>K</pValue></Integer>"
        "<IntSwissKnife Name=\"K\"><Formula>1</Formula></IntSwissKnife>"
        "<Category Name=\"Root\"><pFeature>Top</pFeature></Category>");
    const std::pair<const char*, AccessMode> cases[] = {
        {"Top", AccessMode::RO},
        {"Const", AccessMode::RW},
        {"FConst", AccessMode::RW},
        {"NoValue", AccessMode::RO},
        {"Lost", AccessMode::RO},
        {"Knifed", AccessMode::RO},
        {"Root", AccessMode::RO},
        {"RoReg", AccessMode::RO},
        {"GevSCPSPacketSize", AccessMode::RW},
    };
    for (const auto& [name, mode] : cases) {
        EXPECT_EQ(must(access_mode(map, name)), mode) << name;
        EXPECT_TRUE(map.stack().empty());
    }
}

// --- hostile depths ---

// A chain of `n` Integers, each taking its value from the next; the last is a constant 42.
std::string integer_chain(size_t n) {
    std::string body;
    body.reserve(n * 64);
    for (size_t i = 0; i + 1 < n; ++i) {
        body += fmt::format("<Integer Name=\"N{}\"><pValue>N{}</pValue></Integer>", i, i + 1);
    }
    body += fmt::format("<Integer Name=\"N{}\"><Value>42</Value></Integer>", n - 1);
    return body;
}

TEST(HostileDepthTest, DeepPValueChainFailsCleanly) {
    Genicam map = build(integer_chain(100000));
    MemoryPort port;
    const std::string deep = "device description: reference chain through '";
    EXPECT_EQ(error_of(get_integer(map, port, "N0")).rfind(deep, 0), 0u);
    EXPECT_TRUE(map.stack().empty());
    EXPECT_EQ(error_of(set_integer(map, port, "N0", 1)).rfind(deep, 0), 0u);
    EXPECT_EQ(error_of(get_float(map, port, "N0")).rfind(deep, 0), 0u);
    EXPECT_EQ(error_of(get_boolean(map, port, "N0")).rfind(deep, 0), 0u);
    EXPECT_EQ(error_of(access_mode(map, "N0")).rfind(deep, 0), 0u);
    EXPECT_TRUE(map.stack().empty());
    // The map stays usable, and a chain within the limit still works.
    EXPECT_EQ(must(get_integer(map, port, "N99900")), 42);
    EXPECT_EQ(must(access_mode(map, "N99900")), AccessMode::RW);
}

TEST(HostileDepthTest, DeepFormulaAndStringChainsFailCleanly) {
    std::string body;
    for (int i = 0; i < 5000; ++i) {
        body += fmt::format(
            "<IntSwissKnife Name=\"K{}\"><pVariable Name=\"X\">K{}</pVariable>"
            "<Formula>X + 1</Formula></IntSwissKnife>",
            i, i + 1);
        body += fmt::format("<String Name=\"S{}\"><pValue>S{}</pValue></String>", i, i + 1);
        body += fmt::format(
            "<IntReg Name=\"R{}\"><pAddress>R{}</pAddress><Length>4</Length><pPort>Device</pPort>"
            "</IntReg>",
            i, i + 1);
    }
    body +=
        "<IntSwissKnife Name=\"K5000\"><Formula>0</Formula></IntSwissKnife>"
        "<String Name=\"S5000\"><Value>end</Value></String>"
        "<Integer Name=\"R5000\"><Value>0</Value></Integer>";
    Genicam map = build(body);
    MemoryPort port;
    const std::string deep = "device description: reference chain through '";
    for (const char* name : {"K0", "R0"}) {
        EXPECT_EQ(error_of(get_integer(map, port, name)).rfind(deep, 0), 0u) << name;
    }
    EXPECT_EQ(error_of(get_string(map, port, "S0")).rfind(deep, 0), 0u);
    EXPECT_EQ(error_of(set_string(map, port, "S0", "x")).rfind(deep, 0), 0u);
    EXPECT_EQ(port.traffic(), 0);
    EXPECT_TRUE(map.stack().empty());
    EXPECT_EQ(must(get_integer(map, port, "K4900")), 100);
    EXPECT_EQ(must(get_string(map, port, "S4900")), "end");
}

}  // namespace
