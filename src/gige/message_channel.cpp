// The message channel: its socket, the worker loop, and the receiver core it drives.
#include "gige/message_channel.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "errno_text.hpp"
#include "gige/event_loop.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/udp_socket.hpp"
#include "log.hpp"
#include "time.hpp"

namespace corvisk::gige {
namespace {

constexpr const char* kTarget = "corvisk::gige";

// The worker takes no commands; the loop's queue only satisfies its shape.
struct NoCommand {};

class MessageWorker {
  public:
    MessageWorker(UniqueFd socket, EventLoop<NoCommand> loop,
                  std::shared_ptr<EventReceiver> receiver, ThreadConfig config)
        : socket_(std::move(socket)),
          loop_(std::move(loop)),
          receiver_(std::move(receiver)),
          config_(config) {}

    void run() {
        config_.apply_logged();
        std::vector<uint8_t> buf(65535);
        while (!loop_.stop_requested()) {
            auto ready = loop_.wait_until(std::nullopt);
            if (!ready.ok()) {
                CVK_LOG(log::Level::Warn, kTarget, {}, "message channel wait failed: {}",
                        ready.error().message());
                break;
            }
            if (*ready) {
                drain(buf);
            }
            while (loop_.try_command()) {
            }
        }
        loop_.close();
    }

  private:
    void drain(std::vector<uint8_t>& buf) {
        for (;;) {
            sockaddr_storage from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = ::recvfrom(socket_.get(), buf.data(), buf.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    CVK_LOG(log::Level::Warn, kTarget, {}, "message channel recv error: {}",
                            errno_text(errno));
                }
                return;
            }
            const auto send_ack = [&](std::span<const uint8_t> ack) {
                return ::sendto(socket_.get(), ack.data(), ack.size(), 0,
                                reinterpret_cast<const sockaddr*>(&from),
                                from_len) == static_cast<ssize_t>(ack.size());
            };
            receiver_->on_datagram(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)),
                                   send_ack, wall_clock_ns());
        }
    }

    UniqueFd socket_;
    EventLoop<NoCommand> loop_;
    std::shared_ptr<EventReceiver> receiver_;
    ThreadConfig config_;
};

CameraResult<void> write_reg(const ControlPort& port, uint32_t address, uint32_t value) {
    return wait_or_cancel(port.write_register(address, value), port.request_timeout());
}

}  // namespace

void EventReceiver::on_datagram(std::span<const uint8_t> datagram, const SendAck& send_ack,
                                uint64_t received_ns) {
    auto decoded = gvcp::decode_event_command(datagram);
    if (!decoded.ok()) {
        CVK_LOG(log::Level::Trace, kTarget, {}, "message channel datagram ignored: {}",
                decoded.error());
        std::lock_guard lock(mu_);
        ++stats_.malformed;
        return;
    }
    // Acknowledged every time, repeats included: a repeat means our earlier answer was lost,
    // and the device keeps retrying until it hears one.
    const auto ack = gvcp::encode_event_ack(decoded->command, decoded->req_id);
    const bool acked = send_ack(ack);
    const bool repeat = seen(decoded->command, decoded->req_id);
    std::lock_guard lock(mu_);
    ++stats_.commands;
    stats_.ack_failures += acked ? 0 : 1;
    if (repeat) {
        ++stats_.duplicates;
        return;
    }
    for (auto& ev : decoded->events) {
        DeviceEvent out{decoded->command, ev.event_id,        ev.stream_channel, ev.block_id,
                        ev.timestamp,     std::move(ev.data), received_ns};
        if (out_.try_send(std::move(out)) == chan::SendResult::Ok) {
            ++stats_.events;
        } else {
            ++stats_.dropped;
        }
    }
}

bool EventReceiver::seen(uint16_t command, uint16_t req_id) {
    const uint32_t key = (uint32_t{command} << 16) | req_id;
    if (std::find(recent_.begin(), recent_.end(), key) != recent_.end()) {
        return true;
    }
    recent_.push_back(key);
    if (recent_.size() > remembered_) {
        recent_.pop_front();
    }
    return false;
}

EventStats EventReceiver::stats() const {
    std::lock_guard lock(mu_);
    return stats_;
}

CameraResult<std::unique_ptr<MessageChannel>> MessageChannel::open(
    const ControlPort& port, const SocketAddress& control_local, const SocketAddress& device,
    const MessageChannelConfig& config) {
    const uint32_t count = CVK_TRY(
        wait_or_cancel(port.read_register(kRegMessageChannelCount), port.request_timeout()));
    if (count == 0) {
        return Err{CameraError::unsupported("device events (the device has no message channel)")};
    }
    SocketAddress bind{config.local_ip ? *config.local_ip : control_local.ip, 0};
    if (bind.ip.is_unspecified()) {
        // The device needs an address to send to (MCDA), so the socket takes the routed one.
        auto routed = udp::route_source(device);
        if (!routed.ok()) {
            return Err{CameraError::io(routed.error())};
        }
        bind.ip = routed->ip;
    }
    auto fd = udp::open_bound(bind, udp::SocketFlags{.nonblocking = true});
    if (!fd.ok()) {
        return Err{CameraError::io(fd.error())};
    }
    auto local = udp::local_address(fd->get());
    if (!local.ok() || !local->ip.is_v4()) {
        return Err{CameraError::unsupported("message channel on an IPv6 address")};
    }
    std::unique_ptr<MessageChannel> mc(new MessageChannel(port));
    mc->local_port_ = local->port;
    auto [tx, rx] = chan::bounded<DeviceEvent>(std::max<size_t>(config.capacity, 1));
    mc->events_ = std::move(rx);
    mc->receiver_ = std::make_shared<EventReceiver>(std::move(tx));
    auto [ctx, crx] = chan::unbounded<NoCommand>();
    auto loop = EventLoop<NoCommand>::create(fd->get(), std::move(crx), mc->worker_.stop_flag());
    if (!loop.ok()) {
        return Err{loop.error()};
    }
    mc->worker_.set_waker(loop->waker());
    auto worker = std::make_shared<MessageWorker>(std::move(*fd), std::move(*loop), mc->receiver_,
                                                  config.thread_config);
    CVK_TRY_VOID(spawn_loop_worker(mc->worker_, "corvisk-gvmc", std::move(worker)));
    const auto& b = local->ip.bytes();
    const uint32_t ip =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    // The device's retry settings are best effort: some devices fix them.
    (void)write_reg(port, kRegMctt, config.ack_timeout_ms);
    (void)write_reg(port, kRegMcrc, config.retransmissions);
    CVK_TRY_VOID(write_reg(port, kRegMcda, ip));
    CVK_TRY_VOID(write_reg(port, kRegMcp, mc->local_port_));
    CVK_LOG(log::Level::Debug, kTarget, log::fields("port", mc->local_port_),
            "message channel opened");
    return mc;
}

void MessageChannel::close() {
    std::lock_guard lock(close_mu_);
    if (closed_) {
        return;
    }
    closed_ = true;
    if (port_.is_alive()) {
        (void)write_reg(port_, kRegMcp, 0);
    }
    worker_.stop_and_join();
}

MessageChannel::~MessageChannel() {
    close();
}

}  // namespace corvisk::gige
