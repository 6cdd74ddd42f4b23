// Streams from the in-process simulated camera through open_stream to verified frames: channel
// setup and teardown, packet-size negotiation, and every GVSP fault the camera can inject.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "gige/stream_channel.hpp"
#include "log.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {
namespace {

using namespace std::chrono_literals;
using sim::GvspFaults;
using sim::Pattern;
using sim::SimCamera;
using sim::SimConfig;
namespace pfnc = sim::pfnc;
namespace reg = sim::reg;

constexpr uint16_t kTestPacketSize = 1500;
constexpr auto kFrameWait = 5s;

struct Image {
    uint32_t width = 160;
    uint32_t height = 120;
    uint32_t pixel_format = pfnc::kMono8;
    uint64_t bytes() const { return sim::image_bytes(width, height, pixel_format); }
};

// A ThreadSanitizer build runs the receiver, and the checks a test makes of every frame, many
// times slower: tests whose consumer must keep up stream that much slower there, or they would
// only measure the build's own lag.
#if defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 8;
#else
constexpr double kSlowdown = 1;
#endif

SimConfig sim_at(const char* ip, Image image = {}, double frame_rate = 400) {
    SimConfig c;
    c.ip = ip;
    c.width = image.width;
    c.height = image.height;
    c.pixel_format = image.pixel_format;
    c.frame_rate = frame_rate;
    c.resend_ring_frames = 64;  // resends stay servable however late the sweep asks
    return c;
}

// A started simulated camera and a connected GigECamera talking to it.
class Rig {
  public:
    explicit Rig(SimConfig config, Image image = {})
        : image_(image),
          sim_(config),
          camera_(ConnectionConfig::for_device(*IpAddress::parse(config.ip))) {}

    ::testing::AssertionResult start() {
        if (!sim_.start().ok()) {
            return ::testing::AssertionFailure() << "simulated camera did not start";
        }
        if (auto c = camera_.connect(); !c.ok()) {
            return ::testing::AssertionFailure() << "connect: " << c.error().message();
        }
        return ::testing::AssertionSuccess();
    }

    // A config for this image with a fixed packet size (no negotiation) unless told otherwise.
    StreamConfig config() const {
        StreamConfig c;
        c.payload_size = image_.bytes();
        c.packet_size = kTestPacketSize;
        c.n_buffers = 32;  // tests hold every frame they check
        return c;
    }
    CameraResult<StreamChannel> open(const StreamConfig& c) { return open_stream(camera_, c); }

    const ControlPort& port() { return camera_.connection()->port; }
    bool write(uint32_t address, uint32_t value) {
        return unshare(port().write_register(address, value).wait_timeout(3s)).ok();
    }
    std::optional<uint32_t> read(uint32_t address) {
        auto r = unshare(port().read_register(address).wait_timeout(3s));
        return r.ok() ? std::optional<uint32_t>(*r) : std::nullopt;
    }
    // MultiFrame acquisition of `frames` frames.
    bool acquire(uint32_t frames) {
        return write(reg::kAcquisitionMode, 2) && write(reg::kAcquisitionFrameCount, frames) &&
               write(reg::kAcquisitionStart, 1);
    }

    const Image& image() const { return image_; }
    SimCamera& sim() { return sim_; }
    GigECamera& camera() { return camera_; }

  private:
    Image image_;
    SimCamera sim_;
    GigECamera camera_;
};

// Frames from `channel` until `n` arrived or `timeout` passed.
std::vector<FramePtr> collect(FrameChannel& channel, size_t n, Duration timeout = kFrameWait) {
    std::vector<FramePtr> frames;
    Instant deadline = deadline_after(timeout);
    FramePtr frame;
    while (frames.size() < n && channel.recv_deadline(frame, deadline) == chan::RecvResult::Item) {
        frames.push_back(std::move(frame));
    }
    return frames;
}

// Waits until the stream's counters satisfy `pred`.
template <class Pred>
bool stats_reach(const StreamChannel& channel, Pred pred, Duration timeout = kFrameWait) {
    Instant deadline = deadline_after(timeout);
    while (Clock::now() < deadline) {
        if (pred(channel.stats())) {
            return true;
        }
        std::this_thread::sleep_for(2ms);  // polling a condition, not waiting for time to pass
    }
    return pred(channel.stats());
}

std::vector<uint8_t> pattern_of(uint64_t block, const Image& image, Pattern p) {
    return sim::expected_pattern(block, image.width, image.height, image.pixel_format, p);
}

// Every complete frame must carry exactly the camera's image; returns how many were complete.
size_t check_complete_frames(const std::vector<FramePtr>& frames, const Image& image,
                             Pattern p = Pattern::GreyDiagonalRampMoving) {
    size_t complete = 0;
    for (const auto& f : frames) {
        if (!f->is_complete()) {
            continue;
        }
        ++complete;
        auto payload = f->payload();
        EXPECT_EQ(f->width, image.width);
        EXPECT_EQ(f->height, image.height);
        EXPECT_EQ(f->pixel_format, image.pixel_format);
        EXPECT_TRUE(std::vector<uint8_t>(payload.begin(), payload.end()) ==
                    pattern_of(f->frame_id, image, p))
            << "frame " << f->frame_id << " differs from the pattern";
    }
    return complete;
}

// ---- pure helpers ------------------------------------------------------------------------------

TEST(StreamSetupHelpers, ChannelRegistersAreSpacedBy0x40) {
    auto c0 = StreamRegisters::for_channel(0);
    EXPECT_EQ(c0.scp, 0x0D00u);
    EXPECT_EQ(c0.scps, 0x0D04u);
    EXPECT_EQ(c0.scpd, 0x0D08u);
    EXPECT_EQ(c0.scda, 0x0D18u);
    auto c1 = StreamRegisters::for_channel(1);
    EXPECT_EQ(c1.scp, 0x0D40u);
    EXPECT_EQ(c1.scps, 0x0D44u);
    EXPECT_EQ(c1.scpd, 0x0D48u);
    EXPECT_EQ(c1.scda, 0x0D58u);
}

TEST(StreamSetupHelpers, ScdaIsTheBigEndianHostAddress) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, "192.168.1.10", &a.sin_addr), 1);
    EXPECT_EQ(scda_value(a), 0xC0A8010Au);
    a.sin_addr.s_addr = INADDR_ANY;
    EXPECT_EQ(scda_value(a), 0u);
}

TEST(StreamSetupHelpers, ReceiveBufferSize) {
    struct Case {
        uint64_t recv_buffer, payload, max, expected;
    };
    // Automatic: two frames at twice their payload, from 256 KiB up to the maximum.
    for (const Case& c :
         {Case{0, 4000000, 0, 16000000}, Case{0, 10000, 0, 262144}, Case{0, 10000000, 0, 40000000},
          Case{0, UINT64_MAX, 0, 64 << 20}, Case{0, 4000000, 8 << 20, 8 << 20},
          Case{0, 10000, 100000, 100000}, Case{123456, 10000000, 0, 123456}}) {
        EXPECT_EQ(receive_buffer_size(c.recv_buffer, c.payload, c.max), c.expected) << c.payload;
    }
}

// A path that carries packets up to `mtu` and answers each passing probe with one test packet
// of the probe's size (or of `cap` when the device clips them); records the probes.
struct FakePath {
    explicit FakePath(uint16_t path_mtu, uint16_t clip = UINT16_MAX) : mtu(path_mtu), cap(clip) {}
    uint16_t mtu;
    uint16_t cap;
    std::vector<uint16_t> probes;
    std::optional<uint16_t> operator()(uint16_t size) {
        probes.push_back(size);
        if (size > mtu) {
            return std::nullopt;
        }
        return std::min(size, cap);
    }
};

TEST(StreamSetupHelpers, SearchTakes9152AfterOneProbe) {
    FakePath path{9152};
    EXPECT_EQ(search_packet_size(std::ref(path)), 9152);
    EXPECT_EQ(path.probes, std::vector<uint16_t>{9152});
}

TEST(StreamSetupHelpers, SearchOnA1500Path) {
    FakePath path{1500};
    EXPECT_EQ(search_packet_size(std::ref(path)), 1488);
    EXPECT_EQ(path.probes,
              (std::vector<uint16_t>{9152, 1488, 5312, 3392, 2432, 1952, 1712, 1600, 1536, 1504}));
}

TEST(StreamSetupHelpers, SearchStartsFromTheFirstPassingSmallProbe) {
    FakePath path{700};
    auto size = search_packet_size(std::ref(path));
    ASSERT_TRUE(size);
    EXPECT_EQ(std::vector<uint16_t>(path.probes.begin(), path.probes.begin() + 4),
              (std::vector<uint16_t>{9152, 1488, 1008, 560}));
    EXPECT_LE(*size, 700);
    EXPECT_GT(*size, 700 - 16);
}

TEST(StreamSetupHelpers, SearchNeverGoesBelow560AndFailsWithoutTestPackets) {
    FakePath clipped{9000, 200};  // every test packet comes back tiny
    EXPECT_EQ(search_packet_size(std::ref(clipped)), 560);
    FakePath silent{0};
    EXPECT_EQ(search_packet_size(std::ref(silent)), std::nullopt);
    EXPECT_EQ(silent.probes, (std::vector<uint16_t>{9152, 1488, 1008, 560}));
}

// ---- open_stream and teardown ----------------------------------------------------------------

TEST(OpenStream, RefusesAMissingPayloadSizeAndADisconnectedCamera) {
    GigECamera camera(ConnectionConfig::for_device(*IpAddress::parse("127.0.8.1")));
    StreamConfig c;
    auto r = open_stream(camera, c);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CameraError::Kind::Malformed);
    EXPECT_EQ(r.error().text(), "payload_size must be set");
    c.payload_size = 0;
    EXPECT_EQ(open_stream(camera, c).error().kind(), CameraError::Kind::Malformed);
    c.payload_size = 1000;
    EXPECT_EQ(open_stream(camera, c).error().kind(), CameraError::Kind::NotConnected);
}

TEST(OpenStream, ReportsControlLostAfterTheDeviceDroppedUs) {
    SimConfig sc = sim_at("127.0.8.2");
    SimCamera sim(sc);
    ASSERT_TRUE(sim.start().ok());
    ConnectionConfig cc = ConnectionConfig::for_device(*IpAddress::parse(sc.ip));
    cc.heartbeat_timeout_ms = 150;  // heartbeat every 50 ms
    GigECamera camera(cc);
    ASSERT_TRUE(camera.connect().ok());
    sim.lose_control();
    Instant deadline = deadline_after(3s);
    while (camera.is_connected() && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    StreamConfig c;
    c.payload_size = 1000;
    auto r = open_stream(camera, c);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CameraError::Kind::ControlLost);
}

TEST(OpenStream, ProgramsChannelOneAndClosesItOnDrop) {
    Rig rig(sim_at("127.0.8.3"));
    ASSERT_TRUE(rig.start());
    log::ScopedCapture capture(log::Level::Debug);
    StreamConfig c = rig.config();
    c.channel = 1;
    c.packet_delay = 1234;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.8.3", &local.sin_addr);  // the device's own loopback address
    c.local_addr = local;
    {
        auto channel = rig.open(c);
        ASSERT_TRUE(channel.ok()) << channel.error().message();
        uint16_t port = ntohs(channel->local_addr().sin_port);
        EXPECT_NE(port, 0);
        EXPECT_EQ(channel->local_addr().sin_addr.s_addr, local.sin_addr.s_addr);
        EXPECT_EQ(channel->packet_size(), kTestPacketSize);
        EXPECT_TRUE(channel->resend_enabled());
        EXPECT_EQ(rig.read(0x0D40), port);
        EXPECT_EQ(rig.read(0x0D44), kTestPacketSize);
        EXPECT_EQ(rig.read(0x0D48), 1234u);
        EXPECT_EQ(rig.read(0x0D58), 0x7F000803u);
        EXPECT_EQ(rig.read(0x0D00), 0u);  // channel 0 untouched
        EXPECT_TRUE(
            capture.sink().contains(log::Level::Debug, "corvisk::gige", "stream channel opened"));
    }
    EXPECT_EQ(rig.read(0x0D40), 0u);
}

TEST(OpenStream, APoolAboveTheMemoryLimitIsRefusedBeforeTouchingTheDevice) {
    Rig rig(sim_at("127.21.1.1"));
    ASSERT_TRUE(rig.start());
    struct Case {
        uint64_t n_buffers, limit;
        const char* figures;
    };
    const std::string payload = std::to_string(rig.image().bytes());
    for (const Case& c :
         {Case{4, 50000,
               "frame pool of 4 buffers x 19200 bytes = 76800 bytes exceeds the pool "
               "memory limit of 50000 bytes"},
          // The default limit, a quarter of physical memory, refuses 2^40 buffers.
          Case{uint64_t{1} << 40, 0, "frame pool of 1099511627776 buffers x 19200 bytes"},
          Case{UINT64_MAX, 0, "= more than 2^64 bytes exceeds the pool memory limit"}}) {
        StreamConfig config = rig.config();
        config.n_buffers = c.n_buffers;
        config.pool_memory_limit = c.limit;
        auto channel = rig.open(config);
        ASSERT_FALSE(channel.ok());
        EXPECT_NE(channel.error().message().find(c.figures), std::string::npos)
            << channel.error().message();
        EXPECT_EQ(rig.read(0x0D00), 0u);  // nothing was programmed
    }
    StreamConfig config = rig.config();
    config.n_buffers = 4;
    config.pool_memory_limit = 76800;  // exactly the pool: allowed
    auto channel = rig.open(config);
    ASSERT_TRUE(channel.ok()) << channel.error().message();
    FrameChannel rx = channel->subscribe(4);
    ASSERT_TRUE(rig.acquire(2));
    auto frames = collect(rx, 2);
    ASSERT_EQ(frames.size(), 2u);
    for (const FramePtr& f : frames) {
        EXPECT_EQ(f->status, FrameStatus::Complete);
    }
}

TEST(OpenStream, ResendNeedsTheDeviceCapability) {
    SimConfig sc = sim_at("127.0.8.4");
    sc.packet_resend = false;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    EXPECT_FALSE(channel->resend_enabled());
    StreamConfig off = rig.config();
    off.resend = false;
    off.channel = 1;
    Rig rig2(sim_at("127.0.8.5"));
    ASSERT_TRUE(rig2.start());
    auto c2 = rig2.open(off);
    ASSERT_TRUE(c2.ok());
    EXPECT_FALSE(c2->resend_enabled());
}

TEST(OpenStream, BindsTheRoutedAddressAndRefusesAnUnbindableOne) {
    Rig rig(sim_at("127.0.8.6"));
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    // The control socket is bound to 0.0.0.0, so the route to the device decides.
    EXPECT_NE(channel->local_addr().sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(rig.read(reg::kScda), ntohl(channel->local_addr().sin_addr.s_addr));
    StreamConfig bad = rig.config();
    bad.channel = 1;
    sockaddr_in taken = channel->local_addr();  // already bound by the first channel
    bad.local_addr = taken;
    auto r = rig.open(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CameraError::Kind::Io);
}

TEST(OpenStream, AnUnspecifiedHostAddressAdvertisesScdaZero) {
    Rig rig(sim_at("127.0.8.7"));
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.write(reg::kScda, 0x7F000001));
    log::ScopedCapture capture(log::Level::Debug);
    StreamConfig c = rig.config();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    c.local_addr = any;
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    EXPECT_EQ(rig.read(reg::kScda), 0u);
    EXPECT_TRUE(capture.sink().contains(
        log::Level::Debug, "corvisk::gige",
        "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP requester)"));
}

// ---- clean streams -----------------------------------------------------------------------------

struct CleanCase {
    const char* ip;
    Image image;
    bool extended_ids;
    Pattern pattern;
};

class CleanStream : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanStream, EveryFrameEqualsThePattern) {
    const CleanCase& p = GetParam();
    SimConfig sc = sim_at(p.ip, p.image);
    sc.extended_ids = p.extended_ids;
    sc.pattern = p.pattern;
    Rig rig(sc, p.image);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(16);
    ASSERT_TRUE(rig.acquire(6));
    auto got = collect(frames, 6);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(check_complete_frames(got, p.image, p.pattern), 6u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i]->frame_id, i + 1);
        EXPECT_GT(got[i]->timestamp_ticks, 0u);
    }
    EXPECT_TRUE(stats_reach(*channel, [](const StreamStats& s) {
        return s.completed_frames == 6 && s.failed_frames == 0 && s.missing_packets == 0;
    }));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CleanStream,
    ::testing::Values(
        CleanCase{"127.0.8.10", {160, 120, pfnc::kMono8}, false, Pattern::GreyDiagonalRampMoving},
        CleanCase{"127.0.8.11", {100, 50, pfnc::kMono16}, false, Pattern::GreyHorizontalRamp},
        CleanCase{"127.0.8.12", {64, 40, pfnc::kRGB8}, true, Pattern::FrameCounter},
        CleanCase{"127.0.8.13", {1, 1, pfnc::kMono8}, false, Pattern::GreyDiagonalRampMoving}));

// ---- faults ------------------------------------------------------------------------------------

struct LossCase {
    const char* ip;
    double drop;
    bool all_complete;
};

class RandomLoss : public ::testing::TestWithParam<LossCase> {};

TEST_P(RandomLoss, ResendRecoversOrCountersAddUp) {
    const LossCase& p = GetParam();
    SimConfig sc = sim_at(p.ip);
    sc.gvsp_faults.drop_fraction = p.drop;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(32);
    constexpr uint32_t kFrames = 20;
    ASSERT_TRUE(rig.acquire(kFrames));
    auto got = collect(frames, kFrames);
    ASSERT_EQ(got.size(), kFrames);
    size_t complete = check_complete_frames(got, rig.image());
    StreamStats s = channel->stats();
    EXPECT_EQ(s.completed_frames, complete);
    EXPECT_EQ(s.completed_frames + s.failed_frames, kFrames);
    EXPECT_GT(s.resend_requests, 0u);
    EXPECT_LE(s.resent_packets, s.resend_requests);
    EXPECT_LE(s.resent_packets, rig.sim().counters().packets_resent);
    if (p.all_complete) {
        EXPECT_EQ(complete, kFrames);
        EXPECT_EQ(s.missing_packets, 0u);
    }
    for (const auto& f : got) {
        EXPECT_TRUE(f->is_complete() || f->status == FrameStatus::MissingPackets ||
                    f->status == FrameStatus::Timeout)
            << frame_status_name(f->status);
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, RandomLoss,
                         ::testing::Values(LossCase{"127.0.8.20", 0.01, true},
                                           LossCase{"127.0.8.21", 0.05, true},
                                           LossCase{"127.0.8.22", 0.20, true},
                                           LossCase{"127.41.2.1", 0.30, true}));

TEST(StreamFaults, WithoutResendALossFailsTheFrameAsSoonAsANewerOneArrives) {
    SimConfig sc = sim_at("127.0.8.23", {}, 50);
    sc.gvsp_faults.drops = {sim::PacketDropRule{1, {3}}};
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    StreamConfig c = rig.config();
    c.resend = false;
    c.frame_timeout = 30s;  // a timeout cannot be what closes the frame
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(8);
    ASSERT_TRUE(rig.acquire(3));
    auto got = collect(frames, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]->frame_id, 1u);
    EXPECT_EQ(got[0]->status, FrameStatus::MissingPackets);
    EXPECT_EQ(check_complete_frames(got, rig.image()), 2u);
    EXPECT_EQ(channel->stats().resend_requests, 0u);
    EXPECT_EQ(rig.sim().counters().resend_requests, 0u);
}

struct FaultCase {
    const char* name;
    const char* ip;
    std::function<void(GvspFaults&)> set;
    std::function<void(const std::vector<FramePtr>&, const StreamStats&, const sim::SimCounters&)>
        check;
    size_t frames = 6;
};

class StreamFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(StreamFault, FramesAreVerifiedAndCounted) {
    const FaultCase& p = GetParam();
    SimConfig sc = sim_at(p.ip);
    p.set(sc.gvsp_faults);
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(16);
    ASSERT_TRUE(rig.acquire(static_cast<uint32_t>(p.frames)));
    auto got = collect(frames, p.frames);
    check_complete_frames(got, rig.image());
    p.check(got, channel->stats(), rig.sim().counters());
}

size_t count_complete(const std::vector<FramePtr>& frames) {
    return static_cast<size_t>(std::count_if(frames.begin(), frames.end(),
                                             [](const FramePtr& f) { return f->is_complete(); }));
}

const FaultCase kFaults[] = {
    {"reorder", "127.0.8.30", [](GvspFaults& f) { f.reorder_window = 8; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_EQ(s.failed_frames, 0u);
     }},
    {"duplicates", "127.0.8.31", [](GvspFaults& f) { f.duplicate_fraction = 0.3; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_GT(s.duplicated_packets, 0u);
     }},
    {"interleaved", "127.0.8.32", [](GvspFaults& f) { f.interleave = true; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_EQ(s.failed_frames, 0u);
     }},
    {"wrong packet ids", "127.0.8.33", [](GvspFaults& f) { f.wrong_id_fraction = 1.0; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         // Every payload packet is a stray: ignored, and asked for again by its real id.
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_GE(s.ignored_packets, 6u * 14);
         EXPECT_GT(s.resend_requests, 0u);
     }},
    {"error status 0x800C", "127.0.8.34",
     [](GvspFaults& f) {
         f.error_status = 0x800C;
         f.error_packet_id = 4;
     },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters& c) {
         ASSERT_EQ(got.size(), 6u);
         // Each frame closes as soon as its other packets are in, the last one included.
         for (const auto& f : got) {
             EXPECT_EQ(f->status, FrameStatus::MissingPackets);
         }
         EXPECT_EQ(s.error_packets, 6u);
         EXPECT_EQ(s.resend_disabled, 6u);
         EXPECT_EQ(s.resend_requests, 0u);  // the device said those packets are gone
         EXPECT_EQ(c.resend_requests, 0u);
     }},
    {"error status on packet 1", "127.21.1.4",
     [](GvspFaults& f) {
         f.error_status = 0x800C;
         f.error_packet_id = 1;
     },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         // Leader-only prefixes do not hold a frame back: every one is delivered at once.
         ASSERT_EQ(got.size(), 6u);
         for (const auto& f : got) {
             EXPECT_EQ(f->status, FrameStatus::MissingPackets);
         }
         EXPECT_EQ(s.missing_packets, 6u);
         EXPECT_EQ(s.timed_out_frames, 0u);
     }},
    {"stray all-in packet", "127.21.1.5", [](GvspFaults& f) { f.stray_format = 4; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         // The frames' own packets still fill them.
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_GE(s.ignored_packets, 6u);
     }},
    {"stray unknown-format packet", "127.21.1.6", [](GvspFaults& f) { f.stray_format = 7; },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_GE(s.ignored_packets, 6u);
     }},
    {"all-in packet before the leader", "127.21.1.7",
     [](GvspFaults& f) {
         f.stray_format = 4;
         f.stray_packet_id = 0;
     },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_EQ(s.failed_frames, 0u);
         EXPECT_GE(s.ignored_packets, 6u);
     }},
    {"unknown packet before the leader", "127.21.1.8",
     [](GvspFaults& f) {
         f.stray_format = 7;
         f.stray_packet_id = 0;
     },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_EQ(s.unsupported_frames, 6u);  // counted, but the frames are whole
     }},
    {"payload type flag 0x8000", "127.41.1.1", [](GvspFaults& f) { f.payload_type_flags = 0x8000; },
     [](const std::vector<FramePtr>& got, const StreamStats&, const sim::SimCounters&) {
         // A device flag above the type does not make an image anything else.
         EXPECT_EQ(count_complete(got), 6u);
         for (const auto& f : got) {
             EXPECT_EQ(f->payload_kind, gvsp::PayloadKind::Image);
             EXPECT_EQ(f->payload_type, 1u);
             EXPECT_EQ(f->has_chunks, std::optional(false));
         }
     }},
    {"payload type flags 0xC000", "127.41.1.2",
     [](GvspFaults& f) { f.payload_type_flags = 0xC000; },
     [](const std::vector<FramePtr>& got, const StreamStats&, const sim::SimCounters&) {
         EXPECT_EQ(count_complete(got), 6u);
         for (const auto& f : got) {
             EXPECT_EQ(f->payload_kind, gvsp::PayloadKind::Image);
             EXPECT_EQ(f->payload_type, 1u);
             EXPECT_EQ(f->has_chunks, std::optional(true));
         }
     }},
    {"other error status", "127.0.8.35",
     [](GvspFaults& f) {
         f.error_status = 0x8FFF;
         f.error_packet_id = 4;
     },
     [](const std::vector<FramePtr>& got, const StreamStats& s, const sim::SimCounters&) {
         // The packet is asked for again and the camera serves it.
         EXPECT_EQ(count_complete(got), 6u);
         EXPECT_EQ(s.error_packets, 6u);
         EXPECT_EQ(s.resend_disabled, 0u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Faults, StreamFault, ::testing::ValuesIn(kFaults), [](const auto& tp) {
    std::string n = tp.param.name;
    for (char& ch : n) {
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return n;
});

// A device that now and then sends a payload packet numbered past the trailer: the stray is
// ignored and counted, and the frames complete from their own packets without any resend.
TEST(StreamFaults, StrayPayloadPacketsAreIgnoredAndCounted) {
    SimConfig sc = sim_at("127.41.1.3");
    sc.gvsp_faults.stray_fraction = 1.0;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(16);
    ASSERT_TRUE(rig.acquire(6));
    auto got = collect(frames, 6);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(check_complete_frames(got, rig.image()), 6u);
    Instant deadline = deadline_after(kFrameWait);
    while (channel->placement().stray_packets < 6 && Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);  // polling a condition, not waiting for time to pass
    }
    EXPECT_EQ(channel->placement().stray_packets, 6u);
    EXPECT_EQ(channel->stats().resend_requests, 0u);
    EXPECT_EQ(channel->stats().duplicated_packets, 0u);
}

// Frames whose data the receiver cannot place are never delivered as Complete; frames it
// cannot handle at all are only counted. Neither disturbs the stream.
struct UnhandledCase {
    const char* ip;
    Image image;
    std::function<void(GvspFaults&)> set;
    bool delivered;  // delivered as PayloadUnsupported, or only counted as unsupported
};

class UnhandledFrames : public ::testing::TestWithParam<UnhandledCase> {};

TEST_P(UnhandledFrames, AreCountedAndTheStreamGoesOn) {
    const UnhandledCase& p = GetParam();
    SimConfig sc = sim_at(p.ip, p.image);
    p.set(sc.gvsp_faults);
    Rig rig(sc, p.image);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(16);
    ASSERT_TRUE(rig.acquire(4));
    if (p.delivered) {
        auto got = collect(frames, 4);
        ASSERT_EQ(got.size(), 4u);
        for (const auto& f : got) {
            EXPECT_EQ(f->status, FrameStatus::PayloadUnsupported);
        }
        EXPECT_TRUE(stats_reach(*channel, [](const StreamStats& s) {
            return s.failed_frames == 4 && s.completed_frames == 0;
        }));
    } else {
        ASSERT_TRUE(stats_reach(*channel, [](const StreamStats& s) {
            return s.unsupported_frames == 4 && s.ignored_packets == s.packets;
        }));
        EXPECT_EQ(collect(frames, 1, 50ms).size(), 0u);
    }
    // The same channel still assembles ordinary frames afterwards.
    rig.sim().set_gvsp_faults({});
    ASSERT_TRUE(rig.acquire(2));
    auto after = collect(frames, 2);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(check_complete_frames(after, p.image), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UnhandledFrames,
    ::testing::Values(
        UnhandledCase{"127.0.8.40", {16, 2}, [](GvspFaults& f) { f.all_in = true; }, true},
        UnhandledCase{"127.0.8.41", {}, [](GvspFaults& f) { f.payload_format = 7; }, true},
        UnhandledCase{"127.0.8.42", {}, [](GvspFaults& f) { f.leader_payload_type = 3; }, false}));

// ---- block ids ---------------------------------------------------------------------------------

// Sends hand-made frames from the device's IP (another port), as the camera would.
class FrameInjector {
  public:
    FrameInjector(const char* ip, const sockaddr_in& to) : to_(to) {
        fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    // One frame of `image` (Mono8, pattern GreyDiagonalRampMoving) in 1500-byte packets.
    void frame(uint64_t block, const Image& image) {
        auto data = pattern_of(block, image, Pattern::GreyDiagonalRampMoving);
        auto geometry = sim::PacketGeometry::make(kTestPacketSize, false, data.size());
        uint8_t buf[2048];
        sim::ImageInfo info;
        info.pixel_format = image.pixel_format;
        info.width = image.width;
        info.height = image.height;
        info.timestamp = block;
        size_t n = sim::encode_gvsp_header(buf, 0, block, sim::gvsp::kLeader, 0, false);
        n += sim::encode_image_leader(buf + n, info);
        send(buf, n);
        uint32_t id = 1;
        for (size_t off = 0; off < data.size(); off += geometry.data_per_packet, ++id) {
            size_t len = std::min(geometry.data_per_packet, data.size() - off);
            n = sim::encode_gvsp_header(buf, 0, block, sim::gvsp::kPayload, id, false);
            std::memcpy(buf + n, data.data() + off, len);
            send(buf, n + len);
        }
        n = sim::encode_gvsp_header(buf, 0, block, sim::gvsp::kTrailer, id, false);
        n += sim::encode_image_trailer(buf + n, 1, image.height);
        send(buf, n);
    }

  private:
    void send(const uint8_t* data, size_t n) {
        ASSERT_EQ(
            ::sendto(fd_.get(), data, n, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_),
            static_cast<ssize_t>(n));
    }
    UniqueFd fd_;
    sockaddr_in to_;
};

TEST(StreamBlockIds, SixteenBitIdsWrapFrom0xFFFFTo1) {
    Rig rig(sim_at("127.0.8.50"));
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(8);
    FrameInjector device("127.0.8.50", channel->local_addr());
    const std::vector<uint64_t> ids = {0xFFFD, 0xFFFE, 0xFFFF, 1, 2};
    for (uint64_t id : ids) {
        device.frame(id, rig.image());
    }
    auto got = collect(frames, ids.size());
    ASSERT_EQ(got.size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(got[i]->frame_id, ids[i]);
    }
    EXPECT_EQ(check_complete_frames(got, rig.image()), ids.size());
    StreamStats s = channel->stats();
    EXPECT_EQ(s.missing_frames, 0u);  // 0 is never used, so 0xFFFF -> 1 skips nothing
    EXPECT_EQ(s.ignored_packets, 0u);
}

// ---- consumers and buffers ---------------------------------------------------------------------

TEST(StreamConsumers, ASlowSubscriberLosesFramesAloneAndIsCounted) {
    Rig rig(sim_at("127.0.8.60"));
    ASSERT_TRUE(rig.start());
    StreamConfig c = rig.config();
    c.n_buffers = 16;
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    FrameChannel slow = channel->subscribe(1);  // never read until the end
    FrameChannel fast = channel->subscribe(16);
    ASSERT_TRUE(rig.acquire(8));
    auto got = collect(fast, 8);
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(check_complete_frames(got, rig.image()), 8u);
    EXPECT_TRUE(stats_reach(*channel, [](const StreamStats& s) { return s.frames_dropped == 7; }));
    auto slow_got = collect(slow, 8, 100ms);
    ASSERT_EQ(slow_got.size(), 1u);
    EXPECT_EQ(slow_got[0]->frame_id, 1u);
}

TEST(StreamConsumers, HeldBuffersCauseUnderrunsAndReleaseRecovers) {
    Rig rig(sim_at("127.0.8.61"));
    ASSERT_TRUE(rig.start());
    StreamConfig c = rig.config();
    c.n_buffers = 2;
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(8);
    ASSERT_TRUE(rig.acquire(5));
    auto held = collect(frames, 2);
    ASSERT_EQ(held.size(), 2u);
    ASSERT_TRUE(stats_reach(*channel, [](const StreamStats& s) { return s.underruns >= 3; }));
    EXPECT_EQ(check_complete_frames(held, rig.image()), 2u);
    held.clear();  // both buffers go back to the pool
    ASSERT_TRUE(rig.acquire(2));
    auto after = collect(frames, 2);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(check_complete_frames(after, rig.image()), 2u);
}

// Frame 1 loses a packet the camera never resends, and with a pool of two buffers the frames
// behind it would find none until it timed out (not within this test). The first new frame to
// find the pool empty closes it instead: frame 1 goes out incomplete, the later frames complete.
// The subscriber lets go of each frame at once; one that still finds no buffer (the subscriber
// had not yet let go) is the only loss allowed.
TEST(StreamConsumers, AFrameWaitingForPacketsThatNeverComeDoesNotStarveATinyPool) {
    SimConfig sc = sim_at("127.0.8.63", {}, 50 / kSlowdown);
    sc.gvsp_faults.drops = {sim::PacketDropRule{1, {3}}};
    sc.gvsp_faults.unanswered_resend_block = 1;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    StreamConfig c = rig.config();
    c.n_buffers = 2;
    c.frame_timeout = 30s;  // a timeout cannot be what closes frame 1
    c.resend_ratio = 1000;  // nor can running out of re-requests
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(8);
    constexpr uint32_t kFrames = 12;
    ASSERT_TRUE(rig.acquire(kFrames));
    std::vector<std::pair<uint64_t, FrameStatus>> got;
    Instant deadline = deadline_after(kFrameWait);
    FramePtr frame;
    while ((got.empty() || got.back().first < kFrames) &&
           frames.recv_deadline(frame, deadline) == chan::RecvResult::Item) {
        EXPECT_TRUE(!frame->is_complete() || check_complete_frames({frame}, rig.image()) == 1);
        got.emplace_back(frame->frame_id, frame->status);
        frame.reset();  // its buffer goes back to the pool
    }
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], std::pair(uint64_t{1}, FrameStatus::Timeout));
    size_t complete = 0;
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_LT(got[i - 1].first, got[i].first);
        complete += got[i].second == FrameStatus::Complete ? 1 : 0;
    }
    EXPECT_GE(complete, kFrames - 2) << "frames delivered: " << got.size();
    EXPECT_EQ(channel->stats().timed_out_frames, 1u);
    EXPECT_GE(rig.sim().counters().resend_requests, 1u);  // asked for, never answered
}

TEST(StreamConsumers, FramesHeldPastTheChannelStayValid) {
    Rig rig(sim_at("127.0.8.62"));
    ASSERT_TRUE(rig.start());
    std::vector<FramePtr> held;
    FrameChannel frames;
    {
        auto channel = rig.open(rig.config());
        ASSERT_TRUE(channel.ok());
        frames = channel->subscribe(8);
        ASSERT_TRUE(rig.acquire(3));
        held = collect(frames, 3);
        ASSERT_EQ(held.size(), 3u);
    }
    EXPECT_EQ(rig.read(reg::kScp), 0u);
    EXPECT_EQ(check_complete_frames(held, rig.image()), 3u);
    FramePtr none;
    EXPECT_EQ(frames.recv_deadline(none, deadline_after(1s)), chan::RecvResult::Disconnected);
    held.clear();  // the pool outlives its stream until the last buffer comes home
}

// ---- packet-size negotiation -------------------------------------------------------------------

struct MtuCase {
    const char* ip;
    uint32_t path_mtu;
    uint16_t expected;
    bool warns;
};

class Negotiation : public ::testing::TestWithParam<MtuCase> {};

TEST_P(Negotiation, FindsWhatThePathCarries) {
    const MtuCase& p = GetParam();
    SimConfig sc = sim_at(p.ip);
    sc.path_mtu = p.path_mtu;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    log::ScopedCapture capture(log::Level::Debug);
    StreamConfig c = rig.config();
    c.packet_size.reset();
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok()) << channel.error().message();
    EXPECT_EQ(channel->packet_size(), p.expected);
    EXPECT_EQ(rig.read(reg::kScps), p.expected);
    EXPECT_EQ(capture.sink().contains(log::Level::Warn, "corvisk::gige",
                                      "packet size fire-test unsupported, falling back to 1500"),
              p.warns);
    EXPECT_TRUE(
        capture.sink().contains(log::Level::Debug, "corvisk::gige",
                                fmt::format("negotiated stream packet size {}", p.expected)));
    // The negotiated size streams cleanly; no test packet reaches the assembler.
    FrameChannel frames = channel->subscribe(4);
    ASSERT_TRUE(rig.acquire(2));
    auto got = collect(frames, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(check_complete_frames(got, rig.image()), 2u);
    EXPECT_EQ(channel->stats().ignored_packets, 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, Negotiation,
                         ::testing::Values(MtuCase{"127.0.8.70", 1500, 1488, false},
                                           MtuCase{"127.0.8.71", 9000, 8992, false},
                                           MtuCase{"127.0.8.72", 9200, 9152, false},
                                           // Too small even for the path check: the device
                                           // looks as if it sent no test packets at all.
                                           MtuCase{"127.0.8.73", 100, 1500, true}));

TEST(Negotiation, ADeviceThatPassesTheFirstProbeIsProbedOnce) {
    SimConfig sc = sim_at("127.0.8.74");
    sc.path_mtu = 9200;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    StreamConfig c = rig.config();
    c.packet_size.reset();
    auto channel = rig.open(c);
    ASSERT_TRUE(channel.ok());
    EXPECT_EQ(rig.sim().counters().test_packets, 1u);
    EXPECT_EQ(rig.sim().counters().packets_dropped, 0u);
}

// A path that carries only packets below the smallest usable size would lose every stream
// packet at the fallback size: the open fails and names the figures instead.
TEST(Negotiation, APathBelowTheSmallestSizeFailsTheOpen) {
    SimConfig sc = sim_at("127.35.2.1");
    sc.path_mtu = 500;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    log::ScopedCapture capture(log::Level::Debug);
    StreamConfig c = rig.config();
    c.packet_size.reset();
    auto channel = rig.open(c);
    ASSERT_FALSE(channel.ok());
    EXPECT_EQ(channel.error().kind(), CameraError::Kind::Io);
    EXPECT_EQ(channel.error().os_errno(), EMSGSIZE);
    EXPECT_EQ(channel.error().message(),
              "io error: the network path from the device carries stream packets of at most "
              "496 bytes, "
              "below the smallest usable size of 560 bytes; raise the path's MTU");
    EXPECT_FALSE(
        capture.sink().contains(log::Level::Warn, "corvisk::gige",
                                "packet size fire-test unsupported, falling back to 1500"));
    // The device no longer points at the closed socket (the reset went out before this read).
    EXPECT_EQ(rig.read(reg::kScp), 0u);
}

// Opens a negotiated stream on `rig`, checks that it streams, and returns its packet size and the
// number of test packets the device has sent so far.
std::pair<uint16_t, uint64_t> negotiated_open(Rig& rig) {
    StreamConfig c = rig.config();
    c.packet_size.reset();
    auto channel = rig.open(c);
    EXPECT_TRUE(channel.ok()) << channel.error().message();
    if (!channel.ok()) {
        return {0, 0};
    }
    FrameChannel frames = channel->subscribe(4);
    EXPECT_TRUE(rig.acquire(1));
    auto got = collect(frames, 1);
    EXPECT_EQ(check_complete_frames(got, rig.image()), 1u);
    return {channel->packet_size(), rig.sim().counters().test_packets};
}

TEST(Negotiation, LaterStreamsOfTheConnectionReuseTheSize) {
    SimConfig sc = sim_at("127.35.2.2");
    sc.path_mtu = 1500;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto [size, probes] = negotiated_open(rig);
    EXPECT_EQ(size, 1488);
    EXPECT_GT(probes, 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(negotiated_open(rig), std::make_pair(size, probes)) << "stream " << i;
    }
}

// Someone else's SCPS write (a fixed packet size, a feature write), or a new connection, makes
// the next stream search again.
TEST(Negotiation, AChangedScpsOrANewConnectionSearchesAgain) {
    SimConfig sc = sim_at("127.35.2.3");
    sc.path_mtu = 1500;
    Rig rig(sc);
    ASSERT_TRUE(rig.start());
    auto [size, probes] = negotiated_open(rig);
    StreamConfig fixed = rig.config();
    fixed.packet_size = 1000;
    {
        auto channel = rig.open(fixed);
        ASSERT_TRUE(channel.ok());
    }
    auto [again, more] = negotiated_open(rig);
    EXPECT_EQ(again, size);
    EXPECT_GT(more, probes);
    ASSERT_TRUE(rig.write(reg::kScps, 700));
    auto [third, most] = negotiated_open(rig);
    EXPECT_EQ(third, size);
    EXPECT_GT(most, more);
    rig.camera().disconnect();
    ASSERT_TRUE(rig.camera().connect().ok());
    auto [fourth, after_reconnect] = negotiated_open(rig);
    EXPECT_EQ(fourth, size);
    EXPECT_GT(after_reconnect, most);
    EXPECT_EQ(negotiated_open(rig), std::make_pair(size, after_reconnect));
}

// ---- scatter receive ---------------------------------------------------------------------------

struct ScatterCase {
    const char* name;
    const char* ip;
    bool extended_ids;
    GvspFaults faults;
    // Share of the payload bytes the kernel must have written in place. A lost or duplicated
    // packet shifts the rest of its receive batch off its landings, so those are copied.
    double min_in_place;
};

class Scatter : public ::testing::TestWithParam<ScatterCase> {};

// Payloads land straight in the frame buffer where the packet id says they belong; whatever
// arrives out of place (leaders, first packets, reordered, duplicated, resent or interleaved
// packets) is moved there, so every frame stays exact.
TEST_P(Scatter, FramesStayExactAndTheBulkLandsInPlace) {
    const ScatterCase& p = GetParam();
    Image image{640, 480, pfnc::kMono8};  // 210 packets of 1464 bytes a frame
    // A rate a sanitizer build's receiver keeps up with too: this is about placement, not speed.
    SimConfig sc = sim_at(p.ip, image, 100);
    sc.extended_ids = p.extended_ids;
    sc.gvsp_faults = p.faults;
    Rig rig(sc, image);
    ASSERT_TRUE(rig.start());
    auto channel = rig.open(rig.config());
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(32);
    constexpr uint32_t kFrames = 12;
    ASSERT_TRUE(rig.acquire(kFrames));
    auto got = collect(frames, kFrames);
    ASSERT_EQ(got.size(), kFrames);
    EXPECT_EQ(check_complete_frames(got, image), kFrames);
    ASSERT_TRUE(
        stats_reach(*channel, [&](const StreamStats& s) { return s.completed_frames == kFrames; }));
    // The placement figures are published at the worker's next loop turn, after the counters.
    PlacementCounts placed = channel->placement();
    Instant deadline = deadline_after(kFrameWait);
    while (placed.in_place_bytes + placed.copied_bytes < kFrames * image.bytes() &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);  // polling a condition, not waiting for time to pass
        placed = channel->placement();
    }
    uint64_t total = placed.in_place_bytes + placed.copied_bytes;
    EXPECT_GE(total, kFrames * image.bytes());  // duplicates may be placed twice
    EXPECT_GE(static_cast<double>(placed.in_place_bytes), p.min_in_place * total)
        << placed.in_place_bytes << " of " << total << " bytes in place";
}

GvspFaults scatter_faults(uint32_t reorder, double duplicates, bool interleave, double drop) {
    GvspFaults f;
    f.reorder_window = reorder;
    f.duplicate_fraction = duplicates;
    f.interleave = interleave;
    f.drop_fraction = drop;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Scatter,
    ::testing::Values(
        ScatterCase{"InOrder", "127.35.4.1", false, {}, 0.9},
        ScatterCase{"ExtendedIds", "127.35.4.2", true, {}, 0.9},
        ScatterCase{"Reordered", "127.35.4.3", false, scatter_faults(8, 0, false, 0), 0.0},
        ScatterCase{"Duplicated", "127.35.4.4", false, scatter_faults(0, 0.1, false, 0), 0.25},
        ScatterCase{"Interleaved", "127.35.4.5", false, scatter_faults(0, 0, true, 0), 0.0},
        ScatterCase{"Lossy", "127.35.4.6", false, scatter_faults(0, 0, false, 0.02), 0.25}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---- receive offload -------------------------------------------------------------------------

bool kernel_coalesces_udp() {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    return ::setsockopt(fd.get(), IPPROTO_UDP, UDP_GRO, &on, sizeof on) == 0;
}

// A device whose packets the kernel hands over coalesced (the simulated camera sends them with
// UDP_SEGMENT, as a NIC's receive offload would merge a camera's equal-sized packets): each
// coalesced datagram is split by its segment size, and the frames are exact, with resends too.
TEST(ReceiveOffload, CoalescedDatagramsAreSplitIntoTheirPackets) {
    Image image{640, 480, pfnc::kMono8};
    for (double drop : {0.0, 0.02}) {
        SimConfig sc = sim_at(drop == 0 ? "127.35.5.1" : "127.35.5.2", image, 400 / kSlowdown);
        sc.gso = true;
        sc.gvsp_faults.drop_fraction = drop;
        Rig rig(sc, image);
        ASSERT_TRUE(rig.start());
        auto channel = rig.open(rig.config());
        ASSERT_TRUE(channel.ok());
        FrameChannel frames = channel->subscribe(32);
        constexpr uint32_t kFrames = 10;
        ASSERT_TRUE(rig.acquire(kFrames));
        auto got = collect(frames, kFrames);
        ASSERT_EQ(got.size(), kFrames);
        EXPECT_EQ(check_complete_frames(got, image), kFrames) << "loss " << drop;
        ASSERT_TRUE(stats_reach(
            *channel, [&](const StreamStats& s) { return s.completed_frames == kFrames; }))
            << to_string(channel->stats()) << " loss " << drop;
        StreamStats s = channel->stats();
        EXPECT_EQ(s.ignored_packets, 0u);
        if (drop == 0) {  // every packet the device sent arrived, as a packet of its own
            EXPECT_EQ(s.packets, rig.sim().counters().packets_sent);
        }
        if (kernel_coalesces_udp()) {
            EXPECT_GT(channel->placement().coalesced_datagrams, s.packets / 2) << "loss " << drop;
        }
    }
}

// A device sending coalesced bursts, in order or not: each burst lands segment by segment in
// the frame buffer, mispredicted segments are moved or copied into place, and every frame
// carries exactly the camera's image. In order, only the bursts before the receiver has learnt
// how many datagrams the kernel coalesces are copied.
class OffloadScatter : public ::testing::TestWithParam<ScatterCase> {};

TEST_P(OffloadScatter, CoalescedBurstsLandInPlaceAndFramesStayExact) {
    const ScatterCase& p = GetParam();
    Image image{640, 480, pfnc::kMono8};
    SimConfig sc = sim_at(p.ip, image);
    sc.gso = true;
    sc.extended_ids = p.extended_ids;
    sc.gvsp_faults = p.faults;
    Rig rig(sc, image);
    ASSERT_TRUE(rig.start());
    StreamConfig config = rig.config();
    config.packet_size = 8000;  // a burst of eight datagrams fills a coalesced message
    auto channel = rig.open(config);
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(32);
    constexpr uint32_t kFrames = 12;
    ASSERT_TRUE(rig.acquire(kFrames));
    auto got = collect(frames, kFrames);
    ASSERT_EQ(got.size(), kFrames);
    EXPECT_EQ(check_complete_frames(got, image), kFrames);
    ASSERT_TRUE(
        stats_reach(*channel, [&](const StreamStats& s) { return s.completed_frames == kFrames; }));
    if (!kernel_coalesces_udp()) {
        return;
    }
    PlacementCounts placed = channel->placement();
    EXPECT_GT(placed.coalesced_datagrams, 0u);
    // Each message the kernel coalesced holds two datagrams at least.
    EXPECT_GT(placed.coalesced_messages, 0u);
    EXPECT_GE(placed.coalesced_datagrams, 2 * placed.coalesced_messages);
    uint64_t total = placed.in_place_bytes + placed.copied_bytes;
    EXPECT_GE(total, kFrames * image.bytes());
    EXPECT_GE(static_cast<double>(placed.in_place_bytes), p.min_in_place * total)
        << placed.in_place_bytes << " of " << total << " bytes in place";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, OffloadScatter,
    ::testing::Values(
        // How many datagrams the kernel coalesces depends on how fast the receiver reads (a
        // sanitizer build reads slower), and each change of layout is learned on copied
        // bursts: at most a few of the twelve frames are copied, never the bulk.
        ScatterCase{"InOrder", "127.42.2.1", false, {}, 0.7},
        ScatterCase{"ExtendedIds", "127.42.2.2", true, {}, 0.7},
        ScatterCase{"Reordered", "127.42.2.3", false, scatter_faults(8, 0, false, 0), 0.0},
        ScatterCase{"Duplicated", "127.42.2.4", false, scatter_faults(0, 0.05, false, 0), 0.0},
        ScatterCase{"Interleaved", "127.42.2.5", false, scatter_faults(0, 0, true, 0), 0.0},
        ScatterCase{"Lossy", "127.42.2.6", false, scatter_faults(0, 0, false, 0.02), 0.0}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---- buffer reuse ------------------------------------------------------------------------------

struct ReuseCase {
    const char* name;
    const char* ip;
    bool gso;
    bool newest_first;
    GvspFaults faults;
};

class BufferReuse : public ::testing::TestWithParam<ReuseCase> {};

// A small pool whose buffers go straight back to the stream while the consumer holds some
// frames for a while: the buffer a frame is written into is never one a consumer still holds,
// and a buffer that carried an earlier frame is overwritten exactly, under loss and reorder,
// with plain or coalesced datagrams, whichever order the pool hands buffers out in.
TEST_P(BufferReuse, HeldFramesStayIntactAndReusedBuffersCarryTheirOwnFrame) {
    const ReuseCase& p = GetParam();
    Image image{640, 480, pfnc::kMono8};
    SimConfig sc = sim_at(p.ip, image, 100 / kSlowdown);
    sc.gso = p.gso;
    sc.gvsp_faults = p.faults;
    Rig rig(sc, image);
    ASSERT_TRUE(rig.start());
    StreamConfig config = rig.config();
    config.packet_size = 8000;
    config.n_buffers = 6;  // two held, the others cycling
    config.pool.newest_first = p.newest_first;
    auto channel = rig.open(config);
    ASSERT_TRUE(channel.ok());
    FrameChannel frames = channel->subscribe(4);
    constexpr uint32_t kFrames = 30;
    ASSERT_TRUE(rig.acquire(kFrames));
    std::vector<FramePtr> held;  // every third frame, kept until the end
    uint32_t complete = 0;
    for (uint32_t i = 0; i < kFrames; ++i) {
        FramePtr frame;
        ASSERT_EQ(frames.recv_deadline(frame, deadline_after(kFrameWait)), chan::RecvResult::Item)
            << "frame " << i << ": " << to_string(channel->stats());
        complete += check_complete_frames({frame}, image);
        if (i % 3 == 0 && held.size() < 2) {
            held.push_back(std::move(frame));
        }
    }
    EXPECT_EQ(complete, kFrames) << to_string(channel->stats());
    EXPECT_EQ(check_complete_frames(held, image), held.size());
    EXPECT_EQ(held.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Streams, BufferReuse,
                         ::testing::Values(ReuseCase{"NewestFirst", "127.44.7.1", false, true,
                                                     scatter_faults(8, 0, false, 0.02)},
                                           ReuseCase{"NewestFirstCoalesced", "127.44.7.2", true,
                                                     true, scatter_faults(0, 0.02, false, 0.02)},
                                           ReuseCase{"OldestFirst", "127.44.7.3", false, false,
                                                     scatter_faults(8, 0, false, 0.02)},
                                           ReuseCase{"OldestFirstCoalesced", "127.44.7.4", true,
                                                     false, scatter_faults(0, 0.02, false, 0.02)}),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace corvisk::gige
