// The stream worker loop: readiness wait, socket drain, commands, ticks and shutdown.
#include "gige/stream/runner.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "errno_text.hpp"
#include "gige/event_loop.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = kStreamWorkerLogTarget;
constexpr Duration kIdleWait = std::chrono::milliseconds(100);
constexpr size_t kDatagramSize = 65535;
// Datagrams taken per recvmmsg call, and calls per readiness event: bounded so that a device
// streaming at line rate cannot starve timers, commands and the stop flag.
constexpr unsigned kBatch = 16;
constexpr int kMaxBatchesPerWake = 64;

size_t header_size(bool extended_id) {
    return extended_id ? gvsp::kExtendedHeaderSize : gvsp::kStandardHeaderSize;
}

// The wait while frames are in flight: their resend and timeout checks come due this often.
Duration busy_wait(const AssemblerConfig& config) {
    return std::clamp<Duration>(std::min(config.resend_interval, config.frame_timeout),
                                std::chrono::milliseconds(1), kIdleWait);
}

}  // namespace

// Worker-only state. Built on the owner's thread (so setup failures reach open_stream), then
// owned by the worker thread.
class StreamRunner {
  public:
    StreamRunner(UniqueFd socket, const sockaddr_in& device, EventLoop<ToStreamWorker> loop,
                 std::shared_ptr<StreamShared> shared, const StreamRunnerParams& params)
        : socket_(std::move(socket)),
          device_(device),
          loop_(std::move(loop)),
          shared_(std::move(shared)),
          thread_(params.thread),
          busy_wait_(busy_wait(params.assembler)) {}

    CameraResult<void> init(const AssemblerConfig& config);
    void run();

  private:
    void drain_commands();
    void drain_socket();
    void aim_batch();
    void deliver_batch(unsigned n);
    bool landed(unsigned i, gvsp::GvspHeader& h) const;
    size_t coalesced_segment(unsigned i) const;
    void deliver_segments(unsigned i, size_t segment);
    void publish_placement() {
        PlacementCounts counts = assembler_->placement();
        counts.coalesced_datagrams = coalesced_;
        shared_->publish_placement(counts);
    }
    void reassemble(unsigned i);
    uint8_t* datagram(unsigned i) { return buffers_.data() + size_t{i} * kDatagramSize; }
    uint8_t* overflow(unsigned i) { return overflow_.data() + size_t{i} * kDatagramSize; }
    bool from_device(const mmsghdr& msg) const;
    int send_to_device(std::span<const uint8_t> bytes) const;
    void shutdown();

    UniqueFd socket_;
    sockaddr_in device_;
    EventLoop<ToStreamWorker> loop_;
    std::shared_ptr<StreamShared> shared_;
    ThreadConfig thread_;
    Duration busy_wait_;
    std::optional<Assembler> assembler_;
    bool stop_requested_ = false;
    // Per message of a batch: the whole datagram when it has no landing; otherwise its header,
    // its payload in the frame buffer (the landing) and whatever does not fit there.
    std::vector<uint8_t> buffers_;
    std::vector<uint8_t> overflow_;
    std::array<std::array<uint8_t, gvsp::kExtendedHeaderSize>, kBatch> headers_{};
    std::array<Assembler::Landing, kBatch> landings_{};
    std::array<gvsp::GvspHeader, kBatch> parsed_{};
    std::array<bool, kBatch> in_place_{};
    std::array<mmsghdr, kBatch> msgs_{};
    std::array<std::array<iovec, 3>, kBatch> iovs_{};
    std::array<sockaddr_in, kBatch> sources_{};
    // Receive offload: the kernel may hand over several equal-sized datagrams from the device
    // as one, with their size in a control message.
    bool gro_ = false;
    uint64_t coalesced_ = 0;
    std::array<std::array<uint8_t, CMSG_SPACE(sizeof(int))>, kBatch> controls_{};
};

CameraResult<void> StreamRunner::init(const AssemblerConfig& config) {
    AssemblerHooks hooks;
    hooks.send = [this](std::span<const uint8_t> bytes) { return send_to_device(bytes); };
    hooks.before_close = [this] { drain_commands(); };
    hooks.publish = [this](const StreamStats& stats) { shared_->publish(stats); };
    assembler_.emplace(CVK_TRY(Assembler::create(config, std::move(hooks))));
    try {
        buffers_.resize(kBatch * kDatagramSize);
        overflow_.resize(kBatch * kDatagramSize);
    } catch (const std::bad_alloc&) {
        return Err{CameraError::io(ENOMEM)};
    }
    for (unsigned i = 0; i < kBatch; ++i) {
        msgs_[i].msg_hdr.msg_iov = iovs_[i].data();
        msgs_[i].msg_hdr.msg_name = &sources_[i];
    }
    // Where the kernel cannot coalesce, the option is refused and datagrams come one by one.
    const int on = 1;
    gro_ = ::setsockopt(socket_.get(), IPPROTO_UDP, UDP_GRO, &on, sizeof on) == 0;
    return {};
}

void StreamRunner::run() {
    thread_.apply_logged();
    while (!loop_.stop_requested()) {
        Duration wait = assembler_->has_frames_in_flight() ? busy_wait_ : kIdleWait;
        auto readable = loop_.wait_until(Clock::now() + wait);
        if (!readable.ok()) {
            CVK_LOG(log::Level::Error, kTarget, {}, "gvsp worker poll error: {}",
                    readable.error().text());
            break;
        }
        drain_commands();
        if (*readable && !stop_requested_) {
            drain_socket();
        }
        if (stop_requested_) {
            break;
        }
        assembler_->tick(Clock::now());
        shared_->publish(assembler_->stats());
        publish_placement();
    }
    shutdown();
}

void StreamRunner::drain_commands() {
    while (auto command = loop_.try_command()) {
        if (auto* subscribe = std::get_if<SubscribeCommand>(&*command)) {
            assembler_->add_subscriber(std::move(subscribe->sender));
        } else {
            stop_requested_ = true;
        }
    }
}

void StreamRunner::drain_socket() {
    for (int round = 0; round < kMaxBatchesPerWake && !stop_requested_; ++round) {
        aim_batch();
        int n = ::recvmmsg(socket_.get(), msgs_.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                CVK_LOG(log::Level::Warn, kTarget, {}, "gvsp recv error: {}", errno_text(errno));
            }
            return;
        }
        deliver_batch(static_cast<unsigned>(n));
        if (static_cast<unsigned>(n) < kBatch) {
            return;  // the socket had no more
        }
    }
}

// Scatter receive: a message with a landing takes the header into its own small buffer, the
// payload straight into the frame buffer where the assembler expects that packet, and anything
// beyond into its overflow area. A message without one takes the whole datagram.
void StreamRunner::aim_batch() {
    assembler_->predict(landings_);
    for (unsigned i = 0; i < kBatch; ++i) {
        msghdr& m = msgs_[i].msg_hdr;
        m.msg_namelen = sizeof(sockaddr_in);
        m.msg_control = gro_ ? controls_[i].data() : nullptr;
        m.msg_controllen = gro_ ? controls_[i].size() : 0;
        std::array<iovec, 3>& iov = iovs_[i];
        const Assembler::Landing& l = landings_[i];
        if (l.region.empty()) {
            iov[0] = iovec{datagram(i), kDatagramSize};
            m.msg_iovlen = 1;
            continue;
        }
        iov[0] = iovec{headers_[i].data(), header_size(l.extended_id)};
        iov[1] = iovec{l.region.data(), l.region.size()};
        iov[2] = iovec{overflow(i), kDatagramSize};
        m.msg_iovlen = 3;
    }
}

// Payloads that landed where predicted are placed without a copy. Every other datagram is put
// back together in its own buffer first, all of them before any is placed: placing a packet
// may write over the landing area another datagram of the batch arrived in.
void StreamRunner::deliver_batch(unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        in_place_[i] = coalesced_segment(i) == 0 && landed(i, parsed_[i]);
        if (!in_place_[i] && !landings_[i].region.empty()) {
            reassemble(i);
        }
    }
    for (unsigned i = 0; i < n; ++i) {
        if (!from_device(msgs_[i])) {
            continue;
        }
        if (size_t segment = coalesced_segment(i); segment != 0) {
            deliver_segments(i, segment);
        } else if (in_place_[i]) {
            assembler_->on_packet(parsed_[i], msgs_[i].msg_len, Clock::now());
        } else {
            assembler_->on_datagram(std::span<const uint8_t>(datagram(i), msgs_[i].msg_len),
                                    Clock::now());
        }
    }
}

// Whether message i is the payload packet its landing was meant for, with `h` its header and
// payload (in the frame buffer).
bool StreamRunner::landed(unsigned i, gvsp::GvspHeader& h) const {
    const Assembler::Landing& l = landings_[i];
    size_t header = header_size(l.extended_id);
    size_t length = msgs_[i].msg_len;
    if (l.region.empty() || length <= header ||
        !gvsp::parse_header(std::span<const uint8_t>(headers_[i].data(), header), h)) {
        return false;
    }
    size_t payload = length - header;
    if (h.is_error() || h.format != gvsp::kPayload || h.block_id != l.block_id ||
        h.packet_id != l.packet_id || h.extended_id != l.extended_id || payload > l.region.size()) {
        return false;
    }
    h.payload = std::span<const uint8_t>(l.region.data(), payload);
    return true;
}

// The segment size of message i when the kernel coalesced several datagrams into it, else 0.
size_t StreamRunner::coalesced_segment(unsigned i) const {
    const msghdr& m = msgs_[i].msg_hdr;
    if (!gro_) {
        return 0;
    }
    for (const cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&m), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
            return segment > 0 && static_cast<size_t>(segment) < msgs_[i].msg_len
                       ? static_cast<size_t>(segment)
                       : 0;
        }
    }
    return 0;
}

// A coalesced message (already whole in its datagram buffer) is the device's datagrams back to
// back, each `segment` bytes but the last; each goes to the assembler as it was sent.
void StreamRunner::deliver_segments(unsigned i, size_t segment) {
    const uint8_t* data = datagram(i);
    size_t length = msgs_[i].msg_len;
    for (size_t offset = 0; offset < length; offset += segment) {
        ++coalesced_;
        assembler_->on_datagram(
            std::span<const uint8_t>(data + offset, std::min(segment, length - offset)),
            Clock::now());
    }
}

// Copies message i's pieces (header, landing, overflow) into its datagram buffer, in order.
void StreamRunner::reassemble(unsigned i) {
    const Assembler::Landing& l = landings_[i];
    size_t length = msgs_[i].msg_len;
    size_t header = std::min(length, header_size(l.extended_id));
    size_t landed_bytes = std::min(length - header, l.region.size());
    uint8_t* out = datagram(i);
    std::memcpy(out, headers_[i].data(), header);
    std::memcpy(out + header, l.region.data(), landed_bytes);
    std::memcpy(out + header + landed_bytes, overflow(i), length - header - landed_bytes);
}

bool StreamRunner::from_device(const mmsghdr& msg) const {
    const auto* source = static_cast<const sockaddr_in*>(msg.msg_hdr.msg_name);
    return msg.msg_hdr.msg_namelen >= sizeof(sockaddr_in) && source->sin_family == AF_INET &&
           source->sin_addr.s_addr == device_.sin_addr.s_addr;
}

int StreamRunner::send_to_device(std::span<const uint8_t> bytes) const {
    ssize_t n = ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&device_), sizeof device_);
    return n < 0 ? errno : 0;
}

void StreamRunner::shutdown() {
    assembler_->abort_all();
    shared_->publish(assembler_->stats());
    publish_placement();
    assembler_->drop_subscribers();
    CVK_LOG(log::Level::Debug, kTarget, {}, "gvsp worker shutting down");
    loop_.close();
}

StreamRunnerParams StreamRunnerParams::from_config(const StreamConfig& config,
                                                   uint64_t payload_size, uint16_t packet_size,
                                                   uint64_t tick_frequency, bool resend_enabled) {
    StreamRunnerParams params;
    params.assembler.payload_size = payload_size;
    params.assembler.packet_size = packet_size;
    params.assembler.tick_frequency = tick_frequency;
    params.assembler.n_buffers = config.n_buffers;
    params.assembler.resend_enabled = resend_enabled;
    params.assembler.resend_initial_delay = config.resend_initial_delay;
    params.assembler.resend_interval = config.resend_interval;
    params.assembler.frame_timeout = config.frame_timeout;
    params.assembler.resend_ratio = config.resend_ratio;
    params.assembler.pool_memory_limit = config.pool_memory_limit;
    params.channel = config.channel;
    params.thread = config.thread;
    return params;
}

FrameChannel StreamReceiver::subscribe(size_t capacity) const {
    auto [tx, rx] = chan::bounded<FramePtr>(capacity);
    auto commands = commands_;
    if (commands.try_send(SubscribeCommand{std::move(tx)}) == chan::SendResult::Ok) {
        worker_.wake();
    }
    return std::move(rx);
}

void StreamReceiver::stop() {
    if (commands_.valid()) {
        [[maybe_unused]] auto r = commands_.try_send(StopCommand{});
        commands_ = chan::Sender<ToStreamWorker>();
    }
    worker_.stop_and_join();
}

CameraResult<StreamReceiver> spawn_stream_runner(UniqueFd socket, const sockaddr_in& device,
                                                 const StreamRunnerParams& params) {
    int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
        return Err{CameraError::thread_spawn(errno_text(errno))};
    }
    StreamReceiver receiver;
    socklen_t len = sizeof receiver.local_;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&receiver.local_), &len) != 0) {
        return Err{CameraError::thread_spawn(errno_text(errno))};
    }
    auto [tx, rx] = chan::unbounded<ToStreamWorker>();
    auto loop = CVK_TRY(EventLoop<ToStreamWorker>::create(socket.get(), std::move(rx),
                                                          receiver.worker_.stop_flag()));
    receiver.commands_ = std::move(tx);
    receiver.shared_ = std::make_shared<StreamShared>();
    receiver.worker_.set_waker(loop.waker());
    auto runner = std::make_shared<StreamRunner>(std::move(socket), device, std::move(loop),
                                                 receiver.shared_, params);
    if (auto ok = runner->init(params.assembler); !ok.ok()) {
        return Err{spawn_error(ok.error())};
    }
    CVK_TRY_VOID(spawn_loop_worker(receiver.worker_, fmt::format("corvisk-gvsp{}", params.channel),
                                   std::move(runner)));
    return receiver;
}

}  // namespace corvisk::gige
