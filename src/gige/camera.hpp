// GigECamera: the transport-level camera. It owns at most one live Connection to a device:
// the control worker, its ControlPort, the shared link state, and the device identity read at
// connect. Stream setup and the feature model hang their own state off the same Connection.
//
//   Disconnected --connect--> Connected --disconnect--> Disconnected
//                                 |
//                                 +--control lost--> Connected with a dead worker: operations
//                                    report ControlLost until the next connect or disconnect.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "gige/address.hpp"
#include "gige/control_port.hpp"
#include "gige/link.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/runner.hpp"
#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::genicam {
class Genicam;
}

namespace corvisk::gige {

// Connection parameters; the defaults are the library's.
struct ConnectionConfig {
    SocketAddress device;  // the device's control address (port 3956)
    Duration gvcp_timeout = std::chrono::milliseconds(500);
    uint8_t retries = 4;
    uint32_t heartbeat_timeout_ms = 3000;  // written to the device at connect
    bool exclusive = false;                // exclusive rather than plain control access
    std::optional<IpAddress> local_ip;     // bind address of the control socket (port 0)
    ThreadConfig thread_config;
    // Read-only access beside the controlling application: no CCP claim, no heartbeat, writes
    // refused by the worker.
    bool monitor = false;

    // A device address with the GVCP port and every other setting at its default.
    static ConnectionConfig for_device(IpAddress ip);
    // gvcp_timeout x (retries + 1) + 0.5 s: how long one blocking caller waits per transaction.
    Duration request_timeout() const;
};

// One live connection. Owned by GigECamera; the members are destroyed bottom-up, which drops
// the port, then the worker handle (stopping and joining the worker, which releases CCP), then
// the shared state, the identity, the cached document and finally the feature model.
struct Connection {
    // Filled after connect by the feature-model loader; goes with the connection.
    std::shared_ptr<genicam::Genicam> feature_model;
    // The last device description fetched for this connection (raw bytes).
    std::shared_ptr<const std::vector<uint8_t>> xml_cache;
    bootstrap::DeviceInfo device_info;
    // Bootstrap register 0x0934 read at connect (packet resend support and the like).
    uint32_t gvcp_capability = 0;
    // The control socket's bound address.
    SocketAddress local_address;
    std::shared_ptr<Shared> shared;
    ThreadHandle worker;
    ControlPort port;

    bool is_alive() const { return worker.is_alive(); }
};

// Not thread-safe: connect and disconnect need exclusive access (the owner serialises them).
// The ControlPort of a connection may be copied out and used from any thread.
class GigECamera {
  public:
    explicit GigECamera(ConnectionConfig config) : config_(std::move(config)) {}
    GigECamera(GigECamera&&) noexcept = default;
    GigECamera& operator=(GigECamera&&) noexcept = default;
    ~GigECamera() = default;

    // Opens the connection: starts the worker, takes control (CCP), writes the heartbeat
    // timeout and reads the capability and identity registers. A no-op while connected; a
    // connection whose worker ended is replaced. Every failure leaves the camera disconnected.
    CameraResult<void> connect();
    // Stops the worker (which fails outstanding requests and releases CCP) and drops the
    // connection, waiting at most `timeout` for an orderly end before forcing it. Never fails.
    void disconnect(Duration timeout = std::chrono::milliseconds(500));

    // The connection when it exists and its worker is alive; otherwise NotConnected, or
    // ControlLost when the worker ended because the device withdrew control.
    CameraResult<Connection*> check_connection();
    // True exactly when a connection exists and its worker is alive.
    bool is_connected() const { return conn_ && conn_->is_alive(); }
    // The identity read at connect (subject to the connection check).
    CameraResult<bootstrap::DeviceInfo> device_info();
    // A copy of the link counters; nothing when there is no connection. A connection whose
    // worker ended still reports its final counters.
    std::optional<LinkStats> link_stats() const;

    const ConnectionConfig& config() const { return config_; }
    // The connection record, alive or not (nullptr when disconnected): where stream setup and
    // the feature model keep their state.
    Connection* connection() { return conn_.get(); }

  private:
    ConnectionConfig config_;
    std::unique_ptr<Connection> conn_;
};

// Reads a fixed-width string register; a device that refuses it (an error status) yields the
// empty text, every other failure is returned.
CameraResult<std::string> fetch_device_info(const ControlPort& port, uint32_t address,
                                            uint32_t width, Duration wait);

}  // namespace corvisk::gige
