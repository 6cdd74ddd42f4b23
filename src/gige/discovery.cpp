// Discovery: one DISCOVERY_CMD per usable IPv4 adapter, then a fixed collection window in which
// DISCOVERY_ACK answers are parsed and de-duplicated by MAC address.
#include "gige/discovery.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <cerrno>

#include <algorithm>
#include <cstring>
#include <memory>

#include "gige/proto/gvcp.hpp"
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

std::string errno_text(int err) {
    return CameraError::io(err).text();
}

// Opens the adapter's socket and sends the beacon; the socket is kept when one send succeeded.
std::optional<AdapterSocket> send_beacons(const NetworkAdapter& adapter,
                                          const DiscoveryConfig& config) {
    auto socket = AdapterSocket::open(adapter, config.local_port);
    if (!socket) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "discovery: skipping {} ({}): {}", adapter.name,
                bootstrap::format_ip(adapter.ip), errno_text(socket.error()));
        return std::nullopt;
    }
    const auto beacon = gvcp::discovery_command();
    bool sent = false;
    for (const sockaddr_in& dest :
         beacon_destinations(adapter, config.port, config.limited_broadcast)) {
        if (auto r = socket->send_to(beacon, dest)) {
            sent = true;
        } else {
            CVK_LOG(log::Level::Trace, kTarget, {}, "discovery: send to {} failed: {}",
                    format_endpoint(dest), errno_text(r.error()));
        }
    }
    if (!sent) {
        return std::nullopt;
    }
    return std::move(*socket);
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

// Waits up to one sweep slot for a datagram that arrived on the adapter and records a new
// device. Unicast and broadcast answers alike are attributed to the adapter whose socket heard
// them, which is the adapter the beacon left by.
void receive_one(const AdapterSocket& socket, std::span<uint8_t> buffer,
                 std::vector<DiscoveredDevice>& found) {
    int err = 0;
    auto got = socket.receive(buffer, kSweepWaitMs, err);
    if (!got) {
        if (err != 0) {
            CVK_LOG(log::Level::Trace, kTarget, {}, "discovery: recv on {} failed: {}",
                    socket.adapter().name, errno_text(err));
        }
        return;
    }
    auto info = parse_answer(buffer.first(got->size));
    if (!info) {
        return;
    }
    const uint64_t mac = info->mac_u64();
    const bool known = std::any_of(found.begin(), found.end(), [mac](const DiscoveredDevice& d) {
        return d.info.mac_u64() == mac;
    });
    if (!known) {
        found.push_back(DiscoveredDevice{std::move(*info), socket.adapter(), got->source});
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
    std::vector<AdapterSocket> probes;
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
    while (Clock::now() < deadline &&
           (config.cancel == nullptr || !config.cancel->load(std::memory_order_relaxed))) {
        for (const AdapterSocket& probe : probes) {
            receive_one(probe, buffer, found);
        }
    }
    CVK_LOG(log::Level::Debug, kTarget, log::fields("devices", found.size()), "discovery finished");
    return found;
}

}  // namespace corvisk::gige
