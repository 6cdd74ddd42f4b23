// The stream worker thread on loopback: a raw UDP "device" sends GVSP datagrams to the stream
// socket; frames are delivered, counted, resent on request, aborted on stop, and outlive it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <atomic>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

#include "bytes.hpp"
#include "gige/stream/runner.hpp"
#include "stream_test_util.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace corvisk::gige::test;
using namespace std::chrono_literals;

namespace {

UniqueFd bind_udp(const char* ip) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &addr.sin_addr);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << ip;
    return fd;
}

sockaddr_in address_of(const UniqueFd& fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return addr;
}

bool thread_named(const std::string& name) {
    DIR* dir = ::opendir("/proc/self/task");
    bool found = false;
    while (dirent* e = ::readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) {
            found = true;
        }
    }
    ::closedir(dir);
    return found;
}

template <class Pred>
bool eventually(Pred pred, Duration timeout = 5s) {
    Instant deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A fake device on 127.0.4.1 streaming to a worker bound on 127.0.4.2.
class RunnerTest : public ::testing::Test {
  protected:
    void start(bool resend, uint64_t n_buffers = 4,
               Duration moderation = stream_defaults::kReceiveModeration) {
        device_ = bind_udp("127.0.4.1");
        UniqueFd stream = bind_udp("127.0.4.2");
        target_ = address_of(stream);
        StreamRunnerParams params;
        params.assembler = Harness::small_config();
        params.assembler.resend_enabled = resend;
        params.assembler.n_buffers = n_buffers;
        params.channel = 7;
        params.receive_moderation = moderation;
        auto spawned = spawn_stream_runner(std::move(stream), address_of(device_), params);
        ASSERT_TRUE(spawned.ok()) << spawned.error().message();
        receiver_.emplace(std::move(spawned).value());
    }
    void send(const Bytes& d, const UniqueFd* from = nullptr) {
        const UniqueFd& fd = from ? *from : device_;
        ASSERT_EQ(::sendto(fd.get(), d.data(), d.size(), 0,
                           reinterpret_cast<const sockaddr*>(&target_), sizeof target_),
                  static_cast<ssize_t>(d.size()));
    }
    void send_frame(uint64_t block, const std::set<uint32_t>& skip = {}) {
        if (!skip.contains(0)) {
            send(packets_.leader(block));
        }
        for (uint32_t p = 1; p <= 10; ++p) {
            if (!skip.contains(p)) {
                send(packets_.payload(block, p, 100, 100));
            }
        }
        if (!skip.contains(11)) {
            send(packets_.trailer(block, 11));
        }
    }
    FramePtr next(FrameChannel& rx) {
        FramePtr f;
        EXPECT_EQ(rx.recv_timeout(f, 5s), chan::RecvResult::Item);
        return f;
    }

    Packets packets_;
    UniqueFd device_;
    sockaddr_in target_{};
    std::optional<StreamReceiver> receiver_;
};

}  // namespace

TEST_F(RunnerTest, DeliversFramesAbortsOnStopAndFramesOutliveTheStream) {
    start(false);
    ASSERT_TRUE(eventually([] { return thread_named("corvisk-gvsp7"); }));
    FrameChannel rx = receiver_->subscribe(8);
    UniqueFd stranger = bind_udp("127.0.4.3");
    send(packets_.leader(40), &stranger);  // not from the device: skipped, not counted
    for (uint64_t b = 1; b <= 3; ++b) {
        send_frame(b);
    }
    std::vector<FramePtr> held;
    for (uint64_t b = 1; b <= 3; ++b) {
        FramePtr f = next(rx);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->frame_id, b);
        EXPECT_EQ(f->status, FrameStatus::Complete);
        EXPECT_TRUE(matches_pattern(*f));
        held.push_back(f);
    }
    send(packets_.leader(4));
    send(packets_.payload(4, 1, 100, 100));
    ASSERT_TRUE(eventually([&] { return receiver_->stats().packets == 38; }));
    StreamStats s = receiver_->stats();
    EXPECT_EQ(s.completed_frames, 3u);
    EXPECT_EQ(s.ignored_packets, 0u);

    receiver_->stop();
    EXPECT_FALSE(receiver_->is_alive());
    EXPECT_FALSE(thread_named("corvisk-gvsp7"));
    FramePtr aborted = next(rx);
    ASSERT_TRUE(aborted);
    EXPECT_EQ(aborted->frame_id, 4u);
    EXPECT_EQ(aborted->status, FrameStatus::Aborted);
    EXPECT_EQ(receiver_->stats().aborted_frames, 1u);
    FramePtr none;
    Instant asked = Clock::now();
    EXPECT_EQ(rx.recv_timeout(none, 5s), chan::RecvResult::Disconnected);
    EXPECT_LT(Clock::now() - asked, 4s);  // disconnection ends the wait, not the timeout
    EXPECT_EQ(receiver_->stats(), receiver_->stats());
    EXPECT_TRUE(receiver_->subscribe(1).is_disconnected());

    receiver_.reset();
    aborted.reset();
    EXPECT_TRUE(matches_pattern(*held[2]));  // still readable after the stream is gone
    held.clear();                            // buffers freed, not returned
}

// Bursts of frames, each emptying the socket mid-frame and so paused after: whatever pause is
// asked for, the worker pauses at most a millisecond at a time, delivers every frame whole and
// stops at once.
class ModerationTest : public RunnerTest, public ::testing::WithParamInterface<Duration> {};

TEST_P(ModerationTest, EveryFrameComesAndStopIsPrompt) {
    start(false, 8, GetParam());
    FrameChannel rx = receiver_->subscribe(16);
    for (uint64_t b = 1; b <= 24; ++b) {
        send_frame(b);
        if (b % 4 == 0) {
            for (uint64_t d = b - 3; d <= b; ++d) {
                FramePtr f = next(rx);
                ASSERT_TRUE(f);
                EXPECT_EQ(f->frame_id, d);
                EXPECT_EQ(f->status, FrameStatus::Complete);
            }
        }
    }
    send(packets_.leader(25));
    send(packets_.payload(25, 1, 100, 100));
    send(packets_.payload(25, 2, 100, 100));
    ASSERT_TRUE(eventually([&] { return receiver_->stats().packets == 24 * 12 + 3; }));
    Instant asked = Clock::now();
    receiver_->stop();
    EXPECT_LT(Clock::now() - asked, 2s);
    EXPECT_EQ(receiver_->stats().completed_frames, 24u);
}

INSTANTIATE_TEST_SUITE_P(Pauses, ModerationTest,
                         ::testing::Values(Duration::zero(), Duration(50us), Duration(10s),
                                           Duration(-1s)));

TEST_F(RunnerTest, RequestsMissingPacketsFromTheDevice) {
    start(true);
    FrameChannel rx = receiver_->subscribe(4);
    send_frame(1, {4});
    pollfd pfd{device_.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
    Bytes command(64);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(device_.get(), command.data(), command.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
    ASSERT_EQ(n, 20);
    EXPECT_EQ(load_be16(&command[2]), 0x0040);
    EXPECT_EQ(load_be32(&command[12]), 4u);
    EXPECT_EQ(load_be32(&command[16]), 4u);
    EXPECT_EQ(from.sin_port, target_.sin_port);  // sent from the stream socket
    send(packets_.payload(1, 4, 100, 100));
    FramePtr f = next(rx);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->status, FrameStatus::Complete);
    EXPECT_TRUE(matches_pattern(*f));
    EXPECT_EQ(receiver_->stats().resent_packets, 1u);
    EXPECT_GE(receiver_->stats().resend_requests, 1u);
}

TEST_F(RunnerTest, QuietFrameTimesOutOnTheWorkersOwnClock) {
    start(true);
    FrameChannel rx = receiver_->subscribe(4);
    FrameChannel handover = receiver_->subscribe(0);  // nobody waits on it
    send_frame(1, {5, 6, 7, 8, 9, 10, 11});
    FramePtr f = next(rx);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->status, FrameStatus::Timeout);
    EXPECT_EQ(f->data_end, 400u);
    StreamStats s = receiver_->stats();
    EXPECT_EQ(s.timed_out_frames, 1u);
    EXPECT_EQ(s.failed_frames, 1u);
    EXPECT_EQ(s.missing_packets, 7u);
    // Counted after the delivery pass, which the first subscriber may see finish early.
    EXPECT_TRUE(eventually([&] { return receiver_->stats().frames_dropped == 1; }));
}

TEST_F(RunnerTest, LossyStreamIsRepairedByResendsFromTheDevice) {
    start(true, 40);
    FrameChannel rx = receiver_->subscribe(64);
    // The device answers every resend command by sending the packets again.
    std::atomic<bool> done{false};
    std::atomic<uint64_t> answered{0};
    std::thread device([&] {
        Bytes command(64);
        while (!done) {
            pollfd pfd{device_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) != 1) {
                continue;
            }
            ssize_t n = ::recv(device_.get(), command.data(), command.size(), 0);
            if (n != 20 || load_be16(&command[2]) != 0x0040) {
                continue;
            }
            uint64_t block = load_be16(&command[10]);
            for (uint32_t p = load_be32(&command[12]); p <= load_be32(&command[16]); ++p) {
                // Counted before sending: the frame may complete before send() returns.
                answered.fetch_add(1);
                send(p == 0    ? packets_.leader(block)
                     : p == 11 ? packets_.trailer(block, 11)
                               : packets_.payload(block, p, 100, 100));
            }
        }
    });
    struct Joiner {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Joiner() {
            done = true;
            thread.join();
        }
    } joiner{done, device};
    constexpr uint64_t kFrames = 30;
    uint64_t dropped = 0;
    uint64_t sent = 0;
    for (uint64_t b = 1; b <= kFrames; ++b) {
        // One packet lost per frame, leader and trailer included.
        std::set<uint32_t> lost = {static_cast<uint32_t>(b % 12)};
        dropped += lost.size();
        send_frame(b, lost);
        sent += 12 - lost.size();
        // Loopback has no flow control and a small default receive buffer: let the worker
        // take each frame before the next, so the only losses are the ones made here.
        ASSERT_TRUE(eventually([&] { return receiver_->stats().packets >= sent; }));
    }
    for (uint64_t b = 1; b <= kFrames; ++b) {
        FramePtr f = next(rx);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->frame_id, b);
        EXPECT_EQ(f->status, FrameStatus::Complete) << b;
        EXPECT_TRUE(matches_pattern(*f));
    }
    StreamStats s = receiver_->stats();
    EXPECT_EQ(s.completed_frames, kFrames);
    EXPECT_EQ(s.failed_frames, 0u);
    EXPECT_EQ(s.resent_packets, dropped);
    EXPECT_EQ(s.resend_requests, answered.load());
}

TEST(StreamRunnerSpawnTest, SetupFailuresAreThreadSpawnErrors) {
    StreamRunnerParams params;
    params.assembler = Harness::small_config();
    sockaddr_in device{};
    auto bad_socket = spawn_stream_runner(UniqueFd(), device, params);
    ASSERT_FALSE(bad_socket.ok());
    EXPECT_EQ(bad_socket.error().message(), "worker thread failed to start: Bad file descriptor");

    params.assembler.payload_size = std::numeric_limits<uint64_t>::max();
    auto no_memory = spawn_stream_runner(bind_udp("127.0.4.5"), device, params);
    ASSERT_FALSE(no_memory.ok());
    // Refused by the pool memory limit before any allocation, with the figures.
    EXPECT_EQ(no_memory.error().message().rfind(
                  "worker thread failed to start: frame pool of 4 buffers x 18446744073709551615 "
                  "bytes = more than 2^64 bytes exceeds the pool memory limit of ",
                  0),
              0u)
        << no_memory.error().message();

    // Below the limit, memory the system will not give is still an error, not an abort.
    params.assembler.payload_size = uint64_t{1} << 62;
    params.assembler.n_buffers = 1;
    params.assembler.pool_memory_limit = UINT64_MAX;
    auto refused = spawn_stream_runner(bind_udp("127.21.1.2"), device, params);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "worker thread failed to start: Cannot allocate memory");
}
