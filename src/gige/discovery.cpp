// Discovery: one DISCOVERY_CMD per usable IPv4 adapter, then a fixed collection window in which
// DISCOVERY_ACK answers are parsed and de-duplicated by MAC address.
#include "gige/discovery.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <cerrno>

#include <algorithm>
#include <cstring>
#include <memory>

#include "gige/proto/gvcp.hpp"
#include "gige/udp_socket.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {
namespace {

constexpr const char* kTarget = "corvisk::gige::discovery";
constexpr int kSweepWaitMs = 20;
constexpr size_t kReceiveBufferSize = 65535;

std::array<uint8_t, 4> octets_of(const sockaddr* sa) {
    std::array<uint8_t, 4> out{};
    if (sa != nullptr && sa->sa_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
        std::memcpy(out.data(), &sin->sin_addr.s_addr, 4);
    }
    return out;
}

sockaddr_in to_sockaddr(const std::array<uint8_t, 4>& ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr.s_addr, ip.data(), 4);
    return sa;
}

std::string format_endpoint(const sockaddr_in& sa) {
    std::array<uint8_t, 4> ip{};
    std::memcpy(ip.data(), &sa.sin_addr.s_addr, 4);
    return fmt::format("{}:{}", bootstrap::format_ip(ip), ntohs(sa.sin_port));
}

std::string errno_text(int err) {
    return CameraError::io(err).text();
}

struct Probe {
    NetworkAdapter adapter;
    UniqueFd socket;
};

// A UDP socket bound to the adapter's address with broadcast enabled, or the errno of the step
// that failed.
Result<UniqueFd, int> open_adapter_socket(const NetworkAdapter& adapter, uint16_t local_port) {
    return udp::open_bound(SocketAddress{IpAddress::v4(adapter.ip), local_port},
                           udp::SocketFlags{.broadcast = true});
}

// Opens the adapter's socket and sends the beacon; the probe is kept when one send succeeded.
std::optional<Probe> send_beacons(const NetworkAdapter& adapter, const DiscoveryConfig& config) {
    auto fd = open_adapter_socket(adapter, config.local_port);
    if (!fd) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "discovery: skipping {} ({}): {}", adapter.name,
                bootstrap::format_ip(adapter.ip), errno_text(fd.error()));
        return std::nullopt;
    }
    const auto beacon = gvcp::discovery_command();
    bool sent = false;
    for (const sockaddr_in& dest :
         beacon_destinations(adapter, config.port, config.limited_broadcast)) {
        if (::sendto(fd->get(), beacon.data(), beacon.size(), 0,
                     reinterpret_cast<const sockaddr*>(&dest), sizeof dest) >= 0) {
            sent = true;
        } else {
            const int err = errno;
            CVK_LOG(log::Level::Trace, kTarget, {}, "discovery: send to {} failed: {}",
                    format_endpoint(dest), errno_text(err));
        }
    }
    if (!sent) {
        return std::nullopt;
    }
    return Probe{adapter, std::move(*fd)};
}

// The device record of a valid DISCOVERY_ACK; nothing for anything else.
std::optional<bootstrap::DeviceInfo> parse_answer(std::span<const uint8_t> datagram) {
    gvcp::AckHeader ack;
    if (!gvcp::parse_ack(datagram, ack) || ack.ack_code != gvcp::kDiscoveryAck ||
        ack.status.is_error()) {
        return std::nullopt;
    }
    return bootstrap::DeviceInfo::parse(ack.payload);
}

// Waits up to one sweep slot for a datagram on the probe's socket and records a new device.
// Polling with a bounded wait and receiving without blocking means no socket option failure can
// turn the collection window into an unbounded wait.
void receive_one(const Probe& probe, std::span<uint8_t> buffer,
                 std::vector<DiscoveredDevice>& found) {
    pollfd pfd{probe.socket.get(), POLLIN, 0};
    if (::poll(&pfd, 1, kSweepWaitMs) <= 0) {
        return;
    }
    sockaddr_in source{};
    socklen_t source_len = sizeof source;
    const ssize_t n = ::recvfrom(probe.socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&source), &source_len);
    if (n < 0) {
        const int err = errno;
        if (err != EAGAIN && err != EWOULDBLOCK && err != ETIMEDOUT && err != EINTR) {
            CVK_LOG(log::Level::Trace, kTarget, {}, "discovery: recv on {} failed: {}",
                    probe.adapter.name, errno_text(err));
        }
        return;
    }
    auto info = parse_answer(buffer.first(static_cast<size_t>(n)));
    if (!info) {
        return;
    }
    const uint64_t mac = info->mac_u64();
    const bool known = std::any_of(found.begin(), found.end(), [mac](const DiscoveredDevice& d) {
        return d.info.mac_u64() == mac;
    });
    if (!known) {
        found.push_back(DiscoveredDevice{std::move(*info), probe.adapter, source});
    }
}

}  // namespace

std::vector<sockaddr_in> beacon_destinations(const NetworkAdapter& adapter, uint16_t port,
                                             bool limited_broadcast) {
    constexpr std::array<uint8_t, 4> kLimited = {255, 255, 255, 255};
    std::vector<sockaddr_in> out{to_sockaddr(adapter.broadcast, port)};
    if (limited_broadcast && adapter.broadcast != kLimited) {
        out.push_back(to_sockaddr(kLimited, port));
    }
    return out;
}

CameraResult<std::vector<NetworkAdapter>> enumerate_adapters() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return Err{CameraError::io(errno)};
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> guard(list, ::freeifaddrs);
    std::vector<NetworkAdapter> out;
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        NetworkAdapter adapter;
        adapter.name = ifa->ifa_name != nullptr ? ifa->ifa_name : "";
        adapter.ip = octets_of(ifa->ifa_addr);
        if (adapter.ip[0] == 127 || adapter.ip == std::array<uint8_t, 4>{}) {
            continue;
        }
        adapter.netmask = octets_of(ifa->ifa_netmask);
        const bool has_broadcast = (ifa->ifa_flags & IFF_BROADCAST) != 0 &&
                                   ifa->ifa_broadaddr != nullptr &&
                                   ifa->ifa_broadaddr->sa_family == AF_INET;
        if (has_broadcast) {
            adapter.broadcast = octets_of(ifa->ifa_broadaddr);
        } else {
            for (size_t i = 0; i < 4; ++i) {
                adapter.broadcast[i] = static_cast<uint8_t>(adapter.ip[i] | ~adapter.netmask[i]);
            }
        }
        out.push_back(std::move(adapter));
    }
    return out;
}

CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config) {
    std::vector<NetworkAdapter> adapters;
    if (config.adapters) {
        adapters = *config.adapters;
    } else {
        adapters = CVK_TRY(enumerate_adapters());
    }
    std::vector<Probe> probes;
    for (const NetworkAdapter& adapter : adapters) {
        if (auto probe = send_beacons(adapter, config)) {
            probes.push_back(std::move(*probe));
        }
    }
    if (probes.empty()) {
        return Err{CameraError::io_text(EADDRNOTAVAIL, "no usable network adapter for discovery")};
    }
    std::vector<DiscoveredDevice> found;
    std::vector<uint8_t> buffer(kReceiveBufferSize);
    const Instant deadline = deadline_after(config.timeout);
    while (Clock::now() < deadline) {
        for (const Probe& probe : probes) {
            receive_one(probe, buffer, found);
        }
    }
    CVK_LOG(log::Level::Debug, kTarget, log::fields("devices", found.size()), "discovery finished");
    return found;
}

}  // namespace corvisk::gige
