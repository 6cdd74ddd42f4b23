// A scripted GVCP peer for control-channel tests: a UDP socket on its own loopback address
// that the test drives by hand (receive one command, check it, answer it exactly as wanted), so
// retries, PENDING_ACKs, late and malformed answers can be staged byte for byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.hpp"
#include "gige/address.hpp"
#include "gige/proto/gvcp.hpp"
#include "time.hpp"
#include "unique_fd.hpp"

namespace corvisk::testing {

using Bytes = std::vector<uint8_t>;

// One received command.
struct Command {
    Bytes raw;
    uint8_t flags = 0;
    uint16_t code = 0;
    uint16_t req_id = 0;
    Bytes payload;
    sockaddr_in from{};

    uint32_t word(size_t i) const { return load_be32(payload.data() + 4 * i); }
};

inline Bytes make_ack(uint16_t status, uint16_t code, uint16_t ack_id, const Bytes& payload = {}) {
    Bytes out(8 + payload.size());
    store_be16(out.data(), status);
    store_be16(out.data() + 2, code);
    store_be16(out.data() + 4, static_cast<uint16_t>(payload.size()));
    store_be16(out.data() + 6, ack_id);
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

inline Bytes be32s(std::initializer_list<uint32_t> values) {
    Bytes out(4 * values.size());
    size_t i = 0;
    for (uint32_t v : values) {
        store_be32(out.data() + 4 * i++, v);
    }
    return out;
}

class ScriptedDevice {
  public:
    // Binds ip:port (port 3956 by default).
    explicit ScriptedDevice(const std::string& ip, uint16_t port = gvcp::kGvcpPort) : ip_(ip) {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        int one = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ADD_FAILURE() << "cannot bind " << ip << ": " << std::strerror(errno);
        }
    }

    gige::SocketAddress address() const { return {*gige::IpAddress::parse(ip_), gvcp::kGvcpPort}; }

    // The next datagram within `timeout`, or nothing.
    std::optional<Command> recv(Duration timeout = std::chrono::seconds(2)) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, ms_until(deadline_after(timeout), 60'000)) <= 0) {
            return std::nullopt;
        }
        Command c;
        c.raw.resize(65535);
        socklen_t len = sizeof c.from;
        ssize_t n = ::recvfrom(fd_.get(), c.raw.data(), c.raw.size(), 0,
                               reinterpret_cast<sockaddr*>(&c.from), &len);
        if (n < 8) {
            return std::nullopt;
        }
        c.raw.resize(static_cast<size_t>(n));
        c.flags = c.raw[1];
        c.code = load_be16(c.raw.data() + 2);
        c.req_id = load_be16(c.raw.data() + 6);
        c.payload.assign(c.raw.begin() + 8, c.raw.end());
        return c;
    }

    // The next command, failing the test when none arrives.
    Command expect(Duration timeout = std::chrono::seconds(2)) {
        auto c = recv(timeout);
        EXPECT_TRUE(c.has_value()) << "no command arrived";
        return c.value_or(Command{});
    }

    // The next command that is not a heartbeat (READREG of CCP alone); heartbeats on the way
    // are answered with control granted.
    Command expect_skipping_heartbeats(Duration timeout = std::chrono::seconds(2)) {
        Instant deadline = deadline_after(timeout);
        for (;;) {
            Command c = expect(deadline - Clock::now());
            if (!is_heartbeat(c)) {
                return c;
            }
            answer(c, make_ack(0, gvcp::kReadRegAck, c.req_id, be32s({2})));
        }
    }

    static bool is_heartbeat(const Command& c) {
        return c.code == gvcp::kReadRegCmd && c.payload.size() == 4 && c.word(0) == 0x0A00;
    }

    void answer(const Command& to, const Bytes& datagram) {
        ::sendto(fd_.get(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to.from), sizeof to.from);
    }

    // True when nothing arrives for `quiet`.
    bool silent_for(Duration quiet) { return !recv(quiet).has_value(); }

  private:
    std::string ip_;
    UniqueFd fd_;
};

}  // namespace corvisk::testing
