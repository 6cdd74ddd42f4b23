// The snapshot procedure against the in-process simulated camera: stop policy by
// AcquisitionMode, restoring the camera, timeouts and refused commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "genicam/genicamera.hpp"
#include "genicam/snapshot.hpp"
#include "log.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"

namespace corvisk {
namespace {

using namespace std::chrono_literals;
using genicam::GenICamera;
using genicam::SnapshotSession;
using gige::ConnectionConfig;
using gige::IpAddress;
using sim::SimCamera;
using sim::SimConfig;

constexpr const char* kTarget = "corvisk::genicam::snapshot";

SimConfig sim_config(const std::string& ip) {
    SimConfig c;
    c.ip = ip;
    c.width = 64;
    c.height = 48;
    c.frame_rate = 200;
    return c;
}

gige::StreamConfig stream_config() {
    gige::StreamConfig c;
    c.packet_size = 1400;
    return c;
}

sim::NakRule nak_write(uint32_t address) {
    return sim::NakRule{sim::reg::kWriteRegCmd, address, 0x8006};
}

sim::GvcpFaults refusing(std::vector<sim::NakRule> naks) {
    sim::GvcpFaults f;
    f.naks = std::move(naks);
    return f;
}

// A started simulated camera and a connected feature-level camera.
struct Rig {
    explicit Rig(SimConfig config)
        : sim(config), camera(ConnectionConfig::for_device(*IpAddress::parse(config.ip))) {}

    void start() {
        ASSERT_TRUE(sim.start().ok());
        auto c = camera.connect();
        ASSERT_TRUE(c.ok()) << c.error().message();
    }
    std::string mode() { return *camera.run(genicam::feature::get_enum, "AcquisitionMode"); }
    int64_t locked() { return *camera.run(genicam::feature::get_integer, "TLParamsLocked"); }
    bool acquiring() { return sim.device().stream_state().acquiring; }

    SimCamera sim;
    GenICamera camera;
};

TEST(Snapshot, OneShotRestoresModeAndUnlocks) {
    Rig rig(sim_config("127.0.11.1"));
    rig.start();
    ASSERT_EQ(rig.mode(), "Continuous");
    auto frame = genicam::snap_once(rig.camera, stream_config(), 3s);
    ASSERT_TRUE(frame.ok()) << frame.error().message();
    EXPECT_EQ((*frame)->status, gige::FrameStatus::Complete);
    const auto expected = sim::expected_pattern((*frame)->frame_id, 64, 48, sim::pfnc::kMono8,
                                                sim::Pattern::GreyDiagonalRampMoving);
    ASSERT_EQ((*frame)->payload().size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), (*frame)->payload().begin()));
    EXPECT_EQ(rig.mode(), "Continuous");
    EXPECT_EQ(rig.locked(), 0);
    EXPECT_FALSE(rig.acquiring());
}

// A snap whose frame lost the packet after its leader gets that frame back (failed, or repaired
// by a resend), and the next snap gets its own frame, not the earlier one finishing late.
TEST(Snapshot, EachSnapReturnsTheFrameOfItsOwnTrigger) {
    for (bool resend : {false, true}) {
        SimConfig sc = sim_config(resend ? "127.21.2.1" : "127.21.2.2");
        sc.gvsp_faults.drops = {sim::PacketDropRule{1, {1}}};
        sc.gvsp_faults.drop_resent = true;
        Rig rig(sc);
        rig.start();
        gige::StreamConfig config = stream_config();
        config.resend = resend;
        auto session = SnapshotSession::open(rig.camera, config);
        ASSERT_TRUE(session.ok()) << session.error().message();
        auto first = session->snap(rig.camera, 3s);
        ASSERT_TRUE(first.ok()) << first.error().message();
        EXPECT_EQ((*first)->frame_id, 1u);
        EXPECT_EQ((*first)->is_complete(), resend);  // a resend repairs it
        for (uint64_t id = 2; id <= 4; ++id) {
            auto frame = session->snap(rig.camera, 3s);
            ASSERT_TRUE(frame.ok()) << frame.error().message();
            EXPECT_EQ((*frame)->frame_id, id);
            EXPECT_TRUE((*frame)->is_complete());
        }
        session->release(rig.camera);
    }
}

TEST(Snapshot, SessionSnapsRepeatedlyAndReleasesOnce) {
    Rig rig(sim_config("127.0.11.2"));
    rig.start();
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok()) << session.error().message();
    EXPECT_TRUE(session->single_frame());
    EXPECT_EQ(session->saved_mode(), "Continuous");
    EXPECT_EQ(rig.mode(), "SingleFrame");
    EXPECT_EQ(rig.locked(), 1);
    uint64_t last = 0;
    for (int i = 0; i < 3; ++i) {
        auto frame = session->snap(rig.camera, 3s);
        ASSERT_TRUE(frame.ok()) << frame.error().message();
        EXPECT_GT((*frame)->frame_id, last);  // never a frame of an earlier snap
        last = (*frame)->frame_id;
    }
    session->release(rig.camera);
    EXPECT_FALSE(session->is_open());
    EXPECT_EQ(rig.mode(), "Continuous");
    EXPECT_EQ(rig.locked(), 0);
    // A second release writes nothing: a mode changed meanwhile stays.
    ASSERT_TRUE(rig.camera.run(genicam::feature::set_enum, "AcquisitionMode", "MultiFrame").ok());
    session->release(rig.camera);
    EXPECT_EQ(rig.mode(), "MultiFrame");
}

TEST(Snapshot, AlreadySingleFrameIsLeftAloneAndNotStopped) {
    Rig rig(sim_config("127.0.11.3"));
    rig.start();
    ASSERT_TRUE(rig.camera.run(genicam::feature::set_enum, "AcquisitionMode", "SingleFrame").ok());
    // A stop command would be refused and logged: none must be sent.
    rig.sim.set_gvcp_faults(refusing({nak_write(sim::reg::kAcquisitionStop)}));
    log::ScopedCapture logs;
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok());
    EXPECT_FALSE(session->saved_mode().has_value());
    ASSERT_TRUE(session->snap(rig.camera, 3s).ok());
    session->release(rig.camera);
    EXPECT_EQ(logs.sink().count_containing("AcquisitionStop after snap failed"), 0u);
    EXPECT_EQ(rig.mode(), "SingleFrame");
}

TEST(Snapshot, UnwritableModeStopsEverySnap) {
    Rig rig(sim_config("127.0.11.4"));
    rig.start();
    rig.sim.set_gvcp_faults(refusing({nak_write(sim::reg::kAcquisitionMode)}));
    log::ScopedCapture logs;
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok());
    EXPECT_FALSE(session->single_frame());
    EXPECT_EQ(logs.sink().count_containing("SingleFrame mode unavailable, stopping per snap: "),
              1u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(session->snap(rig.camera, 3s).ok());
        EXPECT_FALSE(rig.acquiring());  // continuous mode: stopped by the snap
    }
    session->release(rig.camera);
    EXPECT_EQ(rig.mode(), "Continuous");
}

TEST(Snapshot, CameraWithoutAcquisitionModeStopsEverySnap) {
    SimConfig config = sim_config("127.0.11.12");
    config.describe_acquisition_mode = false;
    Rig rig(config);
    rig.start();
    ASSERT_FALSE(rig.camera.has_feature("AcquisitionMode"));
    log::ScopedCapture logs;
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok());
    EXPECT_FALSE(session->single_frame());
    EXPECT_TRUE(logs.sink().contains(
        log::Level::Debug, kTarget,
        "AcquisitionMode unavailable, stopping per snap: feature 'AcquisitionMode' not found"));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(session->snap(rig.camera, 3s).ok());
        EXPECT_FALSE(rig.acquiring());  // stopped after every snap
    }
    session->release(rig.camera);
    EXPECT_EQ(rig.locked(), 0);
    EXPECT_EQ(logs.sink().count_containing("AcquisitionMode not restored"), 0u);
}

TEST(Snapshot, TimeoutStopsTheCameraAndTheNextSnapWorks) {
    SimConfig config = sim_config("127.0.11.5");
    config.packet_resend = false;
    Rig rig(config);
    rig.start();
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok());
    sim::GvspFaults drop_all;
    drop_all.drop_fraction = 1.0;
    rig.sim.set_gvsp_faults(drop_all);
    auto lost = session->snap(rig.camera, 200ms);
    ASSERT_FALSE(lost.ok());
    EXPECT_EQ(lost.error().kind(), GenicamError::Kind::SnapTimeout);
    EXPECT_EQ(lost.error().message(), "no frame arrived within the snap timeout");
    EXPECT_FALSE(rig.acquiring());
    rig.sim.set_gvsp_faults({});
    EXPECT_TRUE(session->snap(rig.camera, 3s).ok());
    session->release(rig.camera);
}

TEST(Snapshot, RefusedStartSendsNoStopAndKeepsTheSession) {
    Rig rig(sim_config("127.0.11.6"));
    rig.start();
    auto session = SnapshotSession::open(rig.camera, stream_config());
    ASSERT_TRUE(session.ok());
    rig.sim.set_gvcp_faults(
        refusing({nak_write(sim::reg::kAcquisitionStart), nak_write(sim::reg::kAcquisitionStop)}));
    log::ScopedCapture logs;
    auto refused = session->snap(rig.camera, 1s);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(logs.sink().count_containing("AcquisitionStop"), 0u);
    rig.sim.set_gvcp_faults({});
    EXPECT_TRUE(session->snap(rig.camera, 3s).ok());
    session->release(rig.camera);
    EXPECT_EQ(rig.locked(), 0);
}

TEST(Snapshot, FailedOpenRestoresTheMode) {
    Rig rig(sim_config("127.0.11.7"));
    rig.start();
    gige::StreamConfig bad = stream_config();
    bad.channel = 7;  // the device has no such stream channel
    auto session = SnapshotSession::open(rig.camera, bad);
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(rig.mode(), "Continuous");
}

TEST(Snapshot, ExplicitPayloadSizeSkipsPayloadSizeFeature) {
    Rig rig(sim_config("127.0.11.8"));
    rig.start();
    gige::StreamConfig config = stream_config();
    config.payload_size = 64 * 48;
    ASSERT_TRUE(rig.camera.fill_payload_size(config).ok());
    EXPECT_EQ(config.payload_size, 64u * 48u);
    GenICamera never(ConnectionConfig::for_device(*IpAddress::parse("127.0.11.9")));
    EXPECT_TRUE(never.fill_payload_size(config).ok());
    config.payload_size.reset();
    auto unconnected = never.fill_payload_size(config);
    ASSERT_FALSE(unconnected.ok());
    EXPECT_EQ(unconnected.error().message(), "driver is not connected");
}

TEST(Snapshot, NeverConnectedCameraFailsToOpenWithoutLoggingAStop) {
    GenICamera never(ConnectionConfig::for_device(*IpAddress::parse("127.0.11.10")));
    log::ScopedCapture logs;
    auto session = SnapshotSession::open(never, stream_config());
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().message(), "driver is not connected");
    EXPECT_TRUE(logs.sink().contains(log::Level::Debug, kTarget,
                                     "AcquisitionMode unavailable, stopping per snap: driver is "
                                     "not connected"));
}

}  // namespace
}  // namespace corvisk
