// open_stream: host address, receive buffer, stream-channel registers, fire-test packet-size
// negotiation, tick frequency and worker start; StreamChannel teardown.
#include "gige/stream_channel.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "errno_text.hpp"
#include "gige/proto/bootstrap.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige";
constexpr uint64_t kMinAutoRecvBuffer = 262144;
constexpr uint64_t kMaxAutoRecvBuffer = 8388608;
constexpr uint64_t kRecvBufferSlack = 1024;
constexpr uint64_t kIpUdpOverhead = 28;
constexpr auto kProbeTimeout = std::chrono::milliseconds(25);
constexpr auto kDrainTimeout = std::chrono::milliseconds(5);
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
constexpr int kProbeAttempts = 3;
constexpr size_t kProbeBufferSize = 65536;
constexpr std::array<uint16_t, 3> kFirstProbes = {1488, 1008, 560};
constexpr uint16_t kSearchStep = 16;

template <class T>
CameraResult<T> wait(const ResponseHandle<T>& handle, Duration timeout) {
    return unshare(handle.wait_timeout(timeout));
}

std::optional<SocketAddress> socket_address_of(const sockaddr* sa, socklen_t len) {
    sockaddr_storage storage{};
    std::memcpy(&storage, sa, std::min<size_t>(len, sizeof storage));
    return SocketAddress::from_sockaddr(storage);
}

CameraResult<SocketAddress> bound_address(int fd) {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
        return Err{CameraError::io(errno)};
    }
    auto addr = SocketAddress::from_sockaddr(storage);
    if (!addr) {
        return Err{CameraError::io(EAFNOSUPPORT)};
    }
    return *addr;
}

CameraResult<UniqueFd> udp_socket(int family) {
    UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.is_valid()) {
        return Err{CameraError::io(errno)};
    }
    return fd;
}

// The local IP the operating system routes to the device from: connect a throw-away socket and
// read back its address. Nothing is sent.
CameraResult<SocketAddress> route_lookup(const SocketAddress& device) {
    UniqueFd fd = CVK_TRY(udp_socket(device.ip.family()));
    sockaddr_storage storage{};
    socklen_t len =
        SocketAddress{IpAddress::unspecified(device.ip.family()), 0}.to_sockaddr(storage);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), len) != 0) {
        return Err{CameraError::io(errno)};
    }
    len = device.to_sockaddr(storage);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), len) != 0) {
        return Err{CameraError::io(errno)};
    }
    SocketAddress local = CVK_TRY(bound_address(fd.get()));
    return SocketAddress{local.ip, 0};
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
    return route_lookup(device);
}

struct BoundSocket {
    UniqueFd fd;
    sockaddr_in local{};
};

CameraResult<BoundSocket> bind_stream_socket(const SocketAddress& addr) {
    BoundSocket s;
    s.fd = CVK_TRY(udp_socket(addr.ip.family()));
    sockaddr_storage storage{};
    socklen_t len = addr.to_sockaddr(storage);
    if (::bind(s.fd.get(), reinterpret_cast<sockaddr*>(&storage), len) != 0) {
        return Err{CameraError::io(errno)};
    }
    SocketAddress bound = CVK_TRY(bound_address(s.fd.get()));
    if (!bound.ip.is_v4()) {
        return Err{CameraError::unsupported("IPv6 stream destinations")};
    }
    bound.to_sockaddr(storage);
    std::memcpy(&s.local, &storage, sizeof s.local);
    return s;
}

std::string to_text(const sockaddr_in& addr) {
    auto a = socket_address_of(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return a ? a->to_string() : std::string("?");
}

// The receive buffer the kernel actually granted (it reports twice the usable size, counting
// its bookkeeping).
uint64_t granted_receive_buffer(int fd) {
    int effective = 0;
    socklen_t len = sizeof effective;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &effective, &len) != 0 || effective < 0) {
        return 0;
    }
    return static_cast<uint64_t>(effective) / 2;
}

// A refused size is not fatal: the stream runs with the system's buffer and may lose more
// packets under load. Linux silently caps SO_RCVBUF at net.core.rmem_max; a privileged process
// may go beyond it, so that is tried next, and a size that still did not take effect is
// reported like a refusal.
void set_receive_buffer(int fd, uint64_t requested) {
    int value = static_cast<int>(std::min<uint64_t>(requested, INT_MAX));
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) != 0) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "SO_RCVBUF={} not applied: {}", requested,
                errno_text(errno));
        return;
    }
    if (granted_receive_buffer(fd) >= static_cast<uint64_t>(value)) {
        return;
    }
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof value);
    uint64_t granted = granted_receive_buffer(fd);
    if (granted < static_cast<uint64_t>(value)) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "SO_RCVBUF={} not applied: {}", requested,
                fmt::format("limited to {} bytes by the system (net.core.rmem_max)", granted));
    }
}

void set_read_timeout(int fd, Duration timeout) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Fire-test probes on the not yet running stream socket.
class Prober {
  public:
    Prober(int fd, const ControlPort& port, uint32_t scps, const sockaddr_in& device)
        : fd_(fd), port_(port), scps_(scps), device_(device), buffer_(kProbeBufferSize) {}

    std::optional<uint16_t> probe(uint16_t size) {
        auto fired = wait(port_.write_register(scps_, kScpsFireTest | kScpsDontFragment | size),
                          port_.request_timeout());
        if (!fired.ok()) {
            return std::nullopt;
        }
        std::optional<uint16_t> best;
        for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
            std::optional<uint64_t> observed = receive_test_packet();
            if (!observed || *observed > size) {
                continue;
            }
            if (*observed == size) {
                return size;
            }
            best = std::max<uint16_t>(best.value_or(0), static_cast<uint16_t>(*observed));
        }
        return best;
    }

    // Late test packets must not reach the worker as stream data. Bounded in time: a device
    // that already streams to this port would otherwise keep the drain going for ever.
    void drain() {
        set_read_timeout(fd_, kDrainTimeout);
        Instant deadline = deadline_after(kDrainLimit);
        while (Clock::now() < deadline && ::recv(fd_, buffer_.data(), buffer_.size(), 0) >= 0) {
        }
    }

  private:
    // The IP-level size of one datagram from the device, or nothing after the read timeout.
    std::optional<uint64_t> receive_test_packet() {
        sockaddr_storage source{};
        socklen_t len = sizeof source;
        ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), 0,
                               reinterpret_cast<sockaddr*>(&source), &len);
        if (n < 0 || source.ss_family != AF_INET) {
            return std::nullopt;
        }
        const auto& from = reinterpret_cast<const sockaddr_in&>(source);
        if (from.sin_addr.s_addr != device_.sin_addr.s_addr) {
            return std::nullopt;
        }
        return static_cast<uint64_t>(n) + kIpUdpOverhead;
    }

    int fd_;
    const ControlPort& port_;
    uint32_t scps_;
    sockaddr_in device_;
    std::vector<uint8_t> buffer_;
};

CameraResult<uint16_t> negotiate_packet_size(int fd, const ControlPort& port,
                                             const StreamRegisters& regs,
                                             const sockaddr_in& device) {
    set_read_timeout(fd, kProbeTimeout);
    Prober prober(fd, port, regs.scps, device);
    std::optional<uint16_t> found =
        search_packet_size([&](uint16_t size) { return prober.probe(size); });
    if (!found) {
        CVK_LOG(log::Level::Warn, kTarget, {},
                "packet size fire-test unsupported, falling back to 1500");
    }
    uint16_t size = found.value_or(kFallbackPacketSize);
    CVK_TRY_VOID(wait(port.write_register(regs.scps, size), port.request_timeout()));
    prober.drain();
    CVK_LOG(log::Level::Debug, kTarget, {}, "negotiated stream packet size {}", size);
    return size;
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

uint64_t receive_buffer_size(uint64_t recv_buffer, uint64_t payload_size) {
    if (recv_buffer != 0) {
        return recv_buffer;
    }
    uint64_t wanted =
        payload_size > kMaxAutoRecvBuffer ? kMaxAutoRecvBuffer : payload_size + kRecvBufferSlack;
    return std::clamp(wanted, kMinAutoRecvBuffer, kMaxAutoRecvBuffer);
}

std::optional<uint16_t> search_packet_size(const PacketProbe& probe) {
    if (probe(kMaxPacketSize)) {
        return kMaxPacketSize;
    }
    uint16_t lower = 0;
    uint16_t best = 0;
    bool found = false;
    for (uint16_t size : kFirstProbes) {
        if (auto observed = probe(size)) {
            lower = size;
            best = *observed;
            found = true;
            break;
        }
    }
    if (!found) {
        return std::nullopt;
    }
    uint16_t upper = kMaxPacketSize;
    while (static_cast<uint16_t>(upper - lower) > kSearchStep) {
        auto mid = static_cast<uint16_t>(lower + (static_cast<uint16_t>(upper - lower) / 32) * 16);
        if (auto observed = probe(mid)) {
            lower = mid;
            best = std::max(best, *observed);
        } else {
            upper = mid;
        }
    }
    return std::max(best, kMinPacketSize);
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

// ---- open_stream ------------------------------------------------------------------------------

CameraResult<StreamChannel> open_stream(GigECamera& camera, const StreamConfig& config) {
    if (!config.payload_size || *config.payload_size == 0) {
        return Err{CameraError::malformed("payload_size must be set")};
    }
    Connection* conn = CVK_TRY(camera.check_connection());
    const SocketAddress& device = camera.config().device;
    SocketAddress bind_to = CVK_TRY(choose_bind_address(config, *conn, device));
    BoundSocket sock = CVK_TRY(bind_stream_socket(bind_to));
    if (!device.ip.is_v4()) {
        return Err{CameraError::unsupported("IPv6 stream destinations")};
    }
    sockaddr_storage storage{};
    device.to_sockaddr(storage);
    sockaddr_in device_in{};
    std::memcpy(&device_in, &storage, sizeof device_in);

    uint32_t scda = scda_value(sock.local);
    if (scda == 0) {
        CVK_LOG(log::Level::Debug, kTarget, log::fields("local", to_text(sock.local)),
                "stream host IP unresolved; advertising SCDA=0 (device streams to the GVCP "
                "requester)");
    }
    set_receive_buffer(sock.fd.get(),
                       receive_buffer_size(config.recv_buffer, *config.payload_size));

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
    const ControlPort& port = state->port;
    const StreamRegisters& regs = state->regs;
    Duration w = port.request_timeout();
    CVK_TRY_VOID(wait(port.write_register(regs.scda, scda), w));
    ScpReset reset(port, regs.scp);
    CVK_TRY_VOID(wait(port.write_register(regs.scp, ntohs(sock.local.sin_port)), w));
    reset.arm();
    if (config.packet_size) {
        CVK_TRY_VOID(wait(port.write_register(regs.scps, *config.packet_size), w));
        state->packet_size = *config.packet_size;
    } else {
        state->packet_size = CVK_TRY(negotiate_packet_size(sock.fd.get(), port, regs, device_in));
    }
    if (config.packet_delay) {
        CVK_TRY_VOID(wait(port.write_register(regs.scpd, *config.packet_delay), w));
    }
    StreamRunnerParams params;
    params.assembler = AssemblerConfig{
        .payload_size = *config.payload_size,
        .packet_size = state->packet_size,
        .tick_frequency = read_tick_frequency(port),
        .n_buffers = config.n_buffers,
        .resend_enabled = state->resend_enabled,
        .resend_initial_delay = config.resend_initial_delay,
        .resend_interval = config.resend_interval,
        .frame_timeout = config.frame_timeout,
        .resend_ratio = config.resend_ratio,
    };
    params.channel = config.channel;
    params.thread = config.thread;
    state->receiver.emplace(CVK_TRY(spawn_stream_runner(std::move(sock.fd), device_in, params)));
    reset.disarm();
    CVK_LOG(log::Level::Debug, kTarget,
            log::fields("channel", config.channel, "local", to_text(state->local), "packet_size",
                        state->packet_size),
            "stream channel opened");
    return StreamChannel(std::move(state));
}

}  // namespace corvisk::gige
