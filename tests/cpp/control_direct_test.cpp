// Requests carried through on the caller's thread while the wire is idle, against a scripted
// peer: retries, PENDING_ACK, stale acknowledges, the caller's own timeout, device death, a
// heartbeat falling due meanwhile, and many callers at once beside the worker's heartbeats.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <tuple>

#include "bytes.hpp"
#include "control_scripted_device.hpp"
#include "gige/control_port.hpp"
#include "gige/runner.hpp"
#include "gige/wire.hpp"
#include "interrupt.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::testing;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kNoHeartbeatMs = 600'000;

// A worker and a wire-sharing port talking to a ScriptedDevice.
struct DirectRig {
    explicit DirectRig(const std::string& ip, Duration gvcp_timeout = 1s, uint8_t retries = 4,
                       uint32_t heartbeat_ms = kNoHeartbeatMs, Duration request_timeout = 3s)
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
        port.emplace(std::move(tx), WorkerRef::of(*worker), request_timeout, std::move(r->wire));
    }

    // A blocking 4-byte read on another thread (the caller's side of the test).
    std::future<CameraResult<uint32_t>> read_async(uint32_t address) {
        return std::async(std::launch::async, [this, address]() -> CameraResult<uint32_t> {
            uint8_t b[4];
            CVK_TRY_VOID(port->read(address, b));
            return load_be32(b);
        });
    }

    ScriptedDevice device;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::optional<ThreadHandle> worker;
    std::optional<ControlPort> port;
};

std::string text(const CameraResult<uint32_t>& r) {
    return r.ok() ? "(ok)" : r.error().message();
}

}  // namespace

TEST(ControlDirectTest, IdleWireReadGoesOutFromTheCallerAndSharesTheIdCounter) {
    DirectRig rig("127.40.1.1");
    auto queued = rig.port->read_register(0x10);  // through the worker
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({7})));
    ASSERT_TRUE(queued.wait_timeout(2s).ok());

    auto direct = rig.read_async(0x0934);
    Command d = rig.device.expect();
    EXPECT_EQ(d.raw, gvcp::encode_read_reg(std::vector<uint32_t>{0x0934}, c.req_id + 1));
    rig.device.answer(d, make_ack(0, gvcp::kReadRegAck, d.req_id, be32s({0xCAFE})));
    auto v = direct.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 0xCAFEu);

    const uint8_t value[4] = {0, 0, 0, 9};
    auto write = std::async(std::launch::async, [&] { return rig.port->write(0x0938, value); });
    Command w = rig.device.expect();
    const std::pair<uint32_t, uint32_t> pair[] = {{0x0938, 9}};
    EXPECT_EQ(w.raw, gvcp::encode_write_reg(pair, d.req_id + 1));
    rig.device.answer(w, make_ack(0, gvcp::kWriteRegAck, w.req_id));
    EXPECT_TRUE(write.get().ok());
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.direct, 2u);
    EXPECT_EQ(s.commands, 3u);
    EXPECT_EQ(s.acks, 3u);
}

// A lost acknowledge: the same datagram again after the per-try timeout; a stale acknowledge
// for another id is counted and ignored; a device error is reported as such.
TEST(ControlDirectTest, RetriesStaleAcksAndDeviceErrors) {
    DirectRig rig("127.40.1.2", 50ms, 2);
    auto r = rig.read_async(0x20);
    Command first = rig.device.expect();
    Command retry = rig.device.expect();  // first acknowledge "lost"
    EXPECT_EQ(retry.raw, first.raw);
    rig.device.answer(first, make_ack(0, gvcp::kReadRegAck, first.req_id - 1, be32s({1})));
    rig.device.answer(first, make_ack(0, gvcp::kReadRegAck, first.req_id, be32s({111})));
    auto v = r.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 111u);
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.retries, 1u);
    EXPECT_EQ(s.unsolicited, 1u);

    auto refused = rig.read_async(0x24);
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0x8006, gvcp::kReadRegAck, c.req_id));
    EXPECT_NE(text(refused.get()).find("0x8006"), std::string::npos);
    EXPECT_EQ(rig.shared->stats().naks, 1u);
}

// PENDING_ACK stretches the try: no retransmission while the device said it is busy.
TEST(ControlDirectTest, PendingAckHoldsOffRetries) {
    DirectRig rig("127.40.1.3", 30ms, 1);
    auto r = rig.read_async(0x30);
    Command c = rig.device.expect();
    Bytes pending = make_ack(0, gvcp::kPendingAck, c.req_id, {0, 0, 0x01, 0x2C});  // 300 ms
    rig.device.answer(c, pending);
    EXPECT_TRUE(rig.device.silent_for(150ms));  // five per-try timeouts, no retry
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({5})));
    auto v = r.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 5u);
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.pending_acks, 1u);
    EXPECT_EQ(s.retries, 0u);
}

// The caller's own limit ends a request that the device keeps pending: the failure is final,
// the late answer is ignored, and the wire is free for the next request.
TEST(ControlDirectTest, CallerTimeoutEndsAnEndlessPending) {
    DirectRig rig("127.40.1.4", 1s, 4, kNoHeartbeatMs, 100ms);
    auto r = rig.read_async(0x40);
    Command c = rig.device.expect();
    rig.device.answer(c, make_ack(0, gvcp::kPendingAck, c.req_id, {0, 0, 0x27, 0x10}));  // 10 s
    const Instant start = Clock::now();
    EXPECT_EQ(text(r.get()), CameraError::ack_timeout().message());
    EXPECT_LT(Clock::now() - start, 1s);
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({1})));

    auto next = rig.read_async(0x44);
    Command n = rig.device.expect();
    EXPECT_EQ(n.req_id, c.req_id + 1);
    rig.device.answer(n, make_ack(0, gvcp::kReadRegAck, n.req_id, be32s({44})));
    auto v = next.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 44u);
    EXPECT_EQ(rig.shared->stats().unsolicited, 1u);
}

// The device dies during a direct request: the request times out after its retries, the next
// heartbeat goes unanswered and the connection reports control lost.
TEST(ControlDirectTest, DeviceDeathDuringADirectRequestLosesControl) {
    DirectRig rig("127.40.1.5", 20ms, 1, 300);  // heartbeat every 100 ms
    Command hb = rig.device.expect();
    ASSERT_TRUE(ScriptedDevice::is_heartbeat(hb));
    rig.device.answer(hb, make_ack(0, gvcp::kReadRegAck, hb.req_id, be32s({2})));
    EXPECT_EQ(text(rig.read_async(0x50).get()), CameraError::ack_timeout().message());
    const Instant deadline = deadline_after(3s);
    while (rig.worker->is_alive() && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(rig.shared->control_lost());
    EXPECT_EQ(text(rig.read_async(0x54).get()), "driver is not connected");
}

// A heartbeat that falls due while a caller holds the wire for a long PENDING waits for it
// (one request on the wire at a time) and goes out as soon as the caller is done.
TEST(ControlDirectTest, HeartbeatDueDuringALongPendingFollowsIt) {
    DirectRig rig("127.40.1.6", 1s, 4, 60);  // heartbeat every 20 ms
    Command c;
    std::future<CameraResult<uint32_t>> r;
    do {  // until the read is the caller's own (a heartbeat may hold the wire at first)
        r = rig.read_async(0x60);
        c = rig.device.expect_skipping_heartbeats();
        if (rig.shared->stats().direct == 0) {
            rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({0})));
            ASSERT_TRUE(r.get().ok());
        }
    } while (rig.shared->stats().direct == 0);
    rig.device.answer(c, make_ack(0, gvcp::kPendingAck, c.req_id, {0, 0, 0x00, 0xC8}));  // 200 ms
    EXPECT_TRUE(rig.device.silent_for(100ms));  // five heartbeat intervals: nothing interleaved
    const uint64_t heartbeats = rig.shared->stats().heartbeats;
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({6})));
    auto v = r.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 6u);
    Command hb = rig.device.expect(50ms);
    EXPECT_TRUE(ScriptedDevice::is_heartbeat(hb));
    EXPECT_EQ(hb.req_id, c.req_id + 1);
    rig.device.answer(hb, make_ack(0, gvcp::kReadRegAck, hb.req_id, be32s({2})));
    const Instant deadline = deadline_after(2s);
    while (rig.shared->stats().heartbeats == heartbeats && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(rig.shared->stats().heartbeats, heartbeats + 1);
    EXPECT_TRUE(rig.worker->is_alive());
}

// Several callers at once, blocking and queued, beside frequent heartbeats: one request on the
// wire at a time, ids consecutive and never 0, every answer to its own caller.
TEST(ControlDirectTest, ConcurrentCallersAndHeartbeatsStayOneAtATime) {
    DirectRig rig("127.40.1.7", 1s, 4, 30);  // heartbeat every 10 ms
    std::atomic<bool> done{false};
    std::atomic<int> overlaps{0}, gaps{0}, heartbeats{0};
    std::thread responder([&] {
        uint16_t last = 0;
        while (!done.load()) {
            auto c = rig.device.recv(50ms);
            if (!c) {
                continue;
            }
            gaps += (last != 0 && c->req_id != gvcp::next_request_id(last)) || c->req_id == 0;
            last = c->req_id;
            overlaps += rig.device.recv(0ms).has_value();  // nothing else may be out yet
            const bool hb = ScriptedDevice::is_heartbeat(*c);
            heartbeats += hb;
            const uint32_t value = hb ? 2 : c->word(0) * 3 + 1;
            rig.device.answer(*c, make_ack(0, gvcp::kReadRegAck, c->req_id, be32s({value})));
        }
    });
    constexpr int kThreads = 4, kReads = 300;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (uint32_t i = 0; i < kReads; ++i) {
                const uint32_t address = 0x1000 + 0x100 * t + 4 * i;
                uint32_t got = 0;
                if (t == 0) {  // one caller through the queue
                    auto h = rig.port->read_register(address).wait_timeout(3s);
                    got = h.ok() ? *h : 0;
                } else {
                    uint8_t b[4] = {};
                    got = rig.port->read(address, b).ok() ? load_be32(b) : 0;
                }
                wrong += got != address * 3 + 1;
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
    // Once the crowd is gone the wire is idle again: the next blocking read goes direct (no
    // queued request is left counted).
    const uint64_t direct = rig.shared->stats().direct;
    uint64_t after = direct;
    const Instant deadline = deadline_after(2s);
    while (after == direct && Clock::now() < deadline) {
        uint8_t b[4];
        EXPECT_TRUE(rig.port->read(0x10, b).ok());
        after = rig.shared->stats().direct;  // a heartbeat may have held the wire just then
    }
    done = true;
    responder.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(gaps.load(), 0);
    EXPECT_GT(after, direct);
    EXPECT_TRUE(rig.worker->is_alive());
}

// An event the device sends while a caller holds the wire is read by the caller, then
// acknowledged and delivered by the worker.
TEST(ControlDirectTest, EventDuringADirectRequestReachesTheWorker) {
    DirectRig rig("127.40.1.8");
    auto [tx, rx] = chan::bounded<GvcpEvent>(4);
    rig.port->subscribe_events(std::move(tx));
    auto probe = rig.port->read_register(0x90);  // the worker has the subscriber after this
    Command p = rig.device.expect();
    rig.device.answer(p, make_ack(0, gvcp::kReadRegAck, p.req_id, be32s({0})));
    ASSERT_TRUE(probe.wait_timeout(2s).ok());

    auto r = rig.read_async(0x94);
    Command c = rig.device.expect();
    Bytes event(8 + 4);
    event[0] = 0x42;
    event[1] = gvcp::kFlagAckRequired;
    store_be16(event.data() + 2, gvcp::kEventCmd);
    store_be16(event.data() + 4, 4);
    store_be16(event.data() + 6, 0x0777);
    store_be16(event.data() + 10, 0x9002);  // event id
    rig.device.answer(c, event);
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({94})));
    auto v = r.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 94u);

    Command ack = rig.device.expect();
    EXPECT_EQ(ack.raw, Bytes({0, 0, 0, 0xC1, 0, 0, 0x07, 0x77}));
    GvcpEvent got;
    ASSERT_EQ(rx.recv_timeout(got, 2s), chan::RecvResult::Item);
    EXPECT_EQ(got.event_id, 0x9002);
    LinkStats s = rig.shared->stats();
    EXPECT_EQ(s.events, 1u);
    EXPECT_EQ(s.direct, 1u);
}

// A request posted to the queue and then a blocking one from the same thread reach the device in
// that order, even though the wire was idle when the second one started.
TEST(ControlDirectTest, BlockingRequestNeverOvertakesOnePostedBefore) {
    DirectRig rig("127.40.1.9");
    for (int round = 0; round < 20; ++round) {
        auto write = rig.port->write_register(0xA0, round);
        auto read = rig.read_async(0xA4);
        Command first = rig.device.expect();
        ASSERT_EQ(first.code, gvcp::kWriteRegCmd);
        rig.device.answer(first, make_ack(0, gvcp::kWriteRegAck, first.req_id));
        Command second = rig.device.expect();
        ASSERT_EQ(second.code, gvcp::kReadRegCmd);
        rig.device.answer(second, make_ack(0, gvcp::kReadRegAck, second.req_id, be32s({1})));
        EXPECT_TRUE(write.wait_timeout(2s).ok());
        EXPECT_TRUE(read.get().ok());
    }
}

// Memory accesses that fit one datagram go direct too, with the device's fallbacks: a refused
// READMEM is carried out by READREG over the words, and remembered.
TEST(ControlDirectTest, MemoryReadFallsBackToRegistersOnTheDirectPath) {
    DirectRig rig("127.40.1.10");
    auto r = std::async(std::launch::async, [&] {
        Bytes b(8);
        auto ok = rig.port->read(0x200, b);
        return ok.ok() ? b : Bytes{};
    });
    Command mem = rig.device.expect();
    ASSERT_EQ(mem.code, gvcp::kReadMemCmd);
    rig.device.answer(mem, make_ack(0x8001, gvcp::kReadMemAck, mem.req_id));
    Command regs = rig.device.expect();
    ASSERT_EQ(regs.code, gvcp::kReadRegCmd);
    EXPECT_EQ(regs.payload, be32s({0x200, 0x204}));
    rig.device.answer(regs, make_ack(0, gvcp::kReadRegAck, regs.req_id, be32s({0x01020304, 5})));
    EXPECT_EQ(r.get(), Bytes({1, 2, 3, 4, 0, 0, 0, 5}));
    EXPECT_TRUE(rig.shared->quirks().registers_for_memory.load());
    EXPECT_EQ(rig.shared->stats().direct, 1u);
}

// A caller with an interrupt check stops waiting for a silent device at the next slice, and
// every later request of its operation fails at once without reaching the wire.
TEST(ControlDirectTest, InterruptedCallerStopsWaitingAndSendsNothingMore) {
    DirectRig rig("127.40.1.20");  // 1 s a try, 5 tries: 5 s before AckTimeout
    std::atomic<bool> stop{false};
    auto caller = std::async(std::launch::async, [&] {
        InterruptScope scope([&] { return stop.load(); });
        uint8_t b[4];
        const Instant start = Clock::now();
        auto first = rig.port->read(0x0934, b);
        const Duration waited = Clock::now() - start;
        auto second = rig.port->read(0x0938, b);
        return std::make_tuple(std::move(first), waited, std::move(second));
    });
    Command c = rig.device.expect();  // never answered
    stop.store(true);
    auto [first, waited, second] = caller.get();
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().message(), interrupted_error().message());
    EXPECT_LT(waited, 1s);  // not the try's full second, let alone the retries
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().message(), interrupted_error().message());
    EXPECT_FALSE(rig.device.recv(200ms).has_value());  // neither a retry nor the second read

    // Outside the scope the wire is free and requests go out again; the first read's late
    // acknowledge is ignored.
    rig.device.answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({1})));
    auto later = rig.read_async(0x0934);
    Command d = rig.device.expect();
    rig.device.answer(d, make_ack(0, gvcp::kReadRegAck, d.req_id, be32s({5})));
    auto v = later.get();
    ASSERT_TRUE(v.ok()) << text(v);
    EXPECT_EQ(*v, 5u);
}

// The queued path: an interrupted wait settles the handle, so the worker drops the request
// instead of sending it later.
TEST(ControlDirectTest, InterruptedQueuedWaitSettlesTheHandle) {
    ResponseHandle<uint32_t> handle;
    InterruptScope scope([] { return true; });
    const Instant start = Clock::now();
    auto r = wait_or_cancel(handle, 5s);
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), interrupted_error().message());
    EXPECT_TRUE(handle.is_filled());
}
