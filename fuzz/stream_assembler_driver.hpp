// Drives one Assembler from arbitrary bytes: the input picks the stream parameters, then the
// packets (leaders, payloads, trailers, error statuses, junk), their order, loss, duplication,
// the passing of time and how long consumers hold frames. After every step the assembler's
// invariants are checked; a violation aborts (for the fuzzer and for the corpus replay test).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/assembler.hpp"

namespace corvisk::gige::fuzzing {

inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "stream assembler invariant failed: %s\n", what);
        std::abort();
    }
}

class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>((u8() << 8) | u8()); }
    uint32_t u32() { return (uint32_t{u16()} << 16) | u16(); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class AssemblerCase {
  public:
    AssemblerCase(const uint8_t* data, size_t size) : in_(data, size) {
        config_.payload_size = 1 + in_.u16() % 3000;
        config_.packet_size = 30 + in_.u8() * 2u;
        config_.n_buffers = in_.u8() % 5;
        uint8_t flags = in_.u8();
        config_.resend_enabled = (flags & 1) != 0;
        extended_ = (flags & 2) != 0;
        config_.resend_ratio = ((flags >> 2) & 3) * 0.25;
        config_.tick_frequency = (flags & 16) ? 125'000'000 : 0;
        hold_ = 1 + (flags >> 5);
    }

    void run() {
        AssemblerHooks hooks;
        hooks.send = [this](std::span<const uint8_t> bytes) {
            check(bytes.size() == 20 || bytes.size() == 28, "resend command size");
            return 0;
        };
        hooks.before_close = [this] { ++closes_; };
        hooks.wall_clock = [] { return uint64_t{1}; };
        auto created = Assembler::create(config_, std::move(hooks));
        check(created.ok(), "pool creation");
        Assembler& a = created.value();
        auto [tx, rx] = chan::bounded<FramePtr>(1024);
        a.add_subscriber(std::move(tx));
        rx_ = std::move(rx);
        while (!in_.empty()) {
            step(a);
            collect();
            check_invariants(a);
        }
        a.abort_all();
        collect();
        check_invariants(a);
        check(!a.has_frames_in_flight(), "abort_all leaves nothing in flight");
        held_.clear();
        check(a.free_buffers() == config_.n_buffers, "every buffer returns to the pool");
    }

  private:
    void step(Assembler& a) {
        uint8_t op = in_.u8();
        uint64_t block = base_ + ((op >> 4) & 3);
        datagram_.clear();
        switch (op & 7) {
            case 0: {
                static constexpr uint16_t kTypes[] = {1, 4, 5, 0x4001, 2, 0};
                uint32_t id = (op & 0x40) ? in_.u8() : 0;
                uint16_t type = kTypes[in_.u8() % 6];
                size_t length = 8 + in_.u8() % 29;
                header(block, gvsp::kLeader, id, 0);
                size_t at = datagram_.size();
                datagram_.resize(at + 36, 0);
                store_be16(&datagram_[at + 2], type);
                store_be64(&datagram_[at + 4], 0x1234567890ULL * block);
                store_be32(&datagram_[at + 12], gvsp::PixelFormat::kMono8);
                store_be32(&datagram_[at + 16], 32);
                datagram_.resize(at + length);
                break;
            }
            case 1: {
                uint32_t id = (op & 0x80) ? in_.u32() : in_.u8();
                uint64_t per = per_packet();
                uint64_t offset = id > 0 ? (id - 1) * per : 0;
                uint64_t length = (op & 0x40) ? in_.u8()
                                  : offset < config_.payload_size
                                      ? std::min(per, config_.payload_size - offset)
                                      : per;
                header(block, gvsp::kPayload, id, 0);
                datagram_.resize(datagram_.size() + std::min<uint64_t>(length, 9000),
                                 static_cast<uint8_t>(id));
                break;
            }
            case 2:
                header(block, gvsp::kTrailer, (op & 0x80) ? in_.u32() : in_.u8(), 0);
                datagram_.resize(datagram_.size() + 8, 0);
                break;
            case 3: {
                static constexpr uint16_t kStatus[] = {0x800C, 0x8011, 0x8012, 0x8001};
                header(block, gvsp::kPayload, in_.u8(), kStatus[in_.u8() % 4]);
                break;
            }
            case 4: {
                size_t n = in_.u8() % 64;
                for (size_t i = 0; i < n; ++i) {
                    datagram_.push_back(in_.u8());
                }
                break;
            }
            case 5:
                now_ += std::chrono::milliseconds(in_.u8());
                a.tick(now_);
                return;
            case 6:
                base_ += (op & 0x40) ? in_.u16() : 1 + in_.u8() % 3;
                if (op & 0x80) {
                    held_.clear();
                }
                return;
            case 7:
                datagram_ = last_;
                break;
        }
        a.on_datagram(datagram_, now_);
        last_ = datagram_;
    }

    uint64_t per_packet() const {
        uint64_t overhead = extended_ ? gvsp::kExtendedOverhead : gvsp::kStandardOverhead;
        return config_.packet_size > overhead ? config_.packet_size - overhead : 1;
    }

    void header(uint64_t block, uint8_t format, uint32_t id, uint16_t status) {
        datagram_.resize(extended_ ? 20 : 8, 0);
        store_be16(&datagram_[0], status);
        if (extended_) {
            datagram_[4] = static_cast<uint8_t>(0x80 | format);
            store_be64(&datagram_[8], block);
            store_be32(&datagram_[16], id);
        } else {
            store_be16(&datagram_[2], static_cast<uint16_t>(block));
            store_be32(&datagram_[4], id & 0xFFFFFF);
            datagram_[4] = format;
        }
    }

    void collect() {
        FramePtr f;
        while (rx_.try_recv(f) == chan::RecvResult::Item) {
            check(f->data_end <= config_.payload_size, "data_end within the buffer");
            check(f->payload().size() == f->data_end, "payload view length");
            held_.push_back(std::move(f));
            while (held_.size() > hold_) {
                held_.pop_front();
            }
        }
    }

    void check_invariants(const Assembler& a) {
        auto frames = a.frames_in_flight();
        check(frames.size() <= config_.n_buffers, "frames in flight hold pool buffers");
        check(a.free_buffers() + frames.size() + held_.size() == config_.n_buffers,
              "buffers are conserved");
        uint64_t limit =
            std::max(a.packet_limit(config_.packet_size > 36 ? config_.packet_size - 36 : 1),
                     a.packet_limit(config_.packet_size > 48 ? config_.packet_size - 48 : 1));
        for (const FrameInFlight& f : frames) {
            check(f.packet_count >= 1, "packet count");
            check(f.slot.packets.size() >= f.packet_count, "packet array covers the count");
            check(f.slot.packets.capacity() <= limit, "packet array bounded");
            check(f.contiguous >= -1 && f.contiguous < static_cast<int64_t>(f.packet_count),
                  "contiguous prefix within the frame");
            check(f.data_end <= f.slot.data.size(), "data_end within the buffer");
            check(f.slot.data.size() == config_.payload_size, "buffer size");
        }
        const StreamStats& s = a.stats();
        for (const auto& field : kStreamStatsFields) {
            check(s.*field.member >= prev_.*field.member, "counters never decrease");
        }
        check(s.completed_frames + s.failed_frames + s.aborted_frames == closes_,
              "every close is counted once");
        check(s.timed_out_frames <= s.failed_frames, "timeouts are failures");
        prev_ = s;
    }

    InputReader in_;
    AssemblerConfig config_;
    bool extended_ = false;
    size_t hold_ = 1;
    uint64_t base_ = 1;
    Instant now_ = Instant{} + std::chrono::hours(1);
    std::vector<uint8_t> datagram_;
    std::vector<uint8_t> last_;
    FrameChannel rx_;
    std::deque<FramePtr> held_;
    uint64_t closes_ = 0;
    StreamStats prev_;
};

inline void run_stream_assembler_case(const uint8_t* data, size_t size) {
    AssemblerCase(data, size).run();
}

}  // namespace corvisk::gige::fuzzing
