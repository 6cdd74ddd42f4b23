// UDP socket set-up over the socket API.
#include "gige/udp_socket.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <algorithm>
#include <cerrno>
#include <climits>

namespace corvisk::gige::udp {

OsResult<UniqueFd> open(int family, SocketFlags flags) {
    int type = SOCK_DGRAM | SOCK_CLOEXEC | (flags.nonblocking ? SOCK_NONBLOCK : 0);
    UniqueFd fd(::socket(family, type, 0));
    if (!fd.is_valid()) {
        return Err{errno};
    }
    const int on = 1;
    if (flags.broadcast && ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        return Err{errno};
    }
    if (flags.reuse_address &&
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return Err{errno};
    }
    return fd;
}

OsResult<UniqueFd> open_bound(const SocketAddress& local, SocketFlags flags) {
    UniqueFd fd = CVK_TRY(open(local.ip.family(), flags));
    sockaddr_storage storage{};
    socklen_t len = local.to_sockaddr(storage);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&storage), len) != 0) {
        return Err{errno};
    }
    return fd;
}

OsResult<SocketAddress> local_address(int fd) {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        return Err{errno};
    }
    auto addr = SocketAddress::from_sockaddr(storage);
    if (!addr) {
        return Err{EAFNOSUPPORT};
    }
    return *addr;
}

OsResult<SocketAddress> route_source(const SocketAddress& peer) {
    UniqueFd fd = CVK_TRY(open_bound(SocketAddress{IpAddress::unspecified(peer.ip.family()), 0}));
    sockaddr_storage storage{};
    socklen_t len = peer.to_sockaddr(storage);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&storage), len) != 0) {
        return Err{errno};
    }
    SocketAddress local = CVK_TRY(local_address(fd.get()));
    return SocketAddress{local.ip, 0};
}

OsResult<void> set_read_timeout(int fd, Duration timeout) {
    auto us = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count(), 1);
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return Err{errno};
    }
    return {};
}

uint64_t receive_buffer(int fd) {
    int effective = 0;
    socklen_t len = sizeof effective;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &len) != 0 || effective < 0) {
        return 0;
    }
    return static_cast<uint64_t>(effective) / 2;
}

ReceiveBufferResult set_receive_buffer(int fd, uint64_t requested) {
    int value = static_cast<int>(std::min<uint64_t>(requested, INT_MAX));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) != 0) {
        return {errno, receive_buffer(fd)};
    }
    uint64_t granted = receive_buffer(fd);
    if (granted < static_cast<uint64_t>(value)) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof value);
        granted = receive_buffer(fd);
    }
    return {0, granted};
}

}  // namespace corvisk::gige::udp
