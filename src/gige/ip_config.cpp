// FORCEIP exchange and the rediscovery that proves the device took its new address.
#include "gige/ip_config.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "gige/adapter_socket.hpp"
#include "log.hpp"

namespace corvisk::gige {
namespace {

constexpr const char* kTarget = "corvisk::gige::discovery";
constexpr int kSliceMs = 20;
constexpr std::array<uint8_t, 4> kLimited = {255, 255, 255, 255};

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

CameraError interrupted() {
    return CameraError::io_text(EINTR, "IP configuration interrupted");
}

// A fresh id per call so a late acknowledge of an earlier exchange is not taken for ours.
uint16_t next_request_id() {
    static std::atomic<uint16_t> counter{0x8000};
    uint16_t id = counter.fetch_add(1, std::memory_order_relaxed);
    return id == 0 || id == 0xFFFF ? 1 : id;
}

// Sends the command until its acknowledge arrives; the acknowledge's status.
CameraResult<gvcp::GvcpStatus> exchange(const AdapterSocket& socket, const ForceIpConfig& config,
                                        Instant deadline, const std::atomic<bool>* cancel) {
    const uint16_t req_id = next_request_id();
    const auto command = gvcp::encode_force_ip(config.request, req_id);
    std::vector<uint8_t> buffer(65535);
    Instant resend_at = Clock::now();
    while (Clock::now() < deadline) {
        if (cancelled(cancel)) {
            return Err{interrupted()};
        }
        if (Clock::now() >= resend_at) {
            if (auto sent = socket.send_to(command, to_sockaddr(kLimited, config.port)); !sent) {
                return Err{CameraError::io(sent.error())};
            }
            resend_at = Clock::now() + config.retry_interval;
        }
        int err = 0;
        auto got = socket.receive(buffer, kSliceMs, err);
        if (got) {
            if (auto status =
                    gvcp::force_ip_ack_status(std::span(buffer).first(got->size), req_id)) {
                return *status;
            }
        }
    }
    return Err{CameraError::ack_timeout()};
}

// Discovers on the adapter (one short run after another) until the device answers from `ip`.
CameraResult<DiscoveredDevice> find_again(const ForceIpConfig& config, Instant deadline,
                                          const std::atomic<bool>* cancel) {
    DiscoveryConfig discovery;
    discovery.adapters = std::vector<NetworkAdapter>{config.adapter};
    discovery.port = config.port;
    discovery.timeout = std::chrono::milliseconds(200);
    bootstrap::DeviceInfo wanted;
    wanted.mac = config.request.mac;
    const uint64_t mac = wanted.mac_u64();
    const bool any_address = config.request.ip == std::array<uint8_t, 4>{};
    while (Clock::now() < deadline) {
        if (cancelled(cancel)) {
            return Err{interrupted()};
        }
        discovery.cancel = cancel;
        auto found = CVK_TRY(discover(discovery));
        for (DiscoveredDevice& d : found) {
            if (d.info.mac_u64() == mac && (any_address || d.info.ip == config.request.ip)) {
                return std::move(d);
            }
        }
    }
    return Err{CameraError::io_text(
        ETIMEDOUT, fmt::format("device {} acknowledged the new address {} but was not found there",
                               bootstrap::format_mac(config.request.mac),
                               bootstrap::format_ip(config.request.ip)))};
}

}  // namespace

CameraResult<DiscoveredDevice> force_ip(const ForceIpConfig& config,
                                        const std::atomic<bool>* cancel) {
    const Instant deadline = deadline_after(config.timeout);
    auto socket = AdapterSocket::open(config.adapter, 0);
    if (!socket) {
        return Err{CameraError::io(socket.error())};
    }
    const gvcp::GvcpStatus status = CVK_TRY(exchange(*socket, config, deadline, cancel));
    if (status.is_error()) {
        return Err{CameraError::status(gvcp::kForceIpCmd, status)};
    }
    CVK_LOG(log::Level::Debug, kTarget, {}, "forceip acknowledged by {}",
            bootstrap::format_mac(config.request.mac));
    return find_again(config, deadline, cancel);
}

CameraResult<NetworkAdapter> find_adapter(const std::string& name_or_ip) {
    auto adapters = CVK_TRY(enumerate_adapters());
    for (const NetworkAdapter& a : adapters) {
        if (a.name == name_or_ip || bootstrap::format_ip(a.ip) == name_or_ip) {
            return a;
        }
    }
    return Err{
        CameraError::io_text(EADDRNOTAVAIL, fmt::format("no IPv4 adapter named '{}'", name_or_ip))};
}

}  // namespace corvisk::gige
