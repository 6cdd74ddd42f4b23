// Frame assembly: the socket-free core of the stream worker. Datagrams and the time come in,
// finished frames go out to subscribers, resend commands go out through a send hook.
//
// Worker-only: one thread drives an Assembler. It never blocks (subscriber queues are written
// with non-blocking sends) and allocates nothing per datagram: the packet arrays of pooled
// slots keep their capacity, only the Frame record of each finished frame is new.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/pool.hpp"
#include "gige/stream/stats.hpp"
#include "time.hpp"

namespace corvisk::gige {

// Log target of everything the stream worker reports, assembly included: the assembler is the
// worker's core, and callers filter the worker's events by this one module path.
inline constexpr const char* kStreamWorkerLogTarget = "corvisk::gige::stream::runner";

struct AssemblerConfig {
    uint64_t payload_size = 0;
    uint64_t packet_size = 0;     // negotiated SCPS value
    uint64_t tick_frequency = 0;  // device ticks per second, 0 if unknown
    uint64_t n_buffers = stream_defaults::kBuffers;
    bool resend_enabled = true;
    Duration resend_initial_delay = stream_defaults::kResendInitialDelay;
    Duration resend_interval = stream_defaults::kResendInterval;
    Duration frame_timeout = stream_defaults::kFrameTimeout;
    double resend_ratio = stream_defaults::kResendRatio;
    uint64_t pool_memory_limit = 0;  // 0 = default_pool_memory_limit()
    PoolOptions pool;
};

// What the assembler needs from its surroundings. Every hook is optional.
struct AssemblerHooks {
    // Sends one encoded resend command to the device; returns 0 or an errno value.
    std::function<int(std::span<const uint8_t>)> send;
    // Runs right before a frame is closed, so commands (new subscribers) queued meanwhile
    // are taken into account for that frame.
    std::function<void()> before_close;
    // Receives the counters whenever they should be published.
    std::function<void(const StreamStats&)> publish;
    // Host wall clock in ns since the epoch (default wall_clock_ns); injectable for tests.
    std::function<uint64_t()> wall_clock;
};

// One frame being assembled.
struct FrameInFlight {
    BufSlot slot;  // packets holds at least packet_count entries
    Instant last_packet_at;
    std::optional<gvsp::LeaderInfo> leader;
    uint64_t block_id = 0;
    uint64_t packet_count = 0;
    uint64_t payload_per_packet = 0;
    int64_t contiguous = -1;  // highest k with packets 0..k all in; -1 without packet 0
    uint64_t received_size = 0;
    uint64_t data_end = 0;
    uint64_t system_timestamp_ns = 0;
    uint64_t requested_total = 0;      // packet requests sent, re-requests included
    uint64_t rerequested_total = 0;    // requests for packets asked for before: the budget's part
    Instant last_progress_at;          // when a packet last filled a slot (the frame timeout)
    uint64_t packets_at_progress = 0;  // the stream's datagram count at that moment
    // Resend bookkeeping that keeps the hole search off the per-packet path: every missing slot
    // up to `holes_known_upto` has its next_request_at, and none of them is due before
    // `next_due` (an early estimate only costs one search).
    int64_t holes_known_upto = -1;
    Instant next_due = Instant::max();
    int64_t highest_received = -1;  // highest packet id marked received; -1 before any
    uint64_t received_packets = 0;  // slots marked received, gone ones included
    uint64_t gone_packets = 0;      // packets the device reported it cannot send
    bool extended_id = false;
    bool payload_size_learned = false;
    bool trailer_seen = false;
    bool resend_disabled = false;
    bool ratio_reached = false;
    bool unplaced = false;  // a packet of a format whose data is not placed arrived
    // Opened by an all-in packet: a frame of its own, or a stray sent ahead of its frame's
    // leader; the frame's own packets, if any follow, take it over.
    bool provisional = false;
    std::optional<FrameStatus> status;

    bool complete() const { return contiguous + 1 == static_cast<int64_t>(packet_count); }
};

class Assembler {
  public:
    // Smallest payload per packet a frame may be sized for when the device's own packets
    // disagree with the negotiated size. It caps a frame's packet-state array at about a tenth
    // of its buffer, however the device numbers or sizes its packets.
    static constexpr uint64_t kMinPayloadPerPacket = 256;
    // Packet slots any frame may have regardless of its size (a few kilobytes of state).
    static constexpr uint64_t kMinPacketLimit = 64;

    // Resend commands carry request ids from this range, cycling; the control channel's own
    // requests stay below it, so a device's answer to one can never be taken for the other's.
    static constexpr uint16_t kFirstResendRequestId = 65300;
    static constexpr uint16_t kLastResendRequestId = 65535;

    // Resend pacing: packets that may be requested per second without any traffic from the
    // device, and the least a burst may ask for at once.
    static constexpr double kResendTokensPerSecond = 2000;
    static constexpr uint64_t kMinResendBurst = 4096;
    // Datagrams of other frames after which a frame's missing tail is taken as lost (the device
    // has moved on) rather than still on its way from a device that interleaves frames.
    static constexpr uint64_t kPassedAfterPackets = 32;

    // Creates the pool (Io ENOMEM when its memory cannot be had).
    static CameraResult<Assembler> create(const AssemblerConfig& config, AssemblerHooks hooks);

    // One datagram from the device, received at `now`.
    void on_datagram(std::span<const uint8_t> datagram, Instant now);
    // A datagram of `size` bytes whose header is already parsed; its payload may already lie in
    // a frame buffer where it belongs (received there through a Landing), and is then not
    // copied again.
    void on_packet(const gvsp::GvspHeader& h, size_t size, Instant now);

    // Where the payload of a packet the stream is expected to deliver next belongs, so the
    // receiver can have the kernel write it there directly.
    struct Landing {
        uint64_t block_id = 0;
        uint32_t packet_id = 0;
        bool extended_id = false;
        // Sized with the negotiated payload per packet, before the frame's own packets
        // confirmed it: right only for payloads that fill their region exactly.
        bool tentative = false;
        std::span<uint8_t> region;  // empty: no prediction
    };
    // Fills `out` with the landings of the next out.size() datagrams: the payload packets of the
    // newest frame that follow the highest id it received, while they are still missing. A
    // frame is predicted while its numbering holds (no trailer, no failure yet); until its
    // first payload packet is in, with the negotiated size and the landings tentative.
    void predict(std::span<Landing> out);
    // Periodic completion check: timeouts, early closes and resend sweeps.
    void tick(Instant now);
    // Closes every frame in flight as Aborted, oldest first (shutdown).
    void abort_all();

    void add_subscriber(FrameSender sender) { subscribers_.push_back(std::move(sender)); }
    void drop_subscribers() { subscribers_.clear(); }
    size_t subscriber_count() const { return subscribers_.size(); }

    const StreamStats& stats() const { return stats_; }
    const PlacementCounts& placement() const { return placement_; }
    const AssemblerConfig& config() const { return config_; }
    bool has_frames_in_flight() const { return !in_flight_.empty(); }
    // Frames in progress, oldest first (inspection for tests and invariant checks).
    std::span<const FrameInFlight> frames_in_flight() const { return in_flight_; }
    uint64_t last_block_id() const { return last_block_id_; }
    // Buffers waiting in the pool (the others are in flight or held by frames).
    size_t free_buffers() const { return pool_.free.len(); }
    // Largest packet count a frame sized with this payload per packet may have.
    uint64_t packet_limit(uint64_t per_packet) const;

  private:
    Assembler(const AssemblerConfig& config, AssemblerHooks hooks, FramePool pool);

    std::optional<size_t> find_frame(uint64_t block_id) const;
    void walk_holes(FrameInFlight& f, uint64_t start, uint64_t upto, uint64_t budget, Instant now);
    std::optional<size_t> find_or_create_frame(const gvsp::GvspHeader& h, Instant now);
    bool take_buffer(BufSlot& slot, const gvsp::GvspHeader& h, Instant now);
    bool close_waiting_frame(Instant now);
    std::optional<size_t> retry_starved_frame(const gvsp::GvspHeader& h, Instant now);
    size_t open_frame(BufSlot slot, const gvsp::GvspHeader& h, uint64_t count, Instant now);
    std::optional<uint64_t> initial_packet_count(const gvsp::GvspHeader& h) const;
    void start_frame(FrameInFlight& f, BufSlot slot, const gvsp::GvspHeader& h, uint64_t count,
                     Instant now);
    bool take_over_provisional(FrameInFlight& f, const gvsp::GvspHeader& h, Instant now);
    bool place_packet(FrameInFlight& f, const gvsp::GvspHeader& h);
    void count_stray();
    void place_leader(FrameInFlight& f, const gvsp::GvspHeader& h);
    void place_trailer(FrameInFlight& f, uint64_t p);
    void on_error_packet(FrameInFlight& f, const gvsp::GvspHeader& h);
    void place_payload(FrameInFlight& f, const gvsp::GvspHeader& h);
    bool learn_payload_size(FrameInFlight& f, uint64_t length);
    void copy_payload(FrameInFlight& f, uint64_t p, std::span<const uint8_t> data);
    void check_frame_completion(Instant now, std::optional<uint64_t> placed_block);
    std::optional<FrameStatus> closing_status(const FrameInFlight& f, bool newer_exists,
                                              Instant now) const;
    void close_frame(size_t index, FrameStatus status);
    void count_closed(const FrameInFlight& f, FrameStatus status);
    FramePtr build_frame(FrameInFlight& f, FrameStatus status);
    void deliver(const FramePtr& frame);
    void missing_packet_check(FrameInFlight& f, uint64_t upto, Instant now);
    bool close_run(FrameInFlight& f, uint64_t first, uint64_t end, uint64_t budget, Instant now);
    bool take_resend_tokens(uint64_t packets, Instant now);
    void send_resend_request(const FrameInFlight& f, uint64_t first, uint64_t last);
    void publish();

    AssemblerConfig config_;
    AssemblerHooks hooks_;
    FramePool pool_;
    std::vector<FrameInFlight> in_flight_;
    std::vector<FrameSender> subscribers_;
    StreamStats stats_;
    PlacementCounts placement_;
    uint64_t last_block_id_ = 0;
    std::optional<uint64_t> last_unknown_block_;  // counts a frame of unknown packets once
    // The newest frame, which found no buffer right after a waiting frame was closed to make
    // room: its later packets try again, since the closed frames' buffers come back as soon as
    // the subscribers let go of them.
    std::optional<uint64_t> starved_block_;
    bool warned_all_held_ = false;  // the application held every buffer once: warned
    uint16_t resend_req_id_ = kFirstResendRequestId;
    // Resend pacing: a token per datagram received plus a small steady allowance, one spent per
    // packet requested, so the stream never asks a device for much more than it sends.
    double resend_tokens_ = 0;
    uint64_t tokens_packets_seen_ = 0;
    std::optional<Instant> tokens_at_;
    bool first_packet_ = true;
    std::array<uint8_t, 28> resend_buffer_{};
};

}  // namespace corvisk::gige
