// Frame pool, buffer leases, frame records, device timestamps and the counters' text form.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "gige/stream/frame.hpp"
#include "gige/stream/pool.hpp"
#include "gige/stream/stats.hpp"

using namespace corvisk;
using namespace corvisk::gige;

TEST(FramePoolTest, BuffersAreZeroFilledAndReturnOnRelease) {
    auto pool = FramePool::create(2, 64, 10);
    ASSERT_TRUE(pool.ok());
    EXPECT_EQ(pool->free.len(), 2u);
    BufSlot slot;
    ASSERT_EQ(pool->free.try_recv(slot), chan::RecvResult::Item);
    EXPECT_EQ(std::vector<uint8_t>(slot.data.begin(), slot.data.end()),
              std::vector<uint8_t>(64, 0));
    EXPECT_GE(slot.packets.capacity(), 10u);
    slot.data[0] = 42;
    {
        PooledBuf buf(std::move(slot), pool->home);
        EXPECT_EQ(buf.bytes().size(), 64u);
        PooledBuf moved = std::move(buf);
        EXPECT_FALSE(buf.has_slot());
        EXPECT_EQ(pool->free.len(), 1u);
    }
    ASSERT_EQ(pool->free.len(), 2u);  // the move left no second lease behind
    BufSlot a, b;
    ASSERT_EQ(pool->free.try_recv(a), chan::RecvResult::Item);
    ASSERT_EQ(pool->free.try_recv(b), chan::RecvResult::Item);
    EXPECT_EQ(a.data[0] + b.data[0], 42);  // buffers are never cleared
}

// A stream takes the buffer its consumers gave back last (still in the cache), unless told to
// cycle through them oldest first.
TEST(FramePoolTest, TakesTheBufferReturnedLastFirstUnlessToldOtherwise) {
    for (bool newest_first : {true, false}) {
        auto pool = FramePool::create(3, 64, 0, PoolOptions{newest_first, 0});
        ASSERT_TRUE(pool.ok());
        std::vector<PooledBuf> leases;
        for (uint8_t mark = 1; mark <= 3; ++mark) {
            BufSlot slot;
            ASSERT_EQ(pool->take(slot), chan::RecvResult::Item);
            slot.data[0] = mark;
            leases.emplace_back(std::move(slot), pool->home);
        }
        BufSlot none;
        EXPECT_EQ(pool->take(none), chan::RecvResult::Empty);
        leases[1].release();  // returned in the order 2, 3, 1
        leases[2].release();
        leases[0].release();
        std::vector<int> order;
        for (BufSlot slot; pool->take(slot) == chan::RecvResult::Item;) {
            order.push_back(slot.data[0]);
        }
        EXPECT_EQ(order, newest_first ? std::vector<int>({1, 3, 2}) : std::vector<int>({2, 3, 1}));
    }
}

// Pages of `b` the system has mapped in.
size_t resident_pages(const BufSlot& b) {
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((b.data.size() + page - 1) / page);
    EXPECT_EQ(::mincore(const_cast<uint8_t*>(b.data.data()), b.data.size(), in.data()), 0);
    size_t n = 0;
    for (unsigned char c : in) {
        n += c & 1;
    }
    return n;
}

// The buffers handed out first, up to the budget, are mapped in when the pool is made (and
// still read as zero); the others only once written.
TEST(FramePoolTest, PrefaultsTheBuffersHandedOutFirstWithinTheBudget) {
    constexpr uint64_t kSize = 1 << 20;
    const size_t pages = kSize / static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    for (bool newest_first : {true, false}) {
        auto pool = FramePool::create(4, kSize, 0, PoolOptions{newest_first, 2 * kSize + 1});
        ASSERT_TRUE(pool.ok());
        std::vector<size_t> resident;
        for (BufSlot slot; pool->take(slot) == chan::RecvResult::Item;) {
            resident.push_back(resident_pages(slot));
            EXPECT_EQ(*std::max_element(slot.data.begin(), slot.data.end()), 0);
        }
        EXPECT_EQ(resident, std::vector<size_t>({pages, pages, 0, 0})) << newest_first;
    }
    auto none = FramePool::create(1, kSize, 0, PoolOptions{true, 0});
    ASSERT_TRUE(none.ok());
    BufSlot slot;
    ASSERT_EQ(none->take(slot), chan::RecvResult::Item);
    EXPECT_EQ(resident_pages(slot), 0u);
}

// A buffer of a huge page or more starts on a huge-page boundary whether or not the system gives
// it huge pages, and behaves as any other buffer: zero, writable to its last byte, prefaulted
// when asked. Its size need not be a multiple of any page.
TEST(FramePoolTest, LargeBuffersAreHugePageAligned) {
    constexpr uint64_t kSize = (uint64_t{4} << 20) + 12345;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    for (bool prefault : {false, true}) {
        auto pool = FramePool::create(2, kSize, 0, PoolOptions{true, prefault ? 2 * kSize : 0});
        ASSERT_TRUE(pool.ok());
        for (BufSlot slot; pool->take(slot) == chan::RecvResult::Item;) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(slot.data.data()) % (uintptr_t{2} << 20), 0u);
            EXPECT_EQ(resident_pages(slot), prefault ? (kSize + page - 1) / page : 0) << prefault;
            EXPECT_EQ(*std::max_element(slot.data.begin(), slot.data.end()), 0);
            slot.data[kSize - 1] = 7;
            EXPECT_EQ(slot.data[kSize - 1], 7);
        }
    }
    PoolOptions small_pages;
    small_pages.huge_pages = false;
    auto pool = FramePool::create(1, kSize, 0, small_pages);
    ASSERT_TRUE(pool.ok());
    BufSlot slot;
    ASSERT_EQ(pool->take(slot), chan::RecvResult::Item);
    EXPECT_EQ(*std::max_element(slot.data.begin(), slot.data.end()), 0);
}

TEST(FramePoolTest, ReleaseAfterThePoolIsGoneFreesTheBuffer) {
    auto pool = FramePool::create(1, 1 << 20, 0);
    ASSERT_TRUE(pool.ok());
    BufSlot slot;
    ASSERT_EQ(pool->free.try_recv(slot), chan::RecvResult::Item);
    PooledBuf buf(std::move(slot), pool->home);
    pool->free = PoolReceiver();  // the stream shut down
    buf.release();                // freed here (the sanitizer build checks for leaks)
    EXPECT_FALSE(buf.has_slot());
    EXPECT_TRUE(buf.bytes().empty());
}

TEST(FramePoolTest, UnallocatablePoolIsAnError) {
    auto pool = FramePool::create(2, std::numeric_limits<uint64_t>::max(), 0);
    ASSERT_FALSE(pool.ok());
    EXPECT_EQ(pool.error().kind(), CameraError::Kind::Io);
    EXPECT_EQ(pool.error().os_errno(), ENOMEM);
}

TEST(FramePoolTest, ZeroBuffersHoldNothing) {
    auto pool = FramePool::create(0, 64, 0);
    ASSERT_TRUE(pool.ok());
    BufSlot slot;
    EXPECT_EQ(pool->free.try_recv(slot), chan::RecvResult::Empty);
}

TEST(FrameTest, PayloadViewEndsAtTheFurthestByteWritten) {
    auto pool = FramePool::create(1, 4000, 0);
    ASSERT_TRUE(pool.ok());
    BufSlot slot;
    ASSERT_EQ(pool->free.try_recv(slot), chan::RecvResult::Item);
    Frame f;
    f.buffer = PooledBuf(std::move(slot), pool->home);
    f.data_end = 1000;
    EXPECT_EQ(f.payload().size(), 1000u);
    f.data_end = 5000;
    EXPECT_EQ(f.payload().size(), 4000u);
    Frame empty;
    empty.data_end = 10;
    EXPECT_TRUE(empty.payload().empty());
}

TEST(FrameTest, DeviceTimestampRule) {
    struct Case {
        uint64_t ticks, freq, system, ns;
    };
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const Case cases[] = {
        {250'000'001, 125'000'000, 7, 2'000'000'008},
        {5, 0, 1234, 1234},                                        // frequency unknown: host time
        {0, 1'000'000, 99, 0},                                     // no leader, known frequency
        {1'500'000'000'000, 1'000'000'000'000, 0, 1'500'000'000},  // 1 THz: no overflow
        {kMax, 1, 0, kMax},                                        // centuries of ticks: saturates
        {kMax, 1'000'000'000, 0, kMax},                            // ns ticks pass through
    };
    for (const Case& c : cases) {
        EXPECT_EQ(device_timestamp_ns(c.ticks, c.freq, c.system), c.ns) << c.ticks << "/" << c.freq;
    }
}

TEST(FrameTest, StatusNames) {
    const std::pair<FrameStatus, const char*> cases[] = {
        {FrameStatus::Complete, "Complete"},
        {FrameStatus::MissingPackets, "MissingPackets"},
        {FrameStatus::Timeout, "Timeout"},
        {FrameStatus::Aborted, "Aborted"},
        {FrameStatus::WrongPacketId, "WrongPacketId"},
        {FrameStatus::PayloadUnsupported, "PayloadUnsupported"},
    };
    for (const auto& [status, name] : cases) {
        EXPECT_STREQ(frame_status_name(status), name);
    }
    EXPECT_EQ(static_cast<int>(FrameStatus::PayloadUnsupported), 5);
}

TEST(StreamStatsTest, TextFormListsEveryCounterInOrder) {
    StreamStats s;
    s.packets = 12;
    s.bytes = 17000;
    s.completed_frames = 1;
    s.frames_dropped = 3;
    EXPECT_EQ(to_string(s),
              "StreamStats { packets: 12, bytes: 17000, completed_frames: 1, failed_frames: 0, "
              "timed_out_frames: 0, aborted_frames: 0, missing_frames: 0, underruns: 0, "
              "missing_packets: 0, resend_requests: 0, resent_packets: 0, "
              "resend_ratio_reached: 0, resend_disabled: 0, duplicated_packets: 0, "
              "error_packets: 0, ignored_packets: 0, unsupported_frames: 0, "
              "size_mismatch_errors: 0, frames_dropped: 3 }");
    StreamShared shared;
    EXPECT_EQ(shared.snapshot(), StreamStats{});
    shared.publish(s);
    EXPECT_EQ(shared.snapshot(), s);
    EXPECT_EQ(shared.snapshot(), shared.snapshot());
}
