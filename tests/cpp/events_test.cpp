// Event commands on the message channel: the decoder on golden and hostile datagrams, and the
// receiver core's acknowledges, repeat recognition and bounded delivery.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "gige/message_channel.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/proto/gvcp_event.hpp"

namespace corvisk::gige {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(EventCommandDecode, PlainEventWithTwoEventsAndATrailingFragment) {
    const Bytes d = {0x42, 0x01, 0x00, 0xC0, 0x00, 0x23, 0x12, 0x34,  // header, 35 bytes
                     0x00, 0x00, 0x90, 0x01, 0x00, 0x01, 0x00, 0x07,  // id 0x9001 ch 1 block 7
                     0,    0,    0,    1,    0,    0,    0,    2,     // timestamp
                     0x00, 0x00, 0x4F, 0xFF, 0x00, 0x00, 0x00, 0x00,  // id 0x4FFF
                     0,    0,    0,    0,    0,    0,    0,    9,     // timestamp
                     0xAA, 0xBB, 0xCC};                               // fragment: ignored
    auto r = gvcp::decode_event_command(d);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->req_id, 0x1234);
    ASSERT_EQ(r->events.size(), 2u);
    EXPECT_EQ(r->events[0], (gvcp::DeviceEventRecord{0x9001, 1, 7, 0x100000002ull, {}}));
    EXPECT_EQ(r->events[1], (gvcp::DeviceEventRecord{0x4FFF, 0, 0, 9, {}}));
}

TEST(EventCommandDecode, RoundTripsDataAndExtendedLayouts) {
    const std::vector<gvcp::DeviceEventRecord> one = {{0x9000, 2, 0x1'0000'0001ull, 77, {1, 2, 3}}};
    for (uint8_t flags : {uint8_t{0}, gvcp::kFlagExtendedId}) {
        auto bytes = gvcp::encode_event_command(gvcp::kEventDataCmd, 9, flags, one);
        auto r = gvcp::decode_event_command(bytes);
        ASSERT_TRUE(r.ok()) << r.error();
        ASSERT_EQ(r->events.size(), 1u);
        auto expected = one[0];
        if (flags == 0) {
            expected.block_id &= 0xFFFF;  // the plain layout carries 16 bits
        }
        EXPECT_EQ(r->events[0], expected);
    }
}

struct BadDatagram {
    const char* what;
    Bytes bytes;
};

class EventCommandRejects : public ::testing::TestWithParam<BadDatagram> {};

TEST_P(EventCommandRejects, WithAReason) {
    auto r = gvcp::decode_event_command(GetParam().bytes);
    EXPECT_FALSE(r.ok());
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, EventCommandRejects,
    ::testing::Values(
        BadDatagram{"empty", {}}, BadDatagram{"short header", {0x42, 0x01, 0x00, 0xC0}},
        BadDatagram{"length past the end", {0x42, 0x01, 0x00, 0xC0, 0x00, 0x10, 0, 1}},
        BadDatagram{"not an event", {0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0, 1}},
        BadDatagram{"an acknowledge", {0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0, 1}},
        BadDatagram{"no whole event", {0x42, 0x01, 0x00, 0xC0, 0x00, 0x04, 0, 1, 0, 0, 0x90, 1}},
        BadDatagram{"extended size below the header",
                    {0x42, 0x11, 0x00, 0xC2, 0x00, 0x18, 0, 1, 0x00, 0x04, 0, 0, 0, 0, 0, 0,
                     0,    0,    0,    0,    0,    0,    0, 0, 0,    0,    0, 0, 0, 0, 0, 0}},
        BadDatagram{"extended size past the payload",
                    {0x42, 0x11, 0x00, 0xC2, 0x00, 0x18, 0, 1, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0,
                     0,    0,    0,    0,    0,    0,    0, 0, 0,    0,    0, 0, 0, 0, 0, 0}}),
    [](const auto& param_info) {
        std::string n = param_info.param.what;
        for (char& c : n) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return n;
    });

Bytes test_event(uint16_t req_id) {
    const gvcp::DeviceEventRecord ev{0x4FFF, 0, 0, 5, {}};
    return gvcp::encode_event_command(gvcp::kEventCmd, req_id, 0, {&ev, 1});
}

TEST(EventReceiver, AcknowledgesEveryCopyAndDeliversEachRequestOnce) {
    auto [tx, rx] = chan::bounded<DeviceEvent>(8);
    EventReceiver receiver(std::move(tx));
    std::vector<Bytes> acks;
    const auto send = [&](std::span<const uint8_t> a) {
        acks.emplace_back(a.begin(), a.end());
        return true;
    };
    for (uint16_t id : {1, 1, 2, 1, 2, 3}) {
        receiver.on_datagram(test_event(id), send, 0);
    }
    receiver.on_datagram(Bytes{0x42, 0x01}, send, 0);  // malformed: no acknowledge
    ASSERT_EQ(acks.size(), 6u);
    EXPECT_EQ(acks[1], (Bytes{0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x01}));
    const EventStats s = receiver.stats();
    EXPECT_EQ(s.commands, 6u);
    EXPECT_EQ(s.events, 3u);
    EXPECT_EQ(s.duplicates, 3u);
    EXPECT_EQ(s.malformed, 1u);
    DeviceEvent ev;
    int delivered = 0;
    while (rx.try_recv(ev) == chan::RecvResult::Item) {
        ++delivered;
    }
    EXPECT_EQ(delivered, 3);
}

TEST(EventReceiver, AFullQueueDropsAndCountsWithoutBlocking) {
    auto [tx, rx] = chan::bounded<DeviceEvent>(2);
    EventReceiver receiver(std::move(tx));
    int failed_acks = 0;
    for (uint16_t id = 1; id <= 5; ++id) {
        receiver.on_datagram(
            test_event(id),
            [&](std::span<const uint8_t>) {
                ++failed_acks;
                return false;
            },
            0);
    }
    const EventStats s = receiver.stats();
    EXPECT_EQ(s.events, 2u);
    EXPECT_EQ(s.dropped, 3u);
    EXPECT_EQ(s.ack_failures, 5u);
    EXPECT_EQ(failed_acks, 5);
}

}  // namespace
}  // namespace corvisk::gige
