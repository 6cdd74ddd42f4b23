// Chunk and event ports: found in the simulated camera's description and in real ones, the
// features built on them, and reading those from host buffers (short buffers included).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "genicam/data_ports.hpp"
#include "genicam/xml_builder.hpp"
#include "gvcp_device.hpp"

namespace corvisk::genicam {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::span<const uint8_t> as_bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

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
    auto layout = scan_data_ports(as_bytes(xml), DataPortKind::Event);
    ASSERT_TRUE(layout.ok()) << layout.error();
    EXPECT_EQ(layout->ports.at("EventExposureStartPort"), 0x9000u);
    EXPECT_EQ(layout->ports.at("EventExposureEndPort"), 0x9001u);
    auto features = data_features(*map, *layout);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(names(*map, features[0x9000]),
              (std::vector<std::string>{"EventExposureStartTimestamp"}));
    EXPECT_EQ(names(*map, features[0x9001]),
              (std::vector<std::string>{"EventExposureEndTimestamp", "EventExposureEndFrameID"}));

    // Two events one after the other: each reads its own data (no cached value survives).
    for (uint8_t frame : {uint8_t{7}, uint8_t{8}}) {
        const Bytes data = {0, 0, 0, 0, 0, 0, 1, frame, 0, 0, 0, 0, 0, 0, 0, frame};
        auto values = read_data_features(*map, *layout, features[0x9001], {{0x9001, data}});
        ASSERT_EQ(values.size(), 2u);
        EXPECT_EQ(std::get<int64_t>(values[0].second), 0x100 + frame);
        EXPECT_EQ(std::get<int64_t>(values[1].second), frame);
    }
    // A short buffer or another event's data leaves the features out; nothing is read past it.
    const Bytes shorter(12, 0xFF);
    auto partial = read_data_features(*map, *layout, features[0x9001], {{0x9001, shorter}});
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].first, "EventExposureEndTimestamp");
    EXPECT_TRUE(read_data_features(*map, *layout, features[0x9001], {{0x9000, shorter}}).empty());
}

TEST(DataPorts, SimulatedCameraChunkFeaturesReadTheirOwnChunk) {
    const std::string& xml = sim::GvcpDevice::xml_text();
    auto map = xml::parse(xml);
    ASSERT_TRUE(map.ok());
    auto layout = scan_data_ports(as_bytes(xml), DataPortKind::Chunk);
    ASSERT_TRUE(layout.ok()) << layout.error();
    EXPECT_EQ(layout->ports.size(), 5u);
    auto features = data_features(*map, *layout);
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
            read_data_features(*map, *layout, all, {{0x10000001, ts}, {0x10000005, gain}});
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
    auto events = scan_data_ports(as_bytes(xml), DataPortKind::Event);
    ASSERT_TRUE(events.ok());
    EXPECT_FALSE(events->ports.contains("ChunkGainPort"));
}

TEST(DataPorts, HostileDocumentsFailOrYieldNothing) {
    for (const char* doc : {"", "<a>", "<!DOCTYPE a SYSTEM \"file:///etc/passwd\"><a/>",
                            "<R><Port Name=\"P\"><ChunkID>xyz</ChunkID></Port></R>"}) {
        auto layout = scan_data_ports(as_bytes(doc), DataPortKind::Chunk);
        EXPECT_TRUE(!layout.ok() || layout->ports.empty()) << doc;
    }
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

// Real descriptions that declare chunk ports: every chunk feature found resolves from a
// synthetic chunk of its port (zeros beyond the first bytes), and none from an empty one.
TEST(DataPorts, RealDescriptionsResolveChunkFeatures) {
    const fs::path dir = corpus_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no ../shared/descriptions beside the repository";
    }
    size_t with_chunks = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".xml") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes doc{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        auto layout = scan_data_ports(doc, DataPortKind::Chunk);
        ASSERT_TRUE(layout.ok()) << entry.path();
        if (layout->ports.empty()) {
            continue;
        }
        auto map = xml::parse_description(doc);
        ASSERT_TRUE(map.ok()) << entry.path();
        const auto features = data_features(*map, *layout);
        ASSERT_FALSE(features.empty()) << entry.path();
        ++with_chunks;
        std::map<uint64_t, std::span<const uint8_t>> buffers;
        const Bytes chunk(256, 0);
        for (const auto& [id, ids] : features) {
            buffers[id] = chunk;
        }
        std::vector<NodeId> all;
        for (const auto& [id, ids] : features) {
            all.insert(all.end(), ids.begin(), ids.end());
        }
        EXPECT_FALSE(read_data_features(*map, *layout, all, buffers).empty()) << entry.path();
        std::map<uint64_t, std::span<const uint8_t>> empty;
        for (const auto& [id, ids] : features) {
            empty[id] = std::span<const uint8_t>{};
        }
        EXPECT_TRUE(read_data_features(*map, *layout, all, empty).empty()) << entry.path();
    }
    EXPECT_GT(with_chunks, 0u);
}

}  // namespace
}  // namespace corvisk::genicam
