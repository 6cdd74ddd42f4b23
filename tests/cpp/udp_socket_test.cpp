// The shared UDP socket set-up on real loopback sockets: binding, bound and routed local
// addresses, read timeouts that always bound a receive, and receive-buffer requests.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <cerrno>
#include <chrono>

#include "gige/udp_socket.hpp"
#include "time.hpp"

namespace corvisk::gige {
namespace {

using namespace std::chrono_literals;

SocketAddress at(const char* ip, uint16_t port = 0) {
    return SocketAddress{*IpAddress::parse(ip), port};
}

TEST(UdpSocketTest, BindsAndReportsTheBoundAddress) {
    auto fd = udp::open_bound(at("127.21.0.1"));
    ASSERT_TRUE(fd.ok()) << fd.error();
    auto local = udp::local_address(fd->get());
    ASSERT_TRUE(local.ok());
    EXPECT_EQ(local->ip, *IpAddress::parse("127.21.0.1"));
    EXPECT_NE(local->port, 0);
    // The same address and port cannot be bound twice: the errno comes back.
    auto again = udp::open_bound(*local);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error(), EADDRINUSE);
}

TEST(UdpSocketTest, NonBlockingAndBroadcastFlagsAreApplied) {
    auto fd = udp::open_bound(at("127.21.0.2"), {.nonblocking = true, .broadcast = true});
    ASSERT_TRUE(fd.ok());
    char byte = 0;
    EXPECT_LT(::recv(fd->get(), &byte, 1, 0), 0);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(fd->get(), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_EQ(on, 1);
}

TEST(UdpSocketTest, RouteSourceIsTheLoopbackAddressWithoutAPort) {
    auto source = udp::route_source(at("127.21.0.3", 3956));
    ASSERT_TRUE(source.ok());
    EXPECT_TRUE(source->ip.is_v4());
    EXPECT_EQ(source->ip.v4_octets()[0], 127);
    EXPECT_EQ(source->port, 0);
}

TEST(UdpSocketTest, ReadTimeoutBoundsAReceiveEvenWhenZero) {
    auto fd = udp::open_bound(at("127.21.0.4"));
    ASSERT_TRUE(fd.ok());
    for (Duration timeout : {Duration(0), Duration(10ms)}) {
        ASSERT_TRUE(udp::set_read_timeout(fd->get(), timeout).ok());
        char byte = 0;
        Instant start = Clock::now();
        EXPECT_LT(::recv(fd->get(), &byte, 1, 0), 0);
        EXPECT_LT(Clock::now() - start, 2s);
    }
    EXPECT_EQ(udp::set_read_timeout(-1, 1ms).error(), EBADF);
}

TEST(UdpSocketTest, ReceiveBufferReportsWhatTheSystemGranted) {
    auto fd = udp::open_bound(at("127.21.0.5"));
    ASSERT_TRUE(fd.ok());
    udp::ReceiveBufferResult r = udp::set_receive_buffer(fd->get(), 300000);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.granted, udp::receive_buffer(fd->get()));
    EXPECT_GT(r.granted, 0u);
    EXPECT_EQ(udp::set_receive_buffer(-1, 4096).error, EBADF);
}

}  // namespace
}  // namespace corvisk::gige
