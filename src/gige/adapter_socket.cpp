// Adapter sockets: wildcard-bound on the adapter's interface so broadcast answers are heard,
// with the arrival interface of every datagram checked through IP_PKTINFO.
#include "gige/adapter_socket.hpp"

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "gige/proto/bootstrap.hpp"
#include "gige/udp_socket.hpp"

namespace corvisk::gige {
namespace {

// A UDP socket with broadcast enabled and IP_PKTINFO asked for, bound to (ip, port); on
// `device` when one is named (best effort: tying a socket to an interface may need privileges,
// and the arrival check in `receive` does the same job without them).
Result<UniqueFd, int> make_udp_socket(const std::array<uint8_t, 4>& ip, uint16_t port,
                                      const std::string& device) {
    auto fd = CVK_TRY(udp::open(AF_INET, udp::SocketFlags{.broadcast = true}));
    if (!device.empty()) {
        (void)::setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                           static_cast<socklen_t>(device.size()));
    }
    const sockaddr_in local = to_sockaddr(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return Err{errno};
    }
    const int on = 1;
    if (::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        return Err{errno};
    }
    return fd;
}

}  // namespace

sockaddr_in to_sockaddr(const std::array<uint8_t, 4>& ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr.s_addr, ip.data(), 4);
    return sa;
}

std::array<uint8_t, 4> octets_of(const sockaddr_in& sa) {
    std::array<uint8_t, 4> ip{};
    std::memcpy(ip.data(), &sa.sin_addr.s_addr, 4);
    return ip;
}

std::string format_endpoint(const sockaddr_in& sa) {
    return fmt::format("{}:{}", bootstrap::format_ip(octets_of(sa)), ntohs(sa.sin_port));
}

Result<AdapterSocket, int> AdapterSocket::open(const NetworkAdapter& adapter, uint16_t local_port) {
    const unsigned ifindex = adapter.name.empty() ? 0 : ::if_nametoindex(adapter.name.c_str());
    if (ifindex != 0) {
        auto fd = make_udp_socket({0, 0, 0, 0}, local_port, adapter.name);
        if (fd) {
            return AdapterSocket(adapter, std::move(*fd), ifindex);
        }
        // A fixed local port already taken on the wildcard address (two addresses of one
        // interface): the adapter still works for unicast answers.
    }
    auto fd = make_udp_socket(adapter.ip, local_port, {});
    if (!fd) {
        return Err{fd.error()};
    }
    return AdapterSocket(adapter, std::move(*fd), 0);
}

Result<void, int> AdapterSocket::send_to(std::span<const uint8_t> bytes,
                                         const sockaddr_in& dest) const {
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&dest);
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (ifindex_ != 0) {
        // Out of this interface, from this adapter's address, whatever the routing table says:
        // the limited broadcast otherwise leaves by the default route's interface.
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(ifindex_);
        std::memcpy(&info.ipi_spec_dst.s_addr, adapter_.ip.data(), 4);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (::sendmsg(fd_.get(), &msg, 0) < 0) {
        return Err{errno};
    }
    return {};
}

std::optional<Received> AdapterSocket::receive(std::span<uint8_t> buffer, int wait_ms,
                                               int& error) const {
    error = 0;
    pollfd pfd{fd_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, wait_ms) <= 0) {
        return std::nullopt;
    }
    Received out;
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + 64] = {};
    msghdr msg{};
    msg.msg_name = &out.source;
    msg.msg_namelen = sizeof out.source;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_.get(), &msg, MSG_DONTWAIT);
    if (n < 0) {
        const int err = errno;
        error = (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT || err == EINTR) ? 0 : err;
        return std::nullopt;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr && ifindex_ != 0;
         c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            if (static_cast<unsigned>(info.ipi_ifindex) != ifindex_) {
                return std::nullopt;  // heard through another interface: not this adapter's
            }
        }
    }
    out.size = static_cast<size_t>(n);
    return out;
}

}  // namespace corvisk::gige
