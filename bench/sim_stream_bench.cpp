// Streaming throughput of the simulated camera against a bare sendmmsg loop: both send 8972-byte
// UDP datagrams over loopback to the same bare receiver; prints both packet rates and the ratio.
//
//   sim_stream_bench [seconds per run, default 1] [rounds, default 5]
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

struct Totals {
    uint64_t sent = 0;
    uint64_t received = 0;
    double seconds = 0;
};

// Bursts of a bare sendmmsg loop to `rx`.
class BareSender {
  public:
    explicit BareSender(uint16_t port) : payload_(kDatagram, 0x5A), iov_(kBatch), msgs_(kBatch) {
        dst_.sin_family = AF_INET;
        dst_.sin_addr.s_addr = htonl(ip_of("127.0.0.1"));
        dst_.sin_port = htons(port);
        for (unsigned i = 0; i < kBatch; ++i) {
            iov_[i] = iovec{payload_.data(), payload_.size()};
            msgs_[i].msg_hdr = msghdr{};
            msgs_[i].msg_hdr.msg_name = &dst_;
            msgs_[i].msg_hdr.msg_namelen = sizeof(dst_);
            msgs_[i].msg_hdr.msg_iov = &iov_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
        }
    }
    uint64_t run(double seconds) {
        uint64_t sent = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            int n = ::sendmmsg(tx_.get(), msgs_.data(), kBatch, 0);
            sent += n > 0 ? static_cast<uint64_t>(n) : 0;
        }
        return sent;
    }

  private:
    static constexpr unsigned kBatch = 256;
    UniqueFd tx_ = udp("127.0.4.90");
    sockaddr_in dst_{};
    std::vector<uint8_t> payload_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> msgs_;
};

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

// The simulated camera streaming 2048 x 1536 Mono8 frames, packet size 9000, no frame pacing.
class SimSender {
  public:
    explicit SimSender(uint16_t port) : cam_(config()) {
        if (!cam_.start().ok()) {
            std::fprintf(stderr, "cannot start the simulated camera\n");
            std::exit(1);
        }
        dev_.sin_family = AF_INET;
        dev_.sin_addr.s_addr = htonl(ip_of("127.0.4.91"));
        dev_.sin_port = htons(cam_.control_endpoint().port);
        write(reg::kCcp, 2);
        write(reg::kGvcpConfig, 1);  // no heartbeat during the run
        write(reg::kScda, ip_of("127.0.0.1"));
        write(reg::kScp, port);
        write(reg::kScps, kPacketSize);
    }
    uint64_t run(double seconds) {
        uint64_t before = cam_.counters().packets_sent;
        write(reg::kAcquisitionStart, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        write(reg::kAcquisitionStop, 1);
        return cam_.counters().packets_sent - before;
    }

  private:
    static SimConfig config() {
        SimConfig c;
        c.ip = "127.0.4.91";
        c.width = 2048;
        c.height = 1536;
        c.frame_rate = 0;  // as fast as possible
        return c;
    }
    void write(uint32_t addr, uint32_t value) { write_reg(ctl_.get(), dev_, id_++, addr, value); }

    SimCamera cam_;
    UniqueFd ctl_ = udp("127.0.0.1");
    sockaddr_in dev_{};
    uint16_t id_ = 1;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (seconds <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: sim_stream_bench [seconds per run] [rounds]\n");
        return 2;
    }
    Receiver bare_rx, sim_rx;
    bare_rx.start();
    sim_rx.start();
    BareSender bare(port_of(bare_rx.fd.get()));
    SimSender sim(port_of(sim_rx.fd.get()));
    // Alternate the two in short rounds so a busy neighbour on a shared machine weighs on both.
    Totals b, s;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        uint64_t rx0 = bare_rx.packets;
        b.sent += bare.run(seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // receiver drains
        b.received += bare_rx.packets - rx0;
        b.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        t0 = std::chrono::steady_clock::now();
        rx0 = sim_rx.packets;
        s.sent += sim.run(seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s.received += sim_rx.packets - rx0;
        s.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    bare_rx.finish();
    sim_rx.finish();
    double bare_sent = b.sent / b.seconds, bare_recv = b.received / b.seconds;
    double sim_sent = s.sent / s.seconds, sim_recv = s.received / s.seconds;
    std::printf("%d rounds of %.1f s each, %zu-byte datagrams over loopback\n", rounds, seconds,
                kDatagram);
    std::printf("bare sendmmsg loop : sent %10.0f pkt/s, received %10.0f pkt/s\n", bare_sent,
                bare_recv);
    std::printf("corvisk-sim stream : sent %10.0f pkt/s, received %10.0f pkt/s\n", sim_sent,
                sim_recv);
    std::printf("ratio sim/bare     : sent %.1f%%, received %.1f%% (target >= 90%%)\n",
                100.0 * sim_sent / bare_sent, 100.0 * sim_recv / bare_recv);
    return 0;
}
