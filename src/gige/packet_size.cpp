// Fire-test prober and packet-size search.
#include "gige/packet_size.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige";
// IPv4 and UDP headers: a test packet's size on the path is its UDP payload plus these.
constexpr uint64_t kIpUdpOverhead = 28;
constexpr Duration kProbeTimeout = std::chrono::milliseconds(25);
constexpr Duration kMinProbeWait = std::chrono::milliseconds(5);
constexpr int kProbeWaitFactor = 4;
// The first probe's wait in round trips of its fire-test acknowledge.
constexpr int kFirstWaitFactor = 50;
constexpr auto kDrainTimeout = std::chrono::milliseconds(5);
constexpr auto kDrainLimit = std::chrono::milliseconds(200);
constexpr int kProbeAttempts = 3;
constexpr size_t kProbeBufferSize = 65536;

template <class T>
CameraResult<T> wait(const ResponseHandle<T>& handle, Duration timeout) {
    return unshare(handle.wait_timeout(timeout));
}

// Fire-test probes on the not yet running stream socket.
class Prober {
  public:
    Prober(int fd, const ControlPort& port, uint32_t scps, const sockaddr_in& device)
        : fd_(fd), port_(port), scps_(scps), device_(device), buffer_(kProbeBufferSize) {}

    std::optional<uint16_t> probe(uint16_t size) {
        const Instant written_at = Clock::now();
        auto fired = wait(port_.write_register(scps_, kScpsFireTest | kScpsDontFragment | size),
                          port_.request_timeout());
        if (!fired.ok()) {
            return std::nullopt;
        }
        Instant fired_at = Clock::now();
        if (probes_++ == 0) {
            first_ack_ = fired_at - written_at;
        }
        std::optional<uint16_t> best;
        for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
            // Nothing within the wait: the path did not carry this size. Waiting the other
            // attempts out as well would only make every failing probe three times as slow.
            if (!readable(probe_wait())) {
                break;
            }
            std::optional<uint64_t> observed = receive_test_packet();
            if (!observed || *observed > size) {
                continue;
            }
            slowest_ = std::max(slowest_, Clock::now() - fired_at);
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
        Instant deadline = deadline_after(kDrainLimit);
        while (Clock::now() < deadline && readable(kDrainTimeout) &&
               ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT) >= 0) {
        }
    }

  private:
    // How long a probe waits for its test packet: the full probe timeout until one has come
    // back, then a few times the slowest that did (at least kMinProbeWait), so that on a fast
    // path the probes that fail do not dominate the search.
    //
    // The very first probe, of the largest size (which most paths do not carry), waits a
    // generous multiple of its acknowledge's round trip instead: a device fires its test packet
    // as it takes the write. The probes after it wait the full timeout until a test packet has
    // come back, so a device slower than that still finds its size (one step short at worst).
    Duration probe_wait() const {
        if (slowest_ == Duration::zero()) {
            return probes_ == 1 ? std::clamp<Duration>(first_ack_ * kFirstWaitFactor, kMinProbeWait,
                                                       kProbeTimeout)
                                : kProbeTimeout;
        }
        return std::clamp<Duration>(slowest_ * kProbeWaitFactor, kMinProbeWait, kProbeTimeout);
    }

    // Waits up to `timeout` for a datagram. The wait is bounded here rather than by a socket
    // read timeout, so a socket that refuses one can never make a probe wait without limit.
    bool readable(Duration timeout) const {
        pollfd pfd{fd_, POLLIN, 0};
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
        return ::poll(&pfd, 1, static_cast<int>(ms)) == 1 && (pfd.revents & POLLIN) != 0;
    }

    // The IP-level size of the datagram waiting on the socket, or nothing when it is not from
    // the device.
    std::optional<uint64_t> receive_test_packet() {
        sockaddr_storage source{};
        socklen_t len = sizeof source;
        ssize_t n = ::recvfrom(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
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
    Duration slowest_ = Duration::zero();    // slowest test packet that came back so far
    Duration first_ack_ = Duration::zero();  // round trip of the first fire-test write
    int probes_ = 0;
};

}  // namespace

uint16_t largest_passing(const PacketProbe& probe, uint16_t lower, uint16_t best, uint16_t upper) {
    while (static_cast<uint16_t>(upper - lower) > kPacketSizeStep) {
        // Half the gap, rounded down to a whole step.
        auto half = static_cast<uint16_t>(static_cast<uint16_t>(upper - lower) /
                                          (2 * kPacketSizeStep) * kPacketSizeStep);
        auto mid = static_cast<uint16_t>(lower + half);
        if (auto observed = probe(mid)) {
            lower = mid;
            best = std::max(best, *observed);
        } else {
            upper = mid;
        }
    }
    return best;
}

std::optional<uint16_t> search_packet_size(const PacketProbe& probe) {
    if (probe(kMaxPacketSize)) {
        return kMaxPacketSize;
    }
    for (uint16_t size : kFirstProbeSizes) {
        if (auto observed = probe(size)) {
            return std::max(largest_passing(probe, size, *observed, kMaxPacketSize),
                            kMinPacketSize);
        }
    }
    return std::nullopt;
}

std::optional<uint16_t> path_below_minimum(const PacketProbe& probe) {
    auto observed = probe(kPathCheckSize);
    if (!observed) {
        return std::nullopt;
    }
    return largest_passing(probe, kPathCheckSize, *observed, kMinPacketSize);
}

std::optional<uint16_t> PacketSizeCache::find(uint16_t channel, uint32_t host) const {
    for (const Entry& e : entries_) {
        if (e.channel == channel && e.host == host) {
            return e.size;
        }
    }
    return std::nullopt;
}

void PacketSizeCache::store(uint16_t channel, uint32_t host, uint16_t size) {
    forget(channel, host);
    entries_.push_back(Entry{channel, host, size});
}

void PacketSizeCache::forget(uint16_t channel, uint32_t host) {
    std::erase_if(entries_, [&](const Entry& e) { return e.channel == channel && e.host == host; });
}

CameraResult<uint16_t> negotiate_packet_size(int fd, const ControlPort& port, uint32_t scps,
                                             const sockaddr_in& device) {
    Prober prober(fd, port, scps, device);
    PacketProbe probe = [&](uint16_t size) { return prober.probe(size); };
    std::optional<uint16_t> found = search_packet_size(probe);
    if (!found) {
        // A device that answers small probes but none of the usable sizes sits behind a path
        // that would lose every stream packet: streaming at the fallback size cannot work.
        if (auto carried = path_below_minimum(probe)) {
            prober.drain();
            return Err{CameraError::io_text(
                EMSGSIZE, fmt::format("the network path from the device carries stream packets "
                                      "of at most {} bytes, below the smallest usable size of "
                                      "{} bytes; raise the path's MTU",
                                      *carried, kMinPacketSize))};
        }
        CVK_LOG(log::Level::Warn, kTarget, {},
                "packet size fire-test unsupported, falling back to 1500");
    }
    uint16_t size = found.value_or(kFallbackPacketSize);
    CVK_TRY_VOID(wait(port.write_register(scps, size), port.request_timeout()));
    prober.drain();
    CVK_LOG(log::Level::Debug, kTarget, {}, "negotiated stream packet size {}", size);
    return size;
}

}  // namespace corvisk::gige
