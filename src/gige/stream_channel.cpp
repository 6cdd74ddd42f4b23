// open_stream: host address, receive buffer, stream-channel registers, packet size, tick
// frequency and worker start; StreamChannel teardown.
#include "gige/stream_channel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "errno_text.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/udp_socket.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige";
// Frames the automatic receive buffer holds: the one being read out and the next burst.
constexpr uint64_t kRecvBufferFrames = 2;
// Bytes the kernel charges to the socket per payload byte (socket buffer bookkeeping of each
// datagram comes on top of its data, about doubling it on loopback and common drivers).
constexpr uint64_t kKernelAccountingFactor = 2;

template <class T>
CameraResult<T> wait(const ResponseHandle<T>& handle, Duration timeout) {
    return unshare(handle.wait_timeout(timeout));
}

std::optional<SocketAddress> socket_address_of(const sockaddr* sa, socklen_t len) {
    sockaddr_storage storage{};
    std::memcpy(&storage, sa, std::min<size_t>(len, sizeof storage));
    return SocketAddress::from_sockaddr(storage);
}

template <class T>
CameraResult<T> io_result(udp::OsResult<T> r) {
    if (!r.ok()) {
        return Err{CameraError::io(r.error())};
    }
    return std::move(*r);
}

CameraResult<SocketAddress> choose_bind_address(const StreamConfig& config, const Connection& conn,
                                                const SocketAddress& device) {
    if (config.local_addr) {
        auto addr = socket_address_of(reinterpret_cast<const sockaddr*>(&*config.local_addr),
                                      sizeof(sockaddr_in));
        if (!addr) {
            return Err{CameraError::io(EAFNOSUPPORT)};
        }
        return *addr;
    }
    if (!conn.local_address.ip.is_unspecified()) {
        return SocketAddress{conn.local_address.ip, 0};
    }
    return io_result(udp::route_source(device));
}

struct BoundSocket {
    UniqueFd fd;
    sockaddr_in local{};
};

CameraResult<BoundSocket> bind_stream_socket(const SocketAddress& addr) {
    BoundSocket s;
    s.fd = CVK_TRY(io_result(udp::open_bound(addr)));
    SocketAddress bound = CVK_TRY(io_result(udp::local_address(s.fd.get())));
    if (!bound.ip.is_v4()) {
        return Err{CameraError::unsupported("IPv6 stream destinations")};
    }
    sockaddr_storage storage{};
    bound.to_sockaddr(storage);
    std::memcpy(&s.local, &storage, sizeof s.local);
    return s;
}

std::string to_text(const sockaddr_in& addr) {
    auto a = socket_address_of(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return a ? a->to_string() : std::string("?");
}

// The system's cap on receive buffers is the same for every stream, so it is reported at WARN
// once per figure and at DEBUG afterwards, instead of once per stream opened.
std::atomic<uint64_t> reported_receive_buffer_cap{0};

// A refused size is not fatal: the stream runs with the system's buffer and may lose more
// packets under load. A size the system capped is reported like a refusal, with the figure.
void set_receive_buffer(int fd, uint64_t requested) {
    udp::ReceiveBufferResult r = udp::set_receive_buffer(fd, requested);
    if (r.error != 0) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "SO_RCVBUF={} not applied: {}", requested,
                errno_text(r.error));
        return;
    }
    if (r.granted < std::min<uint64_t>(requested, INT_MAX)) {
        bool first = reported_receive_buffer_cap.exchange(r.granted) != r.granted;
        CVK_LOG(first ? log::Level::Warn : log::Level::Debug, kTarget, {},
                "SO_RCVBUF={} not applied: {}", requested,
                fmt::format("limited to {} bytes by the system (net.core.rmem_max)", r.granted));
    }
}

uint64_t read_tick_frequency(const ControlPort& port) {
    auto regs =
        wait(port.read_registers({bootstrap::kTimestampFreqHigh, bootstrap::kTimestampFreqLow}),
             port.request_timeout());
    if (!regs.ok() || regs->size() != 2) {
        return 0;
    }
    return (uint64_t{(*regs)[0]} << 32) | (*regs)[1];
}

// Once SCP names our port, a failed open must not leave the device pointing at a closed
// socket. The reset is posted without waiting: the open already failed.
class ScpReset {
  public:
    ScpReset(const ControlPort& port, uint32_t scp) : port_(port), scp_(scp) {}
    ~ScpReset() {
        if (armed_) {
            [[maybe_unused]] auto handle = port_.write_register(scp_, 0);
        }
    }
    void arm() { armed_ = true; }
    void disarm() { armed_ = false; }

  private:
    const ControlPort& port_;
    uint32_t scp_;
    bool armed_ = false;
};

}  // namespace

StreamRegisters StreamRegisters::for_channel(uint16_t channel) {
    uint32_t base = uint32_t{channel} * bootstrap::kStreamChannelStride;
    return {bootstrap::kScp + base, bootstrap::kScps + base, bootstrap::kScpd + base,
            bootstrap::kScda + base};
}

uint32_t scda_value(const sockaddr_in& host) {
    return ntohl(host.sin_addr.s_addr);
}

uint64_t receive_buffer_size(uint64_t recv_buffer, uint64_t payload_size, uint64_t auto_max) {
    if (recv_buffer != 0) {
        return recv_buffer;
    }
    uint64_t max = auto_max != 0 ? auto_max : kMaxAutoRecvBuffer;
    uint64_t wanted = 0;
    if (__builtin_mul_overflow(payload_size, kRecvBufferFrames * kKernelAccountingFactor,
                               &wanted)) {
        wanted = UINT64_MAX;
    }
    return std::max(std::min(wanted, max), std::min(kMinAutoRecvBuffer, max));
}

// ---- StreamChannel ----------------------------------------------------------------------------

struct StreamChannel::State {
    ControlPort port;
    StreamRegisters regs;
    uint16_t channel = 0;
    uint16_t packet_size = 0;
    bool resend_enabled = false;
    std::optional<StreamReceiver> receiver;
    sockaddr_in local{};
};

StreamChannel::StreamChannel(std::unique_ptr<State> state) : state_(std::move(state)) {}
StreamChannel::StreamChannel(StreamChannel&&) noexcept = default;

StreamChannel& StreamChannel::operator=(StreamChannel&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

StreamChannel::~StreamChannel() {
    close();
}

void StreamChannel::close() {
    if (!state_ || !state_->receiver) {
        return;
    }
    // Stop the device first so the worker's last moments are not spent on a stream nobody
    // reads; a dead link or a refusal changes nothing about tearing down our side.
    [[maybe_unused]] auto closed =
        wait(state_->port.write_register(state_->regs.scp, 0), state_->port.request_timeout());
    state_->receiver->stop();
    state_->receiver.reset();
}

const sockaddr_in& StreamChannel::local_addr() const {
    return state_->local;
}
uint16_t StreamChannel::packet_size() const {
    return state_->packet_size;
}
uint16_t StreamChannel::channel() const {
    return state_->channel;
}
bool StreamChannel::resend_enabled() const {
    return state_->resend_enabled;
}

FrameChannel StreamChannel::subscribe(size_t capacity) const {
    if (!state_->receiver) {
        auto [tx, rx] = chan::bounded<FramePtr>(capacity);
        return std::move(rx);  // the sender is gone: a disconnected subscription
    }
    return state_->receiver->subscribe(capacity);
}

StreamStats StreamChannel::stats() const {
    return state_->receiver ? state_->receiver->stats() : StreamStats{};
}

PlacementCounts StreamChannel::placement() const {
    return state_->receiver ? state_->receiver->placement() : PlacementCounts{};
}

// ---- open_stream ------------------------------------------------------------------------------

namespace {

constexpr uint32_t kScpsSizeMask = 0xFFFF;

CameraResult<sockaddr_in> device_v4(const SocketAddress& device) {
    if (!device.ip.is_v4()) {
        return Err{CameraError::unsupported("IPv6 stream destinations")};
    }
    sockaddr_storage storage{};
    device.to_sockaddr(storage);
    sockaddr_in device_in{};
    std::memcpy(&device_in, &storage, sizeof device_in);
    return device_in;
}

// The packet size of a stream that has no fixed one. The size negotiated earlier on this
// connection for the same channel and host address is reused while the device's SCPS still
// holds it; once anyone has written another size there (a fixed packet size, a feature write),
// the search runs again. A fresh result is remembered only when SCPS reads back as written.
CameraResult<uint16_t> stream_packet_size(Connection& conn, uint16_t channel, int fd,
                                          const sockaddr_in& host, uint32_t scps,
                                          const sockaddr_in& device) {
    const ControlPort& port = conn.port;
    const uint32_t host_ip = scda_value(host);
    if (auto cached = conn.packet_sizes.find(channel, host_ip)) {
        auto current = wait(port.read_register(scps), port.request_timeout());
        if (current.ok() && (*current & kScpsSizeMask) == *cached) {
            return *cached;
        }
        conn.packet_sizes.forget(channel, host_ip);
    }
    uint16_t size = CVK_TRY(negotiate_packet_size(fd, port, scps, device));
    auto written = wait(port.read_register(scps), port.request_timeout());
    if (written.ok() && (*written & kScpsSizeMask) == size) {
        conn.packet_sizes.store(channel, host_ip, size);
    }
    return size;
}

// Points the device's channel at the socket (SCDA, then SCP, arming `reset`), sets its packet
// size (fixed or found) and delay; returns the packet size.
CameraResult<uint16_t> program_channel(Connection& conn, const StreamConfig& config,
                                       const BoundSocket& sock, const sockaddr_in& device,
                                       const StreamRegisters& regs, ScpReset& reset) {
    const ControlPort& port = conn.port;
    Duration w = port.request_timeout();
    CVK_TRY_VOID(wait(port.write_register(regs.scda, scda_value(sock.local)), w));
    CVK_TRY_VOID(wait(port.write_register(regs.scp, ntohs(sock.local.sin_port)), w));
    reset.arm();
    uint16_t size = 0;
    if (config.packet_size) {
        CVK_TRY_VOID(wait(port.write_register(regs.scps, *config.packet_size), w));
        size = *config.packet_size;
    } else {
        size = CVK_TRY(
            stream_packet_size(conn, config.channel, sock.fd.get(), sock.local, regs.scps, device));
    }
    if (config.packet_delay) {
        CVK_TRY_VOID(wait(port.write_register(regs.scpd, *config.packet_delay), w));
    }
    return size;
}

}  // namespace

CameraResult<StreamChannel> open_stream(GigECamera& camera, const StreamConfig& config) {
    if (!config.payload_size || *config.payload_size == 0) {
        return Err{CameraError::malformed("payload_size must be set")};
    }
    CVK_TRY_VOID(
        check_pool_memory(config.n_buffers, *config.payload_size, config.pool_memory_limit));
    Connection* conn = CVK_TRY(camera.check_connection());
    const SocketAddress& device = camera.config().device;
    SocketAddress bind_to = CVK_TRY(choose_bind_address(config, *conn, device));
    BoundSocket sock = CVK_TRY(bind_stream_socket(bind_to));
    sockaddr_in device_in = CVK_TRY(device_v4(device));
    if (scda_value(sock.local) == 0) {
        CVK_LOG(log::Level::Debug, kTarget, log::fields("local", to_text(sock.local)),
                "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP "
                "requester)");
    }
    set_receive_buffer(sock.fd.get(), receive_buffer_size(config.recv_buffer, *config.payload_size,
                                                          config.recv_buffer_max));
    auto state = std::make_unique<StreamChannel::State>(StreamChannel::State{
        .port = conn->port,
        .regs = StreamRegisters::for_channel(config.channel),
        .channel = config.channel,
        .packet_size = 0,
        .resend_enabled =
            config.resend && (conn->gvcp_capability & bootstrap::kCapabilityPacketResend) != 0,
        .receiver = std::nullopt,
        .local = sock.local,
    });
    ScpReset reset(state->port, state->regs.scp);
    state->packet_size =
        CVK_TRY(program_channel(*conn, config, sock, device_in, state->regs, reset));
    StreamRunnerParams params =
        StreamRunnerParams::from_config(config, *config.payload_size, state->packet_size,
                                        read_tick_frequency(state->port), state->resend_enabled);
    state->receiver.emplace(CVK_TRY(spawn_stream_runner(std::move(sock.fd), device_in, params)));
    reset.disarm();
    CVK_LOG(log::Level::Debug, kTarget,
            log::fields("channel", config.channel, "local", to_text(state->local), "packet_size",
                        state->packet_size),
            "stream channel opened");
    return StreamChannel(std::move(state));
}

}  // namespace corvisk::gige
