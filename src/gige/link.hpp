// State shared between a connection's control worker and its readers: the link counters, the
// control-lost flag, and the device event record the worker produces.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "gige/proto/gvcp.hpp"

namespace corvisk::gige {

// Control-channel counters; a plain value copied out of Shared.
struct LinkStats {
    uint64_t commands = 0;      // first datagram of a transaction sent
    uint64_t acks = 0;          // acknowledge matched the in-flight transaction (not PENDING)
    uint64_t retries = 0;       // transaction retransmitted
    uint64_t timeouts = 0;      // transaction abandoned after its last try
    uint64_t naks = 0;          // matched acknowledge with an error status
    uint64_t pending_acks = 0;  // PENDING_ACK for the in-flight transaction
    uint64_t heartbeats = 0;    // heartbeat read acknowledged successfully
    uint64_t events = 0;        // inbound EVENT / EVENTDATA command
    uint64_t unsolicited = 0;   // well-formed acknowledge matching nothing in flight
    // Matched acknowledges that came from another address than the one the request went to
    // (multi-homed devices). Kept internally; not part of the core module's LinkStats.
    uint64_t foreign_source_acks = 0;
    // Transactions a caller carried through on its own thread while the wire was idle (internal).
    uint64_t direct = 0;

    friend bool operator==(const LinkStats&, const LinkStats&) = default;
};

// What the connection has learned about a device that deviates from the standard; each flag
// is set once (by the worker, or at connect from the capability register) and stays set for
// the connection's lifetime. Thread-safe.
struct DeviceQuirks {
    // The device cannot concatenate: every READREG/WRITEREG carries one address.
    std::atomic<bool> single_register_commands{false};
    // The device refuses READMEM/WRITEMEM: aligned memory accesses go by READREG/WRITEREG.
    std::atomic<bool> registers_for_memory{false};
};

// One per connection; shared (shared_ptr) by the worker, the Connection and every ControlPort.
// Thread-safe: the stats lock is held only for one increment or one copy, never across I/O.
class Shared {
  public:
    // Worker side: adds one to a counter, e.g. bump(&LinkStats::acks).
    void bump(uint64_t LinkStats::*counter) {
        std::lock_guard lock(mu_);
        ++(stats_.*counter);
    }
    LinkStats stats() const {
        std::lock_guard lock(mu_);
        return stats_;
    }

    // Set by the worker when it ends because the device no longer grants control.
    void set_control_lost() { control_lost_.store(true, std::memory_order_release); }
    bool control_lost() const { return control_lost_.load(std::memory_order_acquire); }

    DeviceQuirks& quirks() { return quirks_; }

  private:
    mutable std::mutex mu_;
    LinkStats stats_;
    std::atomic<bool> control_lost_{false};
    DeviceQuirks quirks_;
};

// The device event record lives with the wire format; the worker produces it.
using gvcp::GvcpEvent;

}  // namespace corvisk::gige
