// The stream worker loop: readiness wait, socket drain, commands, ticks and shutdown.
#include "gige/stream/runner.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <thread>

#include "errno_text.hpp"
#include "gige/event_loop.hpp"
#include "gige/stream/scatter.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = kStreamWorkerLogTarget;
constexpr Duration kIdleWait = std::chrono::milliseconds(100);
// recvmmsg calls per readiness event: bounded so that a device streaming at line rate cannot
// starve timers, commands and the stop flag.
constexpr int kMaxBatchesPerWake = 64;
// Pauses of receive moderation per readiness event, so that timers and commands still come
// round within about a millisecond (the pauses are at most 1 ms, and usually 50 us).
constexpr int kMaxPausesPerWake = 8;

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
          busy_wait_(busy_wait(params.assembler)),
          moderation_(std::clamp(params.receive_moderation, Duration::zero(),
                                 Duration(stream_defaults::kMaxReceiveModeration))) {}

    CameraResult<void> init(const AssemblerConfig& config);
    void run();

  private:
    void drain_commands();
    void drain_socket();
    void publish_placement() {
        PlacementCounts counts = assembler_->placement();
        const ScatterReceiver::Counts& scattered = scatter_->counts();
        counts.coalesced_datagrams = scattered.coalesced_datagrams;
        counts.coalesced_messages = scattered.coalesced_messages;
        counts.moved_segments = scattered.moved_segments;
        counts.gathered_messages = scattered.gathered_messages;
        shared_->publish_placement(counts);
    }
    int send_to_device(std::span<const uint8_t> bytes) const;
    void shutdown();

    UniqueFd socket_;
    sockaddr_in device_;
    EventLoop<ToStreamWorker> loop_;
    std::shared_ptr<StreamShared> shared_;
    ThreadConfig thread_;
    Duration busy_wait_;
    Duration moderation_;
    std::optional<Assembler> assembler_;
    bool stop_requested_ = false;
    std::unique_ptr<ScatterReceiver> scatter_;
};

CameraResult<void> StreamRunner::init(const AssemblerConfig& config) {
    AssemblerHooks hooks;
    hooks.send = [this](std::span<const uint8_t> bytes) { return send_to_device(bytes); };
    hooks.before_close = [this] { drain_commands(); };
    // The placement figures go out first, so whoever sees a frame counted also sees its bytes.
    hooks.publish = [this](const StreamStats& stats) {
        publish_placement();
        shared_->publish(stats);
    };
    assembler_.emplace(CVK_TRY(Assembler::create(config, std::move(hooks))));
    scatter_ = CVK_TRY(ScatterReceiver::create(device_));
    scatter_->enable_offload(socket_.get());
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
        publish_placement();
        shared_->publish(assembler_->stats());
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

// Receive moderation: a receive that emptied the socket but took two messages or more, while a
// frame is still coming, means the device sends about as fast as the worker reads, and waiting
// for readiness again would wake the worker for every datagram or two (on a virtual machine
// each wake-up costs more than receiving a datagram). A pause lets a batch gather instead.
// One message means the datagrams come further apart than a wake-up takes: no pause, so that a
// slow stream is not woken twice per datagram. Nor where the kernel coalesces datagrams: each
// message is a batch already, and at the rates that takes a pause only risks the socket's room
// (measured: frames lost at the simulated camera's maximum with it, none without). The pause is
// a plain sleep, not a wait on the socket, so that a datagram does not end it; it is short
// against any receive buffer's room.
void StreamRunner::drain_socket() {
    int pauses = 0;
    for (int round = 0; round < kMaxBatchesPerWake && !stop_requested_; ++round) {
        int n = scatter_->receive(socket_.get(), *assembler_);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                CVK_LOG(log::Level::Warn, kTarget, {}, "gvsp recv error: {}", errno_text(errno));
            }
            return;
        }
        if (!scatter_->emptied()) {
            continue;
        }
        if (n < 2 || moderation_ <= Duration::zero() || pauses == kMaxPausesPerWake ||
            scatter_->segments_per_message() > 1 || !assembler_->has_frames_in_flight() ||
            loop_.stop_requested()) {
            return;  // the socket had no more
        }
        ++pauses;
        // The system's timer slack may lengthen it by up to 50 us (normal priority).
        std::this_thread::sleep_for(moderation_);
    }
}

int StreamRunner::send_to_device(std::span<const uint8_t> bytes) const {
    ssize_t n = ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&device_), sizeof device_);
    return n < 0 ? errno : 0;
}

void StreamRunner::shutdown() {
    assembler_->abort_all();
    publish_placement();
    shared_->publish(assembler_->stats());
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
    params.assembler.pool = config.pool;
    params.receive_moderation = config.receive_moderation;
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
