// Chunk and event ports: the node map's record of each Port and of each register's port, value
// access refusing data registers through the device, the features built on data ports in the
// simulated camera's description and in real ones, and reading those from host buffers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "genicam/data_ports.hpp"
#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"
#include "gvcp_device.hpp"
#include "log.hpp"
#include "memory_port.hpp"

namespace corvisk::genicam {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::vector<std::string> names(const Genicam& map, const std::vector<NodeId>& ids) {
    std::vector<std::string> out;
    for (NodeId id : ids) {
        out.push_back(map.name(id));
    }
    return out;
}

TEST(DataPorts, SimulatedCameraEventPortsAndTheirFeatures) {
    const std::string& xml = sim::GvcpDevice::xml_text();
    auto map = xml::parse(xml);
    ASSERT_TRUE(map.ok());
    const auto ports = data_ports(*map, PortKind::Event);
    EXPECT_EQ(ports.at("EventExposureStartPort"), 0x9000u);
    EXPECT_EQ(ports.at("EventExposureEndPort"), 0x9001u);
    auto features = data_features(*map, PortKind::Event);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(names(*map, features[0x9000]),
              (std::vector<std::string>{"EventExposureStartTimestamp"}));
    EXPECT_EQ(names(*map, features[0x9001]),
              (std::vector<std::string>{"EventExposureEndTimestamp", "EventExposureEndFrameID"}));

    // Two events one after the other: each reads its own data (no cached value survives).
    for (uint8_t frame : {uint8_t{7}, uint8_t{8}}) {
        const Bytes data = {0, 0, 0, 0, 0, 0, 1, frame, 0, 0, 0, 0, 0, 0, 0, frame};
        auto values = read_data_features(*map, PortKind::Event, features[0x9001], {{0x9001, data}});
        ASSERT_EQ(values.size(), 2u);
        EXPECT_EQ(std::get<int64_t>(values[0].second), 0x100 + frame);
        EXPECT_EQ(std::get<int64_t>(values[1].second), frame);
    }
    // A short buffer or another event's data leaves the features out; nothing is read past it.
    const Bytes shorter(12, 0xFF);
    auto partial = read_data_features(*map, PortKind::Event, features[0x9001], {{0x9001, shorter}});
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].first, "EventExposureEndTimestamp");
    EXPECT_TRUE(
        read_data_features(*map, PortKind::Event, features[0x9001], {{0x9000, shorter}}).empty());
}

TEST(DataPorts, SimulatedCameraChunkFeaturesReadTheirOwnChunk) {
    const std::string& xml = sim::GvcpDevice::xml_text();
    auto map = xml::parse(xml);
    ASSERT_TRUE(map.ok());
    EXPECT_EQ(data_ports(*map, PortKind::Chunk).size(), 5u);
    auto features = data_features(*map, PortKind::Chunk);
    EXPECT_EQ(names(*map, features[0x10000005]), (std::vector<std::string>{"ChunkGain"}));
    EXPECT_EQ(names(*map, features[0x10000001]), (std::vector<std::string>{"ChunkTimestamp"}));
    std::vector<NodeId> all;
    for (const auto& [id, ids] : features) {
        all.insert(all.end(), ids.begin(), ids.end());
    }
    // A cached chunk register (ChunkTimestampReg is WriteThrough) still reads each frame anew.
    for (uint8_t t : {uint8_t{1}, uint8_t{2}}) {
        const Bytes ts = {0, 0, 0, 0, 0, 0, 0, t};
        const Bytes gain = {25, 0, 0, 0};  // little-endian raw 25 -> 2.5
        auto values =
            read_data_features(*map, PortKind::Chunk, all, {{0x10000001, ts}, {0x10000005, gain}});
        ASSERT_EQ(values.size(), 2u);
        for (const auto& [name, v] : values) {
            if (name == "ChunkTimestamp") {
                EXPECT_EQ(std::get<int64_t>(v), t);
            } else {
                EXPECT_EQ(name, "ChunkGain");
                EXPECT_DOUBLE_EQ(std::get<double>(v), 2.5);
            }
        }
    }
    EXPECT_FALSE(data_ports(*map, PortKind::Event).contains("ChunkGainPort"));
    // Event data never serves a chunk feature, even under the chunk's id.
    const Bytes ts(8, 1);
    EXPECT_TRUE(read_data_features(*map, PortKind::Event, all, {{0x10000001, ts}}).empty());
}

using testing::MemoryPort;

// Ports of every kind and registers naming them in every way a description does (absent,
// unknown and non-Port pPorts included).
const char* const kPorts = R"(
<Port Name="Hex"><ChunkID>0x10</ChunkID></Port>
<Port Name="Plain"><ChunkID>ab</ChunkID></Port>
<Port Name="Ev"><EventID>9001</EventID></Port>
<Port Name="Odd"><ChunkID>xyz</ChunkID></Port>
<Port Name="Empty"><EventID/></Port>
<Port Name="Huge"><ChunkID>0x1FFFFFFFFFFFFFFFF</ChunkID></Port>
<Integer Name="NotAPort"><Value>1</Value></Integer>
<IntReg Name="OnDevice"><Address>0x100</Address><Length>4</Length><pPort>Device</pPort></IntReg>
<IntReg Name="NoPort"><Address>0x100</Address><Length>4</Length></IntReg>
<IntReg Name="Unknown"><Address>0x100</Address><Length>4</Length><pPort>Nowhere</pPort></IntReg>
<IntReg Name="Wrong"><Address>0x100</Address><Length>4</Length><pPort>NotAPort</pPort></IntReg>
<IntReg Name="ChunkReg"><Address>4</Address><Length>4</Length><pPort> Hex </pPort>
  <Cachable>WriteThrough</Cachable><Endianess>BigEndian</Endianess></IntReg>
<Integer Name="ChunkValue"><pValue>ChunkReg</pValue></Integer>
<Boolean Name="ChunkFlag"><pValue>ChunkReg</pValue></Boolean>
<StructReg><Address>0</Address><Length>4</Length><pPort>Plain</pPort>
  <StructEntry Name="S0"><Bit>0</Bit></StructEntry><StructEntry Name="S1"><Bit>1</Bit></StructEntry>
</StructReg>
<IntReg Name="EventReg"><Address>0</Address><Length>2</Length><pPort>Ev</pPort></IntReg>
<IntReg Name="OddReg"><Address>0</Address><Length>4</Length><pPort>Odd</pPort></IntReg>
<IntReg Name="EmptyReg"><Address>0</Address><Length>4</Length><pPort>Empty</pPort></IntReg>
<IntReg Name="HugeReg"><Address>0</Address><Length>4</Length><pPort>Huge</pPort></IntReg>
)";

struct PortCase {
    const char* node;
    PortKind kind;
    uint64_t data_id;
    const char* port;  // the Port node the register resolves to ("" for none)
};

TEST(DataPorts, NodeMapRecordsEachPortAndEachRegistersPort) {
    log::ScopedCapture capture(log::Level::Debug);
    const Genicam map = testing::build(kPorts);
    for (const PortCase& c : {
             PortCase{"OnDevice", PortKind::Device, 0, "Device"},
             PortCase{"NoPort", PortKind::Device, 0, ""},
             PortCase{"Unknown", PortKind::Device, 0, ""},
             PortCase{"Wrong", PortKind::Device, 0, ""},
             PortCase{"ChunkReg", PortKind::Chunk, 0x10, "Hex"},
             PortCase{"S0", PortKind::Chunk, 0xab, "Plain"},
             PortCase{"S1", PortKind::Chunk, 0xab, "Plain"},
             PortCase{"EventReg", PortKind::Event, 0x9001, "Ev"},
             PortCase{"OddReg", PortKind::Other, 0, "Odd"},
             PortCase{"EmptyReg", PortKind::Other, 0, "Empty"},
             PortCase{"HugeReg", PortKind::Other, 0, "Huge"},
         }) {
        const RegisterPort where = register_port(map, *map.find(c.node));
        EXPECT_EQ(where.kind, c.kind) << c.node;
        EXPECT_EQ(where.data_id, c.data_id) << c.node;
        EXPECT_EQ(where.port ? map.name(*where.port) : "", c.port) << c.node;
    }
    EXPECT_EQ(register_port(map, *map.find("ChunkValue")).kind, PortKind::Device);
    EXPECT_EQ(data_ports(map, PortKind::Chunk),
              (std::map<std::string, uint64_t, std::less<>>{{"Hex", 0x10}, {"Plain", 0xab}}));
    EXPECT_EQ(data_ports(map, PortKind::Event).size(), 1u);
    // The liberal fallbacks are visible at DEBUG, once per register.
    EXPECT_EQ(capture.sink().count_containing("pPort 'Nowhere' names no node"), 1u);
    EXPECT_EQ(capture.sink().count_containing("pPort 'NotAPort' is not a Port"), 1u);
}

TEST(DataPorts, DeviceAccessRefusesDataRegistersByFeatureName) {
    Genicam map = testing::build(kPorts);
    MemoryPort port;
    port.poke(0x100, {7, 0, 0, 0});
    const std::string chunk =
        " is chunk data: read it from a frame with corvisk.chunks(frame, cam)";
    EXPECT_EQ(testing::error_of(get_integer(map, port, "ChunkValue")), "ChunkValue" + chunk);
    EXPECT_EQ(testing::error_of(get_boolean(map, port, "ChunkFlag")), "ChunkFlag" + chunk);
    EXPECT_EQ(testing::error_of(set_integer(map, port, "ChunkValue", 1)), "ChunkValue" + chunk);
    EXPECT_EQ(testing::error_of(get_integer(map, port, "S1")), "S1" + chunk);
    EXPECT_EQ(testing::error_of(get_integer(map, port, "EventReg")),
              "EventReg is event data: read it from an event's features with corvisk.events(cam)");
    EXPECT_EQ(testing::error_of(get_integer(map, port, "OddReg")),
              "OddReg is data of port 'Odd', which is not the device's and whose chunk or event id "
              "cannot be read");
    EXPECT_EQ(port.traffic(), 0);
    for (const char* device : {"OnDevice", "NoPort", "Unknown", "Wrong"}) {
        EXPECT_EQ(testing::must(get_integer(map, port, device)), 7) << device;
    }
}

TEST(DataPorts, DataViewServesOnlyItsOwnData) {
    Genicam map = testing::build(kPorts);
    const std::vector<NodeId> wanted = {*map.find("ChunkValue"), *map.find("S1"),
                                        *map.find("OnDevice"), *map.find("EventReg")};
    // Each frame's bytes are read anew although ChunkReg is WriteThrough.
    for (uint8_t v : {uint8_t{3}, uint8_t{4}}) {
        const Bytes hex = {0, 0, 0, 0, 0, 0, 0, v};
        const Bytes plain = {2, 0, 0, 0};
        const auto values = read_data_features(map, PortKind::Chunk, wanted,
                                               {{0x10, hex}, {0xab, plain}, {0x9001, hex}});
        ASSERT_EQ(values.size(), 2u);
        EXPECT_EQ(values[0], (std::pair<std::string, FeatureValue>{"ChunkValue", int64_t{v}}));
        EXPECT_EQ(values[1], (std::pair<std::string, FeatureValue>{"S1", int64_t{1}}));
    }
    // Outside its chunk (4 bytes at 4 of a 6-byte chunk), or chunk absent: left out.
    const Bytes shorter(6, 0);
    EXPECT_TRUE(read_data_features(map, PortKind::Chunk, wanted, {{0x10, shorter}}).empty());
    const DataView::Buffers buffers{{0x10, shorter}};
    DataView view(PortKind::Chunk, buffers);
    const std::string outside =
        testing::error_of(int_value_inner(map, view, *map.find("ChunkReg")));
    EXPECT_EQ(outside,
              "ChunkReg is outside its data: 4 bytes at 0x4, past the 6 bytes of chunk "
              "id 0x10");
    EXPECT_NE(testing::error_of(int_value_inner(map, view, *map.find("OnDevice")))
                  .find("device memory through chunk or event data"),
              std::string::npos);
    EXPECT_EQ(testing::error_of(set_int_value_inner(map, view, *map.find("ChunkReg"), 1)),
              "node 'ChunkReg' is not accessible this way (access mode)");
}

fs::path corpus_dir() {
    const fs::path root(CORVISK_SOURCE_DIR);
    for (const fs::path& p : {root / ".." / "shared" / "descriptions",
                              root / ".." / ".." / "shared" / "descriptions"}) {
        if (fs::is_directory(p)) {
            return p;
        }
    }
    return {};
}

struct PortCounts {
    size_t chunk_ports = 0, event_ports = 0, chunk_registers = 0, event_registers = 0;
    size_t registers = 0;
};

// Every register's pPort resolves to a Port node, and the counts of data ports and registers.
PortCounts count_ports(const Genicam& map, const fs::path& file) {
    PortCounts n;
    for (NodeId id = 0; id < map.size(); ++id) {
        const NodeData& d = map.at(id);
        if (const auto* port = std::get_if<PortNode>(&d.node)) {
            EXPECT_NE(port->kind, PortKind::Other) << file << " " << d.name;
            n.chunk_ports += port->kind == PortKind::Chunk;
            n.event_ports += port->kind == PortKind::Event;
        }
        const auto* reg = std::get_if<RegisterNode>(&d.node);
        if (reg == nullptr) {
            continue;
        }
        ++n.registers;
        const RegisterPort where = register_port(map, id);
        EXPECT_TRUE(reg->common.port && where.port) << file << " " << d.name;
        n.chunk_registers += where.kind == PortKind::Chunk;
        n.event_registers += where.kind == PortKind::Event;
    }
    return n;
}

// Reads every chunk feature of a description from synthetic chunks (zeros), and none from
// empty ones.
void read_chunk_features(Genicam& map, const fs::path& file) {
    const auto features = data_features(map, PortKind::Chunk);
    ASSERT_FALSE(features.empty()) << file;
    std::map<uint64_t, std::span<const uint8_t>> buffers, empty;
    const Bytes chunk(256, 0);
    std::vector<NodeId> all;
    for (const auto& [id, ids] : features) {
        buffers[id] = chunk;
        empty[id] = std::span<const uint8_t>{};
        all.insert(all.end(), ids.begin(), ids.end());
    }
    EXPECT_FALSE(read_data_features(map, PortKind::Chunk, all, buffers).empty()) << file;
    EXPECT_TRUE(read_data_features(map, PortKind::Chunk, all, empty).empty()) << file;
    // Through the device, the same features are refused without any traffic.
    MemoryPort port;
    for (NodeId id : all) {
        const auto value = natural_value(map, port, id);
        ASSERT_FALSE(value.ok()) << file << " " << map.name(id);
        EXPECT_EQ(value.error().kind(), GenicamError::Kind::PortData) << value.error().message();
    }
    EXPECT_EQ(port.traffic(), 0) << file;
}

// Real descriptions: every register's port resolves; a description has chunk (event) registers
// exactly when it declares chunk (event) ports, at most five per port, and they are under an eighth
// of its registers; chunk features read from chunks and are refused through the device.
TEST(DataPorts, RealDescriptionsRecordEveryRegistersPort) {
    const fs::path dir = corpus_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no ../shared/descriptions beside the repository";
    }
    size_t files = 0, with_chunks = 0, with_events = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".xml") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes doc{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto map = xml::parse_description(doc);
        ASSERT_TRUE(map.ok()) << entry.path();
        ++files;
        const PortCounts n = count_ports(*map, entry.path());
        EXPECT_EQ(n.chunk_ports > 0, n.chunk_registers > 0) << entry.path();
        EXPECT_EQ(n.event_ports > 0, n.event_registers > 0) << entry.path();
        EXPECT_LE(n.chunk_registers, 5 * n.chunk_ports) << entry.path();
        EXPECT_LE(n.event_registers, 5 * n.event_ports) << entry.path();
        EXPECT_LT(8 * (n.chunk_registers + n.event_registers), n.registers) << entry.path();
        if (entry.path().filename() == "Basler-acA1300-60gm.xml") {
            EXPECT_EQ(n.chunk_ports, 16u);
            EXPECT_EQ(n.chunk_registers, 26u);
            EXPECT_EQ(n.event_ports, 18u);
            EXPECT_EQ(n.event_registers, 38u);
        }
        with_events += n.event_ports > 0;
        if (n.chunk_ports > 0) {
            ++with_chunks;
            read_chunk_features(*map, entry.path());
        }
    }
    EXPECT_EQ(files, 45u);
    EXPECT_EQ(with_chunks, 25u);
    EXPECT_EQ(with_events, 26u);
}

}  // namespace
}  // namespace corvisk::genicam
