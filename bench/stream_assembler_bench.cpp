// Frame assembly throughput and allocations: 2048x2048 Mono8 frames in 9000-byte packets fed
// straight into the Assembler (no sockets), with every heap allocation in the timed loop
// counted. Prints one line of figures; run with -DCORVISK_BENCH=ON builds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/assembler.hpp"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

using namespace corvisk;
using namespace corvisk::gige;

namespace {

constexpr uint64_t kPayload = 2048 * 2048;
constexpr uint64_t kPacketSize = 9000;
constexpr uint64_t kPer = kPacketSize - gvsp::kStandardOverhead;
constexpr int kFrames = 1000;

std::vector<std::vector<uint8_t>> one_frame() {
    uint64_t count = gvsp::packet_count_for(kPayload, kPer);
    std::vector<std::vector<uint8_t>> out;
    for (uint64_t p = 0; p < count; ++p) {
        uint8_t format = p == 0 ? gvsp::kLeader : p + 1 == count ? gvsp::kTrailer : gvsp::kPayload;
        uint64_t length = p == 0           ? 36
                          : p + 1 == count ? 8
                                           : std::min(kPer, kPayload - (p - 1) * kPer);
        std::vector<uint8_t> d(8 + length, static_cast<uint8_t>(p));
        std::fill(d.begin(), d.begin() + 8, 0);
        store_be32(&d[4], static_cast<uint32_t>(p));
        d[4] = format;
        if (p == 0) {
            store_be16(&d[8 + 2], 1);
            store_be32(&d[8 + 12], gvsp::PixelFormat::kMono8);
        }
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace

int main() {
    AssemblerConfig config;
    config.payload_size = kPayload;
    config.packet_size = kPacketSize;
    config.n_buffers = 8;
    auto created = Assembler::create(config, {});
    if (!created.ok()) {
        std::fprintf(stderr, "pool: %s\n", created.error().message().c_str());
        return 1;
    }
    Assembler& a = created.value();
    auto [tx, rx] = chan::bounded<FramePtr>(8);
    a.add_subscriber(std::move(tx));
    auto packets = one_frame();
    std::vector<FramePtr> taken;
    taken.reserve(16);
    uint64_t bytes = 0;
    Instant now = Clock::now();
    uint64_t allocations_before = g_allocations.load();
    auto start = std::chrono::steady_clock::now();
    for (int f = 1; f <= kFrames; ++f) {
        for (auto& d : packets) {
            store_be16(&d[2], static_cast<uint16_t>(f));
            a.on_datagram(d, now);
            bytes += d.size();
        }
        rx.drain(taken);
        taken.clear();  // buffers go home
    }
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t allocations = g_allocations.load() - allocations_before;
    const StreamStats& s = a.stats();
    std::printf(
        "frames %d completed %lu failed %lu | %.0f MB/s, %.2f Mpackets/s | allocations %lu "
        "(%.2f per frame, %.4f per datagram)\n",
        kFrames, static_cast<unsigned long>(s.completed_frames),
        static_cast<unsigned long>(s.failed_frames), bytes / elapsed / 1e6,
        s.packets / elapsed / 1e6, static_cast<unsigned long>(allocations),
        static_cast<double>(allocations) / kFrames, static_cast<double>(allocations) / s.packets);
    return s.completed_frames == kFrames ? 0 : 1;
}
