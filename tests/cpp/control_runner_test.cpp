// Control worker and ControlPort against a scripted peer: wire bytes, retries, PENDING_ACK, ack
// matching, memory chunking, heartbeats, events, control loss and shutdown.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "control_scripted_device.hpp"
#include "gige/control_port.hpp"
#include "gige/runner.hpp"
#include "log.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::testing;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kNoHeartbeatMs = 600'000;  // a 200 s interval keeps heartbeats out of the way

// A worker talking to a ScriptedDevice, with a port on it.
struct Rig {
    explicit Rig(const std::string& ip, Duration gvcp_timeout = 1s, uint8_t retries = 4,
                 uint32_t heartbeat_ms = kNoHeartbeatMs)
        : device(ip) {
        auto [tx, rx] = chan::unbounded<ToWorker>();
        RunnerConfig config;
        config.device = device.address();
        config.gvcp_timeout = gvcp_timeout;
        config.retries = retries;
        config.heartbeat_timeout_ms = heartbeat_ms;
        auto r = spawn(std::move(rx), shared, config);
        EXPECT_TRUE(r.ok()) << r.error().message();
        worker.emplace(std::move(r->worker));
        port.emplace(std::move(tx), WorkerRef::of(*worker), 3s);
    }

    // Waits for the worker to end by itself.
    bool wait_ended(Duration timeout = 3s) {
        Instant deadline = deadline_after(timeout);
        while (worker->is_alive() && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return !worker->is_alive();
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

}  // namespace

TEST(ControlRunnerTest, RegisterReadAndWriteCarryTheExactBytes) {
    Rig rig("127.0.6.10");
    auto read = rig.port->read_register(0x0934);
    Command c = rig.device.expect();
    EXPECT_EQ(c.raw, gvcp::encode_read_reg(std::vector<uint32_t>{0x0934}, 1));
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0xDEADBEEF})));
    auto value = read.wait_timeout(2s);
    ASSERT_TRUE(value.ok()) << error_text(value);
    EXPECT_EQ(*value, 0xDEADBEEFu);

    auto write = rig.port->write_register(0x0938, 1234);
    c = rig.device.expect();
    const std::pair<uint32_t, uint32_t> pair[] = {{0x0938, 1234}};
    EXPECT_EQ(c.raw, gvcp::encode_write_reg(pair, 2));
    rig.device.answer(c, make_ack(0, gvcp::kWriteRegAck, c.req_id));
    EXPECT_TRUE(write.wait_timeout(2s).ok());

    auto many = rig.port->read_registers({0, 4, 8});
    c = rig.device.expect();
    EXPECT_EQ(c.payload, be32s({0, 4, 8}));
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({7, 8, 9})));
    auto values = many.wait_timeout(2s);
    ASSERT_TRUE(values.ok());
    EXPECT_EQ(*values, (std::vector<uint32_t>{7, 8, 9}));

    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.commands, 3u);
    EXPECT_EQ(s.acks, 3u);
    EXPECT_EQ(s.unsolicited, 0u);
}

// Device answers the worker rejects, each with its own message.
TEST(ControlRunnerTest, BadAnswersFailTheRequestWithTheirMessage) {
    struct Case {
        const char* name;
        bool memory;  // READMEM (else READREG)
        Bytes (*ack)(uint16_t id);
        const char* message;
    };
    const Case cases[] = {
        {"nak", true, [](uint16_t id) { return make_ack(0x8003, gvcp::kReadMemAck, id); },
         "device answered command 0x0084 with invalid address (0x8003)"},
        {"unknown nak", false, [](uint16_t id) { return make_ack(0x8008, gvcp::kReadRegAck, id); },
         "device answered command 0x0080 with status 0x8008"},
        {"wrong code", false,
         [](uint16_t id) { return make_ack(0, gvcp::kWriteRegAck, id, be32s({1})); },
         "malformed packet: expected ack 0x0081, got 0x0083"},
        {"short pending", false,
         [](uint16_t id) {
             return make_ack(0, gvcp::kPendingAck, id, Bytes{0, 1});
         },
         "malformed packet: expected ack 0x0081, got 0x0089"},
        {"empty read", false, [](uint16_t id) { return make_ack(0, gvcp::kReadRegAck, id); },
         "malformed packet: empty read register ack"},
        {"short mem", true,
         [](uint16_t id) {
             return make_ack(0, gvcp::kReadMemAck, id, Bytes{0, 0});
         },
         "malformed packet: short read memory ack"},
        {"empty mem", true,
         [](uint16_t id) { return make_ack(0, gvcp::kReadMemAck, id, be32s({0x100})); },
         "malformed packet: empty read memory ack"},
    };
    Rig rig("127.0.6.11");
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::string message;
        if (k.memory) {
            auto h = rig.port->read_memory(0x100, 16);
            Command c = rig.device.expect();
            rig.device.answer(c, k.ack(c.req_id));
            message = error_text(h.wait_timeout(2s));
        } else {
            auto h = rig.port->read_register(0x100);
            Command c = rig.device.expect();
            rig.device.answer(c, k.ack(c.req_id));
            message = error_text(h.wait_timeout(2s));
        }
        EXPECT_EQ(message, k.message);
    }
    EXPECT_EQ(rig.shared->stats().naks, 2u);

    // A multi-register read answered with the wrong number of values.
    auto h = rig.port->read_registers({0, 4});
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({1, 2, 3})));
    EXPECT_EQ(error_text(h.wait_timeout(2s)),
              "malformed packet: read register ack carried 3 values, expected 2");
}

TEST(ControlRunnerTest, SilenceIsRetriedWithTheSameBytesThenTimesOut) {
    Rig rig("127.0.6.12", 30ms, 2);
    auto h = rig.port->read_register(0x10);
    Command first = rig.device.expect();
    Command second = rig.device.expect();
    Command third = rig.device.expect();
    EXPECT_EQ(second.raw, first.raw);
    EXPECT_EQ(third.raw, first.raw);
    EXPECT_EQ(error_text(h.wait_timeout(2s)), "timed out waiting for acknowledge");
    EXPECT_TRUE(rig.device.silent_for(100ms));  // 1 + retries tries, no more
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.commands, 1u);
    EXPECT_EQ(s.retries, 2u);
    EXPECT_EQ(s.timeouts, 1u);

    // The next request starts with a fresh id and the full budget.
    auto next = rig.port->read_register(0x14);
    Command c = rig.device.expect();
    EXPECT_EQ(c.req_id, first.req_id + 1);
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({5})));
    EXPECT_TRUE(next.wait_timeout(2s).ok());
}

// The device answers both the original and the retransmission: the second answer matches
// nothing in flight and must not be taken as the answer to the next request.
TEST(ControlRunnerTest, LateAnswerToARetransmissionIsUnsolicited) {
    Rig rig("127.0.6.13", 50ms);
    auto a = rig.port->read_register(0x20);
    Command first = rig.device.expect();
    Command retry = rig.device.expect();
    ASSERT_EQ(retry.req_id, first.req_id);
    rig.device.answer(first, make_ack(0, gvcp::kReadRegAck, first.req_id, be32s({111})));
    auto va = a.wait_timeout(2s);
    ASSERT_TRUE(va.ok());
    EXPECT_EQ(*va, 111u);

    auto b = rig.port->read_register(0x24);
    Command cb = rig.device.expect_skipping_heartbeats();
    while (cb.req_id == first.req_id) {  // a further retransmission may still be on its way
        cb = rig.device.expect();
    }
    // The late duplicate for the old id arrives before the real answer.
    rig.device.answer(retry, make_ack(0, gvcp::kReadRegAck, retry.req_id, be32s({111})));
    rig.device.answer(cb, make_ack(0, gvcp::kReadRegAck, cb.req_id, be32s({222})));
    auto vb = b.wait_timeout(2s);
    ASSERT_TRUE(vb.ok());
    EXPECT_EQ(*vb, 222u);
    EXPECT_GE(rig.shared->stats().unsolicited, 1u);
}

TEST(ControlRunnerTest, PendingAckExtendsTheDeadlineButNotTheCallersWait) {
    Rig rig("127.0.6.14", 50ms, 1);
    auto slow = rig.port->read_register(0x30);
    Command c = rig.device.expect();
    Instant pending_at = Clock::now();
    rig.device.answer(c, make_ack(0, gvcp::kPendingAck, c.req_id, be32s({300})));
    // The caller gives up first; the transaction stays in flight and holds the queue.
    EXPECT_EQ(error_text(slow.wait_timeout(100ms)), "timed out waiting for acknowledge");
    auto queued = rig.port->read_register(0x34);
    // After the pending time, one retry (same bytes) and then the failure.
    Command retry = rig.device.expect();
    EXPECT_EQ(retry.raw, c.raw);
    EXPECT_GE(Clock::now() - pending_at, 290ms);
    Command next = rig.device.expect();  // the queued request goes out only now
    EXPECT_GE(Clock::now() - pending_at, 340ms);
    EXPECT_NE(next.req_id, c.req_id);
    rig.device.answer(next, make_ack(0, gvcp::kReadRegAck, next.req_id, be32s({9})));
    EXPECT_TRUE(queued.wait_timeout(2s).ok());
    EXPECT_EQ(error_text(slow.get()), "timed out waiting for acknowledge");
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.pending_acks, 1u);
    EXPECT_EQ(s.timeouts, 1u);
}

TEST(ControlRunnerTest, MemoryReadRunsIn512ByteChunks) {
    Rig rig("127.0.6.15");
    Bytes memory(2048);
    for (size_t i = 0; i < memory.size(); ++i) {
        memory[i] = static_cast<uint8_t>(i * 7);
    }
    auto serve = [&](uint32_t base, std::vector<std::pair<uint32_t, uint32_t>> expected) {
        for (auto [addr, count] : expected) {
            Command c = rig.device.expect();
            ASSERT_EQ(c.code, gvcp::kReadMemCmd);
            EXPECT_EQ(c.word(0), addr);
            EXPECT_EQ(c.word(1), count);
            Bytes payload = be32s({addr});
            payload.insert(payload.end(), memory.begin() + (addr - base),
                           memory.begin() + (addr - base + count));
            rig.device.answer(c, make_ack(0, gvcp::kReadMemAck, c.req_id, payload));
        }
    };
    auto h = rig.port->read_memory(0x1000, 1300);
    serve(0x1000, {{0x1000, 512}, {0x1200, 512}, {0x1400, 276}});
    auto bytes = h.wait_timeout(2s);
    ASSERT_TRUE(bytes.ok()) << error_text(bytes);
    EXPECT_EQ(*bytes, Bytes(memory.begin(), memory.begin() + 1300));

    auto small = rig.port->read_memory(0x1000, 6);  // asks for 8, returns 6
    serve(0x1000, {{0x1000, 8}});
    auto six = small.wait_timeout(2s);
    ASSERT_TRUE(six.ok());
    EXPECT_EQ(*six, Bytes(memory.begin(), memory.begin() + 6));
    EXPECT_EQ(rig.shared->stats().commands, 4u);
}

TEST(ControlRunnerTest, MemoryWriteRunsIn512ByteChunks) {
    Rig rig("127.0.6.16");
    Bytes data(1100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    auto h = rig.port->write_memory(0x2000, data);
    size_t offset = 0;
    for (size_t chunk : {512, 512, 76}) {
        Command c = rig.device.expect();
        ASSERT_EQ(c.code, gvcp::kWriteMemCmd);
        EXPECT_EQ(c.word(0), 0x2000 + offset);
        EXPECT_EQ(c.payload.size(), 4 + chunk);
        EXPECT_TRUE(std::equal(c.payload.begin() + 4, c.payload.end(), data.begin() + offset));
        offset += chunk;
        rig.device.answer(c, make_ack(0, gvcp::kWriteMemAck, c.req_id));
    }
    EXPECT_TRUE(h.wait_timeout(2s).ok());
}

// A heartbeat that falls due during a long transfer goes out between two chunks, and the
// transfer is never interleaved with other queued requests.
TEST(ControlRunnerTest, HeartbeatGoesOutBetweenChunks) {
    Rig rig("127.0.6.17", 100ms, 4, 30);  // heartbeat every 10 ms, retry after 100 ms
    // Retries repeat a request id already seen; this test looks at new requests only.
    std::set<uint16_t> seen;
    auto next_request = [&](bool skip_heartbeats) {
        for (;;) {
            Command c = rig.device.expect();
            if (c.code == 0) {
                return c;  // nothing arrived: expect() has failed the test
            }
            if (!seen.insert(c.req_id).second) {
                continue;
            }
            if (skip_heartbeats && ScriptedDevice::is_heartbeat(c)) {
                rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({2})));
                continue;
            }
            return c;
        }
    };
    auto h = rig.port->read_memory(0x1000, 1300);
    Command chunk1 = next_request(true);
    ASSERT_EQ(chunk1.code, gvcp::kReadMemCmd);
    auto other = rig.port->read_register(0x40);  // queued behind the whole transfer
    // The retry of the unanswered chunk proves a retry interval (ten heartbeat intervals) has
    // passed, so the heartbeat timer has fallen due while the chunk was in flight.
    Command retry = rig.device.expect();
    ASSERT_EQ(retry.code, gvcp::kReadMemCmd);
    EXPECT_EQ(retry.req_id, chunk1.req_id);
    Bytes payload = be32s({0x1000});
    payload.resize(4 + 512);
    rig.device.answer(chunk1, make_ack(0, gvcp::kReadMemAck, chunk1.req_id, payload));

    Command hb = next_request(false);
    EXPECT_TRUE(ScriptedDevice::is_heartbeat(hb));
    rig.device.answer(hb, make_ack(0, gvcp::kReadRegAck, hb.req_id, be32s({2})));
    for (uint32_t addr : {0x1200u, 0x1400u}) {
        Command c = next_request(true);
        ASSERT_EQ(c.code, gvcp::kReadMemCmd);
        EXPECT_EQ(c.word(0), addr);
        Bytes p = be32s({addr});
        p.resize(4 + c.word(1));
        rig.device.answer(c, make_ack(0, gvcp::kReadMemAck, c.req_id, p));
    }
    EXPECT_TRUE(h.wait_timeout(2s).ok());
    Command reg = next_request(true);
    EXPECT_EQ(reg.code, gvcp::kReadRegCmd);
    EXPECT_EQ(reg.word(0), 0x40u);
    rig.device.answer(reg, make_ack(0, gvcp::kReadRegAck, reg.req_id, be32s({1})));
    EXPECT_TRUE(other.wait_timeout(2s).ok());
    EXPECT_GE(rig.shared->stats().heartbeats, 1u);
}

TEST(ControlRunnerTest, JunkAndForeignDatagramsAreIgnored) {
    Rig rig("127.0.6.18");
    auto h = rig.port->read_register(0x50);
    Command c = rig.device.expect();
    rig.device.answer(c, Bytes{0, 0, 0});  // short
    Bytes cut = make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({1}));
    cut.resize(10);  // the length field promises more than the datagram holds
    rig.device.answer(c, cut);
    ScriptedDevice stranger("127.0.6.19", 4000);  // right id, wrong source address
    stranger.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({666})));
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({42})));
    auto v = h.wait_timeout(2s);
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(*v, 42u);
    EXPECT_EQ(rig.shared->stats().unsolicited, 0u);
}

// Ways the device can withdraw control: the worker ends with ControlLost, fails what is
// outstanding with it, and does not write CCP on its way out.
TEST(ControlRunnerTest, HeartbeatFailuresEndTheWorkerWithControlLost) {
    struct Case {
        const char* name;
        std::optional<Bytes> (*answer)(uint16_t id);  // nothing = stay silent
        const char* log;
    };
    const Case cases[] = {
        {"nak",
         [](uint16_t id) -> std::optional<Bytes> {
             return make_ack(0x8006, gvcp::kReadRegAck, id);
         },
         "heartbeat rejected with access denied (0x8006), control lost"},
        {"ccp cleared",
         [](uint16_t id) -> std::optional<Bytes> {
             return make_ack(0, gvcp::kReadRegAck, id, be32s({0}));
         },
         "device control was lost (CCP cleared)"},
        {"silence", [](uint16_t) -> std::optional<Bytes> { return std::nullopt; },
         "heartbeat timed out, considering control lost"},
    };
    int n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        log::ScopedCapture capture;
        Rig rig(fmt::format("127.0.6.{}", 20 + n++), 20ms, 1, 300);  // heartbeat every 100 ms
        Command hb = rig.device.expect();
        ASSERT_TRUE(ScriptedDevice::is_heartbeat(hb));
        auto queued = rig.port->read_register(0x60);  // waits behind the heartbeat
        if (auto a = k.answer(hb.req_id)) {
            rig.device.answer(hb, *a);
        }
        EXPECT_EQ(error_text(queued.wait_timeout(2s)),
                  "device control was lost (heartbeat failed)");
        ASSERT_TRUE(rig.wait_ended());
        EXPECT_TRUE(rig.shared->control_lost());
        EXPECT_TRUE(capture.sink().contains(log::Level::Warn, "corvisk::gige::runner", k.log));
        // No release write after control loss; only retries of the heartbeat may follow.
        while (auto c = rig.device.recv(100ms)) {
            EXPECT_TRUE(ScriptedDevice::is_heartbeat(*c));
        }
        // Requests posted after the end are answered at once by the port.
        auto late = rig.port->read_register(0x64);
        EXPECT_TRUE(late.is_filled());
        EXPECT_EQ(error_text(late.get()), "driver is not connected");
    }
}

TEST(ControlRunnerTest, ShutdownFailsEverythingOutstandingAndReleasesControl) {
    log::ScopedCapture capture;
    Rig rig("127.0.6.30");
    auto inflight = rig.port->read_register(0x70);
    Command c = rig.device.expect();
    auto queued = rig.port->write_register(0x74, 1);
    rig.port->shutdown();
    auto after = rig.port->read_memory(0x100, 8);  // posted behind the Shutdown message
    for (const std::string& e :
         {error_text(inflight.wait_timeout(2s)), error_text(queued.wait_timeout(2s)),
          error_text(after.wait_timeout(2s))}) {
        EXPECT_EQ(e, "driver is not connected");
    }
    Command release = rig.device.expect();
    const std::pair<uint32_t, uint32_t> ccp0[] = {{0x0A00, 0}};
    EXPECT_EQ(release.raw, gvcp::encode_write_reg(ccp0, c.req_id + 1));
    ASSERT_TRUE(rig.wait_ended());
    EXPECT_FALSE(rig.shared->control_lost());
    EXPECT_TRUE(capture.sink().contains(log::Level::Debug, "corvisk::gige::runner",
                                        "gvcp worker shutting down"));
    // The answer that arrives after the end changes nothing.
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({1})));
    EXPECT_EQ(error_text(inflight.get()), "driver is not connected");
}

TEST(ControlRunnerTest, StopFlagEndsTheWorkerLikeShutdown) {
    Rig rig("127.0.6.31");
    auto h = rig.port->read_register(0x80);
    Command c = rig.device.expect();
    rig.worker.reset();  // the owner drops its handle: stop, wake, join
    EXPECT_EQ(error_text(h.get()), "driver is not connected");
    Command release = rig.device.expect();
    EXPECT_EQ(release.code, gvcp::kWriteRegCmd);
    EXPECT_EQ(release.payload, be32s({0x0A00, 0}));
}

TEST(ControlRunnerTest, EventsAreAcknowledgedCountedAndDelivered) {
    Rig rig("127.0.6.32");
    auto [tx, rx] = chan::bounded<GvcpEvent>(4);
    rig.port->subscribe_events(std::move(tx));
    // Make sure the worker knows the subscriber and our address before the event is sent.
    auto probe = rig.port->read_register(0x90);
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0})));
    ASSERT_TRUE(probe.wait_timeout(2s).ok());

    Bytes event(8 + 20);
    event[0] = 0x42;
    event[1] = gvcp::kFlagAckRequired;
    store_be16(event.data() + 2, gvcp::kEventDataCmd);
    store_be16(event.data() + 4, 20);
    store_be16(event.data() + 6, 0x1234);
    store_be16(event.data() + 10, 0x9001);              // event id
    store_be16(event.data() + 12, 1);                   // stream channel
    store_be16(event.data() + 14, 77);                  // block id
    store_be64(event.data() + 16, 0x0102030405060708);  // timestamp
    std::fill(event.begin() + 24, event.end(), 0xEE);   // 4 data bytes
    rig.device.answer(c, event);

    Command ack = rig.device.expect();
    EXPECT_EQ(ack.raw, Bytes({0, 0, 0, 0xC3, 0, 0, 0x12, 0x34}));
    GvcpEvent got;
    ASSERT_EQ(rx.recv_timeout(got, 2s), chan::RecvResult::Item);
    EXPECT_EQ(got.command, gvcp::kEventDataCmd);
    EXPECT_EQ(got.event_id, 0x9001);
    EXPECT_EQ(got.stream_channel, 1);
    EXPECT_EQ(got.block_id, 77);
    EXPECT_EQ(got.timestamp, 0x0102030405060708u);
    EXPECT_EQ(got.data, Bytes(4, 0xEE));
    EXPECT_EQ(got.raw.size(), 20u);
    EXPECT_EQ(rig.shared->stats().events, 1u);
}

TEST(GvcpEventTest, ShortPayloadsLeaveMissingFieldsZero) {
    const Bytes full = {0, 0, 0xA, 0xB, 0, 2, 0, 3, 0, 0, 0, 0, 0, 0, 0, 9, 0x55};
    struct Case {
        size_t size;
        uint16_t event_id, channel, block;
        uint64_t timestamp;
        size_t data;
    };
    for (Case k :
         {Case{0, 0, 0, 0, 0, 0}, Case{3, 0, 0, 0, 0, 0}, Case{4, 0x0A0B, 0, 0, 0, 0},
          Case{6, 0x0A0B, 2, 0, 0, 0}, Case{8, 0x0A0B, 2, 3, 0, 0}, Case{15, 0x0A0B, 2, 3, 0, 0},
          Case{16, 0x0A0B, 2, 3, 9, 0}, Case{17, 0x0A0B, 2, 3, 9, 1}}) {
        SCOPED_TRACE(k.size);
        GvcpEvent e = GvcpEvent::parse(gvcp::kEventCmd, std::span(full.data(), k.size));
        EXPECT_EQ(e.command, gvcp::kEventCmd);
        EXPECT_EQ(e.event_id, k.event_id);
        EXPECT_EQ(e.stream_channel, k.channel);
        EXPECT_EQ(e.block_id, k.block);
        EXPECT_EQ(e.timestamp, k.timestamp);
        EXPECT_EQ(e.data.size(), k.data);
        EXPECT_EQ(e.raw.size(), k.size);
    }
}

TEST(ControlPortTest, PortIoUsesRegistersOnlyForAligned4ByteAccess) {
    Rig rig("127.0.6.33");
    // Aligned 4 bytes: READREG, value stored big-endian.
    std::array<uint8_t, 4> word{};
    std::thread device([&] {
        Command c = rig.device.expect();
        EXPECT_EQ(c.code, gvcp::kReadRegCmd);
        rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0x11223344})));
        c = rig.device.expect();  // 8 aligned bytes: one WRITEMEM of 8
        EXPECT_EQ(c.code, gvcp::kWriteMemCmd);
        EXPECT_EQ(c.payload.size(), 12u);
        rig.device.answer(c, make_ack(0, gvcp::kWriteMemAck, c.req_id));
        c = rig.device.expect();  // aligned 4-byte write: WRITEREG with the big-endian value
        EXPECT_EQ(c.code, gvcp::kWriteRegCmd);
        EXPECT_EQ(c.payload, be32s({0x0B00, 0xA1B2C3D4}));
        rig.device.answer(c, make_ack(0, gvcp::kWriteRegAck, c.req_id));
    });
    ASSERT_TRUE(rig.port->read(0x0A00, word).ok());
    EXPECT_EQ(word, (std::array<uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(rig.port->write(0x0B00, eight).ok());
    const uint8_t be[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    EXPECT_TRUE(rig.port->write(0x0B00, be).ok());
    device.join();

    // Unaligned ranges travel as the aligned words enclosing them: two bytes inside one word
    // are a READREG of it; a write reads its words and sends them back patched, a single word
    // by WRITEREG, more by WRITEMEM.
    std::thread rmw([&] {
        Command c = rig.device.expect();
        EXPECT_EQ(c.code, gvcp::kReadRegCmd);
        EXPECT_EQ(c.payload, be32s({0x0A00}));
        rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0x11223344})));
        c = rig.device.expect();  // 6 bytes at 0x0B00: the two words 0x0B00..0x0B07
        EXPECT_EQ(c.code, gvcp::kReadMemCmd);
        EXPECT_EQ(c.payload, be32s({0x0B00, 8}));
        Bytes payload = be32s({0x0B00, 0x01020304, 0x05060708});
        rig.device.answer(c, make_ack(0, gvcp::kReadMemAck, c.req_id, payload));
        c = rig.device.expect();
        EXPECT_EQ(c.code, gvcp::kWriteMemCmd);
        EXPECT_EQ(c.payload, be32s({0x0B00, 0xA0A1A2A3, 0xA4A50708}));
        rig.device.answer(c, make_ack(0, gvcp::kWriteMemAck, c.req_id));
        c = rig.device.expect();  // 1 byte at 0x0C03
        EXPECT_EQ(c.payload, be32s({0x0C00}));
        rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0x11223344})));
        c = rig.device.expect();
        EXPECT_EQ(c.code, gvcp::kWriteRegCmd);
        EXPECT_EQ(c.payload, be32s({0x0C00, 0x112233EE}));
        rig.device.answer(c, make_ack(0, gvcp::kWriteRegAck, c.req_id));
    });
    std::array<uint8_t, 2> pair{};
    ASSERT_TRUE(rig.port->read(0x0A02, pair).ok());
    EXPECT_EQ(pair, (std::array<uint8_t, 2>{0x33, 0x44}));
    const uint8_t six[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_TRUE(rig.port->write(0x0B00, six).ok());
    const uint8_t one[1] = {0xEE};
    EXPECT_TRUE(rig.port->write(0x0C03, one).ok());
    rmw.join();

    // Rejected without any traffic.
    struct Case {
        const char* name;
        CameraResult<void> result;
        const char* message;
    };
    std::array<uint8_t, 4> buf{};
    std::array<uint8_t, 8> wide{};
    const Case cases[] = {
        {"unaligned wrapping read", rig.port->read(0xFFFF'FFFE, buf),
         "malformed packet: address 0x100000001 beyond 32 bit"},
        {"unaligned wrapping write", rig.port->write(0xFFFF'FFFD, std::span(six, 4)),
         "malformed packet: address 0x100000000 beyond 32 bit"},
        {"beyond 32 bit", rig.port->read(0x1'0000'0000, buf),
         "malformed packet: address 0x100000000 beyond 32 bit"},
        {"beyond 32 bit write", rig.port->write(0x1'0000'0004, be),
         "malformed packet: address 0x100000004 beyond 32 bit"},
        // A transfer running past the top of the address space would wrap to address 0.
        {"wrapping read", rig.port->read(0xFFFF'FFFC, std::span(wide)),
         "malformed packet: address 0x100000003 beyond 32 bit"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_FALSE(k.result.ok());
        EXPECT_EQ(k.result.error().message(), k.message);
    }
    EXPECT_TRUE(rig.device.silent_for(50ms));
}
