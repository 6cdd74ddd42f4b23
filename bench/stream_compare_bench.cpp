// Benchmark: corvisk's stream receiver side by side with a bare recvmmsg loop (8 MiB receive
// buffer, no assembly) on the same simulated camera stream, in alternating rounds, plus the
// multi-camera, snap-latency and loss-sweep runs. Prints figures and ratios; no pass/fail.
//
// With "device GSO" the simulated camera sends segmented bursts: corvisk's GRO socket receives
// them coalesced, the bare loop's plain socket has the kernel split them first.
//
//   stream_compare_bench [section [rounds [scenario]]]
//       section: compare | cameras | snap | loss | all (default all); rounds per receiver in
//       compare (default 4); scenario: only the compare scenarios whose name contains it. Run it
//       inside a network namespace of its own (kernel drops are the namespace's UdpRcvbufErrors
//       from /proc/net/snmp), e.g. /work/bin/inns NAME build/bench/stream_compare_bench all 4
//
// CPU is the receiving thread's own scheduler time (the stream worker, or the thread running
// the bare loop) per GB of datagrams received, split into user and system time (from the
// thread's tick counts, 10 ms resolution); the simulated camera's sender threads are not
// counted. Wake-ups are the times that thread was put on a CPU, per MB received: each one that
// finds a datagram or two costs more than receiving them.
//
// Where the kernel coalesced datagrams, corvisk's figures also show how many it handed over per
// message, how many payloads landed in their frame but had to be moved once, and how many
// messages were put back together and copied (nothing else changes in what is measured).
//
// With CORVISK_BENCH_POOL_VARIANTS=1 compare also runs, in the same alternating rounds, corvisk
// with its frame pool handing out buffers oldest first ("fifo") and with buffers mapped in on
// first use ("no prefault") or only 16 MiB of them mapped in when it opens ("prefault 16M"), and
// with a new frame that finds no free buffer lost whole instead of closing the oldest frame still
// waiting for packets ("no early close"), and with a pool of 64 buffers instead of 16 ("64
// buffers": at the device's maximum, ~1000 frames/s of 4 MiB, 16 buffers last 16 ms, less than
// a resend round trip), with small pages only ("no huge pages") and with a packet still missing
// asked for again every 2 ms instead of every 20 ("resend 2 ms"), and with the worker waiting
// for every datagram instead of pausing 50 us when it empties the socket mid-frame ("no
// moderation"), so that the effect of each is seen side by side; set to one of those names instead
// of 1 it runs only that one. CORVISK_BENCH_EACH_ROUND=1 adds a corvisk round printed on its own
// after each round. CORVISK_BENCH_BARE_COLD=1 adds a bare loop that receives into 64 MiB of memory
// one datagram after the other, as frame buffers are filled, instead of into the same few batch
// buffers that stay in the cache ("bare cold"): the receive cost of keeping what arrives. corvisk's
// rounds also show what the device did about its resend requests.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "genicam/snapshot.hpp"
#include "gige/stream_channel.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"
#include "unique_fd.hpp"

namespace {

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;
namespace reg = sim::reg;

constexpr int kBareBuffer = 8 << 20;
constexpr unsigned kBareBatch = 64;
constexpr size_t kBareDatagram = 65535;
constexpr size_t kBareColdArea = size_t{64} << 20;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "stream_compare_bench: %s\n", what.c_str());
    std::exit(1);
}

// A thread's time on the CPU in ns and the number of times it was put on it (each wake-up of a
// receiver that had nothing to read is one).
std::pair<uint64_t, uint64_t> thread_cpu_ns_runs(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    uint64_t ns = 0, waited = 0, runs = 0;
    in >> ns >> waited >> runs;
    return {ns, runs};
}

std::vector<pid_t> find_threads(const std::string& name) {
    std::vector<pid_t> found;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* e = dir ? ::readdir(dir) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string n;
        if (std::getline(comm, n) && n == name) {
            found.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
        }
    }
    if (dir) {
        ::closedir(dir);
    }
    return found;
}

// User and system time of a thread in ns, from its tick counts.
std::pair<uint64_t, uint64_t> thread_user_sys_ns(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    // Fields after the command name (which may hold spaces, so start after its ')').
    std::istringstream rest(line.substr(std::min(line.size(), line.rfind(')') + 1)));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    const uint64_t tick_ns = 1000000000ull / static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
    return {utime * tick_ns, stime * tick_ns};
}

struct CpuSample {
    uint64_t total = 0, user = 0, sys = 0, runs = 0;
    CpuSample operator-(const CpuSample& o) const {
        return {total - o.total, user - o.user, sys - o.sys, runs - o.runs};
    }
};

CpuSample cpu_of(const std::vector<pid_t>& tids) {
    CpuSample c;
    for (pid_t t : tids) {
        auto [ns, runs] = thread_cpu_ns_runs(t);
        c.total += ns;
        c.runs += runs;
        auto [user, sys] = thread_user_sys_ns(t);
        c.user += user;
        c.sys += sys;
    }
    return c;
}

// The namespace's UDP receive-buffer drops so far.
uint64_t udp_rcvbuf_errors() {
    std::ifstream in("/proc/net/snmp");
    std::string names, values, line;
    while (std::getline(in, line)) {
        if (line.rfind("Udp: ", 0) == 0) {
            (names.empty() ? names : values) = line;
        }
    }
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value) {
        if (name == "RcvbufErrors") {
            return std::strtoull(value.c_str(), nullptr, 10);
        }
    }
    return 0;
}

bool write(const ControlPort& port, uint32_t address, uint32_t value) {
    return unshare(port.write_register(address, value).wait_timeout(3s)).ok();
}

bool acquire(const ControlPort& port, uint32_t frames) {
    return write(port, reg::kAcquisitionMode, 2) &&
           write(port, reg::kAcquisitionFrameCount, frames) &&
           write(port, reg::kAcquisitionStart, 1);
}

struct Scenario {
    const char* name;
    uint32_t width, height;
    uint16_t packet_size;
    double fps;
    uint32_t frames;
    bool gso = false;  // the device sends segmented bursts (GRO on corvisk's side)
};

// One simulated camera and a connection to it.
struct Device {
    sim::SimCamera sim;
    GigECamera camera;
    Device(const std::string& ip, const Scenario& s, sim::GvspFaults faults = {})
        : sim(config(ip, s, std::move(faults))),
          camera(ConnectionConfig::for_device(*IpAddress::parse(ip))) {
        if (!sim.start().ok()) {
            die("simulated camera did not start on " + ip);
        }
        if (auto c = camera.connect(); !c.ok()) {
            die("connect: " + c.error().message());
        }
    }
    static sim::SimConfig config(const std::string& ip, const Scenario& s, sim::GvspFaults f) {
        sim::SimConfig c;
        c.ip = ip;
        c.width = c.sensor_width = s.width;
        c.height = c.sensor_height = s.height;
        c.frame_rate = s.fps;
        c.resend_ring_frames = 32;
        c.gso = s.gso;
        c.gvsp_faults = std::move(f);
        return c;
    }
    const ControlPort& port() { return camera.connection()->port; }
    uint64_t frames_sent() const { return sim.counters().frames_sent; }
};

struct Figures {
    uint64_t complete = 0, incomplete = 0, missing = 0, resent = 0, drops = 0;
    uint64_t bytes = 0, cpu_ns = 0, user_ns = 0, sys_ns = 0, in_place = 0, copied = 0;
    uint64_t runs = 0;                         // times the receiving thread was put on a CPU
    uint64_t underruns = 0, lost_frames = 0;   // corvisk's: no free buffer; ids never seen
    uint64_t requests = 0, error_packets = 0;  // corvisk's resend requests, answers refused
    // The device's side of corvisk's resends: commands it served, packets it sent again.
    uint64_t device_commands = 0, device_resent = 0;
    // corvisk's receive path: datagrams the kernel coalesced, the messages that held them,
    // payloads moved once after landing, messages put back together and copied.
    uint64_t coalesced = 0, coalesced_messages = 0, moved = 0, gathered = 0;
    double seconds = 0;
    std::vector<double> rounds;  // CPU s/GB of each round added
    void add(const Figures& o) {
        rounds.push_back(o.cpu_s_per_gb());
        complete += o.complete, incomplete += o.incomplete, missing += o.missing;
        resent += o.resent, drops += o.drops, bytes += o.bytes, cpu_ns += o.cpu_ns;
        user_ns += o.user_ns, sys_ns += o.sys_ns, runs += o.runs;
        in_place += o.in_place, copied += o.copied;
        underruns += o.underruns, lost_frames += o.lost_frames;
        requests += o.requests, error_packets += o.error_packets;
        device_commands += o.device_commands, device_resent += o.device_resent;
        coalesced += o.coalesced, coalesced_messages += o.coalesced_messages;
        moved += o.moved, gathered += o.gathered;
        seconds += o.seconds;
    }
    void set_cpu(const CpuSample& c) {
        cpu_ns = c.total, user_ns = c.user, sys_ns = c.sys, runs = c.runs;
    }
    static double per_gb(uint64_t ns, uint64_t bytes) {
        return bytes ? ns / 1e9 / (bytes / 1e9) : 0;
    }
    double cpu_s_per_gb() const { return per_gb(cpu_ns, bytes); }
    void print(const char* who) const {
        std::printf(
            "  %-11s complete %5llu  incomplete %4llu  missing %7llu  resent %7llu  "
            "kernel drops %7llu  %7.1f MB/s  CPU %.3f s/GB (user %.3f, sys %.3f), %.1f wake-ups "
            "a MB\n",
            who, (unsigned long long)complete, (unsigned long long)incomplete,
            (unsigned long long)missing, (unsigned long long)resent, (unsigned long long)drops,
            bytes / 1e6 / std::max(seconds, 1e-9), cpu_s_per_gb(), per_gb(user_ns, bytes),
            per_gb(sys_ns, bytes), bytes ? runs / (bytes / 1e6) : 0);
        if (in_place + copied > 0) {
            std::printf(
                "              payload bytes received in place %.1f%%, pool underruns %llu, frames "
                "never seen %llu, resend requests %llu, error packets %llu\n",
                100.0 * in_place / (in_place + copied), (unsigned long long)underruns,
                (unsigned long long)lost_frames, (unsigned long long)requests,
                (unsigned long long)error_packets);
        }
        if (device_commands > 0) {
            std::printf(
                "              device: resend commands served %llu, packets sent again %llu\n",
                (unsigned long long)device_commands, (unsigned long long)device_resent);
        }
        if (coalesced_messages > 0) {
            std::printf(
                "              coalesced datagrams %llu in %llu messages (%.1f a message), moved "
                "segments %llu, gathered messages %llu\n",
                (unsigned long long)coalesced, (unsigned long long)coalesced_messages,
                double(coalesced) / coalesced_messages, (unsigned long long)moved,
                (unsigned long long)gathered);
        }
    }
};

// How a corvisk round differs from the defaults (the variants CORVISK_BENCH_POOL_VARIANTS
// asks for).
struct Variant {
    const char* name = "corvisk";
    PoolOptions pool;
    size_t buffers = 16;
    Duration resend_interval = Duration::zero();  // zero: the default
    Duration receive_moderation = stream_defaults::kReceiveModeration;
};

// corvisk's receivers on `devices` (automatic receive buffer), `frames` frames from each.
Figures run_corvisk(std::vector<Device*> devices, const Scenario& s, const Variant& variant = {}) {
    std::vector<StreamChannel> channels;
    std::vector<FrameChannel> subs;
    for (Device* d : devices) {
        StreamConfig config;
        config.payload_size = uint64_t{s.width} * s.height;
        config.packet_size = s.packet_size;
        config.n_buffers = variant.buffers;
        config.pool = variant.pool;
        config.receive_moderation = variant.receive_moderation;
        if (variant.resend_interval > Duration::zero()) {
            config.resend_interval = variant.resend_interval;
        }
        auto channel = open_stream(d->camera, config);
        if (!channel.ok()) {
            die("open_stream: " + channel.error().message());
        }
        subs.push_back(channel->subscribe(16));
        channels.push_back(std::move(*channel));
    }
    std::vector<pid_t> workers;
    for (Instant until = deadline_after(1s);
         workers.size() < devices.size() && Clock::now() < until;) {
        workers = find_threads("corvisk-gvsp0");
    }
    CpuSample cpu0 = cpu_of(workers);
    uint64_t drops0 = udp_rcvbuf_errors();
    std::vector<uint64_t> sent0;
    std::vector<sim::SimCounters> device0;
    Instant start = Clock::now();
    for (Device* d : devices) {
        sent0.push_back(d->frames_sent());
        device0.push_back(d->sim.counters());
        if (!acquire(d->port(), s.frames)) {
            die("acquisition start failed");
        }
    }
    Figures fig;
    // Take frames as they come (a consumer that lags would only measure its own lag) until
    // every frame is in, or every device has sent its frames and no frame came for 0.5 s.
    std::vector<uint64_t> got(devices.size(), 0);
    Instant give_up = deadline_after(60s), quiet_until = deadline_after(500ms);
    while (Clock::now() < give_up) {
        bool all_got = true, all_sent = true;
        for (size_t i = 0; i < devices.size(); ++i) {
            FramePtr frame;
            while (subs[i].try_recv(frame) == chan::RecvResult::Item) {
                ++got[i];
                frame.reset();
                quiet_until = deadline_after(500ms);
            }
            all_got = all_got && got[i] >= s.frames;
            all_sent = all_sent && devices[i]->frames_sent() >= sent0[i] + s.frames;
        }
        if (all_got || (all_sent && Clock::now() >= quiet_until)) {
            break;
        }
        std::this_thread::sleep_for(200us);
    }
    fig.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    fig.set_cpu(cpu_of(workers) - cpu0);
    fig.drops = udp_rcvbuf_errors() - drops0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const sim::SimCounters now = devices[i]->sim.counters();
        fig.device_commands += now.resend_requests - device0[i].resend_requests;
        fig.device_resent += now.packets_resent - device0[i].packets_resent;
    }
    for (auto& c : channels) {
        StreamStats st = c.stats();
        fig.complete += st.completed_frames;
        fig.incomplete += st.failed_frames;
        fig.missing += st.missing_packets;
        fig.resent += st.resent_packets;
        fig.bytes += st.bytes;
        fig.underruns += st.underruns;
        fig.lost_frames += st.missing_frames;
        fig.requests += st.resend_requests;
        fig.error_packets += st.error_packets;
        PlacementCounts placed = c.placement();
        fig.in_place += placed.in_place_bytes;
        fig.copied += placed.copied_bytes;
        fig.coalesced += placed.coalesced_datagrams;
        fig.coalesced_messages += placed.coalesced_messages;
        fig.moved += placed.moved_segments;
        fig.gathered += placed.gathered_messages;
    }
    return fig;
}

// Frame accounting of the bare loop: packets per block against the trailer's count.
struct BareFrames {
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> blocks;  // id -> (packets, expected)
    void on(const uint8_t* d, ssize_t n) {
        if (n < 8) {
            return;
        }
        uint64_t block = (uint64_t{d[2]} << 8) | d[3];
        uint64_t id = (uint64_t{d[5]} << 16) | (uint64_t{d[6]} << 8) | d[7];
        auto& b = blocks[block];
        b.first += 1;
        if ((d[4] & 0x0F) == 2) {
            b.second = id + 1;
        }
    }
    uint64_t complete() const {
        uint64_t n = 0;
        for (const auto& [id, b] : blocks) {
            n += b.second != 0 && b.first == b.second;
        }
        return n;
    }
};

// The segment size of a datagram the kernel coalesced, else 0.
size_t coalesced_segment(const msghdr& m) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&m), c)) {
        if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
            return segment > 0 ? static_cast<size_t>(segment) : 0;
        }
    }
    return 0;
}

// The same stream into a bare socket drained with recvmmsg on this thread; with `gro` the
// socket takes coalesced datagrams and the loop walks their segments.
Figures run_bare(Device& d, const Scenario& s, bool gro, bool cold = false) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    int size = kBareBuffer;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        die("bare bind failed");
    }
    const int on = 1;
    if (gro && ::setsockopt(fd.get(), IPPROTO_UDP, UDP_GRO, &on, sizeof on) != 0) {
        gro = false;
    }
    socklen_t len = sizeof local;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len);
    if (!write(d.port(), reg::kScda, ntohl(local.sin_addr.s_addr)) ||
        !write(d.port(), reg::kScp, ntohs(local.sin_port)) ||
        !write(d.port(), reg::kScps, s.packet_size)) {
        die("bare channel setup failed");
    }
    // Cold: the datagrams land one after the other in 64 MiB of memory written before (as a
    // pool of 16 frames of 4 MiB would be), not over and over in the same batch buffers.
    const size_t slot = cold && !gro ? s.packet_size : kBareDatagram;
    const size_t area = cold ? kBareColdArea : kBareBatch * kBareDatagram;
    std::vector<uint8_t> buffers(area + kBareBatch * kBareDatagram, 1);
    size_t cursor = 0;
    std::vector<mmsghdr> msgs(kBareBatch);
    std::vector<iovec> iovs(kBareBatch);
    std::vector<std::array<uint8_t, CMSG_SPACE(sizeof(int))>> controls(kBareBatch);
    for (unsigned i = 0; i < kBareBatch; ++i) {
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    CpuSample cpu0 = cpu_of({self});
    uint64_t drops0 = udp_rcvbuf_errors();
    uint64_t sent0 = d.frames_sent();
    Instant start = Clock::now();
    if (!acquire(d.port(), s.frames)) {
        die("acquisition start failed");
    }
    Figures fig;
    BareFrames frames;
    pollfd pfd{fd.get(), POLLIN, 0};
    while (::poll(&pfd, 1, 300) == 1) {
        for (unsigned i = 0; i < kBareBatch; ++i) {
            iovs[i] = iovec{buffers.data() + cursor + i * slot, kBareDatagram};
            if (gro) {
                msgs[i].msg_hdr.msg_control = controls[i].data();
                msgs[i].msg_hdr.msg_controllen = controls[i].size();
            }
        }
        int n = ::recvmmsg(fd.get(), msgs.data(), kBareBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
            size_t length = msgs[i].msg_len;
            size_t segment = gro ? coalesced_segment(msgs[i].msg_hdr) : 0;
            segment = segment == 0 ? std::max<size_t>(length, 1) : segment;
            const uint8_t* data = buffers.data() + cursor + i * slot;
            fig.bytes += length;
            for (size_t offset = 0; offset < length; offset += segment) {
                frames.on(data + offset, static_cast<ssize_t>(std::min(segment, length - offset)));
            }
        }
        if (cold && n > 0) {
            cursor = (cursor + n * slot) % area;
        }
    }
    fig.seconds = std::chrono::duration<double>(Clock::now() - start).count() - 0.3;
    fig.set_cpu(cpu_of({self}) - cpu0);
    fig.drops = udp_rcvbuf_errors() - drops0;
    fig.complete = frames.complete();
    fig.incomplete = (d.frames_sent() - sent0) - fig.complete;
    write(d.port(), reg::kScp, 0);
    return fig;
}

// The ratio of the CPU per GB of `a` to that of `b` over all rounds, and the median of the
// ratios of rounds run next to each other (less swayed by a round a busy host slowed down).
std::string cpu_ratio(const Figures& a, const Figures& b) {
    std::vector<double> per_round;
    for (size_t r = 0; r < std::min(a.rounds.size(), b.rounds.size()); ++r) {
        if (b.rounds[r] > 0) {
            per_round.push_back(a.rounds[r] / b.rounds[r]);
        }
    }
    std::sort(per_round.begin(), per_round.end());
    double median = per_round.empty() ? 0 : per_round[per_round.size() / 2];
    if (per_round.size() % 2 == 0 && !per_round.empty()) {
        median = (median + per_round[per_round.size() / 2 - 1]) / 2;
    }
    double total = b.cpu_s_per_gb() > 0 ? a.cpu_s_per_gb() / b.cpu_s_per_gb() : 0;
    return fmt::format("CPU per GB {:.2f} (median of rounds {:.2f})", total, median);
}

// The variants CORVISK_BENCH_POOL_VARIANTS asks for: all of them (1), or the one named.
std::vector<Variant> pool_variants() {
    std::vector<Variant> variants;
    const char* v = std::getenv("CORVISK_BENCH_POOL_VARIANTS");
    if (!v) {
        return variants;
    }
    constexpr uint64_t kPrefault = PoolOptions::kDefaultPrefaultBytes;
    const std::vector<Variant> all = {
        {"fifo", {false, kPrefault}}, {"prefault 16M", {true, uint64_t{16} << 20}},
        {"no prefault", {true, 0}},   {"no early close", {true, kPrefault, false}},
        {"64 buffers", {}, 64},       {"no huge pages", {true, kPrefault, true, false}},
        {"resend 2 ms", {}, 16, 2ms}, {"no moderation", {}, 16, {}, Duration::zero()}};
    for (const auto& variant : all) {
        if (std::string(v) == "1" || std::string(v) == variant.name) {
            variants.push_back(variant);
        }
    }
    return variants;
}

void compare(int rounds, const std::string& only) {
    const Scenario scenarios[] = {
        {"2048x2048 SCPS 8000, 50 fps", 2048, 2048, 8000, 50, 100},
        {"2048x2048 SCPS 8000, max", 2048, 2048, 8000, 0, 200},
        {"2048x2048 SCPS 1400, 50 fps", 2048, 2048, 1400, 50, 100},
        {"2048x2048 SCPS 1400, max", 2048, 2048, 1400, 0, 100},
        {"640x480 SCPS 8000, 500 fps", 640, 480, 8000, 500, 1000},
        {"2048x2048 SCPS 8000, 50 fps, device GSO", 2048, 2048, 8000, 50, 100, true},
        {"2048x2048 SCPS 8000, max, device GSO", 2048, 2048, 8000, 0, 200, true},
        {"2048x2048 SCPS 1400, 50 fps, device GSO", 2048, 2048, 1400, 50, 100, true},
        {"2048x2048 SCPS 1400, max, device GSO", 2048, 2048, 1400, 0, 100, true},
    };
    const std::vector<Variant> variants = pool_variants();
    for (const Scenario& s : scenarios) {
        if (!only.empty() && std::string(s.name).find(only) == std::string::npos) {
            continue;
        }
        Device d("127.35.9.1", s);
        Figures ours, bare, bare_gro, bare_cold;
        const bool cold = std::getenv("CORVISK_BENCH_BARE_COLD") != nullptr;
        std::vector<Figures> others(variants.size());
        const bool each_round = std::getenv("CORVISK_BENCH_EACH_ROUND") != nullptr;
        for (int r = 0; r < rounds; ++r) {
            ours.add(run_corvisk({&d}, s));
            if (each_round) {
                Figures one;
                one.add(run_corvisk({&d}, s));
                one.print("one round");
            }
            for (size_t v = 0; v < variants.size(); ++v) {
                others[v].add(run_corvisk({&d}, s, variants[v]));
            }
            bare.add(run_bare(d, s, false));
            if (s.gso) {
                bare_gro.add(run_bare(d, s, true));
            }
            if (cold) {
                bare_cold.add(run_bare(d, s, s.gso, true));
            }
        }
        std::printf("%s: %d rounds of %u frames each\n", s.name, rounds, s.frames);
        ours.print("corvisk");
        bare.print("bare");
        std::printf("  ratio corvisk/bare: complete frames %.3f, %s\n",
                    bare.complete ? double(ours.complete) / bare.complete : 0,
                    cpu_ratio(ours, bare).c_str());
        for (size_t v = 0; v < variants.size(); ++v) {
            others[v].print(variants[v].name);
            std::printf("  ratio %s/bare: complete frames %.3f, %s\n", variants[v].name,
                        bare.complete ? double(others[v].complete) / bare.complete : 0,
                        cpu_ratio(others[v], bare).c_str());
        }
        if (s.gso) {
            bare_gro.print("bare GRO");
            std::printf("  ratio corvisk/bare GRO: complete frames %.3f, %s\n",
                        bare_gro.complete ? double(ours.complete) / bare_gro.complete : 0,
                        cpu_ratio(ours, bare_gro).c_str());
        }
        if (cold) {
            bare_cold.print("bare cold");
            std::printf("  ratio corvisk/bare cold: complete frames %.3f, %s\n",
                        bare_cold.complete ? double(ours.complete) / bare_cold.complete : 0,
                        cpu_ratio(ours, bare_cold).c_str());
        }
    }
}

void cameras() {
    const Scenario s{"2048x2048 SCPS 8000, 50 fps", 2048, 2048, 8000, 50, 100};
    for (int n : {1, 2, 4}) {
        std::vector<std::unique_ptr<Device>> devices;
        std::vector<Device*> ptrs;
        for (int i = 0; i < n; ++i) {
            devices.push_back(std::make_unique<Device>(fmt::format("127.35.9.{}", 11 + i), s));
            ptrs.push_back(devices.back().get());
        }
        Figures fig = run_corvisk(ptrs, s);
        std::printf("%d camera(s), %s, %u frames each:\n", n, s.name, s.frames);
        fig.print("corvisk");
    }
}

uint64_t percentile(std::vector<double> v, double p, double* out) {
    std::sort(v.begin(), v.end());
    *out = v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
    return v.size();
}

void snap_latency() {
    // Negotiated, fixed, and fixed with a worker that never pauses between receives.
    for (int mode : {0, 1, 2}) {
        const bool fixed = mode > 0;
        const Scenario s{"640x480", 640, 480, 8000, 0, 0};
        sim::SimConfig sc = Device::config("127.35.9.21", s, {});
        sim::SimCamera device(sc);
        if (!device.start().ok()) {
            die("simulated camera did not start");
        }
        genicam::GenICamera camera(ConnectionConfig::for_device(*IpAddress::parse(sc.ip)));
        if (!camera.connect().ok()) {
            die("feature-level connect failed");
        }
        std::vector<double> ms;
        for (int i = 0; i < 201; ++i) {
            StreamConfig config;
            if (fixed) {
                config.packet_size = s.packet_size;
            }
            if (mode == 2) {
                config.receive_moderation = Duration::zero();
            }
            Instant t0 = Clock::now();
            auto frame = genicam::snap_once(camera, config, 5s);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (!frame.ok() || !(*frame)->is_complete()) {
                die("snap failed");
            }
        }
        double first = ms.front(), median = 0, p99 = 0;
        ms.erase(ms.begin());
        percentile(ms, 0.5, &median);
        percentile(ms, 0.99, &p99);
        std::printf(
            "snap 640x480 %s packet size%s: first %.1f ms, then median %.2f ms, p99 "
            "%.2f ms (%zu snaps)\n",
            fixed ? "fixed" : "negotiated", mode == 2 ? ", no moderation" : "", first, median, p99,
            ms.size());
        camera.disconnect(500ms);
    }
}

void loss_sweep() {
    const Scenario s{"1024x1024 SCPS 1400, 50 fps", 1024, 1024, 1400, 50, 200};
    struct Case {
        const char* name;
        sim::GvspFaults faults;
    };
    std::vector<Case> cases;
    for (double p : {0.001, 0.01, 0.05, 0.1, 0.2, 0.3}) {
        sim::GvspFaults f;
        f.drop_fraction = p;
        cases.push_back({nullptr, f});
    }
    sim::GvspFaults reorder, dups, interleave;
    reorder.reorder_window = 16;
    dups.duplicate_fraction = 0.05;
    interleave.interleave = true;
    cases.push_back({"reorder window 16", reorder});
    cases.push_back({"5% duplicates", dups});
    cases.push_back({"interleaved frames", interleave});
    std::printf("loss sweep, %s, %u frames a case:\n", s.name, s.frames);
    for (const Case& c : cases) {
        Device d("127.35.9.31", s, c.faults);
        uint64_t sent0 = d.frames_sent();
        Figures fig = run_corvisk({&d}, s);
        uint64_t sent = d.frames_sent() - sent0;
        std::string name =
            c.name ? c.name : fmt::format("{:.1f}% loss", c.faults.drop_fraction * 100);
        std::printf(
            "  %-20s complete %4llu of %4llu sent (%.1f%%), incomplete %llu, resent %llu, "
            "kernel drops %llu\n",
            name.c_str(), (unsigned long long)fig.complete, (unsigned long long)sent,
            sent ? 100.0 * fig.complete / sent : 0, (unsigned long long)fig.incomplete,
            (unsigned long long)fig.resent, (unsigned long long)fig.drops);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string section = argc > 1 ? argv[1] : "all";
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
    bool all = section == "all";
    if (all || section == "compare") {
        compare(rounds, argc > 3 ? argv[3] : "");
    }
    if (all || section == "cameras") {
        cameras();
    }
    if (all || section == "snap") {
        snap_latency();
    }
    if (all || section == "loss") {
        loss_sweep();
    }
    return 0;
}
