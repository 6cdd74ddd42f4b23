// The simulated GigE Vision camera: a real device on a loopback address, answering GVCP on its
// control port and streaming GVSP from its own socket, with run-time fault injection.
//
//   SimConfig cfg;  cfg.ip = "127.0.4.10";
//   SimCamera cam(cfg);
//   ASSERT_TRUE(cam.start().ok());
//   cam.set_gvcp_faults({.drop_first_acks = 2});
//   ... cam.counters().acks_dropped ...
//   expected_pattern(block_id, width, height, pixel_format, Pattern::GreyDiagonalRampMoving);
#pragma once

#include <memory>

#include "error.hpp"
#include "gvcp_device.hpp"
#include "gvsp_packets.hpp"
#include "sim_config.hpp"

namespace corvisk::sim {

// Owns two worker threads ("corvisk-simgvcp" and "corvisk-simgvsp") and their sockets.
// Thread-safe: every member may be called from any thread. The destructor stops and joins.
class SimCamera {
  public:
    explicit SimCamera(SimConfig config);
    ~SimCamera();
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    // Binds the control socket (ip:port), the stream socket (ip:any port) and the optional
    // alternative reply socket, then starts the workers. Io when a bind fails.
    CameraResult<void> start();
    // Stops and joins the workers and closes the sockets. Idempotent.
    void stop();

    const SimConfig& config() const { return config_; }
    // The control endpoint actually bound (host order); port is the real one when 0 was asked.
    Endpoint control_endpoint() const { return control_; }
    uint16_t stream_source_port() const { return stream_port_; }

    SimCounters counters() const { return counters_.snapshot(); }
    GvcpFaults gvcp_faults() const { return device_.gvcp_faults(); }
    void set_gvcp_faults(GvcpFaults faults) { device_.set_gvcp_faults(std::move(faults)); }
    GvspFaults gvsp_faults() const;
    void set_gvsp_faults(GvspFaults faults);
    // The device drops its controller now (control lost).
    void lose_control() { device_.lose_control(); }
    // The register space and command handler, for direct inspection.
    GvcpDevice& device() { return device_; }

  private:
    struct Impl;
    SimConfig config_;
    AtomicCounters counters_;
    std::unique_ptr<Impl> impl_;
    GvcpDevice device_;
    Endpoint control_;
    uint16_t stream_port_ = 0;
};

}  // namespace corvisk::sim
