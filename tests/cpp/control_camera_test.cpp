// GigECamera against the simulated camera: connect and identity, control and exclusive access,
// every GVCP fault of the device, control loss and reconnect, concurrent callers, and no fd or
// thread left behind by connect/disconnect cycles.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>
#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "bytes.hpp"
#include "gige/camera.hpp"
#include "log.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;

namespace {

size_t count_entries(const char* dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (const dirent* e = ::readdir(d)) {
            n += e->d_name[0] != '.';
        }
        ::closedir(d);
    }
    return n;
}
size_t open_fds() {
    return count_entries("/proc/self/fd");
}
size_t threads() {
    return count_entries("/proc/self/task");
}

// What each open descriptor refers to ("socket:[1234]", a path ...), for naming a leak.
std::map<std::string, std::string> fd_targets() {
    std::map<std::string, std::string> targets;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            char buf[256];
            const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
            targets[e->d_name] = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?";
        }
        ::closedir(d);
    }
    return targets;
}

// The descriptors open now that were not open (with the same target) in `before`.
std::string new_fds(const std::map<std::string, std::string>& before) {
    std::string text;
    for (const auto& [fd, target] : fd_targets()) {
        if (auto it = before.find(fd); it == before.end() || it->second != target) {
            text += " " + fd + " -> " + target;
        }
    }
    return text;
}

// Polls `done` until it holds or the timeout passes.
template <class Pred>
bool eventually(Pred done, Duration timeout = 3s) {
    Instant deadline = deadline_after(timeout);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A fault set with only the fields `set` touches changed.
template <class Set>
sim::GvcpFaults faults(Set set) {
    sim::GvcpFaults f;
    set(f);
    return f;
}

sim::SimConfig sim_config(const std::string& ip) {
    sim::SimConfig c;
    c.ip = ip;
    c.frame_rate = 0;
    return c;
}

// A started simulated camera on its own address.
struct Sim {
    explicit Sim(const std::string& ip, sim::GvcpFaults faults = {}) : cam(make(ip, faults)) {
        auto r = cam.start();
        EXPECT_TRUE(r.ok()) << r.error().message();
    }
    static sim::SimConfig make(const std::string& ip, sim::GvcpFaults faults) {
        sim::SimConfig c = sim_config(ip);
        c.gvcp_faults = std::move(faults);
        return c;
    }
    bool controlled() { return cam.device().controller().has_value(); }
    sim::SimCamera cam;
};

ConnectionConfig config_for(const std::string& ip, Duration gvcp_timeout = 200ms,
                            uint8_t retries = 2) {
    ConnectionConfig c = ConnectionConfig::for_device(*IpAddress::parse(ip));
    c.gvcp_timeout = gvcp_timeout;
    c.retries = retries;
    return c;
}

template <class T>
std::string message(const CameraResult<T>& r) {
    return r.ok() ? "(ok)" : r.error().message();
}

}  // namespace

TEST(ControlCameraTest, ConnectReadsIdentityAndDisconnectReleasesControl) {
    log::ScopedCapture capture;
    Sim sim("127.0.6.40");
    GigECamera cam(config_for("127.0.6.40"));
    EXPECT_FALSE(cam.link_stats().has_value());
    EXPECT_EQ(message(cam.check_connection()), "driver is not connected");
    ASSERT_EQ(message(cam.connect()), "(ok)");
    EXPECT_TRUE(cam.is_connected());
    EXPECT_TRUE(sim.controlled());
    EXPECT_EQ(sim.cam.device().controller()->port, cam.connection()->local_address.port);

    auto info = cam.device_info();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->manufacturer, "Corvisk");
    EXPECT_EQ(info->model, "SimCam-1");
    EXPECT_EQ(info->device_version, "1.0.0");
    EXPECT_EQ(info->manufacturer_info, "corvisk simulated GigE Vision camera");
    EXPECT_EQ(info->serial, "SIM00001");
    EXPECT_EQ(info->user_defined_name, "sim");
    EXPECT_EQ(bootstrap::format_ip(info->ip), "127.0.6.40");
    EXPECT_EQ(bootstrap::format_ip(info->subnet_mask), "255.0.0.0");
    EXPECT_EQ(bootstrap::format_mac(info->mac), "02:00:5e:10:00:01");
    EXPECT_EQ(info->spec_major, 2);
    EXPECT_EQ(cam.connection()->gvcp_capability & bootstrap::kCapabilityPacketResend,
              bootstrap::kCapabilityPacketResend);
    EXPECT_TRUE(capture.sink().contains(log::Level::Debug, "corvisk::gige", "connected"));

    // Connecting again is a no-op.
    uint64_t commands = cam.link_stats()->commands;
    EXPECT_EQ(commands, 10u);  // CCP, heartbeat timeout, capability, identity, six strings
    ASSERT_TRUE(cam.connect().ok());
    EXPECT_EQ(cam.link_stats()->commands, commands);

    ControlPort port = cam.connection()->port;  // a copy outliving the connection
    cam.disconnect();
    EXPECT_FALSE(cam.is_connected());
    EXPECT_FALSE(cam.link_stats().has_value());
    EXPECT_TRUE(eventually([&] { return !sim.controlled(); }));
    EXPECT_EQ(message(unshare(port.read_register(0).wait_timeout(1s))), "driver is not connected");
    EXPECT_TRUE(port.read_register(0).is_filled());
    EXPECT_TRUE(capture.sink().contains(log::Level::Debug, "corvisk::gige", "disconnecting"));
    cam.disconnect();  // nothing to do
}

TEST(ControlCameraTest, AnotherHostHoldingControlMeansAccessDenied) {
    Sim sim("127.0.6.41");
    for (bool exclusive : {false, true}) {
        SCOPED_TRACE(exclusive);
        ConnectionConfig first_config = config_for("127.0.6.41");
        first_config.exclusive = exclusive;
        GigECamera first(first_config);
        ASSERT_TRUE(first.connect().ok());
        EXPECT_EQ(sim.cam.device().controller().has_value(), true);

        ConnectionConfig other = config_for("127.0.6.41");
        other.local_ip = IpAddress::parse("127.0.6.141");
        GigECamera second(other);
        EXPECT_EQ(message(second.connect()), "device control is held by another application");
        EXPECT_FALSE(second.is_connected());
        EXPECT_EQ(second.connection(), nullptr);
        first.disconnect();
        ASSERT_TRUE(eventually([&] { return !sim.controlled(); }));
        EXPECT_EQ(message(second.connect()), "(ok)");  // free again
    }
}

TEST(ControlCameraTest, DeadDeviceTimesOutAndLeavesNoThread) {
    Sim sim("127.0.6.42", faults([](auto& f) { f.silent = true; }));
    size_t threads_before = threads();
    GigECamera cam(config_for("127.0.6.42", 50ms, 1));
    Instant start = Clock::now();
    EXPECT_EQ(message(cam.connect()), "connect timed out");
    EXPECT_GE(Clock::now() - start, 100ms);  // both tries waited for
    EXPECT_FALSE(cam.is_connected());
    EXPECT_TRUE(eventually([&] { return threads() <= threads_before; }));
    EXPECT_GE(sim.cam.counters().commands, 2u);
}

// A multi-homed device answering from another of its addresses: matched by request id.
TEST(ControlCameraTest, AnswersFromAnotherAddressAreTakenByIdAndCounted) {
    sim::SimConfig c = sim_config("127.0.6.43");
    c.alt_reply_ip = "127.0.6.143";
    c.gvcp_faults.reply_from_alt = true;
    sim::SimCamera sim(c);
    ASSERT_TRUE(sim.start().ok());
    GigECamera cam(config_for("127.0.6.43", 50ms, 1));
    ASSERT_EQ(message(cam.connect()), "(ok)");
    LinkStats s = *cam.link_stats();
    EXPECT_GE(s.foreign_source_acks, 10u);
    EXPECT_EQ(s.foreign_source_acks, s.acks);
    EXPECT_EQ(s.unsolicited, 0u);
}

TEST(ControlCameraTest, RefusedStringRegisterIsEmptyOtherRefusalsFail) {
    using sim::NakRule;
    {
        Sim sim("127.0.6.44", faults([](auto& f) {
                    f.naks = {NakRule{gvcp::kReadMemCmd, 0x00A8, 0x8003}};
                }));
        GigECamera cam(config_for("127.0.6.44"));
        ASSERT_EQ(message(cam.connect()), "(ok)");
        EXPECT_EQ(cam.device_info()->manufacturer_info, "");
        EXPECT_EQ(cam.device_info()->model, "SimCam-1");
        // The same refusal on a plain memory read is an error with the command and status.
        auto r = unshare(cam.connection()->port.read_memory(0x00A8, 48).wait_timeout(1s));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(),
                  "device answered command 0x0084 with invalid address (0x8003)");
        EXPECT_GE(cam.link_stats()->naks, 2u);
    }
    {
        // A refused identity read fails the connect and leaves the camera disconnected.
        Sim sim("127.0.6.45", faults([](auto& f) {
                    f.naks = {NakRule{gvcp::kReadRegCmd, 0x0934, 0x8001}};
                }));
        GigECamera cam(config_for("127.0.6.45"));
        EXPECT_EQ(message(cam.connect()),
                  "device answered command 0x0080 with not implemented (0x8001)");
        EXPECT_EQ(cam.connection(), nullptr);
        EXPECT_TRUE(eventually([&] { return !sim.controlled(); }));  // released on the way out
    }
    {
        Sim sim("127.0.6.46", faults([](auto& f) {
                    f.naks = {NakRule{gvcp::kWriteRegCmd, 0x0A00, 0x8004}};
                }));
        GigECamera cam(config_for("127.0.6.46"));
        EXPECT_EQ(message(cam.connect()), "device control is held by another application");
    }
}

TEST(ControlCameraTest, DroppedAcknowledgesAreRetried) {
    Sim sim("127.0.6.47", faults([](auto& f) { f.drop_first_acks = 2; }));
    GigECamera cam(config_for("127.0.6.47", 50ms, 2));
    ASSERT_EQ(message(cam.connect()), "(ok)");
    EXPECT_EQ(cam.link_stats()->retries, 2u);
    EXPECT_EQ(cam.link_stats()->timeouts, 0u);
}

// The device answers a retransmitted request twice; the second answer matches nothing.
TEST(ControlCameraTest, LateAnswerToARetransmissionIsCountedAsUnsolicited) {
    Sim sim("127.0.6.48");
    GigECamera cam(config_for("127.0.6.48", 60ms, 3));
    ASSERT_TRUE(cam.connect().ok());
    sim.cam.set_gvcp_faults(faults([](auto& f) { f.ack_delay_ms = 100; }));
    auto r = unshare(cam.connection()->port.read_register(bootstrap::kCurrentIp).wait_timeout(2s));
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(*r, 0x7F000630u);  // 127.0.6.48
    sim.cam.set_gvcp_faults({});
    EXPECT_TRUE(eventually([&] { return cam.link_stats()->unsolicited >= 1; }));
    auto next =
        unshare(cam.connection()->port.read_register(bootstrap::kCurrentSubnet).wait_timeout(2s));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(*next, 0xFF000000u);  // its own answer, not the duplicate
}

TEST(ControlCameraTest, PendingAckLongerThanTheCallersWait) {
    Sim sim("127.0.6.49");
    GigECamera cam(config_for("127.0.6.49", 100ms, 1));
    ASSERT_TRUE(cam.connect().ok());
    sim.cam.set_gvcp_faults(faults([](auto& f) {
        f.ack_delay_ms = 400;
        f.pending_ack_ms = 1000;
    }));
    const ControlPort& port = cam.connection()->port;
    auto slow = port.read_register(bootstrap::kCurrentIp);
    EXPECT_EQ(unshare(slow.wait_timeout(150ms)).error().message(),
              "timed out waiting for acknowledge");
    sim.cam.set_gvcp_faults({});
    // The transaction itself survives the PENDING_ACK and completes; the next one queues
    // behind it and gets its own answer.
    auto after = unshare(port.read_register(bootstrap::kCurrentSubnet).wait_timeout(3s));
    ASSERT_TRUE(after.ok()) << after.error().message();
    EXPECT_EQ(*after, 0xFF000000u);
    ASSERT_TRUE(slow.is_filled());
    EXPECT_EQ(unshare(slow.get()).value(), 0x7F000631u);
    EXPECT_GE(cam.link_stats()->pending_acks, 1u);
    EXPECT_EQ(cam.link_stats()->timeouts, 0u);
}

TEST(ControlCameraTest, ControlClearedByTheDeviceThenReconnect) {
    log::ScopedCapture capture;
    Sim sim("127.0.6.50");
    ConnectionConfig config = config_for("127.0.6.50");
    config.heartbeat_timeout_ms = 300;  // heartbeat every 100 ms
    GigECamera cam(config);
    ASSERT_TRUE(cam.connect().ok());
    ASSERT_TRUE(eventually([&] { return cam.link_stats()->heartbeats >= 2; }));
    sim.cam.lose_control();
    ASSERT_TRUE(eventually([&] { return !cam.is_connected(); }));
    auto check = cam.check_connection();
    ASSERT_FALSE(check.ok());
    EXPECT_EQ(check.error().message(), "device control was lost (heartbeat failed)");
    EXPECT_EQ(cam.device_info().error().message(), "device control was lost (heartbeat failed)");
    EXPECT_TRUE(cam.link_stats().has_value());  // final counters stay readable
    EXPECT_TRUE(capture.sink().contains(log::Level::Warn, "corvisk::gige::runner",
                                        "device control was lost (CCP cleared)"));
    // A port copy talks to a dead worker: answered at once.
    auto late = cam.connection()->port.read_register(0);
    EXPECT_TRUE(late.is_filled());
    EXPECT_EQ(unshare(late.get()).error().message(), "driver is not connected");

    ASSERT_EQ(message(cam.connect()), "(ok)");  // a fresh connection replaces the dead one
    EXPECT_TRUE(cam.is_connected());
    EXPECT_EQ(cam.link_stats()->commands, 10u);
    EXPECT_TRUE(cam.device_info().ok());
}

TEST(ControlCameraTest, ControlClearedByTheDeviceOnItsOwnTimer) {
    Sim sim("127.0.6.51", faults([](auto& f) { f.ccp_clear_after_ms = 100; }));
    ConnectionConfig config = config_for("127.0.6.51");
    config.heartbeat_timeout_ms = 300;
    GigECamera cam(config);
    ASSERT_TRUE(cam.connect().ok());
    ASSERT_TRUE(eventually([&] { return !cam.is_connected(); }));
    EXPECT_EQ(cam.check_connection().error().message(),
              "device control was lost (heartbeat failed)");
}

// Eight threads share one connection; every call gets its own answer.
TEST(ControlCameraTest, EightThreadsEachGetTheirOwnAnswers) {
    Sim sim("127.0.6.52");
    GigECamera cam(config_for("127.0.6.52"));
    ASSERT_TRUE(cam.connect().ok());
    const uint32_t registers[] = {0x064C, 0x065C, 0x066C, 0x0D08, 0x0D48, 0x10028, 0x10058};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < 8; ++t) {
        workers.emplace_back([&, t, port = cam.connection()->port]() mutable {
            for (uint32_t k = 1; k <= 150; ++k) {
                uint32_t value = (t << 24) | k;
                bool ok = true;
                if (t < 7) {
                    ok &= unshare(port.write_register(registers[t], value).wait_timeout(3s)).ok();
                    auto back = unshare(port.read_register(registers[t]).wait_timeout(3s));
                    ok &= back.ok() && *back == value;
                } else {  // memory: the writable user-defined name
                    uint8_t bytes[16] = {};
                    store_be32(bytes, value);
                    ok &= port.write(0x00E8, bytes).ok();
                    uint8_t back[16] = {};
                    ok &= port.read(0x00E8, back).ok() && load_be32(back) == value;
                }
                auto serial = unshare(port.read_memory(0x00D8, 16).wait_timeout(3s));
                ok &= serial.ok() && bootstrap::string_reg(*serial, 0, 16) == "SIM00001";
                if (!ok) {
                    failures++;
                }
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(cam.link_stats()->unsolicited, 0u);
}

TEST(ControlCameraTest, ConnectDisconnectCyclesLeaveNothingBehind) {
    Sim sim("127.0.6.53");
    GigECamera cam(config_for("127.0.6.53"));
    ASSERT_TRUE(cam.connect().ok());  // warm up lazily created process state
    cam.disconnect();
    size_t fds = open_fds();
    size_t tasks = threads();
    const auto targets = fd_targets();
    for (int i = 0; i < 500; ++i) {
        auto r = cam.connect();
        ASSERT_TRUE(r.ok()) << i << ": " << r.error().message();
        cam.disconnect();
    }
    // A joined thread can linger in /proc for a moment, and other tests' threads may still be
    // winding down: the test is that the counts settle at no more than before.
    EXPECT_TRUE(eventually([&] { return open_fds() <= fds && threads() <= tasks; }))
        << open_fds() << " fds (was " << fds << "), " << threads() << " threads (was " << tasks
        << "); new descriptors:" << new_fds(targets);
    EXPECT_TRUE(eventually([&] { return !sim.controlled(); }));
}

TEST(ControlCameraTest, BindFailureIsReportedAsThreadSpawn) {
    ConnectionConfig config = config_for("127.0.6.54");
    config.local_ip = IpAddress::parse("192.0.2.77");  // not an address of this host
    GigECamera cam(config);
    EXPECT_EQ(message(cam.connect()),
              "worker thread failed to start: bind control socket 192.0.2.77:0: Cannot assign "
              "requested address");
}
