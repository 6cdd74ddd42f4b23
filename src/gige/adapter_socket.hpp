// A UDP socket that speaks on one network adapter and hears everything that comes back on it:
// unicast answers to the adapter's address and answers sent to the limited (255.255.255.255) or
// the subnet-directed broadcast address. A device on the wrong subnet can only answer by
// broadcast, and on Linux a socket bound to a unicast address never receives broadcasts, so the
// socket binds the wildcard address on the adapter's interface and checks where each datagram
// arrived. Used by discovery and by IP configuration; private to one call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <netinet/in.h>

#include "error.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

struct NetworkAdapter {
    std::string name;
    std::array<uint8_t, 4> ip{};
    std::array<uint8_t, 4> netmask{};
    std::array<uint8_t, 4> broadcast{};  // reported by the system, else ip | ~netmask
};

sockaddr_in to_sockaddr(const std::array<uint8_t, 4>& ip, uint16_t port);
std::array<uint8_t, 4> octets_of(const sockaddr_in& sa);
std::string format_endpoint(const sockaddr_in& sa);

// One received datagram: its size and source.
struct Received {
    size_t size = 0;
    sockaddr_in source{};
};

class AdapterSocket {
  public:
    // Binds (0.0.0.0, local_port) on the adapter's interface when the adapter names one; an
    // adapter without a system interface (or a bind the system refuses) gets a socket bound to
    // (adapter.ip, local_port), which hears unicast answers only. Broadcast is enabled. Fails
    // with the errno of the step that failed.
    static Result<AdapterSocket, int> open(const NetworkAdapter& adapter, uint16_t local_port);

    // Sends from the adapter's address out of its interface; the errno on failure.
    Result<void, int> send_to(std::span<const uint8_t> bytes, const sockaddr_in& dest) const;
    // Waits up to wait_ms for one datagram that arrived on this adapter. Nothing on timeout, on a
    // datagram from another interface, or on error (`error` then holds the errno, else 0).
    std::optional<Received> receive(std::span<uint8_t> buffer, int wait_ms, int& error) const;

    const NetworkAdapter& adapter() const { return adapter_; }
    // True when broadcast answers reach this socket.
    bool hears_broadcast() const { return ifindex_ != 0; }

  private:
    AdapterSocket(NetworkAdapter adapter, UniqueFd fd, unsigned ifindex)
        : adapter_(std::move(adapter)), fd_(std::move(fd)), ifindex_(ifindex) {}

    NetworkAdapter adapter_;
    UniqueFd fd_;
    unsigned ifindex_ = 0;  // interface the socket hears on; 0 = bound to the unicast address
};

}  // namespace corvisk::gige
