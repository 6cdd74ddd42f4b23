// State shared between a connection's control worker and its readers: the link counters, the
// control-lost flag, and the device event record the worker produces.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

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

    friend bool operator==(const LinkStats&, const LinkStats&) = default;
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

  private:
    mutable std::mutex mu_;
    LinkStats stats_;
    std::atomic<bool> control_lost_{false};
};

// A device event (EVENT_CMD / EVENTDATA_CMD). Only the first event of a payload is decoded.
struct GvcpEvent {
    uint16_t command = 0;         // 0x00C0 or 0x00C2
    uint16_t event_id = 0;        // payload bytes 2..3
    uint16_t stream_channel = 0;  // bytes 4..5
    uint16_t block_id = 0;        // bytes 6..7
    uint64_t timestamp = 0;       // bytes 8..15
    std::vector<uint8_t> data;    // everything after byte 16
    std::vector<uint8_t> raw;     // the whole payload

    // Never fails: fields the payload is too short for are 0 (data empty).
    static GvcpEvent parse(uint16_t command, std::span<const uint8_t> payload);
};

}  // namespace corvisk::gige
