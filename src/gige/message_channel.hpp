// The message channel: a UDP socket of its own on which the device sends its events (EVENT and
// EVENTDATA commands), and a worker ("corvisk-gvmc") that acknowledges each one, recognises
// retransmissions by request id and hands every event once to one bounded queue.
//
//   open: bind a socket next to the control socket, write MCTT/MCRC (the device's wait for our
//         acknowledge and its retransmissions), MCDA (our address), then MCP (our port);
//   run:  every well-formed event command is acknowledged at once (with its request id, also
//         when it is a retransmission); new request ids are delivered, repeats only counted;
//         a full queue drops the event and counts it, so the worker never waits for a reader;
//   close (or drop): MCP = 0, the worker is stopped and joined, the queue disconnects.
//
// The worker never touches the control worker's state; the control port is used only by the
// owner, at open and close.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "gige/address.hpp"
#include "gige/control_port.hpp"
#include "gige/proto/gvcp_event.hpp"
#include "queue.hpp"
#include "thread_util.hpp"

namespace corvisk::gige {

// Message channel bootstrap registers.
inline constexpr uint32_t kRegMessageChannelCount = 0x0900;
inline constexpr uint32_t kRegMcp = 0x0B00;
inline constexpr uint32_t kRegMcda = 0x0B10;
inline constexpr uint32_t kRegMctt = 0x0B14;
inline constexpr uint32_t kRegMcrc = 0x0B18;

// One device event as the reader receives it.
struct DeviceEvent {
    uint16_t command = 0;  // EVENT or EVENTDATA
    uint16_t event_id = 0;
    uint16_t stream_channel = 0;
    uint64_t block_id = 0;
    uint64_t timestamp = 0;  // device ticks
    std::vector<uint8_t> data;
    uint64_t received_ns = 0;  // host wall clock when the datagram was read
};

struct EventStats {
    uint64_t commands = 0;    // well-formed event commands received (repeats included)
    uint64_t events = 0;      // events delivered to the queue
    uint64_t duplicates = 0;  // commands recognised as retransmissions (acknowledged only)
    uint64_t dropped = 0;     // events lost to a full queue
    uint64_t malformed = 0;   // datagrams that were no event command
    uint64_t ack_failures = 0;
};

struct MessageChannelConfig {
    size_t capacity = 256;              // events the queue holds before dropping
    uint32_t ack_timeout_ms = 100;      // MCTT
    uint32_t retransmissions = 3;       // MCRC
    std::optional<IpAddress> local_ip;  // bind address; default: the control socket's
    ThreadConfig thread_config;
};

// Socket-free core of the worker: decode, acknowledge, recognise repeats, deliver. Thread-safe
// stats; everything else belongs to one thread.
class EventReceiver {
  public:
    using SendAck = std::function<bool(std::span<const uint8_t>)>;
    EventReceiver(chan::Sender<DeviceEvent> out, size_t remembered = 256)
        : out_(std::move(out)), remembered_(remembered) {}

    // One datagram from the device; `send_ack` sends bytes back to its source.
    void on_datagram(std::span<const uint8_t> datagram, const SendAck& send_ack,
                     uint64_t received_ns);
    EventStats stats() const;

  private:
    bool seen(uint16_t command, uint16_t req_id);

    chan::Sender<DeviceEvent> out_;
    size_t remembered_;
    std::deque<uint32_t> recent_;  // command << 16 | request id, oldest first
    mutable std::mutex mu_;
    EventStats stats_;
};

class MessageChannel {
  public:
    // Opens the channel on a connection's control port. `control_local` is the control socket's
    // address, the default bind address; when it is unspecified, the local address the system
    // routes to `device` from is used. Unsupported when the device has no message channel.
    static CameraResult<std::unique_ptr<MessageChannel>> open(const ControlPort& port,
                                                              const SocketAddress& control_local,
                                                              const SocketAddress& device,
                                                              const MessageChannelConfig& config);
    ~MessageChannel();
    MessageChannel(const MessageChannel&) = delete;
    MessageChannel& operator=(const MessageChannel&) = delete;

    chan::Receiver<DeviceEvent>& events() { return events_; }
    EventStats stats() const { return receiver_->stats(); }
    uint16_t local_port() const { return local_port_; }
    bool is_alive() const { return worker_.is_alive(); }
    // The control link this channel's device is reached through is still up.
    bool link_alive() const { return port_.is_alive(); }
    // MCP = 0 (when the link is up), then the worker stops. Idempotent; never fails.
    void close();

  private:
    MessageChannel(ControlPort port) : port_(std::move(port)) {}

    ControlPort port_;
    std::shared_ptr<EventReceiver> receiver_;
    chan::Receiver<DeviceEvent> events_;
    ThreadHandle worker_;
    uint16_t local_port_ = 0;
    std::mutex close_mu_;
    bool closed_ = false;
};

}  // namespace corvisk::gige
