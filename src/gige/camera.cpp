// GigECamera connect/disconnect, the connection check and the identity reads.
#include "gige/camera.hpp"

#include <cstdlib>
#include <thread>

#include "gige/proto/gvcp.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige";
constexpr auto kDisconnectPoll = std::chrono::milliseconds(5);
constexpr auto kFirstDisconnectPoll = std::chrono::microseconds(50);

// The CCP claim is the first thing the device hears from us: silence means there is no device,
// a refusal means someone else holds it.
CameraError translate_claim_error(CameraError e) {
    if (e.kind() == CameraError::Kind::AckTimeout) {
        return CameraError::connect_timeout();
    }
    if (e.kind() == CameraError::Kind::Status) {
        uint16_t code = e.gvcp_status().code();
        if (code == 0x8004 || code == 0x8006) {
            return CameraError::access_denied();
        }
    }
    return e;
}

template <class T>
CameraResult<T> wait(const ResponseHandle<T>& handle, Duration timeout) {
    return wait_or_cancel(handle, timeout);
}

struct Identity {
    uint32_t capability = 0;
    bootstrap::DeviceInfo info;
};

// Steps after the claim: heartbeat timeout, capability, identity registers and strings.
CameraResult<Identity> read_identity(const ControlPort& port, const ConnectionConfig& config,
                                     DeviceQuirks& quirks) {
    Duration w = port.request_timeout();
    if (!config.monitor) {
        CVK_TRY_VOID(wait(
            port.write_register(bootstrap::kHeartbeatTimeout, config.heartbeat_timeout_ms), w));
        // Heartbeats go out a third of the timeout apart but never closer than the floor: a
        // shorter timeout lets the device drop control between two of them.
        const Duration interval = heartbeat_interval(config.heartbeat_timeout_ms);
        if (std::chrono::milliseconds(config.heartbeat_timeout_ms) < 3 * interval) {
            CVK_LOG(log::Level::Warn, kTarget,
                    log::fields("heartbeat_timeout_ms", config.heartbeat_timeout_ms),
                    "heartbeat timeout of {} ms is shorter than three heartbeats ({} ms apart): "
                    "the device may drop control between them",
                    config.heartbeat_timeout_ms,
                    std::chrono::duration_cast<std::chrono::milliseconds>(interval).count());
        }
    }
    Identity id;
    id.capability = CVK_TRY(wait(port.read_register(bootstrap::kGvcpCapability), w));
    // A device that does not claim concatenation gets one address per command from the start.
    if (!(id.capability & bootstrap::kCapabilityConcatenation)) {
        quirks.single_register_commands.store(true, std::memory_order_relaxed);
    }
    std::vector<uint32_t> regs =
        CVK_TRY(wait(port.read_registers({bootstrap::kIdentityRegisters.begin(),
                                          bootstrap::kIdentityRegisters.end()}),
                     w));
    if (regs.size() != bootstrap::kIdentityRegisters.size()) {
        return Err{CameraError::malformed("short bootstrap register read")};
    }
    std::array<std::string, 6> strings;
    for (size_t i = 0; i < strings.size(); ++i) {
        const auto& field = bootstrap::kStringFields[i];
        strings[i] = CVK_TRY(fetch_device_info(port, field.address, field.width, w));
    }
    id.info = bootstrap::DeviceInfo::from_registers(std::span<const uint32_t, 9>(regs.data(), 9),
                                                    strings);
    return id;
}

}  // namespace

ConnectionConfig ConnectionConfig::for_device(IpAddress ip) {
    ConnectionConfig c;
    c.device = SocketAddress{ip, gvcp::kGvcpPort};
    return c;
}

Duration ConnectionConfig::request_timeout() const {
    constexpr Duration kSlack = std::chrono::milliseconds(500);
    const Duration::rep tries = Duration::rep{retries} + 1;
    if (gvcp_timeout.count() > (Duration::max() - kSlack).count() / tries) {
        return Duration::max();
    }
    return gvcp_timeout * tries + kSlack;
}

CameraResult<std::string> fetch_device_info(const ControlPort& port, uint32_t address,
                                            uint32_t width, Duration wait_for) {
    auto bytes = wait(port.read_memory(address, width), wait_for);
    if (!bytes.ok()) {
        if (bytes.error().kind() == CameraError::Kind::Status) {
            CVK_LOG(log::Level::Trace, kTarget, {}, "string register {:#06x} unreadable: {}",
                    address, bytes.error());
            return std::string();
        }
        return Err{std::move(bytes).error()};
    }
    return bootstrap::string_reg(*bytes, 0, width);
}

CameraResult<void> GigECamera::connect() {
    if (conn_) {
        if (conn_->is_alive()) {
            return {};
        }
        conn_.reset();
    }
    auto shared = std::make_shared<Shared>();
    auto [sender, receiver] = chan::unbounded<ToWorker>();
    RunnerConfig runner_config{config_.device,
                               config_.local_ip,
                               config_.gvcp_timeout,
                               config_.retries,
                               config_.heartbeat_timeout_ms,
                               config_.thread_config,
                               config_.monitor};
    // From here on, returning early drops the worker handle, which stops and joins the worker;
    // it releases CCP on its way out.
    SpawnedRunner spawned = CVK_TRY(spawn(std::move(receiver), shared, runner_config));
    // The benchmark sets CORVISK_BENCH_QUEUED_CONTROL to measure the queued path beside the
    // direct one in the same run.
    if (std::getenv("CORVISK_BENCH_QUEUED_CONTROL") != nullptr) {
        spawned.wire.reset();
    }
    ControlPort port(std::move(sender), WorkerRef::of(spawned.worker), config_.request_timeout(),
                     std::move(spawned.wire));

    uint32_t ccp = bootstrap::kCcpControl | (config_.exclusive ? bootstrap::kCcpExclusive : 0);
    if (!config_.monitor) {
        auto claimed = wait(port.write_register(bootstrap::kCcp, ccp), port.request_timeout());
        if (!claimed.ok()) {
            return Err{translate_claim_error(std::move(claimed).error())};
        }
    }
    Identity id = CVK_TRY(read_identity(port, config_, shared->quirks()));

    CVK_LOG(log::Level::Debug, kTarget,
            log::fields("addr", config_.device, "model", id.info.model, "serial", id.info.serial),
            "connected");
    conn_ = std::make_unique<Connection>(Connection{
        .feature_model = nullptr,
        .xml_cache = nullptr,
        .device_info = std::move(id.info),
        .gvcp_capability = id.capability,
        .local_address = spawned.local_address,
        .packet_sizes = {},
        .shared = std::move(shared),
        .worker = std::move(spawned.worker),
        .port = std::move(port),
    });
    return {};
}

void GigECamera::disconnect(Duration timeout) {
    std::unique_ptr<Connection> conn = std::move(conn_);
    if (!conn) {
        return;
    }
    CVK_LOG(log::Level::Debug, kTarget, log::fields("addr", config_.device), "disconnecting");
    if (conn->is_alive()) {
        conn->port.shutdown();
    }
    // The worker usually ends within microseconds: poll finely at first, then every 5 ms.
    Instant deadline = deadline_after(timeout);
    Duration pause = kFirstDisconnectPoll;
    while (conn->is_alive()) {
        Instant now = Clock::now();
        if (now >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::min<Duration>(pause, deadline - now));
        pause = std::min<Duration>(pause * 2, kDisconnectPoll);
    }
    // Covers a worker that missed the message; dropping the connection joins the thread.
    conn->worker.request_stop();
    conn->worker.wake();
    conn.reset();
}

CameraResult<Connection*> GigECamera::check_connection() {
    if (!conn_) {
        return Err{CameraError::not_connected()};
    }
    if (!conn_->is_alive()) {
        return Err{conn_->shared->control_lost() ? CameraError::control_lost()
                                                 : CameraError::not_connected()};
    }
    return conn_.get();
}

CameraResult<bootstrap::DeviceInfo> GigECamera::device_info() {
    Connection* conn = CVK_TRY(check_connection());
    return conn->device_info;
}

std::optional<LinkStats> GigECamera::link_stats() const {
    if (!conn_) {
        return std::nullopt;
    }
    return conn_->shared->stats();
}

}  // namespace corvisk::gige
