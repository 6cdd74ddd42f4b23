// Stream channel setup on a connected camera (open_stream) and the StreamChannel that owns the
// receive worker, plus the pure helpers behind them (register addresses, SCDA value, receive
// buffer size). The packet-size search lives in gige/packet_size.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <netinet/in.h>

#include "error.hpp"
#include "gige/camera.hpp"
#include "gige/control_port.hpp"
#include "gige/packet_size.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/runner.hpp"
#include "gige/stream/stats.hpp"

namespace corvisk::gige {

// Addresses of one stream channel's registers (channel × 0x40 above channel 0's).
struct StreamRegisters {
    uint32_t scp = 0;   // port; 0 closes the channel
    uint32_t scps = 0;  // packet size (bit 31 fires a test packet, bit 30 forbids fragmenting)
    uint32_t scpd = 0;  // inter-packet delay
    uint32_t scda = 0;  // destination IPv4 address

    static StreamRegisters for_channel(uint16_t channel);
};

// The SCDA value for a host address: a.b.c.d is a×2^24 + b×2^16 + c×2^8 + d.
uint32_t scda_value(const sockaddr_in& host);

// Smallest receive buffer chosen automatically (unless the ceiling is lower).
inline constexpr uint64_t kMinAutoRecvBuffer = 262144;
// Largest receive buffer chosen automatically, unless the configuration raises or lowers it.
inline constexpr uint64_t kMaxAutoRecvBuffer = 64 * 1024 * 1024;

// SO_RCVBUF to ask for: `recv_buffer` when non-zero, otherwise room for two whole frames as the
// kernel accounts them (each datagram is charged about twice its payload), between 256 KiB and
// `auto_max` (0: kMaxAutoRecvBuffer).
uint64_t receive_buffer_size(uint64_t recv_buffer, uint64_t payload_size, uint64_t auto_max = 0);

// An open stream channel: owns the stream socket (inside the worker), the receive worker and a
// ControlPort clone. Move-only. Destruction closes the channel: SCP := 0 (waiting for the
// acknowledge, a failure is ignored), then stop, wake and join the worker. Frames already
// delivered stay valid. subscribe(), stats() and the accessors are thread-safe.
class StreamChannel {
  public:
    StreamChannel(StreamChannel&&) noexcept;
    StreamChannel& operator=(StreamChannel&&) noexcept;
    ~StreamChannel();

    // The address the stream socket is bound to.
    const sockaddr_in& local_addr() const;
    // The packet size written to SCPS.
    uint16_t packet_size() const;
    uint16_t channel() const;
    // Whether the worker asks the device for lost packets.
    bool resend_enabled() const;
    // A new frame subscription (capacity 0 = hand-over); see StreamReceiver::subscribe.
    FrameChannel subscribe(size_t capacity) const;
    // The counters as last published by the worker.
    StreamStats stats() const;
    // How payload bytes reached the frame buffers (in place or copied), as last published.
    PlacementCounts placement() const;
    // Closes the channel now (what destruction does). Idempotent.
    void close();

    struct State;  // defined where the channel is opened

  private:
    explicit StreamChannel(std::unique_ptr<State> state);
    friend CameraResult<StreamChannel> open_stream(GigECamera& camera, const StreamConfig& config);

    std::unique_ptr<State> state_;
};

// Opens stream channel config.channel on the connected camera: chooses and binds the host
// address, sizes the receive buffer, programs SCDA, SCP, SCPS (fixed or negotiated) and SCPD,
// reads the tick frequency and starts the worker. Blocks on every register acknowledge (and on
// the fire-test probes); call it without the interpreter lock. Needs exclusive access to the
// camera only for the duration of the call.
CameraResult<StreamChannel> open_stream(GigECamera& camera, const StreamConfig& config);

}  // namespace corvisk::gige
