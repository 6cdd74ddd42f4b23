// IP configuration of a device by MAC address: FORCEIP on the adapter the device was seen on,
// with the acknowledge checked and the device found again at its new address. Runs on the
// calling thread with one private adapter socket; `cancel` (may be null) ends it early.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "error.hpp"
#include "gige/discovery.hpp"
#include "gige/proto/forceip.hpp"
#include "time.hpp"

namespace corvisk::gige {

struct ForceIpConfig {
    gvcp::ForceIp request;
    NetworkAdapter adapter;  // where the command is broadcast and the device looked for
    uint16_t port = 3956;
    Duration timeout = std::chrono::seconds(3);                // for the whole exchange
    Duration retry_interval = std::chrono::milliseconds(500);  // resend while unacknowledged
};

// Broadcasts FORCEIP until acknowledged (AckTimeout when nothing answers in time; Status when
// the device refuses), then discovers on the adapter until the device answers with its new
// address and returns that answer. A device acknowledging but not seen at its new address
// within the timeout fails with AckTimeout too, the text saying so. Asking for 0.0.0.0 (the
// device restarts its address cycle) returns the first answer after the acknowledge.
CameraResult<DiscoveredDevice> force_ip(const ForceIpConfig& config,
                                        const std::atomic<bool>* cancel = nullptr);

// The host adapter with this interface name or IPv4 address (Io EADDRNOTAVAIL when none).
CameraResult<NetworkAdapter> find_adapter(const std::string& name_or_ip);

}  // namespace corvisk::gige
