// Benchmark: control-channel round trips against the simulated camera on loopback. Prints the
// median and 99th-percentile latency of a single register read through the ControlPort, and the
// throughput of a 64 KiB memory read (128 READMEM transactions of 512 bytes).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gige/camera.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace std::chrono_literals;

namespace {

constexpr const char* kIp = "127.0.6.90";
constexpr int kWarmup = 500;
constexpr int kReads = 20000;
constexpr uint32_t kBlock = 64 * 1024;
constexpr int kBlockReads = 20;
constexpr uint32_t kXmlBase = 0x00100000;  // where the simulated camera keeps its description

[[noreturn]] void die(const char* what, const CameraError& e) {
    std::fprintf(stderr, "%s: %s\n", what, e.message().c_str());
    std::exit(1);
}

double us(Duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void register_reads(const gige::ControlPort& port) {
    for (int i = 0; i < kWarmup; ++i) {
        (void)port.read_register(0x0934).wait_timeout(3s);
    }
    std::vector<Duration> samples;
    samples.reserve(kReads);
    for (int i = 0; i < kReads; ++i) {
        Instant start = Clock::now();
        auto r = port.read_register(0x0934).wait_timeout(3s);
        samples.push_back(Clock::now() - start);
        if (!r.ok()) {
            die("register read", *r.error());
        }
    }
    std::sort(samples.begin(), samples.end());
    std::printf(
        "register read (C++ ControlPort): median %.1f us, p99 %.1f us, max %.1f us "
        "(%d reads)\n",
        us(samples[samples.size() / 2]), us(samples[samples.size() * 99 / 100]), us(samples.back()),
        kReads);
}

void memory_reads(gige::ControlPort& port, uint32_t xml_size) {
    // Reads the description area; when it is shorter than 64 KiB the block wraps over it.
    uint32_t span = std::min(kBlock, xml_size & ~3u);
    std::vector<uint8_t> buffer(kBlock);
    Duration best = Duration::max();
    Duration total{};
    for (int i = 0; i < kBlockReads; ++i) {
        Instant start = Clock::now();
        for (uint32_t done = 0; done < kBlock; done += span) {
            uint32_t n = std::min(span, kBlock - done);
            if (auto r = port.read(kXmlBase, std::span(buffer.data() + done, n)); !r.ok()) {
                die("memory read", r.error());
            }
        }
        Duration d = Clock::now() - start;
        best = std::min(best, d);
        total += d;
    }
    double mean_s = std::chrono::duration<double>(total).count() / kBlockReads;
    double best_s = std::chrono::duration<double>(best).count();
    std::printf(
        "64 KiB memory read: mean %.2f ms = %.2f MB/s, best %.2f ms = %.2f MB/s "
        "(%u-byte device region per read)\n",
        mean_s * 1e3, kBlock / mean_s / 1e6, best_s * 1e3, kBlock / best_s / 1e6, span);
}

}  // namespace

int main() {
    sim::SimConfig config;
    config.ip = kIp;
    config.frame_rate = 0;
    sim::SimCamera device(config);
    if (auto r = device.start(); !r.ok()) {
        die("start simulated camera", r.error());
    }
    gige::GigECamera cam(gige::ConnectionConfig::for_device(*gige::IpAddress::parse(kIp)));
    if (auto r = cam.connect(); !r.ok()) {
        die("connect", r.error());
    }
    gige::ControlPort port = cam.connection()->port;
    register_reads(port);
    memory_reads(port, static_cast<uint32_t>(device.device().xml_file().size()));
    auto stats = cam.link_stats();
    std::printf("link: %llu commands, %llu retries, %llu timeouts\n",
                static_cast<unsigned long long>(stats->commands),
                static_cast<unsigned long long>(stats->retries),
                static_cast<unsigned long long>(stats->timeouts));
    cam.disconnect();
    return 0;
}
