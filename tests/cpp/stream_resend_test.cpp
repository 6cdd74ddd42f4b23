// Packet resend: due times, run merging, re-requests, the per-frame budget, request ids,
// both command forms, device refusals and send failures, driven with injected time.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <set>

#include "bytes.hpp"
#include "log.hpp"
#include "stream_test_util.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::gige::test;

namespace {

AssemblerConfig frame_of(uint64_t packets) {  // standard packets of 100 payload bytes
    AssemblerConfig c = Harness::small_config();
    c.payload_size = (packets - 2) * 100;
    return c;
}

struct ResendCommand {
    uint16_t req_id;
    uint64_t block;
    uint32_t first;
    uint32_t last;
    bool extended;
};

ResendCommand decode(const Bytes& b) {
    EXPECT_EQ(load_be16(&b[2]), 0x0040);
    ResendCommand c{load_be16(&b[6]), 0, 0, 0, (b[1] & 0x10) != 0};
    if (c.extended) {
        EXPECT_EQ(b.size(), 28u);
        c.block = load_be64(&b[20]);
    } else {
        EXPECT_EQ(b.size(), 20u);
        c.block = load_be16(&b[10]);
    }
    c.first = load_be32(&b[12]);
    c.last = load_be32(&b[16]);
    return c;
}

}  // namespace

TEST(ResendTest, HoleIsRequestedAfterInitialDelayThenReRequestedUntilBudgetRunsOut) {
    Harness h(frame_of(20));  // re-request budget 5; first requests are not counted
    Packets& pk = h.packets;
    for (uint32_t p : {1u, 2u}) {
        h.feed(pk.payload(1, p, 100, 100), 0);
    }
    h.feed(pk.leader(1), 0);
    h.feed(pk.payload(1, 5, 100, 100), 0);
    EXPECT_EQ(h.in_flight().slot.packets[3].next_request_at, h.at(1));
    EXPECT_EQ(h.in_flight().slot.packets[4].next_request_at, h.at(1));
    EXPECT_FALSE(h.in_flight().slot.packets[6].next_request_at.has_value());
    EXPECT_TRUE(h.sent.empty());

    h.feed(pk.payload(1, 6, 100, 100), 2);  // holes 3 and 4 are now due: one range
    ASSERT_EQ(h.sent.size(), 1u);
    ResendCommand c = decode(h.sent[0]);
    EXPECT_EQ(c.req_id, 65301);
    EXPECT_EQ(c.block, 1u);
    EXPECT_EQ(c.first, 3u);
    EXPECT_EQ(c.last, 4u);
    EXPECT_EQ(h.stats().resend_requests, 2u);
    EXPECT_TRUE(h.in_flight().slot.packets[3].requested);

    h.feed(pk.payload(1, 7, 100, 100), 10);
    h.tick(21);  // quiet for 11 ms only: no sweep
    EXPECT_EQ(h.sent.size(), 1u);
    h.tick(30);  // swept: 3..4 again (due at 22, re-requests 2); 8..19 first seen missing now
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(decode(h.sent[1]).first, 3u);
    EXPECT_EQ(h.stats().resend_requests, 4u);
    h.tick(60);  // 3..4 again (re-requests 4), and 8..19 for the first time (not counted)
    ASSERT_EQ(h.sent.size(), 4u);
    EXPECT_EQ(decode(h.sent[3]).first, 8u);
    EXPECT_EQ(decode(h.sent[3]).last, 19u);
    EXPECT_EQ(h.stats().resend_requests, 18u);
    EXPECT_FALSE(h.in_flight().ratio_reached);
    h.tick(90);  // 3..4 once more would make 6 re-requests > 5
    EXPECT_EQ(h.sent.size(), 4u);
    EXPECT_TRUE(h.in_flight().ratio_reached);
    EXPECT_EQ(h.stats().resend_ratio_reached, 1u);

    h.feed(pk.payload(1, 3, 100, 100), 95);
    EXPECT_EQ(h.stats().resent_packets, 1u);
    EXPECT_TRUE(h.take().empty());
    // Out of re-requests and quiet for an interval: it closes without waiting for the timeout
    // (which would have come at 195 ms, 100 ms after its last packet).
    h.tick(116);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);  // its trailer never came
}

// However much of a frame is lost, each packet is asked for once: a frame whose resends all
// arrive completes. The budget only limits asking again.
TEST(ResendTest, EveryLostPacketIsRequestedOnceWhateverTheBudget) {
    struct Case {
        const char* name;
        uint64_t packets;
        std::set<uint32_t> lost;
    };
    for (const Case& c :
         {Case{"run longer than the budget", 8, {2, 3, 4}}, Case{"budget below one", 3, {1}},
          Case{"all but leader and trailer",
               20,
               {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}}}) {
        SCOPED_TRACE(c.name);
        Harness h(frame_of(c.packets));
        h.frame(1, c.lost, 0, 100, c.packets);
        h.tick(25);
        ASSERT_EQ(h.sent.size(), 1u);
        ResendCommand cmd = decode(h.sent[0]);
        EXPECT_EQ(cmd.first, *c.lost.begin());
        EXPECT_EQ(cmd.last, *c.lost.rbegin());
        for (uint32_t p : c.lost) {
            h.feed(h.packets.payload(1, p, 100, 100), 26);
        }
        auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
        EXPECT_TRUE(matches_pattern(*frames[0]));
        EXPECT_EQ(h.stats().resent_packets, c.lost.size());
    }
}

TEST(ResendTest, RunLargerThanTheBudgetIsNotAskedAgainAndTheFrameClosesEarly) {
    Harness h(frame_of(8));  // re-request budget 2
    h.feed(h.packets.leader(1), 0);
    h.feed(h.packets.payload(1, 1, 100, 100), 0);
    h.feed(h.packets.payload(1, 5, 100, 100), 0);
    h.feed(h.packets.payload(1, 6, 100, 100), 2);  // run 2..4 is three packets
    EXPECT_EQ(h.sent.size(), 1u);
    h.tick(30);  // asking for 2..4 again would be 3 re-requests
    EXPECT_EQ(h.sent.size(), 1u);
    EXPECT_TRUE(h.in_flight().ratio_reached);
    EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
    h.tick(52);  // long before the 100 ms timeout
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);  // without its trailer
    EXPECT_EQ(h.stats().resend_ratio_reached, 1u);
}

TEST(ResendTest, ZeroRatioAsksForNothing) {
    for (double ratio : {0.0, -1.0, std::nan("")}) {
        auto config = frame_of(3);
        config.resend_ratio = ratio;
        Harness h(config);
        h.feed(h.packets.leader(1), 0);
        h.feed(h.packets.trailer(1, 2), 5);
        h.tick(30);
        h.tick(60);
        EXPECT_TRUE(h.sent.empty());
        EXPECT_EQ(h.stats().resend_requests, 0u);
    }
}

// A device that sends only leaders and trailers of huge frames (or a dead one) cannot make the
// stream flood it: requests are paced by what the device sends, plus a small steady allowance.
TEST(ResendTest, RequestsArePacedByTheDevicesOwnTraffic) {
    AssemblerConfig config = Harness::small_config();
    config.payload_size = 1'000'000;  // 10002 packets of 100 bytes: pacing burst 20004
    config.frame_timeout = std::chrono::hours(1);
    config.resend_ratio = 1e9;
    Harness h(config);
    for (uint64_t block = 1; block <= 4; ++block) {
        h.feed(h.packets.leader(block), 0);
        h.feed(h.packets.trailer(block, 10001), 0);
    }
    h.tick(21);  // every frame is swept: holes first seen missing
    h.tick(22);
    ASSERT_EQ(h.sent.size(), 2u);  // frames 1 and 2 take the burst, 3 and 4 must wait
    EXPECT_EQ(h.stats().resend_requests, 20000u);
    for (int k = 1; k <= 50; ++k) {
        h.tick(22 + 20.0 * k);  // one second without traffic
    }
    // 8 datagrams received and 2000 a second allowed: not one more frame's worth.
    EXPECT_LE(h.stats().resend_requests, 20000u + 8 + 2000 + 40);
    EXPECT_EQ(h.stats().packets, 8u);
}

TEST(ResendTest, RequestIdsCycleThrough65300To65535) {
    auto config = frame_of(7);
    config.resend_ratio = 1e9;
    config.frame_timeout = std::chrono::hours(1);
    Harness h(config);
    h.frame(1, {3}, 0, 100, 7);
    for (int k = 1; k <= 237; ++k) {
        h.tick(21.0 * k);
    }
    ASSERT_EQ(h.sent.size(), 237u);
    EXPECT_EQ(decode(h.sent[0]).req_id, 65301);
    EXPECT_EQ(decode(h.sent[234]).req_id, 65535);
    EXPECT_EQ(decode(h.sent[235]).req_id, 65300);
    EXPECT_EQ(decode(h.sent[236]).req_id, 65301);
    EXPECT_EQ(decode(h.sent[236]).first, 3u);
}

TEST(ResendTest, ExtendedFramesUseTheExtendedCommand) {
    Harness h;
    h.packets = Packets(true);
    h.frame(0x1234'5678'9ABC, {4, 5}, 0, 88, 14);
    h.tick(25);
    ASSERT_EQ(h.sent.size(), 1u);
    ResendCommand c = decode(h.sent[0]);
    EXPECT_TRUE(c.extended);
    EXPECT_EQ(c.block, 0x1234'5678'9ABCu);
    EXPECT_EQ(c.first, 4u);
    EXPECT_EQ(c.last, 5u);
}

TEST(ResendTest, DeviceRefusalStopsRequestsForThatFrameOnly) {
    struct Case {
        uint16_t status;
        bool stops;
    };
    for (const Case& c :
         {Case{0x800C, true}, Case{0x8011, true}, Case{0x8012, true}, Case{0x8001, false}}) {
        SCOPED_TRACE(c.status);
        Harness h;
        h.frame(1, {3}, 0);
        h.feed(h.packets.error(1, 3, c.status), 1);
        h.tick(25);
        EXPECT_EQ(h.sent.empty(), c.stops);
        EXPECT_EQ(h.stats().resend_disabled, c.stops ? 1u : 0u);
        EXPECT_EQ(h.stats().error_packets, 1u);
        h.frame(2, {3}, 25);  // a later frame is still served
        h.tick(50);
        EXPECT_FALSE(h.sent.empty());
    }
}

TEST(ResendTest, StreamWithoutResendNeverRequests) {
    auto config = Harness::small_config();
    config.resend_enabled = false;
    Harness h(config);
    h.frame(1, {3, 4}, 0);
    h.tick(25);
    h.tick(50);
    EXPECT_TRUE(h.sent.empty());
}

TEST(ResendTest, SendFailureIsLoggedAndStillCounted) {
    log::ScopedCapture capture;
    Harness h;
    h.send_errno = EHOSTUNREACH;
    h.frame(1, {3}, 0);
    h.tick(25);
    EXPECT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.stats().resend_requests, 1u);
    EXPECT_TRUE(capture.sink().contains(log::Level::Trace, "corvisk::gige::stream::runner",
                                        "resend request send failed: No route to host"));
    EXPECT_TRUE(capture.sink().contains(log::Level::Trace, "corvisk::gige::stream::runner",
                                        "requesting packet resend"));
}

// Holes found at different times come due at different times; the placement of later packets
// requests exactly the holes that are due, each at its own pace, however the calls interleave.
TEST(ResendTest, HolesFoundAtDifferentTimesComeDueEachAtItsOwnTime) {
    Harness h(frame_of(40));  // budget 10
    Packets& pk = h.packets;
    h.feed(pk.leader(1), 0);
    h.feed(pk.payload(1, 1, 100, 100), 0);
    h.feed(pk.payload(1, 3, 100, 100), 0);  // hole 2, due after 1 ms
    h.feed(pk.payload(1, 4, 100, 100), 2);  // 2 is due
    h.feed(pk.payload(1, 6, 100, 100), 3);  // hole 5, due after 4 ms; 2 again after 22 ms
    h.feed(pk.payload(1, 7, 100, 100), 3.5);
    h.feed(pk.payload(1, 8, 100, 100), 5);    // 5 is due
    h.feed(pk.payload(1, 9, 100, 100), 23);   // 2 is due again, 5 not before 25
    h.feed(pk.payload(1, 10, 100, 100), 26);  // now 5
    ASSERT_EQ(h.sent.size(), 4u);
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const Bytes& b : h.sent) {
        ResendCommand c = decode(b);
        ranges.emplace_back(c.first, c.last);
    }
    EXPECT_EQ(ranges, (std::vector<std::pair<uint32_t, uint32_t>>{{2, 2}, {5, 5}, {2, 2}, {5, 5}}));
    EXPECT_EQ(h.a->stats().resend_requests, 4u);
}

// Once newer frames have had a run of packets since a frame's last one, the device has moved on:
// that frame's missing tail (trailer included) is asked for at once, not after a quiet interval.
// Interleaved frames, even across a pause of the whole stream, are never taken for that.
TEST(ResendTest, TailOfAFrameTheDeviceMovedPastIsRequestedAtOnce) {
    Harness h(frame_of(40));
    for (uint32_t p = 0; p <= 30; ++p) {  // 31..39 never come
        h.feed(p == 0 ? h.packets.leader(1) : h.packets.payload(1, p, 100, 100), 0);
    }
    for (uint32_t p = 0; p <= 35; ++p) {
        h.feed(p == 0 ? h.packets.leader(2) : h.packets.payload(2, p, 100, 100), 2);
    }
    h.feed(h.packets.payload(2, 36, 100, 100), 4);
    ASSERT_EQ(h.sent.size(), 1u);
    ResendCommand c = decode(h.sent[0]);
    EXPECT_EQ(c.block, 1u);
    EXPECT_EQ(c.first, 31u);
    EXPECT_EQ(c.last, 39u);

    Harness i(frame_of(40));
    double t = 0;
    for (uint32_t p = 0; p < 40; ++p) {
        t += p == 20 ? 5 : 0.01;  // the whole stream pauses for 5 ms half way
        for (uint64_t block : {1, 2}) {
            Bytes packet = p == 0    ? i.packets.leader(block)
                           : p == 39 ? i.packets.trailer(block, 39)
                                     : i.packets.payload(block, p, 100, 100);
            i.feed(packet, t);
        }
    }
    EXPECT_TRUE(i.sent.empty());
    EXPECT_EQ(i.take().size(), 2u);
}
