// The control socket's slot and the direct request path on the caller's thread.
#include "gige/wire.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <cerrno>

#include "errno_text.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/transaction.hpp"
#include "interrupt.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige::wire";
constexpr size_t kRecvBufferSize = 65535;
// Events read by callers and not yet handed to the worker; more are dropped (an unacknowledged
// event is sent again by the device).
constexpr size_t kMaxDeferred = 64;

timespec until_timespec(Instant until) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
    if (left.count() < 0) {
        left = std::chrono::nanoseconds(0);
    }
    return timespec{static_cast<time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)};
}

}  // namespace

Wire::Wire(UniqueFd socket, const RunnerConfig& config, std::shared_ptr<Shared> shared)
    : socket_(std::move(socket)),
      device_(config.device),
      timeout_(config.gvcp_timeout),
      retries_(config.retries),
      monitor_(config.monitor),
      shared_(std::move(shared)),
      recv_buf_(kRecvBufferSize) {
    device_len_ = device_.to_sockaddr(device_sa_);
}

void Wire::attach_worker(int poller_fd, uint64_t socket_token, std::shared_ptr<Waker> waker) {
    poller_fd_ = poller_fd;
    socket_token_ = socket_token;
    waker_ = std::move(waker);
}

// Sequentially consistent on both sides: a worker that sets worker_wants_ and then fails to take
// the slot is always seen by the holder's release, which loads the flag after letting go.
bool Wire::try_acquire() {
    uint32_t expected = 0;
    return slot_.compare_exchange_strong(expected, 1);
}

void Wire::acquire() {
    while (!try_acquire()) {
        slot_.wait(1);
    }
}

void Wire::release() {
    slot_.store(0);
    slot_.notify_all();
    if (worker_wants_.load() && waker_) {
        waker_->wake();
    }
}

ssize_t Wire::send(std::span<const uint8_t> packet) const {
    return ::sendto(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&device_sa_), device_len_);
}

void Wire::close() {
    closed_ = true;
    socket_.reset();
    deferred_.clear();
}

void Wire::watch_socket(bool on) const {
    epoll_event ev{};
    ev.events = on ? uint32_t{EPOLLIN} : uint32_t{0};
    ev.data.u64 = socket_token_;
    if (::epoll_ctl(poller_fd_, EPOLL_CTL_MOD, socket_.get(), &ev) != 0) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "socket watch change failed: {}", errno_text(errno));
    }
}

bool Wire::run_direct(ToWorker& msg, Duration timeout) {
    if (monitor_ || poller_fd_ < 0 || posted_.load() != 0 || worker_wants_.load() ||
        !try_acquire()) {
        return false;
    }
    if (closed_ || shared_->control_lost()) {
        release();
        return false;
    }
    const Instant deadline = deadline_after(timeout);
    auto tx = Transaction::from_message(std::move(msg), shared_->quirks());
    watch_socket(false);
    if (tx) {
        shared_->bump(&LinkStats::direct);
        run(std::move(*tx), deadline);
    }
    // A datagram that came in after the last read is reported to the worker by the watch itself.
    watch_socket(true);
    if (!deferred_.empty()) {
        worker_wants_.store(true);
    }
    release();
    return true;
}

bool Wire::send_counted(std::span<const uint8_t> packet) {
    if (send(packet) < 0) {
        return false;
    }
    shared_->bump(&LinkStats::commands);
    return true;
}

namespace {

// Why the caller stops waiting now: its own deadline passed, or its thread was interrupted.
std::optional<CameraError> caller_gives_up(Instant now, Instant deadline) {
    if (now >= deadline) {
        return CameraError::ack_timeout();
    }
    if (interrupt_requested()) {
        return interrupted_error();
    }
    return std::nullopt;
}

}  // namespace

// The worker's transaction loop in miniature, on the caller's thread: one datagram in flight,
// a fresh id per datagram, retransmission of the same datagram on silence, PENDING_ACK
// extending the try. `deadline` is the caller's own limit.
void Wire::run(Transaction tx, Instant deadline) {
    if (auto stop = caller_gives_up(Clock::now(), deadline)) {
        tx.fail(*stop);
        return;
    }
    uint16_t id = next_id();
    Bytes packet = tx.encode(id);
    if (!send_counted(packet)) {
        tx.fail(CameraError::io(errno));
        return;
    }
    uint8_t tries_left = retries_;
    Instant try_deadline = deadline_after(timeout_);
    for (;;) {
        if (auto ack = wait_ack(id, interrupt_slice_end(std::min(try_deadline, deadline)))) {
            if (auto extra_ms = gvcp::decode_pending_ack(*ack)) {
                try_deadline = deadline_after(std::chrono::milliseconds(*extra_ms));
                shared_->bump(&LinkStats::pending_acks);
                continue;
            }
            shared_->bump(&LinkStats::acks);
            if (ack->status.is_error()) {
                shared_->bump(&LinkStats::naks);
            }
            if (tx.on_ack(*ack) != AckOutcome::Continue) {
                return;
            }
            id = next_id();
            packet = tx.encode(id);
            if (!send_counted(packet)) {
                tx.fail(CameraError::io(errno));
                return;
            }
            tries_left = retries_;
            try_deadline = deadline_after(timeout_);
            continue;
        }
        const Instant now = Clock::now();
        if (auto stop = caller_gives_up(now, deadline)) {  // a late ack is ignored as stale
            tx.fail(*stop);
            return;
        }
        if (now < try_deadline) {
            continue;
        }
        if (tries_left == 0) {
            shared_->bump(&LinkStats::timeouts);
            tx.on_timeout();
            return;
        }
        --tries_left;
        try_deadline = deadline_after(timeout_, now);
        shared_->bump(&LinkStats::retries);
        if (send(packet) < 0) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "retry send failed: {}", errno_text(errno));
        }
    }
}

// Reads datagrams until the acknowledge for `id` arrives (returned; its payload borrows the
// receive buffer until the next read) or `until` passes (none).
std::optional<gvcp::AckHeader> Wire::wait_ack(uint16_t id, Instant until) {
    for (;;) {
        sockaddr_storage source{};
        socklen_t source_len = sizeof source;
        ssize_t n = ::recvfrom(socket_.get(), recv_buf_.data(), recv_buf_.size(), 0,
                               reinterpret_cast<sockaddr*>(&source), &source_len);
        if (n >= 0) {
            if (auto ack = take_datagram(id, static_cast<size_t>(n), source, source_len)) {
                return ack;
            }
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "gvcp recv error: {}", errno_text(errno));
        }
        if (Clock::now() >= until) {
            return std::nullopt;
        }
        pollfd pfd{socket_.get(), POLLIN, 0};
        const timespec left = until_timespec(until);
        if (::ppoll(&pfd, 1, &left, nullptr) == 0) {
            return std::nullopt;
        }
    }
}

Inbound classify_inbound(std::span<const uint8_t> datagram, const sockaddr_storage& source,
                         const SocketAddress& device) {
    auto from = SocketAddress::from_sockaddr(source);
    if (!from) {
        return Inbound::Ignored;
    }
    if (from->ip == device.ip) {  // any source port
        return gvcp::is_command(datagram) ? Inbound::Command : Inbound::Ack;
    }
    if (from->port == device.port && !gvcp::is_command(datagram)) {
        return Inbound::ForeignAck;
    }
    return Inbound::Ignored;
}

// Sorts one datagram as the worker does: the acknowledge for `id` is returned; commands (events)
// are kept for the worker; anything else is counted or dropped.
std::optional<gvcp::AckHeader> Wire::take_datagram(uint16_t id, size_t n,
                                                   const sockaddr_storage& source, socklen_t len) {
    std::span<const uint8_t> datagram(recv_buf_.data(), n);
    const Inbound kind = classify_inbound(datagram, source, device_);
    if (kind == Inbound::Command && deferred_.size() < kMaxDeferred) {
        deferred_.push_back(Deferred{Bytes(datagram.begin(), datagram.end()), source, len});
    }
    gvcp::AckHeader ack;
    if ((kind != Inbound::Ack && kind != Inbound::ForeignAck) || !gvcp::parse_ack(datagram, ack)) {
        return std::nullopt;
    }
    if (ack.ack_id != id) {
        if (kind == Inbound::Ack) {
            shared_->bump(&LinkStats::unsolicited);
        }
        return std::nullopt;
    }
    if (kind == Inbound::ForeignAck) {
        shared_->bump(&LinkStats::foreign_source_acks);
    }
    return ack;
}

}  // namespace corvisk::gige
