// The control worker loop: transactions, retries, PENDING_ACK, heartbeat, events, shutdown.
#include "gige/runner.hpp"

#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <deque>
#include <thread>
#include <utility>

#include "bytes.hpp"
#include "errno_text.hpp"
#include "gige/event_loop.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/transaction.hpp"
#include "gige/udp_socket.hpp"
#include "gige/wire.hpp"
#include "log.hpp"
#include "poller.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige::runner";
// Largest UDP payload: one receive buffer holds any datagram.
constexpr size_t kRecvBufferSize = 65535;
constexpr auto kMinHeartbeatInterval = std::chrono::milliseconds(10);
// After sending a request the worker polls the socket this long before it goes to sleep: a
// device on a short link answers within it, and the answer is then taken without the wake-up
// of a readiness wait, which costs about as much as the round trip itself.
constexpr auto kAckSpin = std::chrono::microseconds(40);

struct Inflight {
    Bytes packet;  // the exact datagram sent, for retransmission
    Transaction tx;
    Instant deadline;
    uint16_t id;
    uint8_t tries_left;
};

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Fails the handle carried by a request message; other messages are dropped.
void fail_message(ToWorker& msg, const SharedCameraError& error) {
    std::visit(Overloaded{
                   [](to_worker::Subscribe&) {},
                   [](to_worker::Shutdown&) {},
                   [&](auto& m) { m.handle.fulfill(Err{error}); },
               },
               msg);
}

class Runner {
  public:
    Runner(std::shared_ptr<Wire> wire, EventLoop<ToWorker> loop, std::shared_ptr<Shared> shared,
           const RunnerConfig& config, Flag alive)
        : wire_(std::move(wire)),
          loop_(std::move(loop)),
          shared_(std::move(shared)),
          device_(config.device),
          timeout_(config.gvcp_timeout),
          retries_(config.retries),
          heartbeat_interval_(heartbeat_interval(config.heartbeat_timeout_ms)),
          next_heartbeat_(config.monitor ? Instant::max() : deadline_after(heartbeat_interval_)),
          monitor_(config.monitor),
          thread_config_(config.thread_config),
          alive_(std::move(alive)) {}

    void run();

  private:
    bool pass();
    bool take_wire();
    void leave_wire_if_idle();
    void drain_deferred();
    void drain_socket();
    void on_datagram(std::span<const uint8_t> datagram, const sockaddr_storage& source,
                     socklen_t source_len);
    void on_foreign_datagram(std::span<const uint8_t> datagram);
    void on_event(const gvcp::CommandHeader& cmd, const sockaddr_storage& source,
                  socklen_t source_len);
    void on_ack(const gvcp::AckHeader& ack);
    void continue_transfer(Transaction tx);
    bool drain_channel();
    void check_inflight_deadline();
    void heartbeat_timer();
    void spin_for_ack();
    void send_next();
    void send_op(Transaction tx);
    void shutdown();
    void fail_all(const SharedCameraError& error);
    void release_device();
    Instant next_deadline() const;

    ssize_t send_to_device(std::span<const uint8_t> packet) { return wire_->send(packet); }
    uint16_t next_id() { return wire_->next_id(); }
    bool heartbeat_pending() const;

    std::shared_ptr<Wire> wire_;
    EventLoop<ToWorker> loop_;
    std::shared_ptr<Shared> shared_;
    SocketAddress device_;
    Duration timeout_;
    uint8_t retries_;
    Duration heartbeat_interval_;
    Instant next_heartbeat_;
    bool monitor_;
    ThreadConfig thread_config_;
    Flag alive_;

    std::deque<Transaction> queue_;
    std::optional<Inflight> inflight_;
    std::vector<chan::Sender<GvcpEvent>> subscribers_;
    Bytes recv_buf_;
    bool holding_ = false;  // this worker holds the wire's slot
    uint32_t taken_ = 0;    // requests taken from the channel in this pass
    bool control_lost_ = false;
};

void Runner::run() {
    thread_config_.apply_logged();
    recv_buf_.resize(kRecvBufferSize);
    try {
        while (!loop_.stop_requested() && !control_lost_) {
            if (!pass()) {
                break;
            }
        }
    } catch (const std::exception& e) {
        // Only allocation failure can get here; end cleanly so no waiter is left hanging.
        CVK_LOG(log::Level::Error, kTarget, {}, "gvcp worker poll error: {}", e.what());
    }
    shutdown();
}

// One pass of the loop; false leaves it (Shutdown message or fatal poll error).
bool Runner::pass() {
    auto readable = loop_.wait_until(next_deadline());
    if (!readable.ok()) {
        CVK_LOG(log::Level::Error, kTarget, {}, "gvcp worker poll error: {}",
                readable.error().text());
        return false;
    }
    if (!drain_channel()) {
        return false;
    }
    heartbeat_timer();
    const bool on_wire = take_wire();
    wire_->note_taken(std::exchange(taken_, 0));  // after take_wire: see Wire::note_posted
    if (!on_wire) {
        return true;  // a caller is on the wire; it wakes us when it is done, if we asked
    }
    drain_deferred();
    drain_socket();
    check_inflight_deadline();
    send_next();
    spin_for_ack();
    leave_wire_if_idle();
    return true;
}

// The worker takes the slot whenever it can; when a caller holds it, the worker asks for it only
// if it has something to send (the caller owns the socket meanwhile, events included).
bool Runner::take_wire() {
    if (holding_ || wire_->try_acquire()) {
        holding_ = true;
        return true;
    }
    if (queue_.empty()) {
        return false;
    }
    wire_->set_worker_wants(true);
    holding_ = wire_->try_acquire();
    return holding_;
}

void Runner::leave_wire_if_idle() {
    if (inflight_ || !queue_.empty()) {
        wire_->set_worker_wants(true);  // callers queue behind us meanwhile
        return;
    }
    wire_->set_worker_wants(false);
    wire_->release();
    holding_ = false;
}

// Events a caller read while it held the slot: acknowledged and delivered now.
void Runner::drain_deferred() {
    for (Wire::Deferred& d : wire_->take_deferred()) {
        on_datagram(d.datagram, d.source, d.source_len);
    }
}

// Only requests a caller waits for are worth the spin; a heartbeat's answer can wait.
void Runner::spin_for_ack() {
    const Instant until = deadline_after(kAckSpin);
    while (inflight_ && !inflight_->tx.is_heartbeat() && !control_lost_) {
        drain_socket();
        if (!inflight_) {
            send_next();  // the next queued request goes out at once, and is spun for too
            continue;
        }
        if (Clock::now() >= until) {
            return;
        }
        std::this_thread::yield();
    }
}

// The worker sleeps until the in-flight retry or the next heartbeat is due, whichever is first;
// new requests and the owner's stop wake it earlier.
Instant Runner::next_deadline() const {
    Instant earliest = next_heartbeat_;
    if (inflight_ && inflight_->deadline < earliest) {
        earliest = inflight_->deadline;
    }
    return earliest;
}

void Runner::drain_socket() {
    for (;;) {
        sockaddr_storage source{};
        socklen_t source_len = sizeof source;
        ssize_t n = ::recvfrom(wire_->fd(), recv_buf_.data(), recv_buf_.size(), 0,
                               reinterpret_cast<sockaddr*>(&source), &source_len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                CVK_LOG(log::Level::Warn, kTarget, {}, "gvcp recv error: {}", errno_text(errno));
            }
            return;
        }
        std::span<const uint8_t> datagram(recv_buf_.data(), static_cast<size_t>(n));
        switch (classify_inbound(datagram, source, device_)) {
            case Inbound::Command:
            case Inbound::Ack:
                on_datagram(datagram, source, source_len);
                break;
            case Inbound::ForeignAck:
                on_foreign_datagram(datagram);
                break;
            case Inbound::Ignored:
                break;
        }
    }
}

void Runner::on_datagram(std::span<const uint8_t> datagram, const sockaddr_storage& source,
                         socklen_t source_len) {
    if (gvcp::is_command(datagram)) {
        gvcp::CommandHeader cmd;
        if (!gvcp::parse_command(datagram, cmd)) {
            CVK_LOG(log::Level::Trace, kTarget, {}, "malformed inbound command");
            return;
        }
        if (cmd.command == gvcp::kEventCmd || cmd.command == gvcp::kEventDataCmd) {
            on_event(cmd, source, source_len);
        } else {
            CVK_LOG(log::Level::Trace, kTarget, {}, "unexpected inbound command {:#06x}",
                    cmd.command);
        }
        return;
    }
    gvcp::AckHeader ack;
    if (!gvcp::parse_ack(datagram, ack)) {
        CVK_LOG(log::Level::Trace, kTarget, {}, "malformed ack ({} bytes)", datagram.size());
        return;
    }
    if (!inflight_ || ack.ack_id != inflight_->id) {
        shared_->bump(&LinkStats::unsolicited);
        return;
    }
    on_ack(ack);
}

// An acknowledge from the device's control port on another address (see classify_inbound).
void Runner::on_foreign_datagram(std::span<const uint8_t> datagram) {
    gvcp::AckHeader ack;
    if (!gvcp::parse_ack(datagram, ack)) {
        return;
    }
    if (!inflight_ || ack.ack_id != inflight_->id) {
        return;
    }
    shared_->bump(&LinkStats::foreign_source_acks);
    on_ack(ack);
}

void Runner::on_event(const gvcp::CommandHeader& cmd, const sockaddr_storage& source,
                      socklen_t source_len) {
    if (cmd.flags & gvcp::kFlagAckRequired) {
        auto reply = gvcp::encode_event_ack(cmd.command, cmd.req_id);
        if (::sendto(wire_->fd(), reply.data(), reply.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&source), source_len) < 0) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "event ack send failed: {}", errno_text(errno));
        }
    }
    shared_->bump(&LinkStats::events);
    if (subscribers_.empty()) {
        return;
    }
    GvcpEvent event = GvcpEvent::parse(cmd.command, cmd.payload);
    std::erase_if(subscribers_, [&](chan::Sender<GvcpEvent>& s) {
        GvcpEvent copy = event;
        switch (s.try_send(std::move(copy))) {
            case chan::SendResult::Full:
                CVK_LOG(log::Level::Trace, kTarget, {}, "event channel full, event dropped");
                return false;
            case chan::SendResult::Disconnected:
                return true;
            case chan::SendResult::Ok:
                break;
        }
        return false;
    });
}

void Runner::on_ack(const gvcp::AckHeader& ack) {
    if (auto extra_ms = gvcp::decode_pending_ack(ack)) {
        inflight_->deadline = deadline_after(std::chrono::milliseconds(*extra_ms));
        shared_->bump(&LinkStats::pending_acks);
        return;
    }
    Inflight inflight = std::move(*inflight_);
    inflight_.reset();
    shared_->bump(&LinkStats::acks);
    if (ack.status.is_error()) {
        shared_->bump(&LinkStats::naks);
    } else if (inflight.tx.is_heartbeat() && ack.ack_code == gvcp::kReadRegAck) {
        shared_->bump(&LinkStats::heartbeats);
    }
    switch (inflight.tx.on_ack(ack)) {
        case AckOutcome::Done:
            break;
        case AckOutcome::Continue:
            continue_transfer(std::move(inflight.tx));
            break;
        case AckOutcome::ControlLost:
            control_lost_ = true;
            break;
    }
}

// The next chunk of a memory transfer goes out at once, or right behind a queued heartbeat, so
// a long transfer is never interleaved with other requests.
void Runner::continue_transfer(Transaction tx) {
    if (!queue_.empty() && queue_.front().is_heartbeat()) {
        queue_.insert(queue_.begin() + 1, std::move(tx));
        return;
    }
    send_op(std::move(tx));
}

// Moves every waiting message into the queue; false when a Shutdown arrived (the messages
// behind it stay in the channel for the final drain).
bool Runner::drain_channel() {
    for (;;) {
        auto msg = loop_.try_command();
        if (!msg) {
            return true;
        }
        if (std::holds_alternative<to_worker::Shutdown>(*msg)) {
            return false;
        }
        if (auto* sub = std::get_if<to_worker::Subscribe>(&*msg)) {
            subscribers_.push_back(std::move(sub->sender));
            continue;
        }
        if (auto tx = Transaction::from_message(std::move(*msg), shared_->quirks())) {
            queue_.push_back(std::move(*tx));
            ++taken_;
        }
    }
}

void Runner::check_inflight_deadline() {
    if (!inflight_ || Clock::now() < inflight_->deadline) {
        return;
    }
    if (inflight_->tries_left == 0) {
        shared_->bump(&LinkStats::timeouts);
        Inflight inflight = std::move(*inflight_);
        inflight_.reset();
        if (inflight.tx.on_timeout() == AckOutcome::ControlLost) {
            control_lost_ = true;
        }
        return;
    }
    --inflight_->tries_left;
    inflight_->deadline = deadline_after(timeout_);
    shared_->bump(&LinkStats::retries);
    CVK_LOG(log::Level::Trace, kTarget,
            log::fields("id", inflight_->id, "tries_left", inflight_->tries_left),
            "ack overdue, retrying transaction");
    if (send_to_device(inflight_->packet) < 0) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "retry send failed: {}", errno_text(errno));
    }
}

bool Runner::heartbeat_pending() const {
    if (inflight_ && inflight_->tx.is_heartbeat()) {
        return true;
    }
    return std::any_of(queue_.begin(), queue_.end(),
                       [](const Transaction& tx) { return tx.is_heartbeat(); });
}

// The heartbeat never pre-empts the transaction in flight; it goes out next.
void Runner::heartbeat_timer() {
    Instant now = Clock::now();
    if (monitor_ || now < next_heartbeat_) {
        return;
    }
    next_heartbeat_ = deadline_after(heartbeat_interval_, now);
    if (!heartbeat_pending()) {
        queue_.push_front(Transaction::heartbeat());
    }
}

void Runner::send_next() {
    // Once control is lost nothing more goes to the device; the loop ends after this pass.
    // A request that is dropped (its caller gave up) or fails to send makes room for the next.
    while (!control_lost_ && !inflight_ && !queue_.empty()) {
        Transaction next = std::move(queue_.front());
        queue_.pop_front();
        send_op(std::move(next));
    }
}

void Runner::send_op(Transaction tx) {
    // A caller that stopped waiting was told its request failed; it must not take effect later.
    if (tx.is_settled()) {
        return;
    }
    uint16_t id = next_id();
    Bytes packet = tx.encode(id);
    if (monitor_ && packet.size() >= 4) {
        const uint16_t code = static_cast<uint16_t>((packet[2] << 8) | packet[3]);
        if (code == gvcp::kWriteRegCmd || code == gvcp::kWriteMemCmd) {
            tx.fail(CameraError::io_text(EPERM, "a monitor connection does not write"));
            return;
        }
    }
    if (send_to_device(packet) < 0) {
        tx.fail(CameraError::io(errno));
        return;
    }
    shared_->bump(&LinkStats::commands);
    inflight_ = Inflight{std::move(packet), std::move(tx), deadline_after(timeout_), id, retries_};
}

void Runner::fail_all(const SharedCameraError& error) {
    if (inflight_) {
        inflight_->tx.fail(error);
        inflight_.reset();
    }
    for (Transaction& tx : queue_) {
        tx.fail(error);
    }
    queue_.clear();
}

// Fire-and-forget CCP := 0; the device may be gone already, so send errors are ignored.
void Runner::release_device() {
    const std::pair<uint32_t, uint32_t> release[] = {{bootstrap::kCcp, 0}};
    auto packet = gvcp::encode_write_reg(release, next_id());
    [[maybe_unused]] ssize_t n = send_to_device(packet);
}

void Runner::shutdown() {
    CVK_LOG(log::Level::Debug, kTarget, log::fields("control_lost", control_lost_),
            "gvcp worker shutting down");
    if (!holding_) {
        wire_->acquire();  // a caller's direct request ends within its own timeout
        holding_ = true;
    }
    SharedCameraError error =
        share(control_lost_ ? CameraError::control_lost() : CameraError::not_connected());
    if (control_lost_) {
        shared_->set_control_lost();
    }
    fail_all(error);
    if (!control_lost_ && !monitor_) {
        release_device();
    }
    subscribers_.clear();
    wire_->close();
    wire_->set_worker_wants(false);
    wire_->release();
    holding_ = false;
    alive_->store(false, std::memory_order_release);
    // Requests that slipped in before `alive` was cleared are answered here; anything posted
    // later is answered by the port itself, which re-checks `alive` after posting.
    while (auto msg = loop_.try_command()) {
        fail_message(*msg, error);
    }
    loop_.close();
}

CameraResult<std::pair<UniqueFd, SocketAddress>> bind_socket(const RunnerConfig& config) {
    SocketAddress local{config.local.value_or(IpAddress::unspecified(config.device.ip.family())),
                        0};
    auto socket = udp::open_bound(local, {.nonblocking = true});
    if (!socket) {
        return Err{CameraError::thread_spawn(
            fmt::format("bind control socket {}: {}", local, errno_text(socket.error())))};
    }
    auto bound = udp::local_address(socket->get());
    if (!bound) {
        return Err{bound.error() == EAFNOSUPPORT
                       ? CameraError::thread_spawn("control socket has no IP address")
                       : CameraError::thread_spawn(errno_text(bound.error()))};
    }
    return std::pair{std::move(*socket), *bound};
}

}  // namespace

Duration heartbeat_interval(uint32_t heartbeat_timeout_ms) {
    Duration third = std::chrono::milliseconds(heartbeat_timeout_ms / 3);
    return std::max<Duration>(third, kMinHeartbeatInterval);
}

CameraResult<SpawnedRunner> spawn(chan::Receiver<ToWorker> receiver, std::shared_ptr<Shared> shared,
                                  const RunnerConfig& config) {
    auto [socket, local] = CVK_TRY(bind_socket(config));
    auto wire = std::make_shared<Wire>(std::move(socket), config, shared);
    ThreadHandle worker;
    auto loop =
        CVK_TRY(EventLoop<ToWorker>::create(wire->fd(), std::move(receiver), worker.stop_flag()));
    worker.set_waker(loop.waker());
    wire->attach_worker(loop.poller_fd(), kSocketToken, loop.waker());
    auto runner = std::make_shared<Runner>(wire, std::move(loop), std::move(shared), config,
                                           worker.alive_flag());
    CVK_TRY_VOID(spawn_loop_worker(worker, "corvisk-gvcp", std::move(runner)));
    return SpawnedRunner{std::move(worker), local, std::move(wire)};
}

}  // namespace corvisk::gige
