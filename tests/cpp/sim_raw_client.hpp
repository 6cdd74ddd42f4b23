// A bare UDP client for the simulated-camera tests: builds GVCP commands by hand and reads
// answers with deadlines, independent of the library's own codecs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "sim_camera.hpp"
#include "unique_fd.hpp"

namespace corvisk::sim::testing {

inline uint32_t ip_of(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return ntohl(a.s_addr);
}

class RawUdp {
  public:
    explicit RawUdp(const std::string& local_ip, uint16_t port = 0) {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        int size = 16 << 20;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(ip_of(local_ip));
        sa.sin_port = htons(port);
        bound_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        socklen_t len = sizeof(sa);
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        local_ = Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
    }
    bool bound() const { return bound_; }
    Endpoint local() const { return local_; }
    int fd() const { return fd_.get(); }

    void send(const std::vector<uint8_t>& bytes, Endpoint to) const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(to.ip);
        sa.sin_port = htons(to.port);
        ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                 sizeof(sa));
    }

    // The next datagram within timeout, or nothing.
    std::optional<std::vector<uint8_t>> recv(int timeout_ms, Endpoint* from = nullptr) const {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> buf(65536);
        sockaddr_in sa{};
        socklen_t len = sizeof(sa);
        ssize_t n = ::recvfrom(fd_.get(), buf.data(), buf.size(), 0,
                               reinterpret_cast<sockaddr*>(&sa), &len);
        if (n < 0) {
            return std::nullopt;
        }
        buf.resize(static_cast<size_t>(n));
        if (from) {
            *from = Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
        }
        return buf;
    }

  private:
    UniqueFd fd_;
    Endpoint local_;
    bool bound_ = false;
};

inline std::vector<uint8_t> gvcp_cmd(uint8_t flags, uint16_t code, uint16_t req_id,
                                     const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> out(8 + payload.size());
    out[0] = 0x42;
    out[1] = flags;
    store_be16(out.data() + 2, code);
    store_be16(out.data() + 4, static_cast<uint16_t>(payload.size()));
    store_be16(out.data() + 6, req_id);
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

inline std::vector<uint8_t> words(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out(values.size() * 4);
    size_t i = 0;
    for (uint32_t v : values) {
        store_be32(out.data() + 4 * i++, v);
    }
    return out;
}

struct Ack {
    uint16_t status = 0xFFFF;
    uint16_t code = 0;
    uint16_t id = 0;
    std::vector<uint8_t> payload;
    bool ok() const { return status == 0; }
    uint32_t word(size_t i) const { return load_be32(payload.data() + 4 * i); }
};

inline std::optional<Ack> parse_ack(const std::vector<uint8_t>& d) {
    if (d.size() < 8) {
        return std::nullopt;
    }
    Ack a{load_be16(d.data()), load_be16(d.data() + 2), load_be16(d.data() + 6), {}};
    size_t len = load_be16(d.data() + 4);
    if (len > d.size() - 8) {
        return std::nullopt;
    }
    a.payload.assign(d.begin() + 8, d.begin() + 8 + static_cast<ptrdiff_t>(len));
    return a;
}

// A controller-side helper: one socket, request ids, and the final acknowledge of each command
// (PENDING_ACKs are skipped).
class RawGvcp {
  public:
    RawGvcp(const std::string& local_ip, Endpoint device) : udp_(local_ip), device_(device) {}
    RawUdp& udp() { return udp_; }

    std::optional<Ack> transact(uint16_t code, const std::vector<uint8_t>& payload,
                                int timeout_ms = 500) {
        uint16_t id = ++req_id_;
        udp_.send(gvcp_cmd(0x01, code, id, payload), device_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto d = udp_.recv(static_cast<int>(left.count()) + 1);
            if (!d) {
                break;
            }
            auto a = parse_ack(*d);
            if (a && a->id == id && a->code != 0x0089) {
                return a;
            }
        }
        return std::nullopt;
    }
    std::optional<Ack> read_regs(std::initializer_list<uint32_t> addrs) {
        return transact(0x0080, words(addrs));
    }
    std::optional<Ack> write_reg(uint32_t addr, uint32_t value) {
        return transact(0x0082, words({addr, value}));
    }
    std::optional<uint32_t> read_reg(uint32_t addr) {
        auto a = read_regs({addr});
        if (!a || !a->ok() || a->payload.size() < 4) {
            return std::nullopt;
        }
        return a->word(0);
    }
    bool write(uint32_t addr, uint32_t value) {
        auto a = write_reg(addr, value);
        return a && a->ok();
    }
    std::optional<Ack> read_mem(uint32_t addr, uint32_t count) {
        return transact(0x0084, words({addr, count}));
    }
    // Reads `length` bytes in READMEM-sized pieces.
    std::optional<std::vector<uint8_t>> read_block(uint32_t addr, uint32_t length) {
        std::vector<uint8_t> out;
        while (out.size() < length) {
            uint32_t want = std::min<uint32_t>(512, (length - out.size() + 3) & ~3u);
            auto a = read_mem(addr + static_cast<uint32_t>(out.size()), want);
            if (!a || !a->ok() || a->payload.size() != 4 + want) {
                return std::nullopt;
            }
            out.insert(out.end(), a->payload.begin() + 4, a->payload.end());
        }
        out.resize(length);
        return out;
    }

  private:
    RawUdp udp_;
    Endpoint device_;
    uint16_t req_id_ = 0;
};

// Polls `pred` until it holds or the deadline passes.
template <class Pred>
bool eventually(Pred pred, int timeout_ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) {
            return true;
        }
        pollfd none{};
        ::poll(&none, 0, 2);
    }
    return pred();
}

}  // namespace corvisk::sim::testing
