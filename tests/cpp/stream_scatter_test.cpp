// Segment placement of the receive batches over a real loopback socket: crafted datagrams,
// coalesced by the kernel where the sender segments them, land in the frame buffer where
// their packet ids belong, and the frame is exact however they were mispredicted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gige/stream/scatter.hpp"
#include "stream_test_util.hpp"
#include "unique_fd.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::gige::test;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kPer = 1000;     // payload bytes per packet
constexpr uint64_t kPayloads = 40;  // payload packets a frame
constexpr uint32_t kTrailer = kPayloads + 1;

AssemblerConfig scatter_config() {
    AssemblerConfig c = Harness::small_config();
    c.payload_size = kPer * kPayloads;
    c.packet_size = kPer + gvsp::kStandardOverhead;
    // Resends stay on (a frame waits for its holes while a newer one starts) but never come
    // due while a test runs, on the real clock the receiver reads.
    c.resend_initial_delay = 60s;
    c.resend_interval = 60s;
    c.frame_timeout = 60s;
    return c;
}

UniqueFd bound_udp(const char* ip) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << ip;
    return fd;
}

sockaddr_in address_of(const UniqueFd& fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return a;
}

// A crafted device on `device_ip` sending to a ScatterReceiver feeding a Harness.
class ScatterRig {
  public:
    ScatterRig(const char* device_ip, const char* stream_ip)
        : harness(scatter_config()), device_(bound_udp(device_ip)), stream_(bound_udp(stream_ip)) {
        sockaddr_in to = address_of(stream_);
        ::connect(device_.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        receiver = std::move(ScatterReceiver::create(address_of(device_))).value();
        offload = receiver->enable_offload(stream_.get());
    }

    // Sends the datagrams as one segmented send (the kernel hands them over coalesced);
    // false when the kernel refuses to segment.
    bool send_coalesced(const std::vector<Bytes>& segments) {
        std::vector<iovec> iov;
        for (const Bytes& s : segments) {
            iov.push_back(iovec{const_cast<uint8_t*>(s.data()), s.size()});
        }
        std::array<uint8_t, CMSG_SPACE(sizeof(uint16_t))> control{};
        msghdr m{};
        m.msg_iov = iov.data();
        m.msg_iovlen = iov.size();
        m.msg_control = control.data();
        m.msg_controllen = control.size();
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        auto size = static_cast<uint16_t>(segments.front().size());
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
        return ::sendmsg(device_.get(), &m, 0) >= 0;
    }
    void send(const Bytes& d) {
        ASSERT_EQ(::send(device_.get(), d.data(), d.size(), 0), ssize_t(d.size()));
    }

    // Receives until the assembler has counted `packets` packets in all.
    ::testing::AssertionResult receive_until(uint64_t packets) {
        Instant deadline = deadline_after(5s);
        while (harness.stats().packets < packets) {
            if (Clock::now() > deadline) {
                return ::testing::AssertionFailure() << harness.stats().packets << " packets";
            }
            pollfd p{stream_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                receiver->receive(stream_.get(), *harness.a);
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Payload packets first..last of frame `block`, full size.
    std::vector<Bytes> payloads(uint64_t block, uint32_t first, uint32_t last) const {
        std::vector<Bytes> out;
        for (uint32_t p = first; p <= last; ++p) {
            out.push_back(harness.packets.payload(block, p, kPer, kPer));
        }
        return out;
    }
    uint64_t in_place() const { return harness.a->placement().in_place_bytes; }

    // Leader, packet 1 and one coalesced run of 2..9 of `block`: afterwards the frame is
    // predicted and messages are laid out for eight segments.
    ::testing::AssertionResult warm_up(uint64_t block) {
        uint64_t base = harness.stats().packets;
        send(harness.packets.leader(block));
        send(harness.packets.payload(block, 1, kPer, kPer));
        if (auto r = receive_until(base + 2); !r) {
            return r;
        }
        if (!send_coalesced(payloads(block, 2, 9))) {
            return ::testing::AssertionFailure() << "segmented send refused";
        }
        return receive_until(base + 10);
    }

    Harness harness;
    std::unique_ptr<ScatterReceiver> receiver;
    bool offload = false;

  private:
    UniqueFd device_;
    UniqueFd stream_;
};

// The kernel coalesces a segmented send on loopback only where the socket asked for it.
#define SKIP_WITHOUT_COALESCING(rig)                                               \
    do {                                                                           \
        if (!(rig).offload || (rig).receiver->counts().coalesced_datagrams == 0) { \
            GTEST_SKIP() << "the kernel does not coalesce datagrams here";         \
        }                                                                          \
    } while (false)

void expect_exact(Harness& h, const std::vector<uint64_t>& blocks) {
    auto frames = h.take();
    ASSERT_EQ(frames.size(), blocks.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->frame_id, blocks[i]);
        EXPECT_EQ(frames[i]->status, FrameStatus::Complete) << "frame " << frames[i]->frame_id;
        EXPECT_TRUE(matches_pattern(*frames[i])) << "frame " << frames[i]->frame_id;
    }
}

TEST(ScatterPlacement, CoalescedSegmentsLandInPlaceAndTheLayoutFollowsTheKernel) {
    ScatterRig rig("127.42.1.1", "127.42.1.2");
    ASSERT_TRUE(rig.warm_up(1));
    SKIP_WITHOUT_COALESCING(rig);
    // The first coalesced message came laid out for one datagram: put back together.
    EXPECT_EQ(rig.receiver->counts().gathered_messages, 1u);
    EXPECT_EQ(rig.receiver->segments_per_message(), 8u);
    uint64_t before = rig.in_place();
    const uint64_t messages = rig.receiver->counts().coalesced_messages;
    ASSERT_TRUE(rig.send_coalesced(rig.payloads(1, 10, 17)));
    ASSERT_TRUE(rig.receive_until(18));
    EXPECT_EQ(rig.in_place() - before, 8 * kPer);
    EXPECT_EQ(rig.receiver->counts().coalesced_messages, messages + 1);
    // Single datagrams land in the first pair; a few in a row bring the layout back to one.
    for (uint32_t p = 18; p <= 21; ++p) {
        rig.send(rig.harness.packets.payload(1, p, kPer, kPer));
        ASSERT_TRUE(rig.receive_until(p + 1));
    }
    EXPECT_EQ(rig.in_place() - before, 12 * kPer);
    EXPECT_EQ(rig.receiver->counts().coalesced_messages, messages + 1);  // singles count not
    EXPECT_EQ(rig.receiver->segments_per_message(), 1u);
    ASSERT_TRUE(rig.send_coalesced(rig.payloads(1, 22, kPayloads)));
    rig.send(rig.harness.packets.trailer(1, kTrailer));
    ASSERT_TRUE(rig.receive_until(kTrailer + 1));
    expect_exact(rig.harness, {1});
    EXPECT_EQ(rig.receiver->counts().moved_segments, 0u);
}

struct Mispredict {
    const char* name;
    const char* device_ip;
    const char* stream_ip;
    // Sends the rest of frame 1 (packets 10..trailer) some way after the warm-up.
    std::function<void(ScatterRig&)> send_rest;
    uint64_t packets;  // the rest's datagrams, duplicates and other frames' included
    uint64_t min_moved, min_gathered;
};

class ScatterMispredict : public ::testing::TestWithParam<Mispredict> {};

// However the segments miss their landings, every frame comes out exact, and payloads that
// landed low in their own frame are moved there rather than copied twice.
TEST_P(ScatterMispredict, FramesStayExact) {
    const Mispredict& m = GetParam();
    ScatterRig rig(m.device_ip, m.stream_ip);
    ASSERT_TRUE(rig.warm_up(1));
    SKIP_WITHOUT_COALESCING(rig);
    m.send_rest(rig);
    ASSERT_TRUE(rig.receive_until(10 + m.packets));
    std::vector<uint64_t> blocks{1};
    if (rig.harness.a->last_block_id() == 2) {
        blocks.push_back(2);
    }
    expect_exact(rig.harness, blocks);
    const auto& c = rig.receiver->counts();
    EXPECT_GE(c.moved_segments, m.min_moved);
    EXPECT_GE(c.gathered_messages, 1 + m.min_gathered);  // the warm-up's first coalesced one
}

std::vector<Bytes> join(std::vector<Bytes> a, const std::vector<Bytes>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void send_tail(ScatterRig& rig, uint32_t from) {
    ASSERT_TRUE(rig.send_coalesced(rig.payloads(1, from, kPayloads)));
    rig.send(rig.harness.packets.trailer(1, kTrailer));
}

INSTANTIATE_TEST_SUITE_P(
    Batches, ScatterMispredict,
    ::testing::Values(
        // 12..14 come first, landing where 10..12 were expected: above their landings, so
        // copied out; 10..11 then land where 15..16 were expected and are moved down.
        Mispredict{"AheadThenBehind", "127.42.1.3", "127.42.1.4",
                   [](ScatterRig& r) {
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 12, 14)));
                       ASSERT_TRUE(r.receive_until(13));
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 10, 11)));
                       ASSERT_TRUE(r.receive_until(15));
                       send_tail(r, 15);
                   },
                   kPayloads - 9 + 1, 2, 1},
        // A short coalesced run and a full one back to back: when they share a batch the
        // full one lands three packets low and is moved.
        Mispredict{"ShortRunThenFull", "127.42.1.5", "127.42.1.6",
                   [](ScatterRig& r) {
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 10, 12)));
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 13, 20)));
                       send_tail(r, 21);
                   },
                   kPayloads - 9 + 1, 0, 0},
        // A packet twice inside one coalesced run: the second copy is a duplicate, the
        // packets after it are moved down one.
        Mispredict{"DuplicateInsideARun", "127.42.1.7", "127.42.1.8",
                   [](ScatterRig& r) {
                       auto run = r.payloads(1, 10, 11);
                       run = join(run, r.payloads(1, 11, 14));
                       ASSERT_TRUE(r.send_coalesced(run));
                       ASSERT_TRUE(r.receive_until(16));
                       EXPECT_EQ(r.harness.stats().duplicated_packets, 1u);
                       send_tail(r, 15);
                   },
                   kPayloads - 9 + 2, 3, 0},
        // Frame 2 starts and is predicted; a run of frame 1 then lands in frame 2's buffer and
        // must be copied out into frame 1's.
        Mispredict{"OtherFramesRun", "127.42.1.9", "127.42.1.10",
                   [](ScatterRig& r) {
                       r.send(r.harness.packets.leader(2));
                       r.send(r.harness.packets.payload(2, 1, kPer, kPer));
                       ASSERT_TRUE(r.receive_until(12));
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 10, 17)));
                       ASSERT_TRUE(r.receive_until(20));
                       ASSERT_TRUE(r.send_coalesced(r.payloads(1, 18, kPayloads)));
                       r.send(r.harness.packets.trailer(1, kTrailer));
                       ASSERT_TRUE(r.receive_until(20 + kPayloads - 17 + 1));
                       ASSERT_TRUE(r.send_coalesced(r.payloads(2, 2, kPayloads)));
                       r.send(r.harness.packets.trailer(2, kTrailer));
                   },
                   2 + (kPayloads - 9 + 1) + kPayloads, 0, 1}),
    [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
