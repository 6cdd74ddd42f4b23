// Test helpers for the stream receiver: GVSP datagram builders, a test pattern, and an
// Assembler harness with injected time and captured resend commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/assembler.hpp"

namespace corvisk::gige::test {

using Bytes = std::vector<uint8_t>;

struct LeaderSpec {
    uint16_t payload_type = 1;
    uint64_t timestamp = 0x0102030405060708;
    uint32_t pixel_format = gvsp::PixelFormat::kMono8;
    uint32_t width = 40;
    uint32_t height = 25;
    size_t size = 36;  // leader payload bytes (12..36)
};

// Byte `offset` of frame `block` in the test pattern.
inline uint8_t pattern_byte(uint64_t block, uint64_t offset) {
    return static_cast<uint8_t>(offset * 7 + block * 13);
}

class Packets {
  public:
    explicit Packets(bool extended = false) : extended_(extended) {}

    Bytes raw(uint64_t block, uint8_t format, uint32_t packet_id, const Bytes& payload = {},
              uint16_t status = 0) const {
        Bytes b(extended_ ? 20 : 8, 0);
        store_be16(&b[0], status);
        if (extended_) {
            b[4] = static_cast<uint8_t>(0x80 | format);
            store_be64(&b[8], block);
            store_be32(&b[16], packet_id);
        } else {
            store_be16(&b[2], static_cast<uint16_t>(block));
            store_be32(&b[4], packet_id & 0xFFFFFF);
            b[4] = format;
        }
        b.insert(b.end(), payload.begin(), payload.end());
        return b;
    }
    Bytes leader(uint64_t block, const LeaderSpec& spec = {}, uint32_t packet_id = 0) const {
        Bytes p(36, 0);
        store_be16(&p[2], spec.payload_type);
        store_be64(&p[4], spec.timestamp);
        store_be32(&p[12], spec.pixel_format);
        store_be32(&p[16], spec.width);
        store_be32(&p[20], spec.height);
        store_be32(&p[24], 3);
        store_be32(&p[28], 4);
        store_be16(&p[32], 5);
        store_be16(&p[34], 6);
        p.resize(spec.size);
        return raw(block, gvsp::kLeader, packet_id, p);
    }
    // Payload packet `packet_id` carrying the pattern for offsets (id-1)*per .. +length.
    Bytes payload(uint64_t block, uint32_t packet_id, uint64_t per, uint64_t length) const {
        Bytes p(length);
        for (uint64_t i = 0; i < length; ++i) {
            p[i] = pattern_byte(block, (packet_id - 1) * per + i);
        }
        return raw(block, gvsp::kPayload, packet_id, p);
    }
    Bytes trailer(uint64_t block, uint32_t packet_id) const {
        return raw(block, gvsp::kTrailer, packet_id, Bytes(8, 0));
    }
    Bytes error(uint64_t block, uint32_t packet_id, uint16_t status) const {
        return raw(block, gvsp::kPayload, packet_id, {}, status);
    }

  private:
    bool extended_;
};

// Drives one Assembler with datagrams at chosen times (milliseconds from an arbitrary origin).
// Not movable: the hooks point at it.
class Harness {
  public:
    // 1000-byte frames in 100-byte standard packets: 12 packets (leader, 10 payloads, trailer).
    static AssemblerConfig small_config() {
        AssemblerConfig c;
        c.payload_size = 1000;
        c.packet_size = 136;
        c.tick_frequency = 1'000'000'000;
        c.n_buffers = 4;
        return c;
    }

    explicit Harness(AssemblerConfig config = small_config(), size_t capacity = 64) {
        AssemblerHooks hooks;
        hooks.send = [this](std::span<const uint8_t> bytes) {
            sent.emplace_back(bytes.begin(), bytes.end());
            return send_errno;
        };
        hooks.before_close = [this] {
            ++closes;
            if (on_close) {
                on_close();
            }
        };
        hooks.publish = [this](const StreamStats& s) { published = s; };
        hooks.wall_clock = [] { return uint64_t{1'700'000'000'000'000'000}; };
        auto created = Assembler::create(config, std::move(hooks));
        a.emplace(std::move(created).value());
        auto [tx, rx] = chan::bounded<FramePtr>(capacity);
        a->add_subscriber(std::move(tx));
        frames = std::move(rx);
    }
    Harness(const Harness&) = delete;

    Instant at(double ms) const {
        return origin +
               std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms));
    }
    void feed(const Bytes& d, double ms = 0) { a->on_datagram(d, at(ms)); }
    void tick(double ms) { a->tick(at(ms)); }

    // A whole frame of the small config: leader, payloads 1..count-2 (except `skip`), trailer.
    void frame(uint64_t block, const std::set<uint32_t>& skip = {}, double ms = 0,
               uint64_t per = 100, uint64_t count = 12) {
        if (!skip.contains(0)) {
            feed(packets.leader(block), ms);
        }
        uint64_t payload_size = a->config().payload_size;
        for (uint32_t p = 1; p + 1 < count; ++p) {
            uint64_t offset = (p - 1) * per;
            if (!skip.contains(p)) {
                feed(packets.payload(block, p, per, std::min(per, payload_size - offset)), ms);
            }
        }
        if (!skip.contains(static_cast<uint32_t>(count - 1))) {
            feed(packets.trailer(block, static_cast<uint32_t>(count - 1)), ms);
        }
    }

    std::vector<FramePtr> take() {
        std::vector<FramePtr> out;
        frames.drain(out);
        return out;
    }
    const StreamStats& stats() const { return a->stats(); }
    const FrameInFlight& in_flight(size_t i = 0) const { return a->frames_in_flight()[i]; }

    Packets packets;
    std::optional<Assembler> a;
    FrameChannel frames;
    std::vector<Bytes> sent;
    int send_errno = 0;
    size_t closes = 0;
    std::function<void()> on_close;
    StreamStats published;
    Instant origin = Instant{} + std::chrono::hours(1);
};

// True when the frame's payload matches the pattern everywhere.
inline bool matches_pattern(const Frame& f) {
    auto data = f.payload();
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != pattern_byte(f.frame_id, i)) {
            return false;
        }
    }
    return true;
}

}  // namespace corvisk::gige::test
