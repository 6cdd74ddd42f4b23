// Benchmark: the stream receiver against the in-process simulated camera on loopback, compared
// with a bare recvfrom loop receiving the same device stream. Prints rates, frame counts, CPU
// time per GB and the stream worker's allocations.
//
//   stream_bench [frames [fps [priority]]]
//       default 1000 frames of 2048 x 2048 Mono8; fps 0 = as fast as the device can send;
//       priority > 0 runs both receivers (worker and bare loop) under SCHED_FIFO at that level.
//
// Rates are packets received over the device's sending time (acquisition start until the device
// has sent its last frame), so both receivers are measured against the same window.
#include <arpa/inet.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "gige/stream_channel.hpp"
#include "registers.hpp"
#include "sim_camera.hpp"
#include "unique_fd.hpp"

// ---- allocation counting for one thread ------------------------------------------------------

namespace {
std::atomic<pid_t> g_counted_tid{0};
std::atomic<uint64_t> g_allocations{0};

pid_t this_tid() {
    static thread_local pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    return tid;
}

void* counted_alloc(size_t n) {
    if (g_counted_tid.load(std::memory_order_relaxed) == this_tid()) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) {
        return p;
    }
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) {
    return counted_alloc(n);
}
void* operator new[](size_t n) {
    return counted_alloc(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;
namespace reg = sim::reg;

constexpr const char* kDeviceIp = "127.0.8.200";
constexpr uint32_t kWidth = 2048;
constexpr uint32_t kHeight = 2048;
constexpr uint16_t kPacketSize = 9000;  // 8972-byte datagrams
constexpr int kSocketBuffer = 8 << 20;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "stream_bench: %s\n", what.c_str());
    std::exit(1);
}

// Nanoseconds the thread has spent on a CPU (the scheduler's own accounting).
uint64_t thread_cpu_ns(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    uint64_t ns = 0;
    in >> ns;
    return ns;
}

pid_t find_thread(const std::string& name) {
    DIR* dir = ::opendir("/proc/self/task");
    pid_t found = 0;
    while (dirent* e = dir ? ::readdir(dir) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string n;
        if (std::getline(comm, n) && n == name) {
            found = static_cast<pid_t>(std::atoi(e->d_name));
        }
    }
    if (dir) {
        ::closedir(dir);
    }
    return found;
}

bool write(const ControlPort& port, uint32_t address, uint32_t value) {
    return unshare(port.write_register(address, value).wait_timeout(3s)).ok();
}

// Watches the device until it has sent `frames` more frames; done() is when that happened.
class DeviceWatch {
  public:
    DeviceWatch(sim::SimCamera& device, uint32_t frames)
        : target_(device.counters().frames_sent + frames), thread_([this, &device] {
              Instant give_up = deadline_after(120s);
              while (device.counters().frames_sent < target_ && Clock::now() < give_up) {
                  std::this_thread::sleep_for(200us);
              }
              done_ = Clock::now();
          }) {}
    ~DeviceWatch() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Instant done() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return done_;
    }

  private:
    uint64_t target_;
    Instant done_{};
    std::thread thread_;
};

bool acquire(const ControlPort& port, uint32_t frames) {
    return write(port, reg::kAcquisitionMode, 2) &&
           write(port, reg::kAcquisitionFrameCount, frames) &&
           write(port, reg::kAcquisitionStart, 1);
}

struct Figures {
    double seconds = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t cpu_ns = 0;
    double mb_per_s() const { return bytes / seconds / 1e6; }
    double packets_per_s() const { return packets / seconds; }
    double cpu_ms_per_gb() const { return cpu_ns / 1e6 / (bytes / 1e9); }
};

// The library's receiver: open_stream, one subscriber that drops every frame at once.
int g_priority = 0;

// Applies the SCHED_FIFO priority of the run to the calling thread (the bare loop).
void apply_priority() {
    if (g_priority > 0) {
        sched_param param{};
        param.sched_priority = g_priority;
        if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) != 0) {
            std::fprintf(stderr, "stream_bench: SCHED_FIFO not permitted\n");
        }
    }
}

void reset_priority() {
    sched_param param{};
    ::pthread_setschedparam(::pthread_self(), SCHED_OTHER, &param);
}

Figures run_receiver(GigECamera& camera, sim::SimCamera& device, uint32_t frames,
                     uint64_t payload) {
    StreamConfig config;
    config.payload_size = payload;
    config.packet_size = kPacketSize;
    config.recv_buffer = kSocketBuffer;
    config.thread.priority = g_priority;
    auto channel = open_stream(camera, config);
    if (!channel.ok()) {
        die("open_stream: " + channel.error().message());
    }
    FrameChannel sub = channel->subscribe(config.n_buffers);
    pid_t worker = 0;
    for (Instant until = deadline_after(1s); worker == 0 && Clock::now() < until;) {
        worker = find_thread("corvisk-gvsp0");  // the worker names itself once it runs
    }
    if (worker == 0) {
        die("stream worker thread not found");
    }
    const ControlPort& port = camera.connection()->port;
    uint64_t cpu_before = thread_cpu_ns(worker);
    g_allocations = 0;
    g_counted_tid = worker;
    DeviceWatch watch(device, frames);
    Instant start = Clock::now();
    if (!acquire(port, frames)) {
        die("acquisition start failed");
    }
    uint64_t received = 0;
    FramePtr frame;
    while (received < frames &&
           sub.recv_deadline(frame, deadline_after(2s)) == chan::RecvResult::Item) {
        ++received;
        frame.reset();
    }
    Instant last = watch.done();
    g_counted_tid = 0;
    uint64_t allocations = g_allocations.load();
    Figures fig;
    fig.cpu_ns = thread_cpu_ns(worker) - cpu_before;
    fig.seconds = std::chrono::duration<double>(last - start).count();
    StreamStats s = channel->stats();
    fig.packets = s.packets;
    fig.bytes = s.bytes;
    std::printf(
        "receiver: %llu frames delivered: completed %llu, failed %llu, dropped %llu, "
        "underruns %llu, resend requests %llu, resent %llu, missing packets %llu\n",
        (unsigned long long)received, (unsigned long long)s.completed_frames,
        (unsigned long long)s.failed_frames, (unsigned long long)s.frames_dropped,
        (unsigned long long)s.underruns, (unsigned long long)s.resend_requests,
        (unsigned long long)s.resent_packets, (unsigned long long)s.missing_packets);
    std::printf("receiver: assembled payload %.1f MB/s (%.0f MB in %.3f s), %.0f packets/s\n",
                s.completed_frames * payload / fig.seconds / 1e6,
                s.completed_frames * payload / 1e6, fig.seconds, fig.packets_per_s());
    std::printf("receiver: worker CPU %.1f ms per GB received (%.3f s CPU)\n", fig.cpu_ms_per_gb(),
                fig.cpu_ns / 1e9);
    std::printf("receiver: worker allocations over %u frames (%llu datagrams): %llu\n", frames,
                (unsigned long long)s.packets, (unsigned long long)allocations);
    return fig;
}

// The same device stream into a bare socket drained with recvfrom.
Figures run_bare(GigECamera& camera, sim::SimCamera& device, uint32_t frames,
                 const std::string& local_ip) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, local_ip.c_str(), &local.sin_addr);
    int size = kSocketBuffer;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);  // as open_stream
    timeval tv{0, 200000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        die("bare bind failed");
    }
    socklen_t len = sizeof local;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &len);
    const ControlPort& port = camera.connection()->port;
    if (!write(port, reg::kScda, ntohl(local.sin_addr.s_addr)) ||
        !write(port, reg::kScp, ntohs(local.sin_port)) || !write(port, reg::kScps, kPacketSize)) {
        die("bare channel setup failed");
    }
    std::vector<uint8_t> buffer(65536);
    apply_priority();
    pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    uint64_t cpu_before = thread_cpu_ns(self);
    DeviceWatch watch(device, frames);
    Instant start = Clock::now();
    if (!acquire(port, frames)) {
        die("acquisition start failed");
    }
    Figures fig;
    uint64_t trailers = 0;
    while (trailers < frames) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t n = ::recvfrom(fd.get(), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            break;  // quiet for 200 ms: the device is done (some trailers were lost)
        }
        ++fig.packets;
        fig.bytes += static_cast<uint64_t>(n);
        trailers += n >= 8 && (buffer[4] & 0x0F) == 2;
    }
    Instant last = watch.done();
    fig.cpu_ns = thread_cpu_ns(self) - cpu_before;
    reset_priority();
    fig.seconds = std::chrono::duration<double>(last - start).count();
    write(port, reg::kScp, 0);
    std::printf(
        "bare recvfrom: %llu trailers of %u, %.1f MB/s, %.0f packets/s, CPU %.1f ms per "
        "GB (%.3f s CPU)\n",
        (unsigned long long)trailers, frames, fig.mb_per_s(), fig.packets_per_s(),
        fig.cpu_ms_per_gb(), fig.cpu_ns / 1e9);
    return fig;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t frames = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1000;
    double fps = argc > 2 ? std::atof(argv[2]) : 0;
    g_priority = argc > 3 ? std::atoi(argv[3]) : 0;
    sim::SimConfig sc;
    sc.ip = kDeviceIp;
    sc.width = sc.sensor_width = kWidth;
    sc.height = sc.sensor_height = kHeight;
    sc.frame_rate = fps;
    sc.resend_ring_frames = 16;
    sim::SimCamera device(sc);
    if (!device.start().ok()) {
        die("simulated camera did not start");
    }
    GigECamera camera(ConnectionConfig::for_device(*IpAddress::parse(kDeviceIp)));
    if (auto c = camera.connect(); !c.ok()) {
        die("connect: " + c.error().message());
    }
    uint64_t payload = uint64_t{kWidth} * kHeight;
    std::printf("stream_bench: %u frames of %ux%u Mono8 (%llu bytes), %u-byte datagrams\n", frames,
                kWidth, kHeight, (unsigned long long)payload, kPacketSize - 28);
    Figures rx = run_receiver(camera, device, frames, payload);
    Figures bare = run_bare(camera, device, frames, "127.0.0.1");
    std::printf("ratio: receiver packet rate %.1f%% of bare; receiver CPU/GB %.2fx bare\n",
                100.0 * rx.packets_per_s() / bare.packets_per_s(),
                rx.cpu_ms_per_gb() / bare.cpu_ms_per_gb());
    auto counters = device.counters();
    std::printf("device: frames sent %llu, packets sent %llu, packets resent %llu\n",
                (unsigned long long)counters.frames_sent, (unsigned long long)counters.packets_sent,
                (unsigned long long)counters.packets_resent);
    return 0;
}
