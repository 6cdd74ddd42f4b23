// The channel every queue in the library uses: ordering, bounds, hand-over and disconnection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "queue.hpp"

using namespace corvisk;
using namespace std::chrono_literals;

namespace {

// Spins (yielding) until pred holds or the deadline passes.
template <class Pred>
bool eventually(Pred pred, Duration limit = 10s) {
    auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(QueueTest, BoundedReportsFullAndKeepsOrder) {
    auto [tx, rx] = chan::bounded<int>(2);
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(tx.try_send(std::move(a)), chan::SendResult::Ok);
    EXPECT_EQ(tx.try_send(std::move(b)), chan::SendResult::Ok);
    EXPECT_EQ(tx.try_send(std::move(c)), chan::SendResult::Full);
    int out = 0;
    EXPECT_EQ(rx.try_recv(out), chan::RecvResult::Item);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(rx.try_recv(out), chan::RecvResult::Item);
    EXPECT_EQ(out, 2);
    EXPECT_EQ(rx.try_recv(out), chan::RecvResult::Empty);
}

TEST(QueueTest, FailedSendLeavesTheItemWithTheCaller) {
    auto [tx, rx] = chan::bounded<std::unique_ptr<int>>(0);
    auto item = std::make_unique<int>(5);
    EXPECT_EQ(tx.try_send(std::move(item)), chan::SendResult::Full);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*item, 5);
}

TEST(QueueTest, ReceiversDrainThenSeeDisconnection) {
    auto [tx, rx] = chan::unbounded<int>();
    for (int i = 0; i < 3; ++i) {
        int v = i;
        ASSERT_EQ(tx.try_send(std::move(v)), chan::SendResult::Ok);
    }
    { auto gone = std::move(tx); }
    std::vector<int> got;
    int out;
    while (rx.recv_timeout(out, 10s) == chan::RecvResult::Item) {
        got.push_back(out);
    }
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(rx.try_recv(out), chan::RecvResult::Disconnected);
    EXPECT_TRUE(rx.is_disconnected());
}

TEST(QueueTest, SendsFailOnceEveryReceiverIsGone) {
    auto [tx, rx] = chan::bounded<int>(4);
    auto rx2 = rx;
    { auto gone = std::move(rx); }
    int v = 1;
    EXPECT_EQ(tx.try_send(std::move(v)), chan::SendResult::Ok);  // rx2 still there
    { auto gone = std::move(rx2); }
    EXPECT_EQ(tx.try_send(std::move(v)), chan::SendResult::Disconnected);
    EXPECT_TRUE(tx.is_disconnected());
}

TEST(QueueTest, DroppingTheLastReceiverReleasesQueuedItems) {
    auto [tx, rx] = chan::unbounded<std::shared_ptr<int>>();
    auto shared = std::make_shared<int>(1);
    std::weak_ptr<int> weak = shared;
    ASSERT_EQ(tx.try_send(std::move(shared)), chan::SendResult::Ok);
    { auto gone = std::move(rx); }
    EXPECT_TRUE(weak.expired());
}

TEST(QueueTest, BlockedReceiverWakesOnLastSenderDrop) {
    auto [tx, rx] = chan::unbounded<int>();
    std::atomic<chan::RecvResult> result{chan::RecvResult::Item};
    std::thread t([&, r = std::move(rx)]() mutable {
        int out;
        result = r.recv_timeout(out, 60s);
    });
    { auto gone = std::move(tx); }
    t.join();  // returns promptly, not after 60 s
    EXPECT_EQ(result.load(), chan::RecvResult::Disconnected);
}

TEST(QueueTest, ReceiveTimesOut) {
    auto [tx, rx] = chan::bounded<int>(1);
    int out;
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_timeout(out, 20ms), chan::RecvResult::Timeout);
    EXPECT_GE(Clock::now() - start, 20ms);
    // A huge timeout saturates instead of overflowing: a queued item returns at once.
    int v = 9;
    ASSERT_EQ(tx.try_send(std::move(v)), chan::SendResult::Ok);
    EXPECT_EQ(rx.recv_timeout(out, Duration::max()), chan::RecvResult::Item);
}

TEST(QueueTest, HandOverNeedsAWaitingReceiver) {
    auto [tx, rx] = chan::bounded<int>(0);
    int v = 7;
    EXPECT_EQ(tx.try_send(std::move(v)), chan::SendResult::Full);
    std::atomic<int> got{-1};
    std::thread t([&, r = rx]() mutable {
        int out;
        if (r.recv_timeout(out, 60s) == chan::RecvResult::Item) {
            got = out;
        }
    });
    // Retry until the receiver is blocked; exactly one hand-over succeeds.
    ASSERT_TRUE(eventually([&] {
        int x = 7;
        return tx.try_send(std::move(x)) == chan::SendResult::Ok;
    }));
    t.join();
    EXPECT_EQ(got.load(), 7);
    int w = 8;
    EXPECT_EQ(tx.try_send(std::move(w)), chan::SendResult::Full);  // nobody waiting again
}

TEST(QueueTest, DrainTakesEverythingInOrder) {
    auto [tx, rx] = chan::bounded<int>(8);
    for (int i = 0; i < 5; ++i) {
        int v = i;
        ASSERT_EQ(tx.try_send(std::move(v)), chan::SendResult::Ok);
    }
    std::vector<int> all;
    EXPECT_EQ(rx.drain(all), 5u);
    EXPECT_EQ(all, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(rx.len(), 0u);
}

struct MpmcCase {
    size_t capacity;  // 0 = unbounded in this table
    int producers;
    int consumers;
};

class QueueMpmcTest : public ::testing::TestWithParam<MpmcCase> {};

// Every item sent is received exactly once, whatever the interleaving.
TEST_P(QueueMpmcTest, EveryItemArrivesExactlyOnce) {
    const auto p = GetParam();
    constexpr int kPerProducer = 5000;
    auto [tx, rx] = p.capacity ? chan::bounded<int>(p.capacity) : chan::unbounded<int>();
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> received(p.consumers);
    for (int c = 0; c < p.consumers; ++c) {
        threads.emplace_back([&, c, r = rx]() mutable {
            int out;
            while (r.recv_timeout(out, 30s) == chan::RecvResult::Item) {
                received[c].push_back(out);
            }
        });
    }
    for (int pr = 0; pr < p.producers; ++pr) {
        threads.emplace_back([&, pr, s = tx]() mutable {
            for (int i = 0; i < kPerProducer; ++i) {
                int v = pr * kPerProducer + i;
                ASSERT_EQ(s.send(std::move(v)), chan::SendResult::Ok);
            }
        });
    }
    { auto gone = std::move(tx); }
    { auto gone = std::move(rx); }
    for (auto& t : threads) {
        t.join();
    }
    std::multiset<int> all;
    for (auto& v : received) {
        all.insert(v.begin(), v.end());
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(p.producers * kPerProducer));
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), all.size());
}

INSTANTIATE_TEST_SUITE_P(Shapes, QueueMpmcTest,
                         ::testing::Values(MpmcCase{0, 1, 1}, MpmcCase{0, 4, 4}, MpmcCase{1, 3, 2},
                                           MpmcCase{16, 4, 4}));
