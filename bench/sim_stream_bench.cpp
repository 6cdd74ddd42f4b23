// Streaming throughput of the simulated camera against a bare sendmmsg loop: both send 8972-byte
// UDP datagrams over loopback to the same bare receiver; prints both packet rates and the ratio.
//
//   sim_stream_bench [seconds per run, default 2]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"
#include "unique_fd.hpp"

namespace {

using corvisk::UniqueFd;
using namespace corvisk::sim;

constexpr size_t kDatagram = 8972;  // packet size 9000 minus IP and UDP headers
constexpr uint32_t kPacketSize = 9000;

uint32_t ip_of(const char* s) {
    in_addr a{};
    inet_pton(AF_INET, s, &a);
    return ntohl(a.s_addr);
}

UniqueFd udp(const char* ip, uint16_t port = 0) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int size = 32 << 20;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ip_of(ip));
    sa.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Counts datagrams of the expected size until told to stop.
struct Receiver {
    UniqueFd fd = udp("127.0.0.1");
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> packets{0};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            constexpr unsigned kVlen = 64;
            std::vector<uint8_t> buf(kVlen * 9216);
            std::vector<iovec> iov(kVlen);
            std::vector<mmsghdr> msgs(kVlen);
            for (unsigned i = 0; i < kVlen; ++i) {
                iov[i] = iovec{buf.data() + i * 9216, 9216};
                msgs[i].msg_hdr = msghdr{};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            while (!stop.load()) {
                pollfd p{fd.get(), POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    continue;
                }
                int n = ::recvmmsg(fd.get(), msgs.data(), kVlen, MSG_DONTWAIT, nullptr);
                for (int i = 0; i < n; ++i) {
                    packets += msgs[i].msg_len == kDatagram ? 1 : 0;
                }
            }
        });
    }
    void finish() {
        stop = true;
        thread.join();
    }
};

struct Rate {
    double sent_pps;
    double received_pps;
};

Rate bare_sendmmsg(double seconds) {
    Receiver rx;
    rx.start();
    UniqueFd tx = udp("127.0.4.90");
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr.s_addr = htonl(ip_of("127.0.0.1"));
    dst.sin_port = htons(port_of(rx.fd.get()));
    constexpr unsigned kBatch = 256;
    std::vector<uint8_t> payload(kDatagram, 0x5A);
    std::vector<iovec> iov(kBatch, iovec{payload.data(), payload.size()});
    std::vector<mmsghdr> msgs(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        msgs[i].msg_hdr = msghdr{};
        msgs[i].msg_hdr.msg_name = &dst;
        msgs[i].msg_hdr.msg_namelen = sizeof(dst);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0;
    auto t0 = std::chrono::steady_clock::now();
    auto end = t0 + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        int n = ::sendmmsg(tx.get(), msgs.data(), kBatch, 0);
        sent += n > 0 ? static_cast<uint64_t>(n) : 0;
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the receiver drain
    rx.finish();
    return Rate{sent / elapsed, rx.packets / elapsed};
}

void write_reg(int fd, const sockaddr_in& dev, uint16_t id, uint32_t addr, uint32_t value) {
    uint8_t cmd[16] = {0x42, 0x01, 0x00, 0x82, 0x00, 0x08};
    corvisk::store_be16(cmd + 6, id);
    corvisk::store_be32(cmd + 8, addr);
    corvisk::store_be32(cmd + 12, value);
    ::sendto(fd, cmd, sizeof(cmd), 0, reinterpret_cast<const sockaddr*>(&dev), sizeof(dev));
    pollfd p{fd, POLLIN, 0};
    uint8_t ack[64];
    if (::poll(&p, 1, 1000) <= 0 || ::recv(fd, ack, sizeof(ack), 0) < 8 ||
        corvisk::load_be16(ack) != 0) {
        std::fprintf(stderr, "write 0x%x failed\n", addr);
        std::exit(1);
    }
}

Rate simulated_camera(double seconds) {
    Receiver rx;
    rx.start();
    SimConfig config;
    config.ip = "127.0.4.91";
    config.width = 2048;
    config.height = 1536;
    config.frame_rate = 0;  // as fast as possible
    SimCamera cam(config);
    if (!cam.start().ok()) {
        std::fprintf(stderr, "cannot start the simulated camera\n");
        std::exit(1);
    }
    UniqueFd ctl = udp("127.0.0.1");
    sockaddr_in dev{};
    dev.sin_family = AF_INET;
    dev.sin_addr.s_addr = htonl(ip_of(config.ip.c_str()));
    dev.sin_port = htons(cam.control_endpoint().port);
    uint16_t id = 1;
    write_reg(ctl.get(), dev, id++, reg::kCcp, 2);
    write_reg(ctl.get(), dev, id++, reg::kGvcpConfig, 1);  // no heartbeat during the run
    write_reg(ctl.get(), dev, id++, reg::kScda, ip_of("127.0.0.1"));
    write_reg(ctl.get(), dev, id++, reg::kScp, port_of(rx.fd.get()));
    write_reg(ctl.get(), dev, id++, reg::kScps, kPacketSize);
    uint64_t before = cam.counters().packets_sent;
    uint64_t rx_before = rx.packets;
    auto t0 = std::chrono::steady_clock::now();
    write_reg(ctl.get(), dev, id++, reg::kAcquisitionStart, 1);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    uint64_t sent = cam.counters().packets_sent - before;
    uint64_t received = rx.packets - rx_before;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    write_reg(ctl.get(), dev, id++, reg::kAcquisitionStop, 1);
    rx.finish();
    cam.stop();
    return Rate{sent / elapsed, received / elapsed};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (seconds <= 0) {
        seconds = 2.0;
    }
    Rate bare = bare_sendmmsg(seconds);
    Rate sim = simulated_camera(seconds);
    std::printf(
        "bare sendmmsg loop : sent %10.0f pkt/s, received %10.0f pkt/s (%zu-byte datagrams)\n",
        bare.sent_pps, bare.received_pps, kDatagram);
    std::printf("corvisk-sim stream : sent %10.0f pkt/s, received %10.0f pkt/s\n", sim.sent_pps,
                sim.received_pps);
    std::printf("ratio sim/bare     : sent %.1f%%, received %.1f%% (target >= 90%%)\n",
                100.0 * sim.sent_pps / bare.sent_pps, 100.0 * sim.received_pps / bare.received_pps);
    return 0;
}
