// Finished frames: the immutable record handed to every subscriber, and how a frame ended.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "gige/proto/gvsp.hpp"
#include "gige/stream/pool.hpp"
#include "queue.hpp"

namespace corvisk::gige {

// How a frame ended. The integer values are part of the Python interface.
enum class FrameStatus : uint8_t {
    Complete = 0,
    MissingPackets = 1,
    Timeout = 2,
    Aborted = 3,
    WrongPacketId = 4,
    PayloadUnsupported = 5,  // carried all-in or unknown-format packets, whose data is not placed
};

// "Complete", "MissingPackets", ... (the enumerator's name).
const char* frame_status_name(FrameStatus status);

using gvsp::PayloadKind;

// One received frame. Built once by the stream worker, then shared read-only between threads
// through FramePtr; its buffer returns to the pool when the last reference goes, whether or not
// the stream still runs.
struct Frame {
    PooledBuf buffer;
    uint64_t frame_id = 0;
    uint64_t timestamp_ticks = 0;      // device ticks from the leader; 0 without leader
    uint64_t timestamp_ns = 0;         // see device_timestamp_ns()
    uint64_t system_timestamp_ns = 0;  // host wall clock at leader placement; 0 without
    uint64_t received_size = 0;        // payload bytes copied into the buffer
    uint64_t data_end = 0;             // end of the furthest byte written
    PayloadKind payload_kind = PayloadKind::Other;
    uint16_t payload_type = 0;  // masked leader payload type; 0 without leader
    std::optional<bool> has_chunks;
    uint32_t pixel_format = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t x_offset = 0;
    uint32_t y_offset = 0;
    uint16_t padding_x = 0;
    uint16_t padding_y = 0;
    FrameStatus status = FrameStatus::Complete;

    bool is_complete() const { return status == FrameStatus::Complete; }
    // The first min(buffer length, data_end) bytes; empty without a buffer. For an incomplete
    // frame the holes hold whatever earlier frames left there.
    std::span<const uint8_t> payload() const;
};

using FramePtr = std::shared_ptr<const Frame>;
// The receiving end of one subscription (bounded; capacity 0 is a hand-over).
using FrameChannel = chan::Receiver<FramePtr>;
using FrameSender = chan::Sender<FramePtr>;

// Device ticks to nanoseconds: whole seconds and the fraction are converted separately so
// large tick counts do not overflow; with an unknown frequency (0) the host time stands in.
uint64_t device_timestamp_ns(uint64_t ticks, uint64_t tick_frequency, uint64_t system_ns);

}  // namespace corvisk::gige
