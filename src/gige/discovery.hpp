// Discovery: broadcast one DISCOVERY_CMD per usable IPv4 adapter and collect the answers.
// Runs on the calling thread with short-lived sockets of its own.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "error.hpp"
#include "gige/adapter_socket.hpp"
#include "gige/proto/bootstrap.hpp"
#include "time.hpp"

namespace corvisk::gige {

struct DiscoveryConfig {
    std::optional<std::vector<NetworkAdapter>> adapters;  // none = enumerate the host's
    Duration timeout = std::chrono::seconds(1);
    uint16_t local_port = 0;
    uint16_t port = 3956;
    bool limited_broadcast = true;
    // When set and true, collection ends at the next sweep (a caller's Ctrl-C).
    const std::atomic<bool>* cancel = nullptr;
};

struct DiscoveredDevice {
    bootstrap::DeviceInfo info;
    NetworkAdapter adapter;  // the adapter the answer arrived on
    sockaddr_in source{};    // the answer's source address
};

// The host's usable IPv4 adapters (not 127.x.x.x, not 0.0.0.0), in enumeration order.
CameraResult<std::vector<NetworkAdapter>> enumerate_adapters();

// Where the adapter's beacon goes: its broadcast address, plus the limited broadcast
// 255.255.255.255 when asked for and not already the adapter's broadcast address.
std::vector<sockaddr_in> beacon_destinations(const NetworkAdapter& adapter, uint16_t port,
                                             bool limited_broadcast);

// Runs on the calling thread for config.timeout (plus at most one 20 ms wait per adapter).
// Devices in order of first answer, de-duplicated by MAC. Io error when no adapter is usable.
CameraResult<std::vector<DiscoveredDevice>> discover(const DiscoveryConfig& config);

}  // namespace corvisk::gige
