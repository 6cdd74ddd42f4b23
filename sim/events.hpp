// Device events of the simulated camera: the message channel registers (MCP, MCDA, MCTT, MCRC,
// MCSP), the event features of its description (EventSelector, EventNotification,
// TestEventGenerate) and a sender thread ("corvisk-simgvmc") that delivers EVENT and EVENTDATA
// commands one at a time, waits MCTT for the acknowledge and retransmits up to MCRC times.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "event_faults.hpp"
#include "gige/proto/gvcp_event.hpp"
#include "poller.hpp"
#include "thread_util.hpp"
#include "time.hpp"
#include "unique_fd.hpp"

namespace corvisk::sim {

namespace events {
// Event ids (the description's EventSelector values and Event<Name> features).
constexpr uint16_t kExposureStart = 0x9000;
constexpr uint16_t kExposureEnd = 0x9001;
constexpr uint16_t kFrameStart = 0x9002;
constexpr uint16_t kTest = 0x4FFF;
// Feature registers.
constexpr uint32_t kEventSelector = 0x10400;
constexpr uint32_t kEventNotification = 0x10404;
constexpr uint32_t kTestEventGenerate = 0x10408;
// Message channel registers.
constexpr uint32_t kMcp = 0x0B00;
constexpr uint32_t kMcda = 0x0B10;
constexpr uint32_t kMctt = 0x0B14;
constexpr uint32_t kMcrc = 0x0B18;
constexpr uint32_t kMcsp = 0x0B1C;
}  // namespace events

struct EventCounters {
    uint64_t sent = 0;          // event commands sent the first time
    uint64_t resent = 0;        // retransmissions
    uint64_t acked = 0;         // acknowledges accepted
    uint64_t ignored_acks = 0;  // by fault injection
    uint64_t given_up = 0;      // commands dropped after the last retransmission
    uint64_t overflow = 0;      // events dropped because the send queue was full
};

// The XML of the event features (inserted into the simulated camera's description).
const char* events_xml();

// Thread-safe.
class SimEvents {
  public:
    explicit SimEvents(EventFaults faults) : faults_(faults) {}
    ~SimEvents() { stop(); }

    // Binds the sending socket on `ip` and starts the sender.
    CameraResult<void> start(const std::string& ip);
    void stop();

    // Register access (called with the device lock held): nothing when `addr` is not ours,
    // otherwise the status. `timestamp` is the device time of the access.
    std::optional<uint16_t> read(uint32_t addr, uint32_t& out) const;
    std::optional<uint16_t> write(uint32_t addr, uint32_t value, uint64_t timestamp);

    // An acquisition moment of frame `block_id` at device time `timestamp`; sent when the event
    // is enabled and the channel open.
    void frame_events(uint64_t block_id, uint64_t timestamp, uint64_t exposure_ns);
    EventCounters counters() const;

  private:
    struct Pending {
        std::vector<uint8_t> bytes;
        uint16_t req_id = 0;
        uint32_t tries_left = 0;
        Instant retry_at{};
    };
    void emit(uint16_t id, uint64_t block_id, uint64_t timestamp, std::vector<uint8_t> data);
    void loop(Poller& poller);
    void take_acks();
    void send(const std::vector<uint8_t>& bytes);

    EventFaults faults_;
    mutable std::mutex mu_;  // guards everything below
    uint32_t mcp_ = 0, mcda_ = 0, mctt_ = 100, mcrc_ = 3;
    uint32_t selector_ = events::kExposureStart;
    std::map<uint32_t, bool> enabled_;
    std::deque<std::vector<uint8_t>> queue_;  // built commands waiting to be sent
    uint16_t next_req_ = 0;
    uint32_t acks_to_ignore_ = 0;
    EventCounters counters_;
    std::optional<Pending> inflight_;
    uint16_t source_port_ = 0;

    UniqueFd fd_;
    std::shared_ptr<Waker> waker_;
    ThreadHandle thread_;
};

}  // namespace corvisk::sim
