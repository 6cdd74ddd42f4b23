// The simulated camera's control channel, seen from a raw UDP client.
#include <gtest/gtest.h>

#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::Ack;
using testing::gvcp_cmd;
using testing::ip_of;
using testing::parse_ack;
using testing::RawGvcp;
using testing::RawUdp;
using testing::words;

SimConfig config_at(const std::string& ip) {
    SimConfig c;
    c.ip = ip;
    return c;
}

class SimGvcp : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(cam_.start().ok()); }
    Endpoint dev() const { return cam_.control_endpoint(); }
    SimCamera cam_{config_at("127.0.4.2")};
};

TEST(SimGvcpGolden, DiscoveryAnswerIsTheBootstrapBlock) {
    SimConfig c = config_at("127.0.4.1");
    c.manufacturer = "VendorX";
    c.serial = "S123";
    GvcpDevice dev(c);
    auto replies =
        dev.handle_datagram(std::vector<uint8_t>{0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF},
                            {ip_of("127.0.0.1"), 5000});
    ASSERT_EQ(replies.size(), 1u);
    const auto& d = replies[0].bytes;
    ASSERT_EQ(d.size(), 8u + 248u);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 8),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x03, 0x00, 0xF8, 0xFF, 0xFF}));
    const uint8_t* p = d.data() + 8;
    EXPECT_EQ(load_be32(p), 0x00020000u);  // version 2.0
    EXPECT_EQ(load_be32(p + 4), 0x80000001u);
    EXPECT_EQ(std::vector<uint8_t>(p + 10, p + 16),
              (std::vector<uint8_t>{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}));
    EXPECT_EQ(load_be32(p + 36), 0x7F000401u);
    EXPECT_EQ(load_be32(p + 52), 0xFF000000u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 72)), "VendorX");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 216)), "S123");
}

TEST(SimGvcpGolden, PendingAckAndWriteRegAckLayouts) {
    GvcpDevice dev(config_at("127.0.4.1"));
    GvcpFaults f;
    f.pending_ack_ms = 300;
    dev.set_gvcp_faults(f);
    Endpoint host{ip_of("127.0.0.1"), 5000};
    auto r = dev.handle_datagram(gvcp_cmd(0x01, 0x0082, 0x1234, words({0x0A00, 2})), host);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].bytes, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x89, 0x00, 0x04, 0x12, 0x34,
                                                0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(r[0].delay_ms, 0u);
    EXPECT_EQ(r[1].bytes, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x83, 0x00, 0x04, 0x12, 0x34,
                                                0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(r[1].delay_ms, 150u);
}

TEST(SimGvcpGolden, RetransmittedCommandIsAnsweredButNotExecutedTwice) {
    GvcpDevice dev(config_at("127.0.4.1"));
    Endpoint host{ip_of("127.0.0.1"), 5000};
    ASSERT_EQ(dev.handle_datagram(gvcp_cmd(1, 0x82, 1, words({0x0A00, 2})), host).size(), 1u);
    auto start = gvcp_cmd(1, 0x82, 2, words({reg::kAcquisitionStart, 1}));
    dev.handle_datagram(start, host);
    auto first = dev.stream_state().start_generation;
    auto again = dev.handle_datagram(start, host);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(load_be16(again[0].bytes.data()), 0u);
    EXPECT_EQ(dev.stream_state().start_generation, first);
}

TEST_F(SimGvcp, ReadsSeveralRegistersInOrder) {
    RawGvcp host("127.0.0.1", dev());
    auto a = host.read_regs({reg::kVersion, reg::kCurrentIp, reg::kGvcpCapability,
                             reg::kTickFreqHigh, reg::kTickFreqLow});
    ASSERT_TRUE(a && a->ok());
    ASSERT_EQ(a->payload.size(), 20u);
    EXPECT_EQ(a->code, 0x0081);
    EXPECT_EQ(a->word(0), 0x00020000u);
    EXPECT_EQ(a->word(1), ip_of("127.0.4.2"));
    EXPECT_NE(a->word(2) & 0x4u, 0u);  // packet resend
    EXPECT_EQ((uint64_t{a->word(3)} << 32) | a->word(4), 1000000000u);
}

struct NakCase {
    const char* name;
    bool take_control;
    uint16_t code;
    std::vector<uint8_t> payload;
    uint16_t status;
};

TEST_F(SimGvcp, AnswersBadRequestsWithStandardStatuses) {
    std::vector<NakCase> cases = {
        {"unknown command", false, 0x1234, {}, 0x8001},
        {"unmapped register", false, 0x0080, words({0x00123450}), 0x8003},
        {"unaligned register", false, 0x0080, words({0x0002}), 0x8005},
        {"write without control", false, 0x0082, words({reg::kWidth, 320}), 0x8006},
        {"read-only register", true, 0x0082, words({reg::kVersion, 1}), 0x8004},
        {"unaligned memory", false, 0x0084, words({0x0201, 4}), 0x8005},
        {"huge memory read", false, 0x0084, words({0x0200, 0x1000}), 0x8002},
        {"odd register payload", false, 0x0080, {1, 2, 3}, 0x8002},
        {"bad width", true, 0x0082, words({reg::kWidth, 17}), 0x8002},
        {"write into description", true, 0x0086, words({reg::kXmlBase, 0}), 0x8004},
    };
    RawGvcp host("127.0.0.1", dev());
    for (const auto& c : cases) {
        if (c.take_control) {
            ASSERT_TRUE(host.write(reg::kCcp, 2)) << c.name;
        }
        auto a = host.transact(c.code, c.payload);
        ASSERT_TRUE(a) << c.name;
        EXPECT_EQ(a->status, c.status) << c.name;
        EXPECT_EQ(a->code, c.code + 1) << c.name;
        if (c.take_control) {
            ASSERT_TRUE(host.write(reg::kCcp, 0)) << c.name;
        }
    }
}

TEST_F(SimGvcp, LyingLengthIsAnsweredWithInvalidHeaderAndGarbageIgnored) {
    RawUdp raw("127.0.0.1");
    auto cmd = gvcp_cmd(0x01, 0x0080, 7, words({0}));
    store_be16(cmd.data() + 4, 200);  // says 200 payload bytes, carries 4
    raw.send(cmd, dev());
    auto a = raw.recv(500);
    ASSERT_TRUE(a);
    EXPECT_EQ(load_be16(a->data()), 0x800E);
    raw.send({0x00, 0x01, 0x02}, dev());
    raw.send({0x42}, dev());
    EXPECT_FALSE(raw.recv(50));
    RawGvcp host("127.0.0.1", dev());
    EXPECT_TRUE(host.read_reg(reg::kVersion));  // still serving
}

TEST_F(SimGvcp, ControlPrivilegeIsExclusiveToItsHolder) {
    RawGvcp a("127.0.0.1", dev());
    RawGvcp b("127.0.0.3", dev());
    ASSERT_TRUE(a.write(reg::kCcp, 2));
    EXPECT_EQ(*a.read_reg(reg::kCcp), 2u);
    auto denied = b.write_reg(reg::kCcp, 2);
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->status, 0x8006);
    EXPECT_EQ(b.write_reg(reg::kWidth, 320)->status, 0x8006);
    EXPECT_TRUE(b.read_reg(reg::kWidth));  // monitoring is allowed under control access
    ASSERT_TRUE(a.write(reg::kCcp, 3));    // exclusive
    EXPECT_EQ(b.read_regs({reg::kWidth})->status, 0x8006);
    ASSERT_TRUE(a.write(reg::kCcp, 0));
    EXPECT_TRUE(b.write(reg::kCcp, 2));
}

TEST_F(SimGvcp, SilentControllerLosesControlAfterHeartbeatTimeout) {
    RawGvcp a("127.0.0.1", dev());
    RawGvcp b("127.0.0.3", dev());
    ASSERT_TRUE(a.write(reg::kCcp, 2));
    ASSERT_TRUE(a.write(reg::kHeartbeatTimeout, 150));
    // A heartbeat keeps it: read CCP a few times within the timeout.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(*a.read_reg(reg::kCcp), 2u);
    }
    EXPECT_TRUE(testing::eventually([&] { return b.read_reg(reg::kCcp) == 0u; }));
    EXPECT_EQ(cam_.counters().control_released, 1u);
    EXPECT_TRUE(b.write(reg::kCcp, 2));
}

TEST_F(SimGvcp, UserNameIsWritableThroughWriteMem) {
    RawGvcp a("127.0.0.1", dev());
    ASSERT_TRUE(a.write(reg::kCcp, 2));
    std::vector<uint8_t> payload = words({reg::kUserName});
    std::string name = "line-3 cam";
    payload.insert(payload.end(), name.begin(), name.end());
    payload.resize(4 + 16, 0);
    auto ack = a.transact(0x0086, payload);
    ASSERT_TRUE(ack && ack->ok());
    EXPECT_EQ(load_be16(ack->payload.data() + 2), 16u);
    auto back = a.read_block(reg::kUserName, 16);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back->data())), name);
}

TEST_F(SimGvcp, TlParamsLockedRefusesImageFormatChanges) {
    RawGvcp a("127.0.0.1", dev());
    ASSERT_TRUE(a.write(reg::kCcp, 2));
    ASSERT_TRUE(a.write(reg::kWidth, 320));
    ASSERT_TRUE(a.write(reg::kTLParamsLocked, 1));
    EXPECT_EQ(a.write_reg(reg::kWidth, 256)->status, 0x8004);
    EXPECT_EQ(a.write_reg(reg::kHeight, 100)->status, 0x8004);
    EXPECT_EQ(a.write_reg(reg::kPixelFormat, pfnc::kMono16)->status, 0x8004);
    EXPECT_TRUE(a.write(reg::kGvcpConfig, 0));  // others stay writable
    ASSERT_TRUE(a.write(reg::kTLParamsLocked, 0));
    EXPECT_TRUE(a.write(reg::kWidth, 256));
    EXPECT_EQ(*a.read_reg(reg::kWidth), 256u);
}

TEST_F(SimGvcp, TimestampLatchAdvances) {
    RawGvcp a("127.0.0.1", dev());
    ASSERT_TRUE(a.write(reg::kCcp, 2));
    ASSERT_TRUE(a.write(reg::kTimestampControl, reg::kTimestampLatch));
    auto t1 = a.read_regs({reg::kTimestampHigh, reg::kTimestampLow});
    ASSERT_TRUE(a.write(reg::kTimestampControl, reg::kTimestampLatch));
    auto t2 = a.read_regs({reg::kTimestampHigh, reg::kTimestampLow});
    ASSERT_TRUE(t1 && t2);
    uint64_t v1 = (uint64_t{t1->word(0)} << 32) | t1->word(1);
    uint64_t v2 = (uint64_t{t2->word(0)} << 32) | t2->word(1);
    EXPECT_GT(v1, 0u);
    EXPECT_GT(v2, v1);
}

}  // namespace
}  // namespace corvisk::sim
