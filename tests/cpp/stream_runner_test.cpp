// The stream worker thread on loopback: a raw UDP "device" sends GVSP datagrams to the stream
// socket; frames are delivered, counted, resent on request, aborted on stop, and outlive it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <fstream>
#include <string>

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
    void start(bool resend) {
        device_ = bind_udp("127.0.4.1");
        UniqueFd stream = bind_udp("127.0.4.2");
        target_ = address_of(stream);
        StreamRunnerParams params;
        params.assembler = Harness::small_config();
        params.assembler.resend_enabled = resend;
        params.channel = 7;
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
    EXPECT_EQ(rx.recv_timeout(none, 5s), chan::RecvResult::Disconnected);  // at once
    EXPECT_TRUE(receiver_->subscribe(1).is_disconnected());

    receiver_.reset();
    aborted.reset();
    EXPECT_TRUE(matches_pattern(*held[2]));  // still readable after the stream is gone
    held.clear();                            // buffers freed, not returned
}

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
