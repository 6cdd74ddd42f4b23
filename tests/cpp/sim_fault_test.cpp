// Control-channel fault injection of the simulated camera, observed from a raw client.
#include <gtest/gtest.h>

#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::gvcp_cmd;
using testing::ip_of;
using testing::parse_ack;
using testing::RawGvcp;
using testing::RawUdp;
using testing::words;

GvcpFaults faults(void (*set)(GvcpFaults&)) {
    GvcpFaults f;
    set(f);
    return f;
}

std::unique_ptr<SimCamera> started(const char* ip, GvcpFaults faults = {}) {
    SimConfig c;
    c.ip = ip;
    c.gvcp_faults = std::move(faults);
    auto cam = std::make_unique<SimCamera>(c);
    EXPECT_TRUE(cam->start().ok());
    return cam;
}

TEST(SimGvcpFault, DropsTheFirstAcknowledges) {
    auto cam = started("127.0.4.51", faults([](GvcpFaults& f) { f.drop_first_acks = 2; }));
    RawUdp raw("127.0.0.1");
    auto read = gvcp_cmd(1, 0x80, 1, words({0}));
    raw.send(read, cam->control_endpoint());
    EXPECT_FALSE(raw.recv(100));
    raw.send(read, cam->control_endpoint());  // a retry of the same request
    EXPECT_FALSE(raw.recv(100));
    raw.send(read, cam->control_endpoint());
    auto a = raw.recv(500);
    ASSERT_TRUE(a);
    EXPECT_EQ(parse_ack(*a)->id, 1);
    EXPECT_EQ(cam->counters().acks_dropped, 2u);
}

TEST(SimGvcpFault, FractionalDropsAreReproducibleFromTheSeed) {
    auto pattern = [](uint64_t seed) {
        SimConfig c;
        c.seed = seed;
        c.gvcp_faults.drop_ack_fraction = 0.5;
        GvcpDevice dev(c);
        std::string out;
        for (uint16_t id = 1; id <= 64; ++id) {
            auto r =
                dev.handle_datagram(gvcp_cmd(1, 0x80, id, words({0})), {ip_of("127.0.0.1"), 4000});
            out += r.empty() ? '0' : '1';
        }
        return out;
    };
    EXPECT_EQ(pattern(7), pattern(7));
    EXPECT_NE(pattern(7), pattern(8));
    auto p = pattern(7);
    EXPECT_GT(std::count(p.begin(), p.end(), '0'), 10);
    EXPECT_GT(std::count(p.begin(), p.end(), '1'), 10);
}

TEST(SimGvcpFault, DelaysAcknowledges) {
    auto cam = started("127.0.4.52", faults([](GvcpFaults& f) { f.ack_delay_ms = 150; }));
    RawUdp raw("127.0.0.1");
    auto t0 = Clock::now();
    raw.send(gvcp_cmd(1, 0x80, 1, words({0})), cam->control_endpoint());
    EXPECT_FALSE(raw.recv(50));
    ASSERT_TRUE(raw.recv(1000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(150));
}

TEST(SimGvcpFault, AnswersPendingFirst) {
    auto cam = started("127.0.4.53", faults([](GvcpFaults& f) { f.pending_ack_ms = 200; }));
    RawUdp raw("127.0.0.1");
    raw.send(gvcp_cmd(1, 0x80, 9, words({0})), cam->control_endpoint());
    auto p = parse_ack(*raw.recv(500));
    EXPECT_EQ(p->code, 0x0089);
    EXPECT_EQ(p->id, 9);
    EXPECT_EQ(load_be32(p->payload.data()), 200u);
    auto a = parse_ack(*raw.recv(1000));
    EXPECT_EQ(a->code, 0x0081);
    EXPECT_EQ(a->word(0), 0x00020000u);
    EXPECT_EQ(cam->counters().pending_acks, 1u);
}

TEST(SimGvcpFault, NaksAGivenCommandOrAddress) {
    GvcpFaults f;
    f.naks = {NakRule{0x0080, reg::kGvcpCapability, 0x8006}, NakRule{0x0084, {}, 0x8FFF}};
    auto cam = started("127.0.4.54", f);
    RawGvcp host("127.0.0.1", cam->control_endpoint());
    EXPECT_EQ(host.read_regs({reg::kVersion, reg::kGvcpCapability})->status, 0x8006);
    EXPECT_TRUE(host.read_reg(reg::kVersion));
    EXPECT_EQ(host.read_mem(reg::kFirstUrl, 16)->status, 0x8FFF);
    // Faults change at run time.
    cam->set_gvcp_faults({});
    EXPECT_TRUE(host.read_mem(reg::kFirstUrl, 16)->ok());
    EXPECT_EQ(cam->counters().naks, 2u);
}

TEST(SimGvcpFault, SilentDeviceAnswersNothing) {
    auto cam = started("127.0.4.55", faults([](GvcpFaults& f) { f.silent = true; }));
    RawUdp raw("127.0.0.1");
    raw.send({0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF}, cam->control_endpoint());
    raw.send(gvcp_cmd(1, 0x80, 1, words({0})), cam->control_endpoint());
    EXPECT_FALSE(raw.recv(150));
    EXPECT_EQ(cam->counters().commands, 2u);
}

TEST(SimGvcpFault, DropsControlByItself) {
    auto cam = started("127.0.4.56", faults([](GvcpFaults& f) { f.ccp_clear_after_ms = 100; }));
    RawGvcp host("127.0.0.1", cam->control_endpoint());
    ASSERT_TRUE(host.write(reg::kCcp, 2));
    // The controller keeps up its heartbeat, yet the device lets go.
    EXPECT_TRUE(testing::eventually([&] { return host.read_reg(reg::kCcp) == 0u; }));
    EXPECT_EQ(host.write_reg(reg::kWidth, 320)->status, 0x8006);

    cam->set_gvcp_faults({});
    ASSERT_TRUE(host.write(reg::kCcp, 2));
    cam->lose_control();
    EXPECT_EQ(*host.read_reg(reg::kCcp), 0u);
    EXPECT_EQ(cam->counters().control_released, 2u);
}

TEST(SimGvcpFault, AnswersFromAnotherAddress) {
    SimConfig c;
    c.ip = "127.0.4.57";
    c.alt_reply_ip = "127.0.4.58";
    c.gvcp_faults.reply_from_alt = true;
    SimCamera cam(c);
    ASSERT_TRUE(cam.start().ok());
    RawUdp raw("127.0.0.1");
    raw.send(gvcp_cmd(1, 0x80, 1, words({0})), cam.control_endpoint());
    Endpoint from;
    ASSERT_TRUE(raw.recv(500, &from));
    EXPECT_EQ(from.ip, ip_of("127.0.4.58"));
    EXPECT_EQ(from.port, 3956);
}

}  // namespace
}  // namespace corvisk::sim
