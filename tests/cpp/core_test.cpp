// Core support: error texts, results, response handles, worker threads and logging.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "errno_text.hpp"
#include "error.hpp"
#include "handle.hpp"
#include "log.hpp"
#include "thread_util.hpp"

using namespace corvisk;
using namespace std::chrono_literals;

TEST(CameraErrorTest, MessagesMatchTheirTable) {
    const std::vector<std::pair<CameraError, std::string>> cases = {
        {CameraError::connect_timeout(), "connect timed out"},
        {CameraError::not_connected(), "driver is not connected"},
        {CameraError::ack_timeout(), "timed out waiting for acknowledge"},
        {CameraError::access_denied(), "device control is held by another application"},
        {CameraError::control_lost(), "device control was lost (heartbeat failed)"},
        {CameraError::status(0x0084, gvcp::GvcpStatus(0x8003)),
         "device answered command 0x0084 with invalid address (0x8003)"},
        {CameraError::status(0x0082, gvcp::GvcpStatus(0x8008)),
         "device answered command 0x0082 with status 0x8008"},
        {CameraError::status(0x0080, gvcp::GvcpStatus(0x8FFF)),
         "device answered command 0x0080 with generic error (0x8fff)"},
        {CameraError::malformed("short memory read"), "malformed packet: short memory read"},
        {CameraError::unsupported("IPv6 stream destinations"),
         "device does not support IPv6 stream destinations"},
        {CameraError::thread_spawn("boom"), "worker thread failed to start: boom"},
        {CameraError::io_text(EADDRNOTAVAIL, "no usable network adapter for discovery"),
         "io error: no usable network adapter for discovery"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.message(), text);
        EXPECT_EQ(fmt::format("{}", error), text);
    }
    EXPECT_EQ(CameraError::io(ECONNREFUSED).message(), "io error: Connection refused");
}

TEST(GenicamErrorTest, MessagesMatchTheirTable) {
    const std::vector<std::pair<GenicamError, std::string>> cases = {
        {GenicamError::feature_not_found("Foo"), "feature 'Foo' not found"},
        {GenicamError::unsupported_access("Width"), "node 'Width' does not support this access"},
        {GenicamError::not_accessible("Width"),
         "node 'Width' is not accessible this way (access mode)"},
        {GenicamError::dangling_reference("Nope"), "dangling reference 'Nope'"},
        {GenicamError::circular_reference("A"), "circular reference through 'A'"},
        {GenicamError::formula("PayloadSize", "division by zero"),
         "formula in 'PayloadSize': division by zero"},
        {GenicamError::no_such_entry("PixelFormat", "Mono9"),
         "enumeration 'PixelFormat' has no entry 'Mono9'"},
        {GenicamError::device_description("feature model not loaded"),
         "device description: feature model not loaded"},
        {GenicamError::snap_timeout(), "no frame arrived within the snap timeout"},
        // A transport failure keeps its own text, without prefix.
        {GenicamError(CameraError::control_lost()), "device control was lost (heartbeat failed)"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.message(), text);
    }
}

namespace {

CameraResult<int> parse_positive(int v) {
    if (v <= 0) {
        return Err{CameraError::malformed("not positive")};
    }
    return v;
}

GenicamResult<int> doubled(int v) {
    int x = CVK_TRY(parse_positive(v));  // CameraError converts into Transport
    return 2 * x;
}

}  // namespace

TEST(ResultTest, TryPropagatesAndConvertsErrors) {
    auto good = doubled(4);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good.value(), 8);
    auto bad = doubled(-1);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(bad.error().message(), "malformed packet: not positive");
}

TEST(ResponseHandleTest, FilledHandleReturnsAtOnceEvenWithZeroWait) {
    ResponseHandle<uint32_t> h;
    h.fulfill(uint32_t{7});
    auto r = h.wait_timeout(0s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 7u);
}

TEST(ResponseHandleTest, FirstResultWins) {
    ResponseHandle<uint32_t> h;
    h.fail(CameraError::not_connected());
    h.fulfill(uint32_t{1});
    auto r = h.get();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error()->message(), "driver is not connected");
}

TEST(ResponseHandleTest, EmptyHandleTimesOutAndLateResultIsKept) {
    ResponseHandle<void> h;
    auto r = h.wait_timeout(5ms);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error()->kind(), CameraError::Kind::AckTimeout);
    h.fulfill({});
    EXPECT_TRUE(h.get().ok());
}

TEST(ResponseHandleTest, SeveralWaitersShareTheSameError) {
    ResponseHandle<std::vector<uint8_t>> h;
    std::vector<SharedCameraError> seen(4);
    std::vector<std::thread> waiters;
    for (size_t i = 0; i < seen.size(); ++i) {
        waiters.emplace_back([&, i] {
            auto r = h.wait_timeout(10s);
            ASSERT_FALSE(r.ok());
            seen[i] = r.error();
        });
    }
    h.fail(CameraError::control_lost());
    for (auto& t : waiters) {
        t.join();
    }
    for (const auto& e : seen) {
        EXPECT_EQ(e.get(), seen[0].get());
    }
    CameraError owned = unwrap_arc(seen[0]);
    EXPECT_EQ(owned.message(), "device control was lost (heartbeat failed)");
}

TEST(ResponseHandleTest, FulfilRacingTimeoutIsNeverLost) {
    for (int round = 0; round < 2000; ++round) {
        ResponseHandle<uint32_t> h;
        std::thread producer([h] { h.fulfill(uint32_t{42}); });
        auto r = h.wait_timeout(std::chrono::microseconds(round % 50));
        producer.join();
        // Whatever the waiter saw, the stored result is the value, never lost.
        auto later = h.get();
        ASSERT_TRUE(later.ok());
        EXPECT_EQ(later.value(), 42u);
        if (r.ok()) {
            EXPECT_EQ(r.value(), 42u);
        }
    }
}

TEST(ThreadHandleTest, DropStopsWakesAndJoins) {
    auto waker = Waker::create();
    ASSERT_TRUE(waker.ok());
    std::atomic<int> passes{0};
    std::atomic<bool> waiting{false};
    Flag alive;
    {
        ThreadHandle handle;
        handle.set_waker(waker.value());
        alive = handle.alive_flag();
        Flag stop = handle.stop_flag();
        auto poller = Poller::create();
        ASSERT_TRUE(poller.ok());
        ASSERT_TRUE(poller->add_waker(*waker.value(), 1).ok());
        auto p = std::make_shared<Poller>(std::move(poller).value());
        ASSERT_TRUE(spawn_worker(handle, "corvisk-test", [p, stop, &passes, &waiting] {
                        Poller::Event events[4];
                        while (!stop->load()) {
                            waiting = true;
                            // A long wait: only the waker can end it promptly.
                            (void)p->wait(events, 60'000);
                            ++passes;
                        }
                    }).ok());
        EXPECT_TRUE(handle.is_alive());
        auto deadline = Clock::now() + 10s;
        while (!waiting && Clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(waiting);
    }
    EXPECT_FALSE(alive->load());
    EXPECT_GE(passes.load(), 1);
}

TEST(ThreadHandleTest, EscapingExceptionIsLoggedNotFatal) {
    log::ScopedCapture capture;
    ThreadHandle handle;
    ASSERT_TRUE(
        spawn_worker(handle, "corvisk-throw", [] { throw std::runtime_error("bad"); }).ok());
    handle.stop_and_join();
    EXPECT_FALSE(handle.is_alive());
    EXPECT_EQ(capture.sink().count_containing("worker thread ended by an exception: bad"), 1u);
}

// A second worker on one handle is refused, and replacing a stored thread joins the old one
// instead of leaving it running detached.
TEST(ThreadHandleTest, ReplacingARunningWorkerJoinsItFirst) {
    log::ScopedCapture capture;
    ThreadHandle handle;
    Flag stop = handle.stop_flag();
    std::atomic<bool> first_ended{false};
    ASSERT_TRUE(spawn_worker(handle, "corvisk-first", [stop, &first_ended] {
                    while (!stop->load()) {
                        std::this_thread::yield();
                    }
                    first_ended = true;
                }).ok());
    auto again = spawn_worker(handle, "corvisk-second", [] {});
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().kind(), CameraError::Kind::ThreadSpawn);
    EXPECT_FALSE(first_ended.load());

    handle.set_handle(std::thread([] {}));
    EXPECT_TRUE(first_ended.load());  // joined before set_handle returned
    EXPECT_EQ(capture.sink().count_containing("worker handle replaced while its thread runs"), 1u);
}

TEST(ErrnoTextTest, IsTheSystemTextForAnyThread) {
    std::vector<std::string> texts(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < texts.size(); ++i) {
        threads.emplace_back(
            [&texts, i] { texts[i] = errno_text(i % 2 == 0 ? ECONNREFUSED : EADDRINUSE); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i], i % 2 == 0 ? "Connection refused" : "Address already in use");
    }
    EXPECT_EQ(CameraError::io(ECONNREFUSED).message(), "io error: Connection refused");
}

struct SchedulingCase {
    ThreadConfig config;
    const char* expected;  // nullptr: nothing logged
};

class ThreadConfigTest : public ::testing::TestWithParam<SchedulingCase> {};

TEST_P(ThreadConfigTest, LogsWhatCannotBeApplied) {
    log::ScopedCapture capture;
    std::thread t([&] { GetParam().config.apply_logged(); });
    t.join();
    auto records = capture.sink().records();
    if (GetParam().expected == nullptr) {
        EXPECT_TRUE(records.empty());
        return;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, log::Level::Warn);
    EXPECT_EQ(records[0].target, "corvisk::thread_util");
    EXPECT_EQ(records[0].message, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scheduling, ThreadConfigTest,
    ::testing::Values(SchedulingCase{ThreadConfig{std::nullopt, 0}, nullptr},
                      SchedulingCase{ThreadConfig{std::nullopt, -5}, nullptr},
                      SchedulingCase{
                          ThreadConfig{std::nullopt, 1000},
                          "thread scheduling not applied: SCHED_FIFO priority 1000 out of range "
                          "[1..=99]"}));

TEST(ThreadAffinityTest, CpuBeyondTheHostIsLogged) {
    log::ScopedCapture capture;
    long n = sysconf(_SC_NPROCESSORS_CONF);
    ThreadConfig config{static_cast<unsigned>(n), 0};
    std::thread t([&] { config.apply_logged(); });
    t.join();
    EXPECT_TRUE(capture.sink().contains(
        log::Level::Warn, "corvisk::thread_util",
        fmt::format("thread scheduling not applied: CPU {} out of range 0..{}", n, n - 1)));
}

TEST(LogTest, DisabledLevelsAreNotFormatted) {
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    CVK_LOG(log::Level::Trace, "corvisk::test", {}, "{}", count());
    EXPECT_EQ(evaluated, 0);
    log::ScopedCapture capture(log::Level::Warn);
    CVK_LOG(log::Level::Debug, "corvisk::test", {}, "{}", count());
    EXPECT_EQ(evaluated, 0);
    CVK_LOG(log::Level::Warn, "corvisk::test", log::fields("id", 3, "tries_left", 2), "m{}",
            count());
    EXPECT_EQ(evaluated, 1);
    auto records = capture.sink().records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "m1");
    ASSERT_NE(records[0].field("tries_left"), nullptr);
    EXPECT_EQ(*records[0].field("tries_left"), "2");
}
