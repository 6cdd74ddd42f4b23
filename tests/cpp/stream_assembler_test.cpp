// Frame assembly driven packet by packet: completion, late/skipped/unsupported frames,
// underruns, wrong numbering, learned packet sizes, timeouts, delivery, and hostile sizing.
#include <gtest/gtest.h>

#include "gige/stream/assembler.hpp"
#include "log.hpp"
#include "stream_test_util.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::gige::test;

TEST(AssemblerTest, CompleteFrameCarriesPayloadAndLeaderFields) {
    Harness h;
    h.frame(5);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    const Frame& f = *frames[0];
    EXPECT_EQ(f.status, FrameStatus::Complete);
    EXPECT_EQ(f.frame_id, 5u);
    EXPECT_EQ(f.received_size, 1000u);
    EXPECT_EQ(f.data_end, 1000u);
    EXPECT_EQ(f.payload().size(), 1000u);
    EXPECT_TRUE(matches_pattern(f));
    EXPECT_EQ(f.width, 40u);
    EXPECT_EQ(f.height, 25u);
    EXPECT_EQ(f.x_offset, 3u);
    EXPECT_EQ(f.y_offset, 4u);
    EXPECT_EQ(f.padding_x, 5u);
    EXPECT_EQ(f.padding_y, 6u);
    EXPECT_EQ(f.pixel_format, gvsp::PixelFormat::kMono8);
    EXPECT_EQ(f.payload_kind, PayloadKind::Image);
    EXPECT_EQ(f.has_chunks, std::optional<bool>(false));
    EXPECT_EQ(f.timestamp_ticks, 0x0102030405060708u);
    EXPECT_EQ(f.timestamp_ns, 0x0102030405060708u);  // 1 GHz ticks
    EXPECT_EQ(f.system_timestamp_ns, 1'700'000'000'000'000'000u);
    const StreamStats& s = h.stats();
    EXPECT_EQ(s.packets, 12u);
    EXPECT_EQ(s.bytes, 8u * 12 + 36 + 1000 + 8);
    EXPECT_EQ(s.completed_frames, 1u);
    EXPECT_EQ(s.failed_frames + s.ignored_packets + s.missing_frames, 0u);
    EXPECT_EQ(h.published, s);
    EXPECT_FALSE(h.a->has_frames_in_flight());
}

TEST(AssemblerTest, ExtendedIdFramesAssemble) {
    Harness h;
    h.packets = Packets(true);
    h.frame(0x1'0000'0001, {}, 0, 88, 14);  // 88 payload bytes per 136-byte extended packet
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
    EXPECT_EQ(frames[0]->frame_id, 0x1'0000'0001u);
    EXPECT_TRUE(matches_pattern(*frames[0]));
}

TEST(AssemblerTest, InterleavedFramesCompleteInOrder) {
    Harness h;
    h.frame(1, {11});  // frame 1 without its trailer
    h.frame(2, {11});  // frame 2 entirely, also without trailer
    ASSERT_EQ(h.a->frames_in_flight().size(), 2u);
    h.feed(h.packets.trailer(2, 11));
    EXPECT_TRUE(h.take().empty());  // frame 2 is complete but frame 1 is older
    h.feed(h.packets.trailer(1, 11));
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0]->frame_id, 1u);
    EXPECT_EQ(frames[1]->frame_id, 2u);
    EXPECT_EQ(h.stats().completed_frames, 2u);
}

TEST(AssemblerTest, WithoutResendOlderIncompleteFrameClosesWhenNewerExists) {
    auto config = Harness::small_config();
    config.resend_enabled = false;
    Harness h(config);
    h.frame(1, {4});
    EXPECT_TRUE(h.take().empty());
    h.feed(h.packets.leader(2));
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::MissingPackets);
    EXPECT_EQ(h.stats().failed_frames, 1u);
    EXPECT_EQ(h.stats().missing_packets, 8u);  // packets 4..11 follow the contiguous prefix
    EXPECT_TRUE(h.sent.empty());
}

TEST(AssemblerTest, WrongPacketIdsMarkTheFrameButItStillCloses) {
    struct Case {
        const char* name;
        Bytes stray;
        bool after_leader;  // a stray that arrives first would start the frame itself
    };
    Packets pk;
    const std::vector<Case> cases = {
        {"payload id 0", pk.raw(1, gvsp::kPayload, 0, Bytes(100, 1)), false},
        {"leader not at 0", pk.leader(1, {}, 3), false},
        {"trailer beyond count", pk.trailer(1, 40), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        if (c.after_leader) {
            h.feed(h.packets.leader(1));
        }
        h.feed(c.stray);
        h.frame(1, c.after_leader ? std::set<uint32_t>{0} : std::set<uint32_t>{});
        auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0]->status, FrameStatus::WrongPacketId);
        EXPECT_EQ(h.stats().failed_frames, 1u);
        EXPECT_EQ(h.stats().completed_frames, 0u);
        EXPECT_EQ(h.stats().missing_packets, 0u);
    }
}

// Payload packets numbered past the frame's last payload slot are strays: ignored and counted,
// wherever they arrive, and the frame's own packets still complete it.
TEST(AssemblerTest, StrayPayloadIdsAreIgnoredAndCounted) {
    struct Case {
        const char* name;
        uint32_t id;
        bool first;  // arrives before the leader, starting the frame itself
    };
    for (const Case& c : {Case{"the trailer's slot", 11, false}, Case{"past the count", 40, false},
                          Case{"far past the count", 0xFFFFFF, false},
                          Case{"first packet of the frame", 11, true}}) {
        SCOPED_TRACE(c.name);
        Harness h;
        Bytes stray = h.packets.raw(1, gvsp::kPayload, c.id, Bytes(100, 7));
        if (c.first) {
            h.feed(stray);
        }
        h.frame(1, {11});
        h.feed(stray);
        h.feed(h.packets.trailer(1, 11));
        h.feed(stray);  // after the trailer the frame is closed: a late packet
        auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
        EXPECT_TRUE(matches_pattern(*frames[0]));
        EXPECT_EQ(h.a->placement().stray_packets, c.first ? 2u : 1u);
        EXPECT_EQ(h.stats().duplicated_packets, 0u);
        EXPECT_EQ(h.stats().ignored_packets, c.first ? 3u : 2u);
    }
}

TEST(AssemblerTest, TrailerShortensTheFrame) {
    auto config = Harness::small_config();
    config.payload_size = 800;  // 10 packets
    Harness h(config);
    h.feed(h.packets.leader(1));
    ASSERT_EQ(h.in_flight().packet_count, 10u);
    h.feed(h.packets.trailer(1, 5));
    EXPECT_EQ(h.in_flight().packet_count, 6u);
    for (uint32_t p = 1; p <= 4; ++p) {
        h.feed(h.packets.payload(1, p, 100, 100));
    }
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
    EXPECT_EQ(frames[0]->received_size, 400u);
}

TEST(AssemblerTest, DuplicatePacketOnlyCountsDuplicate) {
    Harness h;
    h.feed(h.packets.leader(1));
    h.feed(h.packets.payload(1, 1, 100, 100));
    const uint64_t received_before = h.in_flight().received_size;
    const int64_t contiguous_before = h.in_flight().contiguous;
    StreamStats expected = h.stats();
    h.feed(h.packets.payload(1, 1, 100, 100));
    expected.packets += 1;
    expected.bytes += 108;
    expected.duplicated_packets += 1;
    EXPECT_EQ(h.stats(), expected);
    EXPECT_EQ(h.in_flight().received_size, received_before);
    EXPECT_EQ(h.in_flight().contiguous, contiguous_before);
}

TEST(AssemblerTest, LateAndSkippedBlockIds) {
    Harness h;
    h.frame(200);
    h.feed(h.packets.leader(150));  // 50 below: late
    EXPECT_EQ(h.stats().ignored_packets, 1u);
    EXPECT_FALSE(h.a->has_frames_in_flight());
    h.feed(h.packets.leader(50));  // 150 below: a new frame
    ASSERT_TRUE(h.a->has_frames_in_flight());
    EXPECT_EQ(h.in_flight().block_id, 50u);

    Harness g;
    g.frame(3);
    g.frame(7);
    EXPECT_EQ(g.stats().missing_frames, 3u);
    EXPECT_EQ(g.stats().completed_frames, 2u);
}

TEST(AssemblerTest, StandardBlockIdWrapsFromFfffToOne) {
    Harness h;
    h.frame(0xFFFE);
    h.frame(0xFFFF);
    h.frame(1);
    EXPECT_EQ(h.stats().completed_frames, 3u);
    EXPECT_EQ(h.stats().missing_frames, 0u);
    EXPECT_EQ(h.stats().ignored_packets, 0u);
}

TEST(AssemblerTest, UnderrunsWhileConsumersHoldEveryBuffer) {
    auto config = Harness::small_config();
    config.n_buffers = 2;
    Harness h(config);
    h.frame(1);
    h.frame(2);
    auto held = h.take();
    ASSERT_EQ(held.size(), 2u);
    h.frame(3);  // no buffer: the leader underruns, the rest is late
    EXPECT_EQ(h.stats().underruns, 1u);
    EXPECT_EQ(h.stats().ignored_packets, 11u);
    EXPECT_TRUE(h.take().empty());
    held.pop_back();  // one buffer returns to the pool
    h.frame(4);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->frame_id, 4u);
    EXPECT_TRUE(matches_pattern(*frames[0]));
}

// Frame 1 waits for packet 4 and frame 2, complete, waits behind it: they hold both buffers of
// the pool when frame 3 begins.
void fill_pool_behind_a_waiting_frame(Harness& h) {
    h.frame(1, {4});
    h.frame(2);
    ASSERT_EQ(h.a->frames_in_flight().size(), 2u);
    ASSERT_EQ(h.a->free_buffers(), 0u);
}

void expect_closed_early(const std::vector<FramePtr>& frames) {
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0]->frame_id, 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);
    EXPECT_EQ(frames[1]->frame_id, 2u);
    EXPECT_EQ(frames[1]->status, FrameStatus::Complete);
    EXPECT_TRUE(matches_pattern(*frames[1]));
}

TEST(AssemblerTest, EmptyPoolClosesTheWaitingFrameAndTheNewFrameRecoversItsFirstPackets) {
    auto config = Harness::small_config();
    config.n_buffers = 2;
    Harness h(config);
    fill_pool_behind_a_waiting_frame(h);
    h.feed(h.packets.leader(3), 1);
    EXPECT_EQ(h.stats().underruns, 1u);
    EXPECT_EQ(h.stats().timed_out_frames, 1u);
    auto closed = h.take();  // held: their buffers stay out of the pool
    expect_closed_early(closed);
    for (uint32_t p = 1; p <= 3; ++p) {
        h.feed(h.packets.payload(3, p, 100, 100), 1);
    }
    EXPECT_FALSE(h.a->has_frames_in_flight());
    closed.clear();
    for (uint32_t p = 4; p <= 10; ++p) {
        h.feed(h.packets.payload(3, p, 100, 100), 1);
    }
    h.feed(h.packets.trailer(3, 11), 1);
    ASSERT_EQ(h.a->frames_in_flight().size(), 1u);
    EXPECT_EQ(h.in_flight().block_id, 3u);
    h.sent.clear();
    h.tick(25);  // once quiet, the packets it missed are asked for like any others lost
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(load_be32(&h.sent[0][12]), 0u);
    EXPECT_EQ(load_be32(&h.sent[0][16]), 3u);
    h.feed(h.packets.leader(3), 26);
    for (uint32_t p = 1; p <= 3; ++p) {
        h.feed(h.packets.payload(3, p, 100, 100), 26);
    }
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->frame_id, 3u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
    EXPECT_TRUE(matches_pattern(*frames[0]));
    EXPECT_EQ(h.stats().underruns, 1u);
    EXPECT_EQ(h.stats().missing_frames, 0u);
}

// When nothing holds what the closed frames delivered (here a full subscriber queue drops them),
// their buffers are back at once and the new frame starts with its leader.
TEST(AssemblerTest, EmptyPoolClosingAWaitingFrameFreesABufferAtOnce) {
    auto config = Harness::small_config();
    config.n_buffers = 2;
    Harness h(config, 0);
    fill_pool_behind_a_waiting_frame(h);
    h.frame(3, {}, 1);
    EXPECT_EQ(h.stats().underruns, 0u);
    EXPECT_EQ(h.stats().timed_out_frames, 1u);
    EXPECT_EQ(h.stats().frames_dropped, 3u);
    EXPECT_EQ(h.stats().completed_frames, 2u);
    EXPECT_FALSE(h.a->has_frames_in_flight());
}

TEST(AssemblerTest, EmptyPoolLeavesWaitingFramesAloneWhenClosingThemCannotHelp) {
    struct Case {
        const char* name;
        bool option;
        bool subscriber_holds_frame_1;  // then the waiting frame is alone in flight
    };
    for (const Case& c : {Case{"option off", false, false}, Case{"alone in flight", true, true}}) {
        SCOPED_TRACE(c.name);
        auto config = Harness::small_config();
        config.n_buffers = 2;
        config.pool.close_waiting_when_empty = c.option;
        Harness h(config);
        std::vector<FramePtr> held;
        if (c.subscriber_holds_frame_1) {
            h.frame(1);
            held = h.take();
            h.frame(2, {4});
        } else {
            fill_pool_behind_a_waiting_frame(h);
        }
        h.frame(3, {}, 1);  // lost whole: the rest of its packets are late
        EXPECT_EQ(h.stats().underruns, 1u);
        EXPECT_EQ(h.stats().ignored_packets, 11u);
        EXPECT_EQ(h.stats().timed_out_frames, 0u);
        EXPECT_TRUE(h.take().empty());
        EXPECT_EQ(h.a->frames_in_flight().size(), c.subscriber_holds_frame_1 ? 1u : 2u);
    }
}

TEST(AssemblerTest, ZeroBuffersMakeEveryFrameAnUnderrun) {
    auto config = Harness::small_config();
    config.n_buffers = 0;
    Harness h(config);
    h.frame(1);
    h.frame(2);
    EXPECT_EQ(h.stats().underruns, 2u);
    EXPECT_TRUE(h.take().empty());
}

TEST(AssemblerTest, AbortAllClosesEveryFrameInFlight) {
    Harness h;
    h.frame(1, {5});
    h.frame(2, {6});
    h.a->abort_all();
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Aborted);
    EXPECT_EQ(frames[1]->status, FrameStatus::Aborted);
    EXPECT_EQ(h.stats().aborted_frames, 2u);
    EXPECT_EQ(h.stats().failed_frames, 0u);
    EXPECT_EQ(h.stats().missing_packets, 0u);
}

TEST(AssemblerTest, QuietFrameTimesOut) {
    Harness h;
    h.frame(1, {3, 4, 11}, 0);
    h.tick(99);
    EXPECT_TRUE(h.take().empty());
    h.tick(100);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);
    EXPECT_EQ(frames[0]->data_end, 1000u);
    EXPECT_EQ(h.stats().timed_out_frames, 1u);
    EXPECT_EQ(h.stats().failed_frames, 1u);
    EXPECT_EQ(h.stats().missing_packets, 9u);  // 3..11
}

TEST(AssemblerTest, NewestFrameWithOnlyItsLeaderWaits) {
    Harness h;
    h.feed(h.packets.leader(1), 0);
    h.tick(10'000);
    EXPECT_TRUE(h.a->has_frames_in_flight());
    h.feed(h.packets.leader(2), 10'000);  // no longer the newest: the old one times out
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->frame_id, 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);
}

TEST(AssemblerTest, MissingTailShortensPayloadView) {
    Harness h;
    h.frame(1, {8, 9, 10}, 0);
    h.tick(100);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->data_end, 700u);
    EXPECT_EQ(frames[0]->payload().size(), 700u);
    EXPECT_TRUE(matches_pattern(*frames[0]));
}

TEST(AssemblerTest, FrameWithoutLeaderHasZeroLeaderFields) {
    Harness h;
    h.frame(1, {0}, 0);
    h.tick(100);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    const Frame& f = *frames[0];
    EXPECT_EQ(f.status, FrameStatus::Timeout);
    EXPECT_EQ(f.pixel_format, 0u);
    EXPECT_EQ(f.width, 0u);
    EXPECT_EQ(f.height, 0u);
    EXPECT_EQ(f.timestamp_ticks, 0u);
    EXPECT_EQ(f.timestamp_ns, 0u);  // tick frequency known, no leader
    EXPECT_EQ(f.system_timestamp_ns, 0u);
    EXPECT_EQ(f.payload_kind, PayloadKind::Other);
    EXPECT_EQ(f.payload_type, 0u);
    EXPECT_FALSE(f.has_chunks.has_value());
    EXPECT_EQ(h.stats().missing_packets, 12u);
}

TEST(AssemblerTest, UnparseableAndUnsupportedDatagrams) {
    Packets pk;
    Packets ext(true);
    struct Case {
        const char* name;
        Bytes datagram;
        uint64_t unsupported;
    };
    const std::vector<Case> cases = {
        {"7 bytes", Bytes(7, 0), 0},
        {"extended header of 19 bytes",
         Bytes{0, 0, 0, 0, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 0},
        {"leader with 11-byte payload", pk.leader(1, {.size = 11}), 1},
        {"raw-data payload type", pk.leader(1, {.payload_type = 2}), 1},
        {"multi-part format", pk.raw(1, 7, 0, Bytes(40, 0)), 1},
        {"format 0", pk.raw(1, 0, 0), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.feed(c.datagram);
        EXPECT_FALSE(h.a->has_frames_in_flight());
        EXPECT_EQ(h.stats().ignored_packets, 1u);
        EXPECT_EQ(h.stats().unsupported_frames, c.unsupported);
        EXPECT_EQ(h.stats().packets, 1u);
    }
}

TEST(AssemblerTest, PayloadTypesClassifyFrames) {
    struct Case {
        uint16_t type;
        PayloadKind kind;
        bool chunks;
    };
    for (const Case& c :
         {Case{1, PayloadKind::Image, false}, Case{0x4001, PayloadKind::Image, true},
          Case{4, PayloadKind::ChunkData, true}, Case{5, PayloadKind::Image, true}}) {
        SCOPED_TRACE(c.type);
        Harness h;
        h.feed(h.packets.leader(1, {.payload_type = c.type}));
        h.frame(1, {0});
        auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0]->payload_kind, c.kind);
        EXPECT_EQ(frames[0]->has_chunks, std::optional<bool>(c.chunks));
    }
}

TEST(AssemblerTest, AllInAndUnknownFormatsFailTheFrame) {
    Harness h;
    h.feed(h.packets.raw(1, gvsp::kAllIn, 0, Bytes(50, 9)));
    // It waits for packets of its own id for a resend interval, then fails for its data.
    h.tick(19);
    EXPECT_TRUE(h.take().empty());
    h.tick(20);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::PayloadUnsupported);
    EXPECT_EQ(frames[0]->received_size, 0u);
    EXPECT_EQ(h.stats().ignored_packets, 1u);

    h.frame(2, {5});
    // A multi-zone packet where the hole is does not fill it: the frame still lacks packet 5,
    // and when it gives up waiting it fails for the data it could not place.
    h.feed(h.packets.raw(2, 6, 5, Bytes(100, 0)));
    EXPECT_TRUE(h.take().empty());
    h.tick(200);
    frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::PayloadUnsupported);
    EXPECT_EQ(frames[0]->received_size, 900u);
    EXPECT_EQ(h.stats().ignored_packets, 2u);
    EXPECT_EQ(h.stats().failed_frames, 2u);
}

// A packet of a format whose data is not placed, numbered 0 and sent ahead of its frame's
// leader, neither takes the frame's id nor its leader's slot: the frame completes from its own
// packets, whether the leader comes next or is lost and asked for again.
TEST(AssemblerTest, StrayPacketAheadOfTheLeaderDoesNotSpoilTheFrame) {
    struct Case {
        const char* name;
        uint8_t format;
        bool lose_leader;
    };
    const std::vector<Case> cases = {
        {"all-in", gvsp::kAllIn, false},
        {"unknown format", 7, false},
        {"all-in, leader resent", gvsp::kAllIn, true},
        {"unknown format, leader resent", 7, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.feed(h.packets.raw(1, c.format, 0, Bytes(50, 9)));
        h.frame(1, c.lose_leader ? std::set<uint32_t>{0} : std::set<uint32_t>{});
        if (c.lose_leader) {
            h.tick(21);  // the quiet frame is swept: its leader is requested and sent
            ASSERT_FALSE(h.sent.empty());
            h.feed(h.packets.leader(1), 21);
        }
        auto frames = h.take();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
        EXPECT_TRUE(matches_pattern(*frames[0]));
        EXPECT_EQ(h.stats().ignored_packets, 1u);
        EXPECT_EQ(h.stats().failed_frames, 0u);
        h.frame(2);  // and the stream goes on
        EXPECT_EQ(h.take().size(), 1u);
    }
}

// A device sending only packets of a format not understood has each of its frames counted
// once as unsupported, and nothing is held for them.
TEST(AssemblerTest, UnknownFormatFramesAreCountedOnce) {
    Harness h;
    for (uint64_t block = 1; block <= 3; ++block) {
        for (uint32_t p = 0; p < 4; ++p) {
            h.feed(h.packets.raw(block, 7, p, Bytes(40, 0)));
        }
    }
    EXPECT_FALSE(h.a->has_frames_in_flight());
    EXPECT_EQ(h.stats().unsupported_frames, 3u);
    EXPECT_EQ(h.stats().ignored_packets, 12u);
    h.frame(4);
    EXPECT_EQ(h.take().size(), 1u);
}

TEST(AssemblerTest, LearnsSmallerPayloadPackets) {
    Harness h;  // negotiated 100 bytes per packet, device sends 80
    h.frame(1, {}, 0, 80, 15);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
    EXPECT_EQ(frames[0]->received_size, 1000u);
    EXPECT_TRUE(matches_pattern(*frames[0]));
}

TEST(AssemblerTest, OverrunningPayloadIsTruncatedAndCounted) {
    Harness h;
    h.feed(h.packets.leader(1));
    h.feed(h.packets.payload(1, 10, 100, 100));  // last payload packet, exactly fits
    h.feed(h.packets.raw(1, gvsp::kPayload, 10, Bytes(150, 0)));  // duplicate: ignored
    EXPECT_EQ(h.stats().size_mismatch_errors, 0u);
    auto config = Harness::small_config();
    config.payload_size = 950;
    Harness g(config);
    g.feed(g.packets.leader(1));
    g.feed(g.packets.payload(1, 1, 100, 100));
    g.feed(g.packets.payload(1, 10, 100, 100));  // last packet overruns: truncated, not counted
    EXPECT_EQ(g.stats().size_mismatch_errors, 0u);
    EXPECT_EQ(g.in_flight().data_end, 950u);
    g.feed(g.packets.raw(1, gvsp::kPayload, 9, Bytes(300, 0)));  // not the last: counted
    EXPECT_EQ(g.stats().size_mismatch_errors, 1u);
    EXPECT_EQ(g.in_flight().received_size, 100u + 50 + 150);
}

TEST(AssemblerTest, ErrorStatusPacketsAreCountedNotPlaced) {
    Harness h;
    h.feed(h.packets.leader(1));
    h.feed(h.packets.error(1, 3, 0x800C));
    h.feed(h.packets.error(1, 4, 0x8001));
    EXPECT_EQ(h.stats().error_packets, 2u);
    EXPECT_EQ(h.stats().resend_disabled, 1u);
    EXPECT_TRUE(h.in_flight().resend_disabled);
    // Packet 3 will never come: accounted for, nothing placed. Packet 4 may still be resent.
    EXPECT_TRUE(h.in_flight().slot.packets[3].received);
    EXPECT_EQ(h.in_flight().gone_packets, 1u);
    EXPECT_FALSE(h.in_flight().slot.packets[4].received);
    EXPECT_EQ(h.in_flight().received_size, 0u);
}

// A packet the device reports gone closes its frame as MissingPackets once every other packet
// is in, whichever packet it was, leader-only frames included; the next frame is untouched.
TEST(AssemblerTest, AFrameWithAGonePacketClosesWhenTheRestIsIn) {
    for (uint32_t gone : {1u, 4u, 10u}) {
        for (bool resend : {true, false}) {
            auto config = Harness::small_config();
            config.resend_enabled = resend;
            Harness h(config);
            h.feed(h.packets.leader(1));
            h.feed(h.packets.error(1, gone, resend ? 0x800C : 0x8001));
            h.frame(1, {0, gone});
            auto frames = h.take();
            ASSERT_EQ(frames.size(), 1u) << gone;
            EXPECT_EQ(frames[0]->status, FrameStatus::MissingPackets);
            EXPECT_EQ(h.stats().missing_packets, 1u);
            EXPECT_EQ(h.stats().failed_frames, 1u);
            EXPECT_EQ(frames[0]->received_size, 1000u - 100u);
            h.frame(2);
            frames = h.take();
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0]->status, FrameStatus::Complete);
        }
    }
}

// A frame that lost a packet after its leader times out even while it is the newest frame.
TEST(AssemblerTest, ANewestFrameWithAHolePastTheLeaderTimesOut) {
    auto config = Harness::small_config();
    config.resend_enabled = false;
    Harness h(config);
    h.frame(1, {1});
    EXPECT_TRUE(h.take().empty());
    h.tick(101);
    auto frames = h.take();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->status, FrameStatus::Timeout);
}

TEST(AssemblerTest, SubscribersGetEveryFrameWithoutBlocking) {
    auto config = Harness::small_config();
    config.n_buffers = 16;
    Harness h(config);
    auto [slow_tx, slow] = chan::bounded<FramePtr>(2);
    auto [gone_tx, gone] = chan::bounded<FramePtr>(4);
    auto [handover_tx, handover] = chan::bounded<FramePtr>(0);
    h.a->add_subscriber(std::move(slow_tx));
    h.a->add_subscriber(std::move(gone_tx));
    h.a->add_subscriber(std::move(handover_tx));
    h.frame(1);
    gone = FrameChannel();  // its consumer goes away
    for (uint64_t b = 2; b <= 5; ++b) {
        h.frame(b);
    }
    EXPECT_EQ(h.take().size(), 5u);  // the default subscriber got everything
    EXPECT_EQ(slow.len(), 2u);
    EXPECT_EQ(h.a->subscriber_count(), 3u);  // the dropped one is forgotten
    // The hand-over never has a waiting receiver (5 drops); the slow one fills up after two
    // frames (3 drops).
    EXPECT_EQ(h.stats().frames_dropped, 5u + 3);
    EXPECT_EQ(h.published.frames_dropped, h.stats().frames_dropped);
}

TEST(AssemblerTest, SubscriberAddedRightBeforeACloseGetsThatFrame) {
    Harness h;
    FrameChannel late;
    h.on_close = [&] {
        if (!late.valid()) {
            auto [tx, rx] = chan::bounded<FramePtr>(1);
            h.a->add_subscriber(std::move(tx));
            late = std::move(rx);
        }
    };
    h.frame(1);
    EXPECT_EQ(late.len(), 1u);
}

TEST(AssemblerTest, HostileNumberingCannotGrowThePacketArray) {
    // A 1000-byte buffer: no frame may have more than the 64 packet slots every frame may
    // have (its natural count is 12, a 256-byte floor would give 6).
    Harness h;
    EXPECT_EQ(h.a->packet_limit(100), 64u);

    h.feed(h.packets.trailer(1, 0xFFFFFF));  // trailer-started frame with a huge id
    EXPECT_FALSE(h.a->has_frames_in_flight());
    EXPECT_EQ(h.stats().unsupported_frames, 1u);

    Harness e;
    e.packets = Packets(true);
    e.feed(e.packets.trailer(1, 0xFFFFFFFE));  // extended trailer near 2^32
    EXPECT_FALSE(e.a->has_frames_in_flight());
    EXPECT_EQ(e.stats().unsupported_frames, 1u);
    e.feed(e.packets.leader(2));
    e.feed(e.packets.raw(2, gvsp::kPayload, 0xFFFFFFFF, Bytes(88, 0)));  // a stray
    EXPECT_EQ(e.a->placement().stray_packets, 1u);
    EXPECT_LE(e.in_flight().slot.packets.capacity(), 14u);

    Harness g;
    g.feed(g.packets.leader(1));
    g.feed(g.packets.raw(1, gvsp::kPayload, 1, Bytes(1, 0)));  // would mean 1002 packets
    EXPECT_EQ(g.in_flight().packet_count, 12u);
    EXPECT_LE(g.in_flight().slot.packets.capacity(), 12u);
    EXPECT_EQ(g.in_flight().status, std::optional(FrameStatus::WrongPacketId));
    g.tick(100);
    EXPECT_EQ(g.stats().failed_frames, 1u);
}

TEST(AssemblerTest, LargeBuffersAllowSmallerPacketsWithinTheLimit) {
    auto config = Harness::small_config();
    config.payload_size = 100'000;
    config.packet_size = 1500;
    Harness h(config);
    EXPECT_EQ(h.a->packet_limit(1464), 393u);  // ceil(100000 / 256) + 2
    h.feed(h.packets.leader(1));
    h.feed(h.packets.payload(1, 1, 300, 300));  // 336 packets: allowed
    EXPECT_EQ(h.in_flight().packet_count, 336u);
    EXPECT_FALSE(h.in_flight().status.has_value());
    h.feed(h.packets.leader(2));
    h.feed(h.packets.payload(2, 1, 200, 200));  // 502 packets: refused
    EXPECT_EQ(h.in_flight(1).packet_count, 71u);
    EXPECT_EQ(h.in_flight(1).status, std::optional(FrameStatus::WrongPacketId));
}

TEST(AssemblerTest, UnsizablePacketSizeMakesFramesUnsupported) {
    auto config = Harness::small_config();
    config.packet_size = 40;  // fits the standard overhead but not the extended one
    Harness h(config);
    h.packets = Packets(true);
    h.feed(h.packets.leader(1));
    EXPECT_EQ(h.stats().unsupported_frames, 1u);
    EXPECT_EQ(h.a->last_block_id(), 1u);
}

TEST(AssemblerTest, LateFrameIsLoggedAtTrace) {
    log::ScopedCapture capture;
    Harness h;
    h.frame(10);
    h.feed(h.packets.leader(9));
    EXPECT_TRUE(capture.sink().contains(log::Level::Trace, "corvisk::gige::stream::runner",
                                        "discarding late frame"));
}
