// The control worker loop: transactions, retries, PENDING_ACK, heartbeat, events, shutdown.
#include "gige/runner.hpp"

#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <deque>

#include "bytes.hpp"
#include "errno_text.hpp"
#include "gige/proto/bootstrap.hpp"
#include "gige/proto/gvcp.hpp"
#include "log.hpp"
#include "poller.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige::runner";
constexpr uint64_t kSocketToken = 0;
constexpr uint64_t kWakerToken = 1;
constexpr size_t kMaxEvents = 16;
constexpr size_t kRecvBufferSize = 65535;
constexpr int kPollTimeoutMs = 10;
constexpr auto kMinHeartbeatInterval = std::chrono::milliseconds(10);
// A memory read's buffer grows as data arrives beyond this, so a huge requested length cannot
// allocate before the device has sent anything.
constexpr size_t kMaxInitialReserve = 64 * 1024;

// One transaction as the worker tracks it; holds the requester's handle.
namespace op {
struct ReadRegister {
    ResponseHandle<uint32_t> handle;
};
struct ReadRegisters {
    ResponseHandle<std::vector<uint32_t>> handle;
    size_t expected;
};
struct WriteRegisters {
    ResponseHandle<void> handle;
};
struct ReadMemory {
    uint32_t next_address;
    uint32_t total;
    ResponseHandle<Bytes> handle;
    Bytes received;
};
struct WriteMemory {
    uint32_t base;
    uint32_t offset;
    ResponseHandle<void> handle;
    Bytes data;
};
struct Heartbeat {};
}  // namespace op

using Op = std::variant<op::ReadRegister, op::ReadRegisters, op::WriteRegisters, op::ReadMemory,
                        op::WriteMemory, op::Heartbeat>;

// What goes on the wire for an Op; memory chunks are computed from the Op's progress.
namespace send {
struct ReadRegisters {
    std::vector<uint32_t> addresses;
};
struct WriteRegisters {
    RegisterPairs pairs;
};
struct ReadMemory {};
struct WriteMemory {};
}  // namespace send

using PendingSend =
    std::variant<send::ReadRegisters, send::WriteRegisters, send::ReadMemory, send::WriteMemory>;

// One queued transaction: the Op and its payload travel together, so they cannot drift apart.
struct Queued {
    Op op;
    PendingSend payload;
};

struct Inflight {
    Bytes packet;  // the exact datagram sent, for retransmission
    Op op;
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

bool is_heartbeat(const Op& op) {
    return std::holds_alternative<op::Heartbeat>(op);
}

// The request's command code, as reported in a Status error.
uint16_t command_code(const Op& op) {
    return std::visit(Overloaded{
                          [](const op::WriteRegisters&) -> uint16_t { return gvcp::kWriteRegCmd; },
                          [](const op::ReadMemory&) -> uint16_t { return gvcp::kReadMemCmd; },
                          [](const op::WriteMemory&) -> uint16_t { return gvcp::kWriteMemCmd; },
                          [](const auto&) -> uint16_t { return gvcp::kReadRegCmd; },
                      },
                      op);
}

// Fulfils the Op's handle with the error; a heartbeat has no handle and its error is discarded.
void fail_op(Op& op, const SharedCameraError& error) {
    std::visit(Overloaded{
                   [](op::Heartbeat&) {},
                   [&](auto& o) { o.handle.fulfill(Err{error}); },
               },
               op);
}
void fail_op(Op& op, CameraError error) {
    fail_op(op, share(std::move(error)));
}

// Fails the handle carried by a request message; other messages are dropped.
void fail_message(ToWorker& msg, const SharedCameraError& error) {
    std::visit(Overloaded{
                   [](to_worker::Subscribe&) {},
                   [](to_worker::Shutdown&) {},
                   [&](auto& m) { m.handle.fulfill(Err{error}); },
               },
               msg);
}

Queued to_queued(ToWorker&& msg) {
    return std::visit(
        Overloaded{
            [](to_worker::ReadRegister& m) {
                return Queued{op::ReadRegister{std::move(m.handle)},
                              send::ReadRegisters{{m.address}}};
            },
            [](to_worker::ReadRegisters& m) {
                size_t n = m.addresses.size();
                return Queued{op::ReadRegisters{std::move(m.handle), n},
                              send::ReadRegisters{std::move(m.addresses)}};
            },
            [](to_worker::WriteRegisters& m) {
                return Queued{op::WriteRegisters{std::move(m.handle)},
                              send::WriteRegisters{std::move(m.pairs)}};
            },
            [](to_worker::ReadMemory& m) {
                Bytes received;
                received.reserve(std::min<size_t>(m.length, kMaxInitialReserve));
                return Queued{
                    op::ReadMemory{m.address, m.length, std::move(m.handle), std::move(received)},
                    send::ReadMemory{}};
            },
            [](to_worker::WriteMemory& m) {
                return Queued{op::WriteMemory{m.address, 0, std::move(m.handle), std::move(m.data)},
                              send::WriteMemory{}};
            },
            [](auto&) -> Queued { std::abort(); },  // not a request: filtered by the caller
        },
        msg);
}

// Encodes the payload with request id `id`; nothing when a memory payload does not belong to a
// memory Op of the same kind.
std::optional<Bytes> encode(const Op& op, const PendingSend& payload, uint16_t id) {
    return std::visit(Overloaded{
                          [&](const send::ReadRegisters& p) -> std::optional<Bytes> {
                              return gvcp::encode_read_reg(p.addresses, id);
                          },
                          [&](const send::WriteRegisters& p) -> std::optional<Bytes> {
                              return gvcp::encode_write_reg(p.pairs, id);
                          },
                          [&](const send::ReadMemory&) -> std::optional<Bytes> {
                              const auto* o = std::get_if<op::ReadMemory>(&op);
                              if (!o) {
                                  return std::nullopt;
                              }
                              uint32_t count = gvcp::read_mem_count(o->total - o->received.size());
                              return gvcp::encode_read_mem(o->next_address, count, id);
                          },
                          [&](const send::WriteMemory&) -> std::optional<Bytes> {
                              const auto* o = std::get_if<op::WriteMemory>(&op);
                              if (!o) {
                                  return std::nullopt;
                              }
                              size_t k = std::min<size_t>(o->data.size() - o->offset,
                                                          gvcp::kMaxMemoryChunk);
                              std::span<const uint8_t> chunk(o->data.data() + o->offset, k);
                              return gvcp::encode_write_mem(o->base + o->offset, chunk, id);
                          },
                      },
                      payload);
}

class Runner {
  public:
    Runner(UniqueFd socket, Poller poller, chan::Receiver<ToWorker> receiver,
           std::shared_ptr<Shared> shared, const RunnerConfig& config, Flag stop, Flag alive)
        : socket_(std::move(socket)),
          poller_(std::move(poller)),
          receiver_(std::move(receiver)),
          shared_(std::move(shared)),
          device_(config.device),
          timeout_(config.gvcp_timeout),
          retries_(config.retries),
          heartbeat_interval_(heartbeat_interval(config.heartbeat_timeout_ms)),
          next_heartbeat_(deadline_after(heartbeat_interval_)),
          thread_config_(config.thread_config),
          stop_(std::move(stop)),
          alive_(std::move(alive)) {
        device_len_ = device_.to_sockaddr(device_sa_);
    }

    void run();

  private:
    bool pass(std::span<Poller::Event> events);
    void drain_socket();
    void on_datagram(std::span<const uint8_t> datagram, const sockaddr_storage& source,
                     socklen_t source_len);
    void on_event(const gvcp::CommandHeader& cmd, const sockaddr_storage& source,
                  socklen_t source_len);
    void on_ack(const gvcp::AckHeader& ack);
    void complete(Inflight& inflight, const gvcp::AckHeader& ack);
    void on_heartbeat_ack(const gvcp::AckHeader& ack);
    void continue_transfer(Op op, PendingSend payload);
    bool drain_channel();
    void check_inflight_deadline();
    void heartbeat_timer();
    void send_next();
    void send_op(Op op, PendingSend payload);
    void shutdown();
    void fail_all(const SharedCameraError& error);
    void release_device();
    int poll_timeout_ms() const;

    ssize_t send_to_device(std::span<const uint8_t> packet) {
        return ::sendto(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&device_sa_), device_len_);
    }
    uint16_t next_id() { return last_id_ = gvcp::next_request_id(last_id_); }
    bool heartbeat_pending() const;

    UniqueFd socket_;
    std::optional<Poller> poller_;
    chan::Receiver<ToWorker> receiver_;
    std::shared_ptr<Shared> shared_;
    SocketAddress device_;
    sockaddr_storage device_sa_{};
    socklen_t device_len_ = 0;
    Duration timeout_;
    uint8_t retries_;
    Duration heartbeat_interval_;
    Instant next_heartbeat_;
    ThreadConfig thread_config_;
    Flag stop_;
    Flag alive_;

    std::deque<Queued> queue_;
    std::optional<Inflight> inflight_;
    std::vector<chan::Sender<GvcpEvent>> subscribers_;
    Bytes recv_buf_;
    uint16_t last_id_ = 0;
    bool control_lost_ = false;
};

void Runner::run() {
    thread_config_.apply_logged();
    std::array<Poller::Event, kMaxEvents> events{};
    recv_buf_.resize(kRecvBufferSize);
    try {
        while (!stop_->load(std::memory_order_acquire) && !control_lost_) {
            if (!pass(events)) {
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
bool Runner::pass(std::span<Poller::Event> events) {
    auto n = poller_->wait(events, poll_timeout_ms());
    if (!n.ok()) {
        if (n.error().kind() == CameraError::Kind::Io && n.error().os_errno() == EINTR) {
            return true;
        }
        CVK_LOG(log::Level::Error, kTarget, {}, "gvcp worker poll error: {}", n.error().text());
        return false;
    }
    for (size_t i = 0; i < *n; ++i) {
        if (events[i].token == kSocketToken) {
            drain_socket();
        }
    }
    if (!drain_channel()) {
        return false;
    }
    check_inflight_deadline();
    heartbeat_timer();
    send_next();
    return true;
}

// Waits at most 10 ms, less when the in-flight deadline or the heartbeat is due sooner.
int Runner::poll_timeout_ms() const {
    Instant earliest = next_heartbeat_;
    if (inflight_ && inflight_->deadline < earliest) {
        earliest = inflight_->deadline;
    }
    return ms_until(earliest, kPollTimeoutMs);
}

void Runner::drain_socket() {
    for (;;) {
        sockaddr_storage source{};
        socklen_t source_len = sizeof source;
        ssize_t n = ::recvfrom(socket_.get(), recv_buf_.data(), recv_buf_.size(), 0,
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
        auto from = SocketAddress::from_sockaddr(source);
        if (!from || from->ip != device_.ip) {
            continue;  // only the device's own address may answer (any source port)
        }
        on_datagram({recv_buf_.data(), static_cast<size_t>(n)}, source, source_len);
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

void Runner::on_event(const gvcp::CommandHeader& cmd, const sockaddr_storage& source,
                      socklen_t source_len) {
    if (cmd.flags & gvcp::kFlagAckRequired) {
        auto reply = gvcp::encode_event_ack(cmd.command, cmd.req_id);
        if (::sendto(socket_.get(), reply.data(), reply.size(), MSG_NOSIGNAL,
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
    if (ack.ack_code == gvcp::kPendingAck && ack.payload.size() >= 4) {
        auto extra = std::chrono::milliseconds(load_be32(ack.payload.data()));
        inflight_->deadline = deadline_after(extra);
        shared_->bump(&LinkStats::pending_acks);
        return;
    }
    Inflight inflight = std::move(*inflight_);
    inflight_.reset();
    shared_->bump(&LinkStats::acks);
    if (ack.status.is_error()) {
        shared_->bump(&LinkStats::naks);
        if (is_heartbeat(inflight.op)) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "heartbeat rejected with {}, control lost",
                    ack.status.display());
            control_lost_ = true;
        } else {
            fail_op(inflight.op, CameraError::status(command_code(inflight.op), ack.status));
        }
        return;
    }
    uint16_t expected = command_code(inflight.op) + 1;
    if (ack.ack_code != expected) {
        fail_op(inflight.op, CameraError::malformed(fmt::format("expected ack {:#06x}, got {:#06x}",
                                                                expected, ack.ack_code)));
        return;
    }
    complete(inflight, ack);
}

// A matched, successful acknowledge with the expected code.
void Runner::complete(Inflight& inflight, const gvcp::AckHeader& ack) {
    auto payload = ack.payload;
    std::visit(Overloaded{
                   [&](op::ReadRegister& o) {
                       if (payload.size() < 4) {
                           o.handle.fail(CameraError::malformed("empty read register ack"));
                       } else {
                           o.handle.fulfill(load_be32(payload.data()));
                       }
                   },
                   [&](op::ReadRegisters& o) {
                       std::vector<uint32_t> values;
                       values.reserve(payload.size() / 4);
                       for (size_t i = 0; i + 4 <= payload.size(); i += 4) {
                           values.push_back(load_be32(payload.data() + i));
                       }
                       if (values.size() != o.expected) {
                           o.handle.fail(CameraError::malformed(
                               fmt::format("read register ack carried {} values, expected {}",
                                           values.size(), o.expected)));
                       } else {
                           o.handle.fulfill(std::move(values));
                       }
                   },
                   [&](op::WriteRegisters& o) { o.handle.fulfill({}); },
                   [&](op::ReadMemory& o) {
                       if (payload.size() < 4) {
                           o.handle.fail(CameraError::malformed("short read memory ack"));
                           return;
                       }
                       auto data = payload.subspan(4);
                       size_t take = std::min<size_t>(data.size(), o.total - o.received.size());
                       o.received.insert(o.received.end(), data.begin(), data.begin() + take);
                       if (o.received.size() >= o.total) {
                           o.handle.fulfill(std::move(o.received));
                       } else if (data.empty()) {
                           o.handle.fail(CameraError::malformed("empty read memory ack"));
                       } else {
                           o.next_address += static_cast<uint32_t>(take);
                           continue_transfer(std::move(o), send::ReadMemory{});
                       }
                   },
                   [&](op::WriteMemory& o) {
                       o.offset += static_cast<uint32_t>(
                           std::min<size_t>(o.data.size() - o.offset, gvcp::kMaxMemoryChunk));
                       if (o.offset >= o.data.size()) {
                           o.handle.fulfill({});
                       } else {
                           continue_transfer(std::move(o), send::WriteMemory{});
                       }
                   },
                   [&](op::Heartbeat&) { on_heartbeat_ack(ack); },
               },
               inflight.op);
}

void Runner::on_heartbeat_ack(const gvcp::AckHeader& ack) {
    shared_->bump(&LinkStats::heartbeats);
    if (ack.payload.size() >= 4 && (load_be32(ack.payload.data()) & bootstrap::kCcpControl)) {
        return;
    }
    CVK_LOG(log::Level::Warn, kTarget, {}, "device control was lost (CCP cleared)");
    control_lost_ = true;
}

// The next chunk of a memory transfer goes out at once, or right behind a queued heartbeat, so
// a long transfer is never interleaved with other requests.
void Runner::continue_transfer(Op op, PendingSend payload) {
    if (!queue_.empty() && is_heartbeat(queue_.front().op)) {
        queue_.insert(queue_.begin() + 1, Queued{std::move(op), std::move(payload)});
        return;
    }
    send_op(std::move(op), std::move(payload));
}

// Moves every waiting message into the queue; false when a Shutdown arrived (the messages
// behind it stay in the channel for the final drain).
bool Runner::drain_channel() {
    for (;;) {
        auto msg = receiver_.try_recv();
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
        queue_.push_back(to_queued(std::move(*msg)));
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
        if (is_heartbeat(inflight.op)) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "heartbeat timed out, considering control lost");
            control_lost_ = true;
        } else {
            fail_op(inflight.op, CameraError::ack_timeout());
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
    if (inflight_ && is_heartbeat(inflight_->op)) {
        return true;
    }
    return std::any_of(queue_.begin(), queue_.end(),
                       [](const Queued& q) { return is_heartbeat(q.op); });
}

// The heartbeat never pre-empts the transaction in flight; it goes out next.
void Runner::heartbeat_timer() {
    Instant now = Clock::now();
    if (now < next_heartbeat_) {
        return;
    }
    next_heartbeat_ = deadline_after(heartbeat_interval_, now);
    if (!heartbeat_pending()) {
        queue_.push_front(Queued{op::Heartbeat{}, send::ReadRegisters{{bootstrap::kCcp}}});
    }
}

void Runner::send_next() {
    // Once control is lost nothing more goes to the device; the loop ends after this pass.
    if (control_lost_ || inflight_ || queue_.empty()) {
        return;
    }
    Queued next = std::move(queue_.front());
    queue_.pop_front();
    send_op(std::move(next.op), std::move(next.payload));
}

void Runner::send_op(Op op, PendingSend payload) {
    uint16_t id = next_id();
    auto packet = encode(op, payload, id);
    if (!packet) {
        fail_op(op, CameraError::malformed("internal op/payload mismatch"));
        return;
    }
    if (send_to_device(*packet) < 0) {
        fail_op(op, CameraError::io(errno));
        return;
    }
    shared_->bump(&LinkStats::commands);
    inflight_ = Inflight{std::move(*packet), std::move(op), deadline_after(timeout_), id, retries_};
}

void Runner::fail_all(const SharedCameraError& error) {
    if (inflight_) {
        fail_op(inflight_->op, error);
        inflight_.reset();
    }
    for (Queued& q : queue_) {
        fail_op(q.op, error);
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
    SharedCameraError error =
        share(control_lost_ ? CameraError::control_lost() : CameraError::not_connected());
    if (control_lost_) {
        shared_->set_control_lost();
    }
    fail_all(error);
    if (!control_lost_) {
        release_device();
    }
    subscribers_.clear();
    alive_->store(false, std::memory_order_release);
    // Requests that slipped in before `alive` was cleared are answered here; anything posted
    // later is answered by the port itself, which re-checks `alive` after posting.
    while (auto msg = receiver_.try_recv()) {
        fail_message(*msg, error);
    }
    poller_.reset();
    socket_.reset();
}

CameraError spawn_error(const CameraError& e) {
    return CameraError::thread_spawn(e.kind() == CameraError::Kind::Io ? e.text() : e.message());
}

CameraResult<std::pair<UniqueFd, SocketAddress>> bind_socket(const RunnerConfig& config) {
    SocketAddress local{config.local.value_or(IpAddress::unspecified(config.device.ip.family())),
                        0};
    int fd = ::socket(local.ip.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Err{CameraError::thread_spawn(
            fmt::format("bind control socket {}: {}", local, errno_text(errno)))};
    }
    UniqueFd socket(fd);
    sockaddr_storage sa;
    socklen_t len = local.to_sockaddr(sa);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
        return Err{CameraError::thread_spawn(
            fmt::format("bind control socket {}: {}", local, errno_text(errno)))};
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0) {
        return Err{CameraError::thread_spawn(errno_text(errno))};
    }
    auto bound_addr = SocketAddress::from_sockaddr(bound);
    if (!bound_addr) {
        return Err{CameraError::thread_spawn("control socket has no IP address")};
    }
    return std::pair{std::move(socket), *bound_addr};
}

}  // namespace

Duration heartbeat_interval(uint32_t heartbeat_timeout_ms) {
    Duration third = std::chrono::milliseconds(heartbeat_timeout_ms / 3);
    return std::max<Duration>(third, kMinHeartbeatInterval);
}

CameraResult<SpawnedRunner> spawn(chan::Receiver<ToWorker> receiver, std::shared_ptr<Shared> shared,
                                  const RunnerConfig& config) {
    auto [socket, local] = CVK_TRY(bind_socket(config));
    auto poller = Poller::create();
    if (!poller.ok()) {
        return Err{spawn_error(poller.error())};
    }
    if (auto r = poller->add_readable(socket.get(), kSocketToken); !r.ok()) {
        return Err{spawn_error(r.error())};
    }
    auto waker = Waker::create();
    if (!waker.ok()) {
        return Err{spawn_error(waker.error())};
    }
    if (auto r = poller->add_waker(**waker, kWakerToken); !r.ok()) {
        return Err{spawn_error(r.error())};
    }
    ThreadHandle worker;
    worker.set_waker(*waker);
    auto runner = std::make_shared<Runner>(std::move(socket), std::move(*poller),
                                           std::move(receiver), std::move(shared), config,
                                           worker.stop_flag(), worker.alive_flag());
    CVK_TRY_VOID(spawn_worker(worker, "corvisk-gvcp", [runner]() mutable {
        runner->run();
        runner.reset();  // socket, poller and channel go with the worker, not with the lambda
    }));
    return SpawnedRunner{std::move(worker), local};
}

GvcpEvent GvcpEvent::parse(uint16_t command, std::span<const uint8_t> payload) {
    GvcpEvent e;
    e.command = command;
    const uint8_t* p = payload.data();
    size_t n = payload.size();
    if (n >= 4) {
        e.event_id = load_be16(p + 2);
    }
    if (n >= 6) {
        e.stream_channel = load_be16(p + 4);
    }
    if (n >= 8) {
        e.block_id = load_be16(p + 6);
    }
    if (n >= 16) {
        e.timestamp = load_be64(p + 8);
        e.data.assign(p + 16, p + n);
    }
    e.raw.assign(payload.begin(), payload.end());
    return e;
}

}  // namespace corvisk::gige
