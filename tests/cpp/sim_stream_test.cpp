// The simulated camera's stream channel, received and reassembled by a raw UDP receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::ip_of;
using testing::RawGvcp;
using testing::RawUdp;

struct Packet {
    uint16_t status = 0;
    uint64_t block = 0;
    uint8_t format = 0;
    uint32_t id = 0;
    bool ext = false;
    std::vector<uint8_t> payload;
};

// Parsed by hand from the GigE Vision layouts, not with the camera's encoders.
std::optional<Packet> parse_gvsp(const std::vector<uint8_t>& d) {
    if (d.size() < 8) {
        return std::nullopt;
    }
    Packet p;
    p.status = load_be16(d.data());
    p.ext = (d[4] & 0x80) != 0;
    p.format = d[4] & 0x0F;
    size_t h = 8;
    if (p.ext) {
        if (d.size() < 20) {
            return std::nullopt;
        }
        p.block = load_be64(d.data() + 8);
        p.id = load_be32(d.data() + 16);
        h = 20;
    } else {
        p.block = load_be16(d.data() + 2);
        p.id = load_be32(d.data() + 4) & 0xFFFFFF;
    }
    p.payload.assign(d.begin() + static_cast<ptrdiff_t>(h), d.end());
    return p;
}

struct Frame {
    std::vector<uint8_t> leader;
    std::map<uint32_t, std::vector<uint8_t>> data;
    std::optional<uint32_t> trailer_id;
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out;
        for (const auto& [id, d] : data) {
            out.insert(out.end(), d.begin(), d.end());
        }
        return out;
    }
    bool complete() const {
        return !leader.empty() && trailer_id && data.size() + 2 == *trailer_id + 1;
    }
};

class StreamRig {
  public:
    explicit StreamRig(SimConfig c) : cam(std::move(c)) {}

    void open(uint32_t packet_size = 1500) {
        ASSERT_TRUE(cam.start().ok());
        ctl.emplace("127.0.0.1", cam.control_endpoint());
        ASSERT_TRUE(ctl->write(reg::kCcp, 2));
        ASSERT_TRUE(ctl->write(reg::kScda, ip_of("127.0.0.1")));
        ASSERT_TRUE(ctl->write(reg::kScp, rx.local().port));
        ASSERT_TRUE(ctl->write(reg::kScps, packet_size));
    }
    void single_frame(uint32_t width = 320, uint32_t height = 240, uint32_t pf = pfnc::kMono8) {
        ASSERT_TRUE(ctl->write(reg::kWidth, width));
        ASSERT_TRUE(ctl->write(reg::kHeight, height));
        ASSERT_TRUE(ctl->write(reg::kPixelFormat, pf));
        ASSERT_TRUE(ctl->write(reg::kAcquisitionMode, 1));
        ASSERT_TRUE(ctl->write(reg::kAcquisitionStart, 1));
    }
    // Receives until `frames` trailers were seen (0: no limit) or nothing arrives for quiet_ms.
    std::vector<Packet> receive(size_t frames, int quiet_ms = 300) {
        std::vector<Packet> out;
        size_t trailers = 0;
        while (frames == 0 || trailers < frames) {
            auto d = rx.recv(quiet_ms);
            if (!d) {
                break;
            }
            auto p = parse_gvsp(*d);
            if (p) {
                trailers += p->format == 2 || p->format == 4;
                out.push_back(std::move(*p));
            }
        }
        return out;
    }
    std::map<uint64_t, Frame> assemble(const std::vector<Packet>& packets) {
        std::map<uint64_t, Frame> frames;
        for (const auto& p : packets) {
            Frame& f = frames[p.block];
            if (p.status != 0) {
                continue;
            }
            if (p.format == 1) {
                f.leader = p.payload;
            } else if (p.format == 2) {
                f.trailer_id = p.id;
            } else if (p.format == 3) {
                f.data[p.id] = p.payload;
            }
        }
        return frames;
    }
    void resend(uint64_t block, uint32_t first, uint32_t last, bool extended) {
        std::vector<uint8_t> payload;
        if (extended) {
            payload = testing::words(
                {0, first, last, static_cast<uint32_t>(block >> 32), static_cast<uint32_t>(block)});
        } else {
            payload = testing::words({static_cast<uint32_t>(block & 0xFFFF), first, last});
        }
        rx.send(testing::gvcp_cmd(extended ? 0x10 : 0x00, 0x0040, 0xFF01, payload),
                cam.control_endpoint());
    }

    SimCamera cam;
    RawUdp rx{"127.0.0.1"};
    std::optional<RawGvcp> ctl;
};

SimConfig at(const char* ip) {
    SimConfig c;
    c.ip = ip;
    return c;
}

TEST(SimGvspGolden, HeadersLeaderAndTrailer) {
    uint8_t b[64] = {};
    ASSERT_EQ(encode_gvsp_header(b, 0, 0x1234, 3, 0x00ABCDEF, false), 8u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 8),
              (std::vector<uint8_t>{0x00, 0x00, 0x12, 0x34, 0x03, 0xAB, 0xCD, 0xEF}));
    ASSERT_EQ(encode_gvsp_header(b, 0x800C, 0x0102030405060708, 1, 0x11223344, true), 20u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 20),
              (std::vector<uint8_t>{0x80, 0x0C, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00, 0x01, 0x02,
                                    0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x11, 0x22, 0x33, 0x44}));
    ImageInfo info{1, 0x0000000100000002, pfnc::kMono8, 640, 480, 8, 4, 0, 0};
    ASSERT_EQ(encode_image_leader(b, info), 36u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 36),
              (std::vector<uint8_t>{0,    0,    0, 1,    0, 0, 0,    1,    0, 0, 0,    2,
                                    0x01, 0x08, 0, 0x01, 0, 0, 0x02, 0x80, 0, 0, 0x01, 0xE0,
                                    0,    0,    0, 8,    0, 0, 0,    4,    0, 0, 0,    0}));
    ASSERT_EQ(encode_image_trailer(b, 1, 480), 8u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 8), (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0x01, 0xE0}));
}

TEST(SimGvspGolden, PacketGeometryCountsLeaderAndTrailer) {
    auto g = PacketGeometry::make(1500, false, 76800);
    EXPECT_EQ(g.data_per_packet, 1464u);
    EXPECT_EQ(g.packet_count, 53u + 2u);
    auto e = PacketGeometry::make(9000, true, 8952);
    EXPECT_EQ(e.data_per_packet, 8952u);
    EXPECT_EQ(e.packet_count, 3u);
}

struct FrameCase {
    const char* ip;
    uint32_t pixel_format;
    Pattern pattern;
    bool extended;
};

class SimFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(SimFrame, SingleFrameEqualsTheRecomputedPattern) {
    SimConfig c = at(GetParam().ip);
    c.extended_ids = GetParam().extended;
    c.pattern = GetParam().pattern;
    StreamRig rig(c);
    rig.open();
    rig.single_frame(320, 240, GetParam().pixel_format);
    auto frames = rig.assemble(rig.receive(1));
    ASSERT_EQ(frames.size(), 1u);
    const auto& [block, f] = *frames.begin();
    EXPECT_EQ(block, 1u);
    ASSERT_TRUE(f.complete());
    EXPECT_EQ(f.bytes(),
              expected_pattern(block, 320, 240, GetParam().pixel_format, GetParam().pattern));
    ASSERT_EQ(f.leader.size(), 36u);
    EXPECT_EQ(load_be16(f.leader.data() + 2), 1u);
    EXPECT_EQ(load_be32(f.leader.data() + 12), GetParam().pixel_format);
    EXPECT_EQ(load_be32(f.leader.data() + 16), 320u);
    EXPECT_EQ(load_be32(f.leader.data() + 20), 240u);
    EXPECT_GT(load_be64(f.leader.data() + 4), 0u);
    // SingleFrame ends the acquisition by itself.
    EXPECT_TRUE(
        testing::eventually([&] { return rig.ctl->read_reg(reg::kAcquisitionStatus) == 0u; }));
    EXPECT_EQ(rig.cam.counters().frames_sent, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SimFrame,
    ::testing::Values(FrameCase{"127.0.4.21", pfnc::kMono8, Pattern::GreyDiagonalRampMoving, false},
                      FrameCase{"127.0.4.22", pfnc::kRGB8, Pattern::FrameCounter, true},
                      FrameCase{"127.0.4.23", pfnc::kMono16, Pattern::GreyHorizontalRamp, false},
                      FrameCase{"127.0.4.24", pfnc::kBayerRG8, Pattern::GreyVerticalRamp, true}));

TEST(SimStream, MultiFrameSendsItsCountThenStops) {
    StreamRig rig(at("127.0.4.25"));
    rig.open();
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionMode, 2));
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionFrameCount, 3));
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionStart, 1));
    auto frames = rig.assemble(rig.receive(4));
    ASSERT_EQ(frames.size(), 3u);
    uint64_t expect = 1;
    for (const auto& [block, f] : frames) {
        EXPECT_EQ(block, expect++);
        EXPECT_TRUE(f.complete());
        EXPECT_EQ(f.bytes(),
                  expected_pattern(block, 640, 480, pfnc::kMono8, Pattern::GreyDiagonalRampMoving));
    }
}

TEST(SimStream, ContinuousRunsUntilAcquisitionStop) {
    SimConfig c = at("127.0.4.26");
    c.frame_rate = 200;
    StreamRig rig(c);
    rig.open();
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionStart, 1));
    auto first = rig.receive(5);
    EXPECT_GE(rig.assemble(first).size(), 5u);
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionStop, 1));
    rig.receive(1000, 100);  // drain what was in flight
    EXPECT_TRUE(rig.receive(1, 100).empty());
}

TEST(SimStream, FireTestHonoursPathMtuAndDoNotFragment) {
    StreamRig rig(at("127.0.4.27"));
    rig.open();
    ASSERT_TRUE(rig.ctl->write(reg::kScps, 0xC0000000 | 1500));
    auto p = rig.rx.recv(500);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size(), 1500u - 28u);
    ASSERT_TRUE(rig.ctl->write(reg::kScps, 0xC0000000 | 9152));  // beyond the 9000 path MTU
    EXPECT_FALSE(rig.rx.recv(100));
    ASSERT_TRUE(rig.ctl->write(reg::kScps, 0x80000000 | 9152));  // may fragment: arrives
    p = rig.rx.recv(500);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size(), 9152u - 28u);
    EXPECT_EQ(*rig.ctl->read_reg(reg::kScps), 9152u);  // the fire bit does not stick
}

class SimResend : public ::testing::TestWithParam<bool> {};

TEST_P(SimResend, DroppedPacketsAreServedAgainAndLostOnesReported) {
    bool extended = GetParam();
    SimConfig c = at(extended ? "127.0.4.28" : "127.0.4.29");
    c.extended_ids = extended;
    c.gvsp_faults.drops = {PacketDropRule{1, {2, 3}}};
    StreamRig rig(c);
    rig.open();
    rig.single_frame();
    auto packets = rig.receive(1);
    auto frames = rig.assemble(packets);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[1].complete());
    EXPECT_EQ(frames[1].data.count(2), 0u);
    rig.resend(1, 2, 3, extended);
    auto again = rig.receive(0, 200);
    ASSERT_EQ(again.size(), 2u);
    packets.insert(packets.end(), again.begin(), again.end());
    frames = rig.assemble(packets);
    ASSERT_TRUE(frames[1].complete());
    EXPECT_EQ(frames[1].bytes(),
              expected_pattern(1, 320, 240, pfnc::kMono8, Pattern::GreyDiagonalRampMoving));
    rig.resend(0x7777, 5, 5, extended);
    auto lost = rig.receive(0, 200);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].status, 0x800C);
    EXPECT_EQ(lost[0].block, 0x7777u);
    EXPECT_EQ(lost[0].id, 5u);
    auto counters = rig.cam.counters();
    EXPECT_EQ(counters.resend_requests, 2u);
    EXPECT_EQ(counters.packets_resent, 2u);
    EXPECT_EQ(counters.packets_unavailable, 1u);
}

INSTANTIATE_TEST_SUITE_P(IdForms, SimResend, ::testing::Values(false, true));

TEST(SimStream, ResendIsIgnoredWhenTheCapabilityIsOff) {
    SimConfig c = at("127.0.4.30");
    c.packet_resend = false;
    StreamRig rig(c);
    rig.open();
    EXPECT_EQ(*rig.ctl->read_reg(reg::kGvcpCapability) & 0x4u, 0u);
    rig.single_frame();
    rig.receive(1);
    rig.resend(1, 1, 1, false);
    EXPECT_TRUE(rig.receive(0, 100).empty());
}

}  // namespace
}  // namespace corvisk::sim

namespace corvisk::sim {
namespace {

struct GvspFaultCase {
    const char* name;
    const char* ip;
    std::function<void(GvspFaults&)> set;
    uint32_t width, height;
    std::function<void(const std::vector<Packet>&, const SimCounters&)> check;
};

std::vector<uint32_t> ids_of(const std::vector<Packet>& ps, uint64_t block) {
    std::vector<uint32_t> out;
    for (const auto& p : ps) {
        if (p.block == block) {
            out.push_back(p.id);
        }
    }
    return out;
}

// 320 x 240 Mono8 at packet size 1500: 53 payload packets, ids 0..54.
const std::vector<GvspFaultCase> kGvspFaults = {
    {"drop fraction", "127.0.4.31", [](GvspFaults& f) { f.drop_fraction = 0.3; }, 320, 240,
     [](const std::vector<Packet>& ps, const SimCounters& c) {
         EXPECT_GT(c.packets_dropped, 0u);
         EXPECT_EQ(ps.size() + c.packets_dropped, 55u);
     }},
    {"drop given ids", "127.0.4.32",
     [](GvspFaults& f) {
         f.drops = {{0, {0, 7, 54}}};
     },
     320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         auto ids = ids_of(ps, 1);
         EXPECT_EQ(ids.size(), 52u);
         for (uint32_t gone : {0u, 7u, 54u}) {
             EXPECT_EQ(std::count(ids.begin(), ids.end(), gone), 0);
         }
     }},
    {"duplicate", "127.0.4.33", [](GvspFaults& f) { f.duplicate_fraction = 1.0; }, 320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         auto ids = ids_of(ps, 1);
         ASSERT_EQ(ids.size(), 110u);
         for (uint32_t id = 0; id < 55; ++id) {
             EXPECT_EQ(std::count(ids.begin(), ids.end(), id), 2);
         }
     }},
    {"reorder", "127.0.4.34", [](GvspFaults& f) { f.reorder_window = 8; }, 320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         auto ids = ids_of(ps, 1);
         ASSERT_EQ(ids.size(), 55u);
         EXPECT_FALSE(std::is_sorted(ids.begin(), ids.end()));
         EXPECT_EQ(ids.front(), 0u);
         EXPECT_EQ(ids.back(), 54u);
         std::sort(ids.begin(), ids.end());
         EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
     }},
    {"wrong ids", "127.0.4.35", [](GvspFaults& f) { f.wrong_id_fraction = 1.0; }, 320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         for (const auto& p : ps) {
             if (p.format == 3) {
                 EXPECT_GE(p.id, 55u);
             }
         }
     }},
    {"error status", "127.0.4.36",
     [](GvspFaults& f) {
         f.error_status = 0x8FFF;
         f.error_packet_id = 4;
     },
     320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         auto it = std::find_if(ps.begin(), ps.end(), [](const Packet& p) { return p.id == 4; });
         ASSERT_NE(it, ps.end());
         EXPECT_EQ(it->status, 0x8FFF);
         EXPECT_TRUE(it->payload.empty());
     }},
    {"all-in", "127.0.4.37", [](GvspFaults& f) { f.all_in = true; }, 16, 2,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         ASSERT_EQ(ps.size(), 1u);
         EXPECT_EQ(ps[0].format, 4);
         ASSERT_EQ(ps[0].payload.size(), 36u + 8u + 32u);
         EXPECT_EQ(load_be32(ps[0].payload.data() + 16), 16u);
         std::vector<uint8_t> data(ps[0].payload.begin() + 44, ps[0].payload.end());
         EXPECT_EQ(data, expected_pattern(1, 16, 2, pfnc::kMono8, Pattern::GreyDiagonalRampMoving));
     }},
    {"unsupported format", "127.0.4.38", [](GvspFaults& f) { f.payload_format = 7; }, 320, 240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         ASSERT_EQ(ps.size(), 55u);
         EXPECT_EQ(ps[0].format, 1);
         EXPECT_EQ(ps[1].format, 7);
         EXPECT_EQ(ps[54].format, 2);
     }},
    {"leader payload type", "127.0.4.39", [](GvspFaults& f) { f.leader_payload_type = 2; }, 320,
     240,
     [](const std::vector<Packet>& ps, const SimCounters&) {
         ASSERT_FALSE(ps.empty());
         EXPECT_EQ(load_be16(ps[0].payload.data() + 2), 2u);
     }},
};

class SimGvspFault : public ::testing::TestWithParam<GvspFaultCase> {};

TEST_P(SimGvspFault, TakesEffect) {
    StreamRig rig(at(GetParam().ip));
    GvspFaults f;
    GetParam().set(f);
    rig.cam.set_gvsp_faults(f);
    rig.open();
    rig.single_frame(GetParam().width, GetParam().height);
    auto packets = rig.receive(0, 200);
    GetParam().check(packets, rig.cam.counters());
}

INSTANTIATE_TEST_SUITE_P(Faults, SimGvspFault, ::testing::ValuesIn(kGvspFaults),
                         [](const auto& param_info) {
                             std::string n = param_info.param.name;
                             std::replace(n.begin(), n.end(), ' ', '_');
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

TEST(SimStream, InterleavedFramesAlternate) {
    SimConfig c = at("127.0.4.40");
    c.gvsp_faults.interleave = true;
    StreamRig rig(c);
    rig.open();
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionMode, 2));
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionFrameCount, 2));
    ASSERT_TRUE(rig.ctl->write(reg::kAcquisitionStart, 1));
    auto packets = rig.receive(0, 200);
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(packets[0].block, 1u);
    EXPECT_EQ(packets[1].block, 2u);
    EXPECT_EQ(packets[2].block, 1u);
    auto frames = rig.assemble(packets);
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& [block, f] : frames) {
        EXPECT_TRUE(f.complete());
        EXPECT_EQ(f.bytes(),
                  expected_pattern(block, 640, 480, pfnc::kMono8, Pattern::GreyDiagonalRampMoving));
    }
}

}  // namespace
}  // namespace corvisk::sim
