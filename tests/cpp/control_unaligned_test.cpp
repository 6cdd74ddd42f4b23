// Byte ranges whose address or length is no multiple of the word size, end to end with the
// simulated camera: reads and writes at every offset inside a word, for lengths up to and past
// two words, agree with aligned reads of the same words and leave the other bytes alone.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "description_device.hpp"
#include "gige/camera.hpp"
#include "gige/control_port.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace corvisk::gige;

namespace {

// Device memory outside the bootstrap registers: seeded until written, writes persist.
constexpr uint32_t kBase = 0x20000;
constexpr size_t kWindow = 16;

const std::string kXml = R"(<?xml version="1.0"?>
<RegisterDescription>
  <IntReg Name="Scratch"><Address>0x20000</Address><Length>4</Length>
    <AccessMode>RW</AccessMode><Endianess>BigEndian</Endianess></IntReg>
</RegisterDescription>
)";

sim::SimConfig described(const std::string& ip, bool memory_commands) {
    sim::SimConfig c;
    c.ip = ip;
    c.frame_rate = 0;
    auto d =
        sim::prepare_description(std::vector<uint8_t>(kXml.begin(), kXml.end()), "scratch.xml", 7);
    EXPECT_TRUE(d.ok());
    c.description = d.ok() ? *d : nullptr;
    if (!memory_commands) {
        c.gvcp_faults.naks = {sim::NakRule{0x0084, std::nullopt, 0x8001},
                              sim::NakRule{0x0086, std::nullopt, 0x8001}};
    }
    return c;
}

std::array<uint8_t, kWindow> aligned_window(ControlPort& port) {
    std::array<uint8_t, kWindow> bytes{};
    auto r = port.read(kBase, bytes);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return bytes;
}

}  // namespace

// With memory commands, and on a device refusing them (the words then go by READREG/WRITEREG).
TEST(ControlUnalignedTest, EveryOffsetAndLengthAgreesWithTheAlignedWords) {
    for (bool memory_commands : {true, false}) {
        const std::string ip = memory_commands ? "127.28.0.1" : "127.28.0.2";
        SCOPED_TRACE(ip);
        sim::SimCamera device(described(ip, memory_commands));
        ASSERT_TRUE(device.start().ok());
        GigECamera cam(ConnectionConfig::for_device(*IpAddress::parse(ip)));
        auto connected = cam.connect();
        ASSERT_TRUE(connected.ok()) << connected.error().message();
        ControlPort& port = cam.connection()->port;

        const auto seeded = aligned_window(port);
        for (uint32_t offset = 1; offset <= 3; ++offset) {
            for (size_t length = 1; length <= 9; ++length) {
                SCOPED_TRACE(testing::Message() << "read at +" << offset << " of " << length);
                std::vector<uint8_t> got(length);
                auto r = port.read(kBase + offset, got);
                ASSERT_TRUE(r.ok()) << r.error().message();
                EXPECT_EQ(got, std::vector<uint8_t>(seeded.begin() + offset,
                                                    seeded.begin() + offset + length));
            }
        }
        for (uint32_t offset = 1; offset <= 3; ++offset) {
            for (size_t length = 1; length <= 9; ++length) {
                SCOPED_TRACE(testing::Message() << "write at +" << offset << " of " << length);
                auto expected = aligned_window(port);
                std::vector<uint8_t> data(length);
                for (size_t i = 0; i < length; ++i) {
                    data[i] = static_cast<uint8_t>(0x80 | (offset << 4) | i);
                    expected[offset + i] = data[i];
                }
                auto w = port.write(kBase + offset, data);
                ASSERT_TRUE(w.ok()) << w.error().message();
                EXPECT_EQ(aligned_window(port), expected);
            }
        }
        // An aligned address with a length that is no whole number of words is patched too.
        auto expected = aligned_window(port);
        const uint8_t three[3] = {1, 2, 3};
        ASSERT_TRUE(port.write(kBase + 4, three).ok());
        std::copy(three, three + 3, expected.begin() + 4);
        EXPECT_EQ(aligned_window(port), expected);
    }
}
