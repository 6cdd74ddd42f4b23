// UDP socket set-up shared by every socket the transport opens (control, stream, discovery):
// create, bind, learn the bound or routed local address, receive buffer and read timeout.
// Failures are the errno value of the step that failed, so each caller words its own error.
#pragma once

#include <cstdint>

#include "gige/address.hpp"
#include "result.hpp"
#include "time.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige::udp {

template <class T>
using OsResult = Result<T, int>;

struct SocketFlags {
    bool nonblocking = false;
    bool broadcast = false;      // SO_BROADCAST, for discovery beacons
    bool reuse_address = false;  // SO_REUSEADDR: several receivers of one multicast group
};

// A UDP socket of the address family (close-on-exec).
OsResult<UniqueFd> open(int family, SocketFlags flags = {});

// A UDP socket of the address's family bound to it (port 0: the system picks one).
OsResult<UniqueFd> open_bound(const SocketAddress& local, SocketFlags flags = {});

// The address a socket is bound to (getsockname). EAFNOSUPPORT for a family other than IPv4
// and IPv6.
OsResult<SocketAddress> local_address(int fd);

// The local IP the system routes to `peer` from, with port 0: a throw-away socket is bound to
// the unspecified address and connected to the peer, which sends nothing.
OsResult<SocketAddress> route_source(const SocketAddress& peer);

// SO_RCVTIMEO; a zero duration is rounded up to one microsecond (zero would mean "no limit").
OsResult<void> set_read_timeout(int fd, Duration timeout);

// The usable receive buffer the kernel granted (it reports twice the usable size, counting its
// bookkeeping), 0 when it cannot be read.
uint64_t receive_buffer(int fd);

struct ReceiveBufferResult {
    int error = 0;         // errno of a refused SO_RCVBUF, 0 otherwise
    uint64_t granted = 0;  // what the socket has afterwards
};

// Asks for a receive buffer of `requested` bytes (capped at INT_MAX). Linux silently limits
// SO_RCVBUF to net.core.rmem_max; a privileged process may go beyond it with SO_RCVBUFFORCE,
// which is tried when the plain request fell short.
ReceiveBufferResult set_receive_buffer(int fd, uint64_t requested);

}  // namespace corvisk::gige::udp
