// Monitor access: a connection beside the controlling one that claims no control, sends no
// heartbeat, refuses writes and leaves the controller in charge when it goes.
#include <gtest/gtest.h>

#include <thread>

#include "gige/camera.hpp"
#include "gige/proto/bootstrap.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;

namespace {

ConnectionConfig config_for(const std::string& ip, bool monitor) {
    ConnectionConfig c = ConnectionConfig::for_device(*IpAddress::parse(ip));
    c.gvcp_timeout = 200ms;
    c.retries = 2;
    c.heartbeat_timeout_ms = 60;  // a heartbeat every 20 ms from the controller
    c.monitor = monitor;
    return c;
}

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

struct MonitorAccess : ::testing::Test {
    void SetUp() override {
        sim::SimConfig c;
        c.ip = "127.34.4.1";
        sim_ = std::make_unique<sim::SimCamera>(c);
        ASSERT_TRUE(sim_->start().ok());
        ASSERT_TRUE(controller_.connect().ok());
        ASSERT_TRUE(monitor_.connect().ok());
    }
    std::optional<sim::Endpoint> controller_endpoint() { return sim_->device().controller(); }
    std::unique_ptr<sim::SimCamera> sim_;
    GigECamera controller_{config_for("127.34.4.1", false)};
    GigECamera monitor_{config_for("127.34.4.1", true)};
};

TEST_F(MonitorAccess, MonitorReadsWithoutTakingControl) {
    auto before = controller_endpoint();
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(monitor_.device_info()->serial, "SIM00001");
    auto port = monitor_.connection()->port;
    auto ccp = port.read_register(bootstrap::kCcp).wait_timeout(port.request_timeout());
    ASSERT_TRUE(ccp.ok());
    EXPECT_EQ(*ccp, bootstrap::kCcpControl);  // the controller's claim, untouched
    EXPECT_EQ(controller_endpoint(), before);
}

TEST_F(MonitorAccess, MonitorWritesAreRefusedBeforeTheWire) {
    auto port = monitor_.connection()->port;
    auto w = port.write_register(0x10000, 320).wait_timeout(port.request_timeout());
    ASSERT_FALSE(w.ok());
    EXPECT_NE(w.error()->message().find("a monitor connection does not write"), std::string::npos);
    auto m = port.write_memory(0x10000, std::vector<uint8_t>{0, 0, 1, 64})
                 .wait_timeout(port.request_timeout());
    EXPECT_FALSE(m.ok());
    // Nothing reached the device: no refusal from it, and Width is as it was.
    EXPECT_EQ(sim_->counters().naks, 0u);
    auto width = port.read_register(0x10000).wait_timeout(port.request_timeout());
    ASSERT_TRUE(width.ok());
    EXPECT_EQ(*width, 640u);
}

TEST_F(MonitorAccess, MonitorSendsNoHeartbeatAndItsDisconnectReleasesNothing) {
    ASSERT_TRUE(eventually([&] { return controller_.link_stats()->heartbeats >= 3; }));
    EXPECT_EQ(monitor_.link_stats()->heartbeats, 0u);
    auto before = controller_endpoint();
    monitor_.disconnect();
    // The controller keeps control and keeps writing.
    auto port = controller_.connection()->port;
    EXPECT_TRUE(port.write_register(0x10000, 320).wait_timeout(port.request_timeout()).ok());
    EXPECT_EQ(controller_endpoint(), before);
}

}  // namespace
