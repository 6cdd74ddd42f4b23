// Devices that deviate from the standard, staged byte for byte with a scripted peer and end to
// end with the simulated camera: no concatenated READREG, refused memory commands, answers from
// another address of the device, and requests whose caller stopped waiting.
#include <gtest/gtest.h>

#include "control_scripted_device.hpp"
#include "genicam/node.hpp"
#include "genicam/retrieval.hpp"
#include "gige/camera.hpp"
#include "gige/control_port.hpp"
#include "gige/runner.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::testing;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kNoHeartbeatMs = 600'000;

struct Rig {
    explicit Rig(const std::string& ip, Duration gvcp_timeout = 1s) : device(ip) {
        auto [tx, rx] = chan::unbounded<ToWorker>();
        RunnerConfig config;
        config.device = device.address();
        config.gvcp_timeout = gvcp_timeout;
        config.heartbeat_timeout_ms = kNoHeartbeatMs;
        auto r = spawn(std::move(rx), shared, config);
        EXPECT_TRUE(r.ok()) << r.error().message();
        worker.emplace(std::move(r->worker));
        port.emplace(std::move(tx), WorkerRef::of(*worker), 3s);
    }

    ScriptedDevice device;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::optional<ThreadHandle> worker;
    std::optional<ControlPort> port;
};

template <class T>
std::string error_text(const SharedResult<T>& r) {
    return r.ok() ? "(ok)" : r.error()->message();
}

// Answers a one-address READREG with `value`, checking the address.
void answer_single(ScriptedDevice& d, uint32_t address, uint32_t value) {
    Command c = d.expect();
    ASSERT_EQ(c.code, gvcp::kReadRegCmd);
    ASSERT_EQ(c.payload, be32s({address}));
    d.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({value})));
}

}  // namespace

// A device that cannot concatenate answers a multi-address READREG with one value or refuses
// it; both make the worker read one address per command, now and for the rest of the link.
TEST(ControlQuirksTest, ReadRegFallsBackToOneAddressPerCommandAndRemembersIt) {
    struct Case {
        const char* ip;
        Bytes (*answer)(uint16_t id);
    };
    const Case cases[] = {
        {"127.20.0.1", [](uint16_t id) { return make_ack(0, gvcp::kReadRegAck, id, be32s({10})); }},
        {"127.20.0.2", [](uint16_t id) { return make_ack(0x8002, gvcp::kReadRegAck, id); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.ip);
        Rig rig(k.ip);
        auto h = rig.port->read_registers({0x10, 0x14, 0x18});
        Command c = rig.device.expect();
        EXPECT_EQ(c.payload, be32s({0x10, 0x14, 0x18}));
        rig.device.answer(c, k.answer(c.req_id));
        answer_single(rig.device, 0x10, 10);
        answer_single(rig.device, 0x14, 11);
        answer_single(rig.device, 0x18, 12);
        auto values = h.wait_timeout(2s);
        ASSERT_TRUE(values.ok()) << error_text(values);
        EXPECT_EQ(*values, (std::vector<uint32_t>{10, 11, 12}));
        EXPECT_TRUE(rig.shared->quirks().single_register_commands);

        auto again = rig.port->read_registers({0x20, 0x24});
        answer_single(rig.device, 0x20, 1);
        answer_single(rig.device, 0x24, 2);
        EXPECT_EQ(again.wait_timeout(2s).value(), (std::vector<uint32_t>{1, 2}));
    }
}

// READMEM/WRITEMEM refused as not implemented: the same access goes by register commands over
// the aligned words, and later memory accesses go that way at once.
TEST(ControlQuirksTest, RefusedMemoryCommandsAreCarriedOutByRegisterCommands) {
    Rig rig("127.20.0.3");
    auto read = rig.port->read_memory(0x100, 6);
    Command c = rig.device.expect();
    EXPECT_EQ(c.code, gvcp::kReadMemCmd);
    rig.device.answer(c, make_ack(0x8001, gvcp::kReadMemAck, c.req_id));
    c = rig.device.expect();
    EXPECT_EQ(c.code, gvcp::kReadRegCmd);
    EXPECT_EQ(c.payload, be32s({0x100, 0x104}));
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0x41424344, 0x45460000})));
    auto bytes = read.wait_timeout(2s);
    ASSERT_TRUE(bytes.ok()) << error_text(bytes);
    EXPECT_EQ(*bytes, (Bytes{'A', 'B', 'C', 'D', 'E', 'F'}));
    EXPECT_TRUE(rig.shared->quirks().registers_for_memory);

    auto write = rig.port->write_memory(0x200, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    c = rig.device.expect();
    EXPECT_EQ(c.code, gvcp::kWriteRegCmd);
    EXPECT_EQ(c.payload, be32s({0x200, 0x01020304, 0x204, 0x05060708}));
    rig.device.answer(c, make_ack(0, gvcp::kWriteRegAck, c.req_id));
    EXPECT_TRUE(write.wait_timeout(2s).ok());

    // A refusal of the register command itself is final, reported with the command sent.
    auto refused = rig.port->read_memory(0x300, 4);
    c = rig.device.expect();
    rig.device.answer(c, make_ack(0x8003, gvcp::kReadRegAck, c.req_id));
    EXPECT_EQ(error_text(refused.wait_timeout(2s)),
              "device answered command 0x0080 with invalid address (0x8003)");
}

// A refusal that names the address, not the command, stays an error of the memory command.
TEST(ControlQuirksTest, OtherMemoryRefusalsAreFinal) {
    Rig rig("127.20.0.4");
    auto read = rig.port->read_memory(0x100, 8);
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0x8006, gvcp::kReadMemAck, c.req_id));
    EXPECT_EQ(error_text(read.wait_timeout(2s)),
              "device answered command 0x0084 with access denied (0x8006)");
    EXPECT_FALSE(rig.shared->quirks().registers_for_memory);
}

// An answer from another address of the device counts when its id matches the request in
// flight, and only then.
TEST(ControlQuirksTest, AnswerFromAnotherAddressIsTakenByIdOnly) {
    Rig rig("127.20.0.5");
    ScriptedDevice other("127.20.0.105");
    auto h = rig.port->read_register(0x0A00);
    Command c = rig.device.expect();
    other.answer(c,
                 make_ack(0, gvcp::kReadRegAck, static_cast<uint16_t>(c.req_id + 1), be32s({7})));
    other.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({2})));
    auto value = h.wait_timeout(2s);
    ASSERT_TRUE(value.ok()) << error_text(value);
    EXPECT_EQ(*value, 2u);
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.foreign_source_acks, 1u);
    EXPECT_EQ(s.acks, 1u);
    EXPECT_EQ(s.unsolicited, 0u);
}

// A caller that gave up was told its request failed: the request, still queued behind a slow
// one, is dropped and never reaches the device.
TEST(ControlQuirksTest, RequestWhoseCallerGaveUpIsNeverSent) {
    Rig rig("127.20.0.6", 2s);
    auto slow = rig.port->read_register(0x0A00);
    Command first = rig.device.expect();
    auto write = rig.port->write_register(0x0B00, 5);
    auto r = wait_or_cancel(write, 20ms);
    EXPECT_EQ(r.error().message(), "timed out waiting for acknowledge");
    rig.device.answer(first, make_ack(0, gvcp::kReadRegAck, first.req_id, be32s({2})));
    EXPECT_TRUE(slow.wait_timeout(2s).ok());
    EXPECT_TRUE(rig.device.silent_for(300ms));
    EXPECT_EQ(rig.shared->stats().commands, 1u);
}

TEST(ControlQuirksTest, ZeroLengthAccessOnAnEndedWorkerFails) {
    Rig rig("127.20.0.7");
    EXPECT_TRUE(rig.port->read_memory(0x100, 0).wait_timeout(1s).ok());
    rig.worker->stop_and_join();
    EXPECT_EQ(error_text(rig.port->read_memory(0x100, 0).get()), "driver is not connected");
    EXPECT_EQ(error_text(rig.port->write_memory(0x100, {}).get()), "driver is not connected");
}

// End to end with the simulated camera: connect and load the description from a device that
// cannot concatenate (advertised or not) and from one without memory commands.
TEST(ControlQuirksTest, SimulatedDevicesWithDeviationsConnectAndLoadTheirDescription) {
    struct Case {
        const char* ip;
        void (*setup)(sim::SimConfig&);
    };
    const Case cases[] = {
        {"127.20.1.10", [](sim::SimConfig& c) { c.gvcp_faults.single_value_readreg = true; }},
        {"127.20.1.11",
         [](sim::SimConfig& c) {
             c.concatenation = false;
             c.gvcp_faults.single_value_readreg = true;
         }},
        {"127.20.1.12",
         [](sim::SimConfig& c) {
             c.gvcp_faults.naks = {sim::NakRule{0x0084, std::nullopt, 0x8001},
                                   sim::NakRule{0x0086, std::nullopt, 0x8001}};
         }},
        {"127.20.1.13",
         [](sim::SimConfig& c) {
             c.url_text = "local:///corvisk_sim.xml;0x{addr};0x{size}?SchemaVersion=1.1.0";
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.ip);
        sim::SimConfig sc;
        sc.ip = k.ip;
        sc.frame_rate = 0;
        k.setup(sc);
        sim::SimCamera device(sc);
        ASSERT_TRUE(device.start().ok());
        auto config = ConnectionConfig::for_device(*IpAddress::parse(k.ip));
        GigECamera cam(config);
        auto connected = cam.connect();
        ASSERT_TRUE(connected.ok()) << connected.error().message();
        EXPECT_EQ(cam.device_info()->model, "SimCam-1");
        auto loaded = genicam::ensure_genicam(cam);
        ASSERT_TRUE(loaded.ok()) << loaded.error().message();
        EXPECT_TRUE(cam.connection()->feature_model->find("Width").has_value());
    }
}
