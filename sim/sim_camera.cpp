// Sockets and worker threads of the simulated camera: the GVCP server loop and the GVSP sender.
#include "sim_camera.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "bytes.hpp"
#include "chunks.hpp"
#include "events.hpp"
#include "log.hpp"
#include "pixel_pattern.hpp"
#include "poller.hpp"
#include "registers.hpp"
#include "thread_util.hpp"
#include "unique_fd.hpp"

namespace corvisk::sim {

namespace {

constexpr char kTarget[] = "corvisk::sim";
constexpr size_t kBatch = 1024;  // the kernel limit for one sendmmsg
constexpr uint32_t kMaxErrorPackets = 256;

sockaddr_in to_sockaddr(Endpoint e) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(e.ip);
    sa.sin_port = htons(e.port);
    return sa;
}

Endpoint from_sockaddr(const sockaddr_in& sa) {
    return Endpoint{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

CameraResult<UniqueFd> bind_udp(const std::string& ip, uint16_t port, bool nonblocking,
                                bool reuse = false) {
    in_addr addr{};
    if (inet_pton(AF_INET, ip.c_str(), &addr) != 1) {
        return Err{CameraError::io_text(EINVAL, "bad IPv4 address '" + ip + "'")};
    }
    int type = SOCK_DGRAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0);
    UniqueFd fd(::socket(AF_INET, type, 0));
    if (!fd.is_valid()) {
        return Err{CameraError::io(errno)};
    }
    if (reuse) {
        // Every camera on the host listens to the same broadcast address and port.
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    int size = 8 << 20;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in sa = to_sockaddr(Endpoint{ntohl(addr.s_addr), port});
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        return Err{CameraError::io(errno)};
    }
    return fd;
}

uint16_t bound_port(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

void sleep_until(Instant t) {
    auto now = Clock::now();
    if (t - now > std::chrono::microseconds(50)) {
        std::this_thread::sleep_until(t - std::chrono::microseconds(20));
    }
    while (Clock::now() < t) {
    }
}

// Frames wait for a destination: nothing is produced while every channel is closed.
bool any_channel_open(const StreamState& st) {
    return std::any_of(st.channels.begin(), st.channels.end(),
                       [](const ChannelState& ch) { return ch.port != 0; });
}

// One frame as kept in the resend ring.
struct RingFrame {
    uint64_t block_id = 0;
    ImageInfo info;
    std::shared_ptr<const std::vector<uint8_t>> buffer;
    size_t size = 0;
    bool periodic = false;      // byte i is (i + block_id) mod 256: buffer is the ramp table
    uint16_t payload_type = 0;  // 0: the stream's (the image payload, or a fault's choice)
    std::array<PacketGeometry, 2> geometry{};
    // The image bytes from `offset` on. For the periodic pattern every slice is read from the
    // start of the ramp table, so sending touches a few cache-resident kilobytes instead of
    // streaming the whole frame through memory.
    const uint8_t* data(size_t offset) const {
        return buffer->data() + (periodic ? (offset + block_id) & 0xFF : offset);
    }
};

// One datagram to send: which packet of which frame, and how it appears on the wire.
struct Planned {
    const RingFrame* frame = nullptr;
    uint32_t packet_id = 0;  // the packet whose content is sent
    uint32_t wire_id = 0;    // the id written into the header
    uint8_t format = 0;
    uint16_t status = 0;
    bool header_only = false;
};

// The pause between two packets: the inter-packet delay, or the time one packet takes at the
// throughput limit when that is longer.
std::chrono::nanoseconds packet_interval(const ChannelState& ch, const PacketGeometry& g) {
    uint64_t ns = uint64_t{ch.delay_ticks} * 1000000000ull / reg::kTickFrequency;
    if (ch.throughput_limit > 0) {
        ns = std::max<uint64_t>(ns, uint64_t{g.packet_size} * 1000000000ull / ch.throughput_limit);
    }
    return std::chrono::nanoseconds(ns);
}

}  // namespace

struct SimCamera::Impl : DeviceHooks {
    explicit Impl(SimCamera& camera)
        : cam(camera),
          rng(camera.config_.seed ^ 0x9e3779b97f4a7c15),
          sim_events(camera.config_.event_faults) {
        gvsp_faults = camera.config_.gvsp_faults;
    }

    SimCamera& cam;
    UniqueFd gvcp_fd, stream_fd, alt_fd;
    std::vector<UniqueFd> broadcast_fds;  // DISCOVERY only
    ThreadHandle gvcp_thread, stream_thread;
    std::shared_ptr<Waker> gvcp_waker, stream_waker;
    bool started = false;

    std::mutex mu;  // guards the fields below
    std::deque<ResendRequest> resends;
    // Test packets a slow device sends late (control thread only: fire_test runs there).
    struct LateTest {
        std::vector<uint8_t> packet;
        sockaddr_in to;
    };
    std::multimap<Instant, LateTest> late_tests;
    static constexpr size_t kMaxLateTests = 64;
    GvspFaults gvsp_faults;
    bool reset_block_ids = false;

    // Stream worker only.
    std::deque<RingFrame> ring;
    uint64_t next_block = 1;
    std::mt19937_64 rng;
    std::shared_ptr<std::vector<uint8_t>> ramp;
    std::vector<uint8_t> headers;
    std::vector<iovec> iovs;
    std::vector<mmsghdr> msgs;
    std::vector<size_t> iov_counts;   // per packet of the batch
    std::vector<size_t> msg_packets;  // packets carried by each message of the batch
    std::vector<std::array<uint8_t, CMSG_SPACE(sizeof(uint16_t))>> gso_controls;
    bool gso_refused = false;  // the kernel refused a segmented send once: single packets
    sockaddr_in dest{};
    uint16_t payload_type_ = gvsp::kImagePayload;
    uint16_t payload_type_flags_ = 0;
    SimEvents sim_events;
    SimChunks sim_chunks;
    std::optional<uint64_t> trigger_stamp;  // the device time of the trigger being served

    // DeviceHooks (called with the device lock held).
    void acquisition_changed() override { wake_stream(); }
    void packet_resend(const ResendRequest& req) override {
        {
            std::lock_guard lock(mu);
            if (resends.size() < 4096) {
                resends.push_back(req);
            }
        }
        wake_stream();
    }
    void channel_opened(uint32_t channel) override {
        if (channel == 0) {
            std::lock_guard lock(mu);
            reset_block_ids = true;
        }
    }
    void fire_test(const ChannelState& ch, uint32_t size) override;
    std::optional<uint16_t> extension_read(uint32_t addr, uint32_t& out) override {
        if (auto status = sim_events.read(addr, out)) {
            return status;
        }
        return sim_chunks.read(addr, out);
    }
    std::optional<uint16_t> extension_write(uint32_t addr, uint32_t value,
                                            uint64_t timestamp) override {
        if (auto status = sim_events.write(addr, value, timestamp)) {
            return status;
        }
        return sim_chunks.write(addr, value);
    }
    void wake_stream() {
        if (stream_waker) {
            stream_waker->wake();
        }
    }

    void gvcp_loop(Poller& poller);
    void open_broadcast_sockets();
    Endpoint reply_destination(std::span<const uint8_t> command, Endpoint from) const;
    bool follow_address_change(Poller& poller);
    std::string current_ip;  // the address the control socket is bound to (FORCEIP moves it)
    uint32_t current_mask = 0;
    bool moved = false;  // the last datagram moved the control socket
    void send_reply(const std::vector<uint8_t>& bytes, Endpoint to, bool alt);
    void stream_loop(Poller& poller);
    void set_multicast(uint32_t ttl);
    void produce_frames(const StreamState& st, const GvspFaults& faults);
    RingFrame make_frame(const StreamState& st);
    void append_chunks(RingFrame& f, const StreamState& st);
    std::vector<Planned> plan_frame(const RingFrame& f, const PacketGeometry& g,
                                    const GvspFaults& faults);
    void serve_resend(const ResendRequest& req, const StreamState& st, const GvspFaults& faults);
    void serve_triggers(const StreamState& st, const GvspFaults& faults);
    size_t message_bytes(size_t k) const;
    size_t group_messages(size_t n, bool gso);
    size_t send_messages(size_t messages);
    size_t transmit(const std::vector<Planned>& plan, const PacketGeometry& g,
                    const ChannelState& ch);
    size_t build_message(const Planned& p, const PacketGeometry& g, size_t slot);
};

// ---- GVCP ----------------------------------------------------------------------------------

void SimCamera::Impl::send_reply(const std::vector<uint8_t>& bytes, Endpoint to, bool alt) {
    sockaddr_in sa = to_sockaddr(to);
    int fd = alt && alt_fd.is_valid() ? alt_fd.get() : gvcp_fd.get();
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
}

void SimCamera::Impl::gvcp_loop(Poller& poller) {
    struct Delayed {
        std::vector<uint8_t> bytes;
        Endpoint to;
        bool alt;
    };
    std::multimap<Instant, Delayed> delayed;
    std::vector<uint8_t> buf(65536);
    for (size_t i = 0; i < broadcast_fds.size(); ++i) {
        (void)poller.add_readable(broadcast_fds[i].get(), 3 + i);
    }
    // Reads every pending datagram of fd; broadcast sockets only pass DISCOVERY on.
    auto drain = [&](int fd, bool discovery_only) {
        for (;;) {
            sockaddr_in src{};
            socklen_t len = sizeof(src);
            ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&src), &len);
            if (n < 0) {
                return;
            }
            // Broadcast sockets pass on what a device hears by broadcast: DISCOVERY, FORCEIP
            // and ACTION_CMD.
            const uint16_t code = n >= 8 ? load_be16(buf.data() + 2) : 0;
            if (discovery_only && (n < 8 || buf[0] != 0x42 ||
                                   (code != reg::kDiscoveryCmd && code != reg::kForceIpCmd &&
                                    code != actreg::kActionCmd))) {
                continue;
            }
            const std::span<const uint8_t> datagram(buf.data(), static_cast<size_t>(n));
            Endpoint from = from_sockaddr(src);
            Instant at = Clock::now();
            auto replies = cam.device_.handle_datagram(datagram, from, at);
            moved = false;
            const bool broadcast_ack = follow_address_change(poller);
            from =
                broadcast_ack ? Endpoint{0xFFFFFFFF, from.port} : reply_destination(datagram, from);
            bool alt = !replies.empty() && cam.device_.gvcp_faults().reply_from_alt;
            for (auto& r : replies) {
                if (r.delay_ms == 0) {
                    send_reply(r.bytes, from, alt);
                } else {
                    delayed.emplace(at + std::chrono::milliseconds(r.delay_ms),
                                    Delayed{std::move(r.bytes), from, alt});
                }
            }
            if (moved) {
                return;  // fd was closed by the move
            }
        }
    };
    const Flag& stop = gvcp_thread.stop_flag();
    while (!stop->load(std::memory_order_acquire)) {
        Instant now = Clock::now();
        Instant wake_at = now + std::chrono::milliseconds(200);
        if (auto t = cam.device_.poll(now)) {
            wake_at = std::min(wake_at, *t);
        }
        if (!delayed.empty()) {
            wake_at = std::min(wake_at, delayed.begin()->first);
        }
        if (!late_tests.empty()) {
            wake_at = std::min(wake_at, late_tests.begin()->first);
        }
        Poller::Event events[8];
        (void)poller.wait(events, ms_until(wake_at, 200));
        drain(gvcp_fd.get(), false);
        for (size_t i = 0; i < broadcast_fds.size(); ++i) {
            drain(broadcast_fds[i].get(), true);
        }
        now = Clock::now();
        while (!delayed.empty() && delayed.begin()->first <= now) {
            send_reply(delayed.begin()->second.bytes, delayed.begin()->second.to,
                       delayed.begin()->second.alt);
            delayed.erase(delayed.begin());
        }
        while (!late_tests.empty() && late_tests.begin()->first <= now) {
            const LateTest& t = late_tests.begin()->second;
            ::sendto(stream_fd.get(), t.packet.data(), t.packet.size(), 0,
                     reinterpret_cast<const sockaddr*>(&t.to), sizeof(t.to));
            late_tests.erase(late_tests.begin());
        }
    }
}

// A DISCOVERY that allows a broadcast answer gets one when the device is set to answer so.
Endpoint SimCamera::Impl::reply_destination(std::span<const uint8_t> command, Endpoint from) const {
    const auto mode = cam.config_.discovery_reply;
    if (mode == DiscoveryReply::Unicast || command.size() < 8 ||
        load_be16(command.data() + 2) != reg::kDiscoveryCmd || (command[1] & 0x10) == 0) {
        return from;
    }
    if (mode == DiscoveryReply::LimitedBroadcast) {
        return Endpoint{0xFFFFFFFF, from.port};
    }
    return Endpoint{(from.ip & current_mask) | ~current_mask, from.port};
}

// After a FORCEIP the device answers from its new address: the control socket moves there (the
// address must exist on a local interface; otherwise the device stays reachable where it was)
// and the broadcast sockets follow the new subnet. True when the acknowledge goes by broadcast.
bool SimCamera::Impl::follow_address_change(Poller& poller) {
    auto change = cam.device_.take_address_change();
    if (!change) {
        return false;
    }
    in_addr a{};
    a.s_addr = htonl(change->ip);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    auto fd = bind_udp(text, cam.control_.port, true);
    if (!fd.ok()) {
        std::fprintf(stderr, "corvisk-sim: cannot move to %s: %s\n", text,
                     fd.error().message().c_str());
        return change->broadcast_ack;
    }
    const int one = 1;
    ::setsockopt(fd->get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    gvcp_fd = std::move(*fd);  // closing the old socket takes it out of the poller
    moved = true;
    // The stream socket moves too, under the same descriptor number, so the stream worker
    // (which holds only that number) sends from the new address without any hand-over.
    if (auto stream = bind_udp(text, cam.stream_port_, false); stream.ok()) {
        ::dup2(stream->get(), stream_fd.get());
    }
    (void)poller.add_readable(gvcp_fd.get(), 1);
    current_ip = text;
    current_mask = change->subnet_mask;
    if (!broadcast_fds.empty()) {
        broadcast_fds.clear();
        open_broadcast_sockets();
        for (size_t i = 0; i < broadcast_fds.size(); ++i) {
            (void)poller.add_readable(broadcast_fds[i].get(), 3 + i);
        }
    }
    std::printf("corvisk-sim moved to %s\n", text);
    std::fflush(stdout);
    return change->broadcast_ack;
}

void SimCamera::Impl::open_broadcast_sockets() {
    std::vector<std::string> addrs = {"255.255.255.255"};
    // The subnet-directed broadcast address of the interface that holds our address, if any.
    in_addr ip{};
    inet_pton(AF_INET, current_ip.c_str(), &ip);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET ||
                !(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr) {
                continue;
            }
            auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
            auto* b = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr);
            if (a->sin_addr.s_addr == ip.s_addr) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &b->sin_addr, text, sizeof(text));
                addrs.emplace_back(text);
            }
        }
        ::freeifaddrs(list);
    }
    for (const auto& a : addrs) {
        // Best effort: a host that refuses one of them still has the unicast socket.
        auto fd = bind_udp(a, cam.control_.port, true, true);
        if (fd.ok()) {
            broadcast_fds.push_back(std::move(*fd));
        }
    }
}

namespace {

// The MTU of the host's route to `to` (its adapter's, or a smaller one the kernel learned), or
// 0 when it cannot be told.
uint32_t route_mtu(const sockaddr_in& to) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    int mtu = 0;
    socklen_t len = sizeof mtu;
    if (!fd.is_valid() ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::getsockopt(fd.get(), IPPROTO_IP, IP_MTU, &mtu, &len) != 0 || mtu <= 0) {
        return 0;
    }
    return static_cast<uint32_t>(mtu);
}

}  // namespace

void SimCamera::Impl::fire_test(const ChannelState& ch, uint32_t size) {
    if (size < gvsp::kIpUdpOverhead + gvsp::kStandardHeader) {
        return;
    }
    sockaddr_in sa = to_sockaddr(Endpoint{ch.dest_ip, ch.port});
    // A camera sends its test packet with the don't-fragment flag the client asked for, so a
    // link narrower than the packet drops it: the host's own route counts as the path too.
    const uint32_t host_mtu = ch.dont_fragment ? route_mtu(sa) : 0;
    if (ch.dont_fragment && (size > cam.config_.path_mtu || (host_mtu != 0 && size > host_mtu))) {
        cam.counters_.packets_dropped++;  // the path refuses to carry it unfragmented
        return;
    }
    std::vector<uint8_t> packet(size - gvsp::kIpUdpOverhead);
    for (size_t i = gvsp::kStandardHeader; i < packet.size(); ++i) {
        packet[i] = static_cast<uint8_t>(i);
    }
    cam.counters_.test_packets++;
    if (cam.config_.test_packet_delay_ms > 0) {
        // Sent by the control thread's loop once due, well after the write is acknowledged; a
        // client firing faster than they go out finds the device's queue full and loses some.
        if (late_tests.size() >= kMaxLateTests) {
            return;
        }
        const auto due = Clock::now() + std::chrono::milliseconds(cam.config_.test_packet_delay_ms);
        late_tests.emplace(due, LateTest{std::move(packet), sa});
        return;
    }
    ::sendto(stream_fd.get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&sa),
             sizeof(sa));
}

// ---- GVSP ----------------------------------------------------------------------------------

// While chunk mode is active the image becomes the first chunk of an image-with-chunks payload.
void SimCamera::Impl::append_chunks(RingFrame& f, const StreamState& st) {
    const ChunkValues values{f.info.timestamp, st.exposure_us, f.block_id, 0x5, st.gain_raw};
    auto payload = sim_chunks.payload({f.data(0), f.size}, values);
    if (!payload) {
        return;
    }
    f.size = payload->size();
    f.buffer = std::make_shared<const std::vector<uint8_t>>(std::move(*payload));
    f.periodic = false;
    f.payload_type = gvsp::kImagePayload | 0x4000;  // extended-chunk flag
}

RingFrame SimCamera::Impl::make_frame(const StreamState& st) {
    RingFrame f;
    f.block_id = st.extended_ids ? next_block : (next_block & 0xFFFF);
    if (f.block_id == 0) {
        f.block_id = 1;  // switching id width mid-stream never yields the invalid id 0
    }
    next_block = next_block_id(f.block_id, st.extended_ids);
    f.info.timestamp = trigger_stamp ? *trigger_stamp : cam.device_.timestamp();
    f.info.pixel_format = st.pixel_format;
    f.info.width = st.width;
    f.info.height = st.height;
    f.info.offset_x = st.offset_x;
    f.info.offset_y = st.offset_y;
    f.size = image_bytes(st.width, st.height, st.pixel_format);
    if (st.pattern == Pattern::GreyDiagonalRampMoving) {
        // Every frame of this pattern is a window into one table: no per-frame work.
        if (!ramp || ramp->size() != f.size + 256) {
            ramp = std::make_shared<std::vector<uint8_t>>(f.size + 256);
            for (size_t i = 0; i < ramp->size(); ++i) {
                (*ramp)[i] = static_cast<uint8_t>(i);
            }
        }
        f.buffer = ramp;
        f.periodic = true;
    } else if (st.pattern == Pattern::ChannelRamps) {
        f.buffer = std::make_shared<const std::vector<uint8_t>>(
            channel_ramps(st.width, st.height, st.offset_x, st.offset_y, st.pixel_format));
    } else {
        f.buffer = std::make_shared<const std::vector<uint8_t>>(
            expected_pattern(f.block_id, st.width, st.height, st.pixel_format, st.pattern));
    }
    append_chunks(f, st);
    return f;
}

std::vector<Planned> SimCamera::Impl::plan_frame(const RingFrame& f, const PacketGeometry& g,
                                                 const GvspFaults& faults) {
    std::vector<Planned> plan;
    if (g.data_per_packet == 0) {
        return plan;
    }
    size_t all_in_size =
        gvsp::kIpUdpOverhead + g.header + gvsp::kImageLeaderSize + gvsp::kImageTrailerSize + f.size;
    if (faults.all_in && all_in_size <= g.packet_size) {
        plan.push_back(Planned{&f, 0, 0, gvsp::kAllIn, 0, false});
        return plan;
    }
    uint8_t payload_format = faults.payload_format ? faults.payload_format : gvsp::kPayload;
    std::uniform_real_distribution<double> coin(0, 1);
    for (uint32_t id = 0; id < g.packet_count; ++id) {
        if (id == faults.stray_packet_id && faults.stray_format != 0 && g.packet_count > 2) {
            plan.push_back(Planned{&f, id, id, faults.stray_format, 0, id == 0});
        }
        Planned p{&f, id, id, payload_format, 0, false};
        if (id == 0) {
            p.format = gvsp::kLeader;
        } else if (id + 1 == g.packet_count) {
            p.format = gvsp::kTrailer;
            if (faults.stray_fraction > 0 && g.packet_count > 2 &&
                coin(rng) < faults.stray_fraction) {
                plan.push_back(Planned{&f, 1, g.packet_count + 1, payload_format, 0, false});
            }
        } else if (faults.wrong_id_fraction > 0 && coin(rng) < faults.wrong_id_fraction) {
            p.wire_id = id + g.packet_count;
        }
        if (faults.error_status != 0 && id == faults.error_packet_id) {
            p.status = faults.error_status;
            p.header_only = true;
        }
        bool drop = faults.drop_fraction > 0 && coin(rng) < faults.drop_fraction;
        for (const auto& rule : faults.drops) {
            if ((rule.block_id == 0 || rule.block_id == f.block_id) &&
                std::find(rule.packet_ids.begin(), rule.packet_ids.end(), id) !=
                    rule.packet_ids.end()) {
                drop = true;
            }
        }
        if (drop) {
            cam.counters_.packets_dropped++;
            continue;
        }
        plan.push_back(p);
        if (faults.duplicate_fraction > 0 && coin(rng) < faults.duplicate_fraction) {
            plan.push_back(p);
        }
    }
    if (faults.reorder_window > 1 && plan.size() > 2) {
        // Shuffle inside windows, keeping the leader first and the trailer last.
        for (size_t i = 1; i + 1 < plan.size(); i += faults.reorder_window) {
            size_t end = std::min(plan.size() - 1, i + faults.reorder_window);
            std::shuffle(plan.begin() + static_cast<ptrdiff_t>(i),
                         plan.begin() + static_cast<ptrdiff_t>(end), rng);
        }
    }
    return plan;
}

size_t SimCamera::Impl::build_message(const Planned& p, const PacketGeometry& g, size_t slot) {
    uint8_t* h = headers.data() + slot * gvsp::kMaxHeaderBytes;
    const RingFrame& f = *p.frame;
    uint16_t payload_type =
        (f.payload_type != 0 ? f.payload_type : payload_type_) | payload_type_flags_;
    size_t n = encode_gvsp_header(h, p.status, f.block_id, p.format, p.wire_id, g.extended);
    iovec* iov = &iovs[slot * 2];
    size_t iov_count = 1;
    if (!p.header_only) {
        ImageInfo info = f.info;
        info.payload_type = payload_type;
        if (p.format == gvsp::kLeader || p.format == gvsp::kAllIn) {
            n += encode_image_leader(h + n, info);
        }
        if (p.format == gvsp::kTrailer || p.format == gvsp::kAllIn) {
            n += encode_image_trailer(h + n, payload_type, f.info.height);
        }
        if (p.format == gvsp::kAllIn) {
            iov[1] = iovec{const_cast<uint8_t*>(f.data(0)), f.size};
            iov_count = 2;
        } else if (p.packet_id > 0 && p.packet_id + 1 < g.packet_count) {
            size_t off = size_t{p.packet_id - 1} * g.data_per_packet;
            size_t len = std::min(g.data_per_packet, f.size - off);
            iov[1] = iovec{const_cast<uint8_t*>(f.data(off)), len};
            iov_count = 2;
        }
    }
    iov[0] = iovec{h, n};
    return iov_count;
}

// Packets for a group leave by the interface of our own address, with the programmed TTL.
void SimCamera::Impl::set_multicast(uint32_t ttl) {
    const int hops = static_cast<int>(ttl);
    ::setsockopt(stream_fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
    in_addr self{};
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(stream_fd.get(), reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
        self = bound.sin_addr;
    }
    ::setsockopt(stream_fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &self, sizeof self);
}

size_t SimCamera::Impl::transmit(const std::vector<Planned>& plan, const PacketGeometry& g,
                                 const ChannelState& ch) {
    if (plan.empty()) {
        return 0;
    }
    if (g.packet_size > cam.config_.path_mtu && ch.dont_fragment) {
        cam.counters_.packets_dropped += plan.size();
        return 0;
    }
    dest = to_sockaddr(Endpoint{ch.dest_ip, ch.port});
    if ((ch.dest_ip >> 28) == 0xE) {
        set_multicast(ch.multicast_ttl);
    }
    const auto delay = packet_interval(ch, g);
    size_t batch = delay.count() > 0 ? 1 : kBatch;
    headers.resize(kBatch * gvsp::kMaxHeaderBytes);
    iovs.resize(kBatch * 2);
    msgs.resize(kBatch);
    iov_counts.resize(kBatch);
    msg_packets.resize(kBatch);
    gso_controls.resize(kBatch);
    Instant next = Clock::now();
    size_t sent = 0;
    for (size_t i = 0; i < plan.size();) {
        size_t n = std::min(batch, plan.size() - i);
        for (size_t k = 0; k < n; ++k) {
            iov_counts[k] = build_message(plan[i + k], g, k);
        }
        size_t messages = group_messages(n, cam.config_.gso && !gso_refused && batch > 1);
        if (delay.count() > 0) {
            sleep_until(next);
            next += delay;
        }
        sent += send_messages(messages);
        i += n;
    }
    cam.counters_.packets_sent += sent;
    return sent;
}

size_t SimCamera::Impl::message_bytes(size_t k) const {
    size_t bytes = 0;
    for (size_t v = 0; v < iov_counts[k]; ++v) {
        bytes += iovs[k * 2 + v].iov_len;
    }
    return bytes;
}

// One message per packet, or with `gso` one per run of equal-sized packets (a shorter one may
// end a run) of at most 64 segments and 64 000 bytes, sent with UDP_SEGMENT.
size_t SimCamera::Impl::group_messages(size_t n, bool gso) {
    constexpr size_t kMaxSegments = 64;
    constexpr size_t kMaxGsoBytes = 64000;
    size_t messages = 0;
    for (size_t k = 0; k < n; ++messages) {
        size_t segment = message_bytes(k), total = segment, j = k + 1;
        while (gso && iov_counts[k] == 2 && j < n && j - k < kMaxSegments && iov_counts[j] == 2) {
            size_t bytes = message_bytes(j);
            if (bytes > segment || total + bytes > kMaxGsoBytes) {
                break;
            }
            total += bytes;
            ++j;
            if (bytes < segment) {
                break;
            }
        }
        msghdr& m = msgs[messages].msg_hdr;
        m = msghdr{};
        m.msg_name = &dest;
        m.msg_namelen = sizeof(dest);
        m.msg_iov = &iovs[k * 2];
        m.msg_iovlen = j - k == 1 ? iov_counts[k] : 2 * (j - k);
        if (j - k > 1) {
            m.msg_control = gso_controls[messages].data();
            m.msg_controllen = gso_controls[messages].size();
            cmsghdr* c = CMSG_FIRSTHDR(&m);
            c->cmsg_level = IPPROTO_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            auto seg = static_cast<uint16_t>(segment);
            std::memcpy(CMSG_DATA(c), &seg, sizeof seg);
        }
        msg_packets[messages] = j - k;
        k = j;
    }
    return messages;
}

// Sends the grouped messages; returns the packets sent. A segmented send the kernel refuses
// turns segmentation off and goes out as single packets.
size_t SimCamera::Impl::send_messages(size_t messages) {
    size_t done = 0, sent = 0;
    while (done < messages) {
        int r = ::sendmmsg(stream_fd.get(), msgs.data() + done,
                           static_cast<unsigned>(messages - done), 0);
        if (r >= 0) {
            for (int m = 0; m < r; ++m) {
                sent += msg_packets[done + static_cast<size_t>(m)];
            }
            done += static_cast<size_t>(r);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        msghdr& m = msgs[done].msg_hdr;
        if (msg_packets[done] > 1) {
            gso_refused = true;
            for (size_t p = 0; p < msg_packets[done]; ++p) {
                msghdr one = m;
                one.msg_control = nullptr;
                one.msg_controllen = 0;
                one.msg_iov = m.msg_iov + 2 * p;
                one.msg_iovlen = 2;
                sent += ::sendmsg(stream_fd.get(), &one, 0) >= 0 ? 1 : 0;
            }
        }
        done++;  // this one cannot be sent (e.g. unreachable); skip it
    }
    return sent;
}

void SimCamera::Impl::produce_frames(const StreamState& st, const GvspFaults& faults) {
    size_t count = faults.interleave ? 2 : 1;
    std::vector<RingFrame*> frames;
    for (size_t i = 0; i < count; ++i) {
        ring.push_back(make_frame(st));
        frames.push_back(&ring.back());
        sim_events.frame_events(ring.back().block_id, ring.back().info.timestamp,
                                static_cast<uint64_t>(st.exposure_us * 1000.0));
        // The acquisition counts the frame once it is captured, as a camera does, not once it
        // has been sent: a receiver that already holds the frame sees the acquisition over.
        cam.device_.frame_sent(st.start_generation);
    }
    for (uint32_t c = 0; c < st.channels.size(); ++c) {
        const ChannelState& ch = st.channels[c];
        if (ch.port == 0) {
            continue;
        }
        std::vector<std::vector<Planned>> plans;
        for (RingFrame* f : frames) {
            f->geometry[c] = PacketGeometry::make(ch.packet_size, st.extended_ids, f->size);
            plans.push_back(plan_frame(*f, f->geometry[c], faults));
        }
        std::vector<Planned> plan = plans[0];
        if (plans.size() == 2) {
            plan.clear();
            for (size_t i = 0; i < std::max(plans[0].size(), plans[1].size()); ++i) {
                for (auto& p : plans) {
                    if (i < p.size()) {
                        plan.push_back(p[i]);
                    }
                }
            }
        }
        transmit(plan, frames[0]->geometry[c], ch);
    }
    for (size_t i = 0; i < count; ++i) {
        cam.counters_.frames_sent++;
    }
    while (ring.size() > std::max<uint32_t>(cam.config_.resend_ring_frames, 2)) {
        ring.pop_front();
    }
}

void SimCamera::Impl::serve_resend(const ResendRequest& req, const StreamState& st,
                                   const GvspFaults& faults) {
    const ChannelState& ch = st.channels[req.channel];
    uint64_t unanswered = faults.unanswered_resend_block;
    if (ch.port == 0 ||
        (unanswered != 0 && req.block_id == (req.extended ? unanswered : unanswered & 0xFFFF))) {
        return;
    }
    const RingFrame* frame = nullptr;
    for (const RingFrame& f : ring) {
        uint64_t id = req.extended ? f.block_id : (f.block_id & 0xFFFF);
        if (id == req.block_id && f.geometry[req.channel].packet_count > 0) {
            frame = &f;
        }
    }
    PacketGeometry g = frame ? frame->geometry[req.channel]
                             : PacketGeometry::make(ch.packet_size, req.extended, 0);
    RingFrame placeholder;
    placeholder.block_id = req.block_id;
    std::vector<Planned> plan;
    std::uniform_real_distribution<double> coin(0, 1);
    uint64_t last = std::min<uint64_t>(req.last, uint64_t{req.first} + kMaxErrorPackets - 1);
    for (uint64_t id64 = req.first; id64 <= last; ++id64) {
        uint32_t id = static_cast<uint32_t>(id64);
        if (frame && id < g.packet_count) {
            // Resent as first sent: a device that uses another payload format does so again.
            uint8_t payload = faults.payload_format ? faults.payload_format : gvsp::kPayload;
            uint8_t format = id == 0                    ? gvsp::kLeader
                             : id + 1 == g.packet_count ? gvsp::kTrailer
                                                        : payload;
            if (faults.drop_resent && faults.drop_fraction > 0 &&
                coin(rng) < faults.drop_fraction) {
                cam.counters_.packets_dropped++;
                continue;
            }
            plan.push_back(Planned{frame, id, id, format, 0, false});
        } else {
            // No longer held (or never existed): say so instead of staying silent.
            uint8_t format = id == 0 ? gvsp::kLeader : gvsp::kPayload;
            plan.push_back(Planned{frame ? frame : &placeholder, id, id, format,
                                   reg::kPacketUnavailable, true});
            cam.counters_.packets_unavailable++;
        }
    }
    size_t resent = 0;
    for (const auto& p : plan) {
        resent += p.header_only ? 0 : 1;
    }
    // Counted before sending, so a receiver that saw a resent packet never finds the counter
    // behind it.
    cam.counters_.packets_resent += resent;
    transmit(plan, g, ch);
}

// In trigger mode a frame is made for each trigger, stamped with the time the trigger fired.
void SimCamera::Impl::serve_triggers(const StreamState& st, const GvspFaults& faults) {
    if (!st.acquiring || !any_channel_open(st)) {
        return;
    }
    while (auto stamp = cam.device_.take_trigger()) {
        trigger_stamp = stamp;
        produce_frames(st, faults);
    }
    trigger_stamp.reset();
}

void SimCamera::Impl::stream_loop(Poller& poller) {
    const Flag& stop = stream_thread.stop_flag();
    uint64_t generation = 0;
    Instant next_frame = Clock::now();
    while (!stop->load(std::memory_order_acquire)) {
        StreamState st = cam.device_.stream_state();
        Instant now = Clock::now();
        int timeout = 200;
        if (st.acquiring && any_channel_open(st) && !st.trigger_mode) {
            timeout = ms_until(next_frame, 200, now);
        }
        if (timeout > 0) {
            Poller::Event events[2];
            (void)poller.wait(events, timeout);
            st = cam.device_.stream_state();
            now = Clock::now();
        }
        std::deque<ResendRequest> todo;
        GvspFaults faults;
        {
            std::lock_guard lock(mu);
            todo.swap(resends);
            faults = gvsp_faults;
            payload_type_ =
                faults.leader_payload_type ? faults.leader_payload_type : gvsp::kImagePayload;
            payload_type_flags_ = faults.payload_type_flags;
            if (reset_block_ids) {
                reset_block_ids = false;
                next_block = 1;
                ring.clear();
            }
        }
        for (const auto& req : todo) {
            serve_resend(req, st, faults);
        }
        if (st.start_generation != generation) {
            generation = st.start_generation;
            next_frame = now;
        }
        if (st.trigger_mode) {
            serve_triggers(st, faults);
            continue;
        }
        if (!st.acquiring || !any_channel_open(st) || now < next_frame) {
            continue;
        }
        produce_frames(st, faults);
        if (st.frame_rate > 0) {
            auto period = std::chrono::duration_cast<Duration>(
                std::chrono::duration<double>((faults.interleave ? 2.0 : 1.0) / st.frame_rate));
            next_frame += period;
            if (next_frame < now) {
                next_frame = now + period;
            }
        } else {
            next_frame = now;
        }
    }
}

// ---- SimCamera -----------------------------------------------------------------------------

SimCamera::SimCamera(SimConfig config)
    : config_(std::move(config)),
      impl_(std::make_unique<Impl>(*this)),
      device_(config_, impl_.get(), &counters_) {}

SimCamera::~SimCamera() {
    stop();
}

GvspFaults SimCamera::gvsp_faults() const {
    std::lock_guard lock(impl_->mu);
    return impl_->gvsp_faults;
}

void SimCamera::set_gvsp_faults(GvspFaults faults) {
    {
        std::lock_guard lock(impl_->mu);
        impl_->gvsp_faults = std::move(faults);
    }
    impl_->wake_stream();
}

CameraResult<void> SimCamera::start() {
    if (impl_->started) {
        return {};
    }
    auto gvcp = bind_udp(config_.ip, config_.port, true);
    if (!gvcp.ok()) {
        return Err{gvcp.error()};
    }
    auto stream = bind_udp(config_.ip, 0, false);
    if (!stream.ok()) {
        return Err{stream.error()};
    }
    impl_->gvcp_fd = std::move(*gvcp);
    // Broadcast answers (DISCOVERY on request, FORCEIP acknowledges) leave by this socket.
    const int one = 1;
    ::setsockopt(impl_->gvcp_fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    impl_->current_ip = config_.ip;
    impl_->current_mask = config_.subnet_mask;
    impl_->stream_fd = std::move(*stream);
    control_ = Endpoint{0, bound_port(impl_->gvcp_fd.get())};
    in_addr a{};
    inet_pton(AF_INET, config_.ip.c_str(), &a);
    control_.ip = ntohl(a.s_addr);
    stream_port_ = bound_port(impl_->stream_fd.get());
    device_.set_stream_source_port(stream_port_);
    if (config_.alt_reply_ip) {
        uint16_t port = config_.alt_reply_port ? config_.alt_reply_port : control_.port;
        auto alt = bind_udp(*config_.alt_reply_ip, port, true);
        if (!alt.ok()) {
            return Err{alt.error()};
        }
        impl_->alt_fd = std::move(*alt);
    }
    if (config_.listen_broadcast) {
        impl_->open_broadcast_sockets();
    }
    auto w1 = Waker::create();
    auto w2 = Waker::create();
    if (!w1.ok()) {
        return Err{w1.error()};
    }
    if (!w2.ok()) {
        return Err{w2.error()};
    }
    impl_->gvcp_waker = *w1;
    impl_->stream_waker = *w2;
    impl_->gvcp_thread.set_waker(impl_->gvcp_waker);
    impl_->stream_thread.set_waker(impl_->stream_waker);
    // The pollers exist before the threads do, so that whatever the camera holds open is open
    // once start() returns, whenever its threads first run.
    auto gvcp_poller = std::make_shared<Poller>(CVK_TRY(Poller::create()));
    CVK_TRY_VOID(gvcp_poller->add_readable(impl_->gvcp_fd.get(), 1));
    CVK_TRY_VOID(gvcp_poller->add_waker(*impl_->gvcp_waker, 2));
    auto stream_poller = std::make_shared<Poller>(CVK_TRY(Poller::create()));
    CVK_TRY_VOID(stream_poller->add_waker(*impl_->stream_waker, 1));
    Impl* impl = impl_.get();
    auto s1 = spawn_worker(impl_->gvcp_thread, "corvisk-simgvcp",
                           [impl, gvcp_poller] { impl->gvcp_loop(*gvcp_poller); });
    if (!s1.ok()) {
        return Err{s1.error()};
    }
    auto s2 = spawn_worker(impl_->stream_thread, "corvisk-simgvsp",
                           [impl, stream_poller] { impl->stream_loop(*stream_poller); });
    if (!s2.ok()) {
        impl_->gvcp_thread.stop_and_join();
        return Err{s2.error()};
    }
    if (auto ev = impl_->sim_events.start(config_.ip); !ev.ok()) {
        impl_->gvcp_thread.stop_and_join();
        impl_->stream_thread.stop_and_join();
        return Err{ev.error()};
    }
    impl_->started = true;
    return {};
}

void SimCamera::stop() {
    impl_->sim_events.stop();
    impl_->gvcp_thread.stop_and_join();
    impl_->stream_thread.stop_and_join();
    impl_->gvcp_fd.reset();
    impl_->stream_fd.reset();
    impl_->alt_fd.reset();
    impl_->broadcast_fds.clear();
    impl_->started = false;
}

}  // namespace corvisk::sim
