// The continuous acquisition procedure against the in-process simulated camera: start and
// stop with TLParamsLocked, a refused start undone, a camera without the lock feature, and
// stopping once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "genicam/acquisition.hpp"
#include "genicam/genicamera.hpp"
#include "log.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"

namespace corvisk {
namespace {

using namespace std::chrono_literals;
using genicam::ContinuousAcquisition;
using genicam::GenICamera;
using gige::ConnectionConfig;
using gige::IpAddress;
namespace feature = genicam::feature;

constexpr const char* kTarget = "corvisk::test::acquisition";

sim::SimConfig sim_config(const std::string& ip) {
    sim::SimConfig c;
    c.ip = ip;
    c.width = 64;
    c.height = 48;
    c.frame_rate = 200;
    return c;
}

gige::StreamConfig stream_config() {
    gige::StreamConfig c;
    c.packet_size = 1400;
    c.n_buffers = 4;
    return c;
}

sim::GvcpFaults refusing_write(uint32_t address) {
    sim::GvcpFaults f;
    f.naks.push_back(sim::NakRule{sim::reg::kWriteRegCmd, address, 0x8006});
    return f;
}

struct Rig {
    explicit Rig(const std::string& ip)
        : sim(sim_config(ip)), camera(ConnectionConfig::for_device(*IpAddress::parse(ip))) {}

    void start() {
        ASSERT_TRUE(sim.start().ok());
        auto c = camera.connect();
        ASSERT_TRUE(c.ok()) << c.error().message();
    }
    int64_t locked() { return *camera.run(feature::get_integer, "TLParamsLocked"); }
    bool acquiring() { return sim.device().stream_state().acquiring; }

    sim::SimCamera sim;
    GenICamera camera;
};

TEST(ContinuousAcquisition, StreamsWhileLockedAndStopsOnce) {
    Rig rig("127.22.1.1");
    rig.start();
    auto started = ContinuousAcquisition::start(rig.camera, stream_config(), kTarget);
    ASSERT_TRUE(started.ok()) << started.error().message();
    EXPECT_TRUE(rig.acquiring());
    EXPECT_EQ(rig.locked(), 1);
    gige::FramePtr first, second;
    ASSERT_EQ(started->frames.recv_timeout(first, 3s), chan::RecvResult::Item);
    ASSERT_EQ(started->frames.recv_timeout(second, 3s), chan::RecvResult::Item);
    EXPECT_EQ(first->status, gige::FrameStatus::Complete);
    EXPECT_GT(second->frame_id, first->frame_id);
    ContinuousAcquisition& acq = started->acquisition;
    ASSERT_TRUE(acq.stop(rig.camera).ok());
    EXPECT_FALSE(acq.is_open());
    EXPECT_FALSE(rig.acquiring());
    EXPECT_EQ(rig.locked(), 0);
    // The second stop sends nothing: a refused stop command would fail it.
    rig.sim.set_gvcp_faults(refusing_write(sim::reg::kAcquisitionStop));
    EXPECT_TRUE(acq.stop(rig.camera).ok());
    // Frames already queued stay readable after the stop; then the channel ends.
    gige::FramePtr rest;
    while (started->frames.recv_timeout(rest, 1s) == chan::RecvResult::Item) {
    }
    EXPECT_EQ(started->frames.try_recv(rest), chan::RecvResult::Disconnected);
}

TEST(ContinuousAcquisition, RefusedStartUnlocksAndClosesTheChannel) {
    Rig rig("127.22.1.2");
    rig.start();
    rig.sim.set_gvcp_faults(refusing_write(sim::reg::kAcquisitionStart));
    log::ScopedCapture logs;
    auto started = ContinuousAcquisition::start(rig.camera, stream_config(), kTarget);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().kind(), GenicamError::Kind::Transport);
    rig.sim.set_gvcp_faults({});
    EXPECT_EQ(rig.locked(), 0);
    EXPECT_FALSE(rig.acquiring());
    EXPECT_EQ(logs.sink().count_containing("TLParamsLocked"), 0u);
    // The channel was closed on the device: a new start succeeds on the same channel.
    auto again = ContinuousAcquisition::start(rig.camera, stream_config(), kTarget);
    ASSERT_TRUE(again.ok()) << again.error().message();
    EXPECT_TRUE(again->acquisition.stop(rig.camera).ok());
}

TEST(ContinuousAcquisition, UnwritableLockStillStreamsAndLogsOnce) {
    Rig rig("127.22.1.3");
    rig.start();
    rig.sim.set_gvcp_faults(refusing_write(sim::reg::kTLParamsLocked));
    log::ScopedCapture logs;
    auto started = ContinuousAcquisition::start(rig.camera, stream_config(), kTarget);
    ASSERT_TRUE(started.ok()) << started.error().message();
    gige::FramePtr frame;
    ASSERT_EQ(started->frames.recv_timeout(frame, 3s), chan::RecvResult::Item);
    EXPECT_EQ(logs.sink().count_containing("TLParamsLocked not set: "), 1u);
    EXPECT_TRUE(started->acquisition.stop(rig.camera).ok());
    EXPECT_EQ(logs.sink().count_containing("TLParamsLocked not cleared: "), 1u);
    EXPECT_FALSE(rig.acquiring());
}

TEST(ContinuousAcquisition, FailedStreamOpenSendsNothing) {
    Rig rig("127.22.1.4");
    rig.start();
    gige::StreamConfig bad = stream_config();
    bad.channel = 7;  // the device has no such stream channel
    auto started = ContinuousAcquisition::start(rig.camera, bad, kTarget);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().kind(), GenicamError::Kind::Transport);
    EXPECT_FALSE(rig.acquiring());
    EXPECT_EQ(rig.locked(), 0);
    GenICamera never(ConnectionConfig::for_device(*IpAddress::parse("127.22.1.5")));
    auto unconnected = ContinuousAcquisition::start(never, stream_config(), kTarget);
    ASSERT_FALSE(unconnected.ok());
    EXPECT_EQ(unconnected.error().message(), "driver is not connected");
}

}  // namespace
}  // namespace corvisk
