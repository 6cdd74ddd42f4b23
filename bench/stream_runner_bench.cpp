// Stream worker on loopback against a bare recvfrom loop: a sender thread streams 2048x2048
// Mono8 frames in 9000-byte packets as fast as it can, first to a plain receiving thread, then
// to the stream worker. Prints packet rates, frame counts and receiver CPU per GB for both.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/runner.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kPayload = 2048 * 2048;
constexpr uint64_t kPacketSize = 9000;
constexpr uint64_t kPer = kPacketSize - gvsp::kStandardOverhead;
constexpr int kFrames = 300;
// Pause between frames (argv[1] in microseconds; default 1000, 0 = flat out).
int g_gap_us = 1000;

double thread_cpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}
double process_cpu() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

UniqueFd bound(const char* ip, int rcvbuf) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rcvbuf > 0) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    return fd;
}
sockaddr_in name_of(const UniqueFd& fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return a;
}

std::vector<std::vector<uint8_t>> frame_packets() {
    uint64_t count = gvsp::packet_count_for(kPayload, kPer);
    std::vector<std::vector<uint8_t>> out;
    for (uint64_t p = 0; p < count; ++p) {
        uint8_t format = p == 0 ? gvsp::kLeader : p + 1 == count ? gvsp::kTrailer : gvsp::kPayload;
        uint64_t length = p == 0           ? 36
                          : p + 1 == count ? 8
                                           : std::min(kPer, kPayload - (p - 1) * kPer);
        std::vector<uint8_t> d(8 + length, 0x5A);
        std::fill(d.begin(), d.begin() + 8, 0);
        store_be32(&d[4], static_cast<uint32_t>(p));
        d[4] = format;
        if (p == 0) {
            std::fill(d.begin() + 8, d.end(), 0);
            store_be16(&d[8 + 2], 1);
        }
        out.push_back(std::move(d));
    }
    return out;
}

struct SendResult {
    double seconds = 0;
    double cpu = 0;
    uint64_t packets = 0;
};

// Sends kFrames frames with g_gap_us between frames, so the sender does not simply outrun the
// receiving core on a shared machine (the gap is the same for both receivers).
SendResult send_frames(const UniqueFd& from, const sockaddr_in& to) {
    auto packets = frame_packets();
    SendResult r;
    double cpu0 = thread_cpu();
    auto t0 = std::chrono::steady_clock::now();
    for (int f = 1; f <= kFrames; ++f) {
        for (auto& d : packets) {
            store_be16(&d[2], static_cast<uint16_t>(f));
            ::sendto(from.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
            ++r.packets;
        }
        if (g_gap_us > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(g_gap_us));
        }
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.cpu = thread_cpu() - cpu0;
    return r;
}

void report(const char* name, uint64_t packets, uint64_t bytes, double seconds, double cpu,
            uint64_t sent) {
    std::printf("%-8s %8lu/%lu packets (%.1f%%) %7.0f MB/s %7.0f kpackets/s, CPU %.2f s/GB\n", name,
                static_cast<unsigned long>(packets), static_cast<unsigned long>(sent),
                100.0 * packets / sent, bytes / seconds / 1e6, packets / seconds / 1e3,
                cpu / (bytes / 1e9));
}

void bare_loop() {
    UniqueFd device = bound("127.0.4.101", 0);
    UniqueFd rx = bound("127.0.4.102", 8 << 20);
    timeval tv{0, 200'000};
    ::setsockopt(rx.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::atomic<uint64_t> packets{0}, bytes{0};
    std::atomic<double> cpu{0};
    std::thread receiver([&] {
        std::vector<uint8_t> buf(65535);
        double c0 = thread_cpu();
        for (;;) {
            ssize_t n = ::recvfrom(rx.get(), buf.data(), buf.size(), 0, nullptr, nullptr);
            if (n < 0) {
                break;  // 200 ms of silence: the sender is done
            }
            packets.fetch_add(1, std::memory_order_relaxed);
            bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        }
        cpu = thread_cpu() - c0 - 0.0;
    });
    SendResult s = send_frames(device, name_of(rx));
    receiver.join();
    report("bare", packets, bytes, s.seconds, cpu, s.packets);
}

void runner_loop() {
    UniqueFd device = bound("127.0.4.103", 0);
    UniqueFd rx = bound("127.0.4.104", 8 << 20);
    sockaddr_in to = name_of(rx);
    StreamRunnerParams params;
    params.assembler.payload_size = kPayload;
    params.assembler.packet_size = kPacketSize;
    params.assembler.n_buffers = 8;
    params.assembler.resend_enabled = false;
    params.channel = 9;
    double cpu_before = process_cpu();
    auto spawned = spawn_stream_runner(std::move(rx), name_of(device), params);
    if (!spawned.ok()) {
        std::fprintf(stderr, "spawn: %s\n", spawned.error().message().c_str());
        return;
    }
    StreamReceiver receiver = std::move(spawned).value();
    FrameChannel frames = receiver.subscribe(64);
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        FramePtr f;
        while (!done) {
            frames.recv_timeout(f, 50ms);
            f.reset();
        }
    });
    double consumer_cpu = 0;
    SendResult s = send_frames(device, to);
    while (receiver.stats().packets < s.packets &&
           receiver.stats().packets + receiver.stats().ignored_packets < s.packets) {
        auto before = receiver.stats().packets;
        std::this_thread::sleep_for(200ms);
        if (receiver.stats().packets == before) {
            break;
        }
    }
    done = true;
    consumer.join();
    StreamStats st = receiver.stats();
    receiver.stop();
    double cpu = process_cpu() - cpu_before - s.cpu - consumer_cpu;
    report("runner", st.packets, st.bytes, s.seconds, cpu, s.packets);
    std::printf("runner   frames completed %lu failed %lu dropped %lu underruns %lu\n",
                static_cast<unsigned long>(st.completed_frames),
                static_cast<unsigned long>(st.failed_frames + st.aborted_frames),
                static_cast<unsigned long>(st.frames_dropped),
                static_cast<unsigned long>(st.underruns));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        g_gap_us = std::atoi(argv[1]);
    }
    bare_loop();
    runner_loop();
    return 0;
}
