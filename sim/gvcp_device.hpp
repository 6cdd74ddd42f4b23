// The control side of the simulated camera: its register space, control privilege, heartbeat and
// the GVCP command handler. Socket-free, so tests and the fuzzer can feed it datagrams directly.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "actions.hpp"
#include "file_access.hpp"
#include "sim_config.hpp"
#include "time.hpp"
#include "user_sets.hpp"

namespace corvisk::sim {

class DescribedMemory;  // description_device.hpp

// An IPv4 UDP endpoint, both fields in host byte order.
struct Endpoint {
    uint32_t ip = 0;
    uint16_t port = 0;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// One datagram to send back to the command's source, `delay_ms` after the command arrived.
struct Reply {
    std::vector<uint8_t> bytes;
    uint32_t delay_ms = 0;
};

struct ResendRequest {
    uint32_t channel = 0;
    uint64_t block_id = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    bool extended = false;
};

// What one stream channel is programmed to do.
struct ChannelState {
    uint16_t port = 0;  // SCP host port; 0 = closed
    uint32_t dest_ip = 0;
    uint32_t packet_size = 576;
    bool dont_fragment = false;
    uint32_t delay_ticks = 0;
    uint32_t throughput_limit = 0;  // bytes per second, 0 = none
    uint32_t multicast_ttl = 1;     // used when dest_ip is a multicast group
};

// Everything the stream side needs, copied out under the device lock.
struct StreamState {
    bool acquiring = false;
    uint32_t width = 0, height = 0, offset_x = 0, offset_y = 0;
    uint32_t pixel_format = 0;
    Pattern pattern = Pattern::GreyDiagonalRampMoving;
    double frame_rate = 0;
    bool extended_ids = false;
    double exposure_us = 0;         // ExposureTime
    uint32_t gain_raw = 0;          // GainRaw
    uint64_t start_generation = 0;  // changes with every AcquisitionStart
    bool trigger_mode = false;      // frames only on triggers (take_trigger)
    std::array<ChannelState, 2> channels;
};

// Callbacks from the device to the stream side. Called with the device lock held: they must not
// call back into the GvcpDevice; they only queue work and wake a thread.
class DeviceHooks {
  public:
    virtual ~DeviceHooks() = default;
    virtual void acquisition_changed() {}
    virtual void packet_resend(const ResendRequest&) {}
    // One test packet of IP size `size` to the channel's destination.
    virtual void fire_test(const ChannelState& /*channel*/, uint32_t /*size*/) {}
    virtual void channel_opened(uint32_t /*channel*/) {}
    // Registers served outside the device's own map (message channel, events, chunks): the
    // status, or nothing when `addr` is not theirs. Writes come from the controller only;
    // `timestamp` is the device time of the access.
    virtual std::optional<uint16_t> extension_read(uint32_t /*addr*/, uint32_t& /*out*/) {
        return std::nullopt;
    }
    virtual std::optional<uint16_t> extension_write(uint32_t /*addr*/, uint32_t /*value*/,
                                                    uint64_t /*timestamp*/) {
        return std::nullopt;
    }
};

// Live counters; every field is updated by the camera's threads and read by anyone.
struct AtomicCounters {
    std::atomic<uint64_t> commands{0}, malformed{0}, acks_sent{0}, acks_dropped{0}, pending_acks{0},
        naks{0}, control_released{0}, frames_sent{0}, packets_sent{0}, packets_dropped{0},
        resend_requests{0}, packets_resent{0}, packets_unavailable{0}, test_packets{0};
    SimCounters snapshot() const;
};

// Thread-safe: every public member takes the device lock.
class GvcpDevice {
  public:
    // `hooks` and `counters` are borrowed for the device's lifetime; either may be null.
    explicit GvcpDevice(const SimConfig& config, DeviceHooks* hooks = nullptr,
                        AtomicCounters* counters = nullptr);
    ~GvcpDevice();

    // Handles one datagram from `source` and returns the replies to send to it (faults applied).
    // Never fails: malformed input yields an error acknowledge or nothing.
    std::vector<Reply> handle_datagram(std::span<const uint8_t> datagram, Endpoint source,
                                       Instant now = Clock::now());
    // Runs the timers (heartbeat expiry, self-inflicted control loss) and returns when it wants
    // to be called next.
    std::optional<Instant> poll(Instant now = Clock::now());

    StreamState stream_state() const;
    // Records the stream socket's local port, shown in the SCSP registers.
    void set_stream_source_port(uint16_t port);
    // The stream side finished a frame of acquisition `generation`; SingleFrame and MultiFrame
    // stop by themselves once their count is sent.
    void frame_sent(uint64_t generation);
    // Device timestamp in ticks (nanoseconds since power-up or the last timestamp reset).
    uint64_t timestamp(Instant now = Clock::now()) const;
    // The device timestamp of the next frame trigger (action or software), oldest first.
    std::optional<uint64_t> take_trigger();

    GvcpFaults gvcp_faults() const;
    void set_gvcp_faults(GvcpFaults faults);
    // Drops the controller now, as a device reset would (fault injection).
    void lose_control();
    std::optional<Endpoint> controller() const;

    // The address FORCEIP gave the device since the last call, if any (host order). The socket
    // side binds it and answers from there.
    struct AddressChange {
        uint32_t ip = 0, subnet_mask = 0, gateway = 0;
        bool broadcast_ack = false;  // the command asked for its acknowledge by broadcast
    };
    std::optional<AddressChange> take_address_change();

    // The GenICam description exactly as stored in device memory (plain XML or ZIP archive).
    std::vector<uint8_t> xml_file() const;
    // The plain XML text.
    static const std::string& xml_text();

  private:
    struct Word {
        uint32_t value = 0;
        bool readable = true;
        bool writable = false;
    };
    struct LastCommand {
        std::vector<uint8_t> command;
        std::vector<uint8_t> ack;
    };
    struct Command {
        uint8_t flags;
        uint16_t code;
        uint16_t req_id;
        std::span<const uint8_t> payload;
    };

    void build_memory(const SimConfig& config);
    void map_word(uint32_t addr, uint32_t value, bool writable = false);
    void map_string(uint32_t addr, uint32_t size, const std::string& text, bool writable);

    std::vector<uint8_t> execute(const Command& cmd, Endpoint source, Instant now);
    std::vector<uint8_t> discovery_ack(uint16_t req_id) const;
    std::vector<uint8_t> action(const Command& cmd, Instant now);
    std::vector<uint8_t> force_ip(const Command& cmd);
    uint16_t write_ip_config(uint32_t value, Word& slot);
    std::vector<uint8_t> read_reg(const Command& cmd, Endpoint source, Instant now);
    std::vector<uint8_t> write_reg(const Command& cmd, Endpoint source, Instant now);
    std::vector<uint8_t> read_mem(const Command& cmd, Endpoint source, Instant now);
    std::vector<uint8_t> write_mem(const Command& cmd, Endpoint source, Instant now);
    void packet_resend(const Command& cmd);
    std::optional<uint16_t> nak_for(const Command& cmd) const;
    std::vector<Reply> apply_faults(std::vector<uint8_t> ack, uint16_t req_id);

    bool may_read(Endpoint source) const;
    uint16_t read_word(uint32_t addr, Instant now, uint32_t& out) const;
    uint16_t write_word(uint32_t addr, uint32_t value, Endpoint source, Instant now);
    uint16_t write_ccp(uint32_t value, Endpoint source, Instant now);
    uint16_t write_feature(uint32_t addr, uint32_t value, Word& word);
    uint16_t write_user_set(uint32_t addr, uint32_t value, Word& word);
    uint16_t write_described(uint32_t addr, uint32_t value, Endpoint source);
    uint16_t write_channel(uint32_t channel, uint32_t offset, uint32_t value, Word& word);
    void release_control();
    void expire(Instant now);
    void start_acquisition();
    void stop_acquisition();
    uint32_t word(uint32_t addr) const;
    ChannelState channel_locked(uint32_t n) const;
    void set_word(uint32_t addr, uint32_t value);
    bool in_xml(uint32_t addr, uint32_t count) const;

    mutable std::mutex mutex_;
    DeviceHooks* hooks_;
    AtomicCounters* counters_;
    AtomicCounters own_counters_;
    std::map<uint32_t, Word> words_;
    UserSets user_sets_;
    std::vector<uint8_t> xml_file_;
    uint32_t xml_base_ = 0;
    // Sparse memory behind a served camera description (SimConfig::description); null otherwise.
    std::unique_ptr<DescribedMemory> described_;
    std::optional<Endpoint> controller_;
    Instant last_heard_{};
    Instant control_since_{};
    Instant timestamp_origin_;
    uint64_t latched_timestamp_ = 0;
    bool acquiring_ = false;
    uint64_t start_generation_ = 0;
    uint32_t frames_left_ = 0;  // 0 = unlimited (Continuous)
    GvcpFaults faults_;
    std::mt19937_64 rng_;
    std::map<std::pair<uint32_t, uint16_t>, LastCommand> last_commands_;
    std::optional<AddressChange> address_change_;
    ActionUnit actions_;  // action commands, trigger and PTP state (actions.hpp)
    // The file store (file_access.hpp); mutable because reading the execute register counts
    // down a running operation, as a device's own progress does.
    mutable FileAccess files_;
};

// The GenICam description (plain text): with the file access features of the default
// configuration, or of `files`.
const std::string& device_xml();
std::string device_xml(const FileAccessConfig& files);
// `xml` with the DeviceLinkThroughputLimit feature (bytes per second) over its register.
std::string with_throughput_limit(std::string xml);
// A single-member ZIP archive holding `data` under `name`, stored or raw-deflated.
std::vector<uint8_t> make_zip(const std::string& name, std::span<const uint8_t> data, bool deflate);

}  // namespace corvisk::sim
