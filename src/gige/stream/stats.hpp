// Stream receiver counters and the mutex-guarded record the worker publishes them into.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace corvisk::gige {

// Nineteen monotonic counters, all zero when the stream opens.
struct StreamStats {
    uint64_t packets = 0;               // datagrams from the device's IP
    uint64_t bytes = 0;                 // their total length
    uint64_t completed_frames = 0;      // closed Complete
    uint64_t failed_frames = 0;         // closed neither Complete nor Aborted
    uint64_t timed_out_frames = 0;      // closed Timeout
    uint64_t aborted_frames = 0;        // closed Aborted (shutdown)
    uint64_t missing_frames = 0;        // skipped block ids
    uint64_t underruns = 0;             // new frame found no free buffer
    uint64_t missing_packets = 0;       // packets after the contiguous prefix of failed frames
    uint64_t resend_requests = 0;       // packets asked for again
    uint64_t resent_packets = 0;        // requested packets that arrived
    uint64_t resend_ratio_reached = 0;  // frames that exhausted their resend budget
    uint64_t resend_disabled = 0;       // packets with status 0x800C, 0x8011 or 0x8012
    uint64_t duplicated_packets = 0;    // packets received twice
    uint64_t error_packets = 0;         // packets with an error status
    uint64_t ignored_packets = 0;       // short, late, unsupported-frame, all-in, unknown format
    uint64_t unsupported_frames = 0;    // frames that could not be handled
    uint64_t size_mismatch_errors = 0;  // a payload packet other than the last overran the buffer
    uint64_t frames_dropped = 0;        // finished frames a full subscriber queue refused

    friend bool operator==(const StreamStats&, const StreamStats&) = default;
};

struct StreamStatsField {
    const char* name;
    uint64_t StreamStats::*member;
};

// Every counter in declaration order, for bindings and text forms.
inline constexpr std::array<StreamStatsField, 19> kStreamStatsFields = {{
    {"packets", &StreamStats::packets},
    {"bytes", &StreamStats::bytes},
    {"completed_frames", &StreamStats::completed_frames},
    {"failed_frames", &StreamStats::failed_frames},
    {"timed_out_frames", &StreamStats::timed_out_frames},
    {"aborted_frames", &StreamStats::aborted_frames},
    {"missing_frames", &StreamStats::missing_frames},
    {"underruns", &StreamStats::underruns},
    {"missing_packets", &StreamStats::missing_packets},
    {"resend_requests", &StreamStats::resend_requests},
    {"resent_packets", &StreamStats::resent_packets},
    {"resend_ratio_reached", &StreamStats::resend_ratio_reached},
    {"resend_disabled", &StreamStats::resend_disabled},
    {"duplicated_packets", &StreamStats::duplicated_packets},
    {"error_packets", &StreamStats::error_packets},
    {"ignored_packets", &StreamStats::ignored_packets},
    {"unsupported_frames", &StreamStats::unsupported_frames},
    {"size_mismatch_errors", &StreamStats::size_mismatch_errors},
    {"frames_dropped", &StreamStats::frames_dropped},
}};

// "StreamStats { packets: 12, bytes: 17000, ... }".
std::string to_string(const StreamStats& stats);

// The worker's published copy of its counters. Thread-safe; the lock covers only the copy.
// How the receiver placed payload bytes into frame buffers: where the kernel wrote them (the
// zero-copy path) or by a copy. Internal figures, beside the StreamStats counters.
struct PlacementCounts {
    uint64_t in_place_bytes = 0;
    uint64_t copied_bytes = 0;
    uint64_t coalesced_datagrams = 0;  // device datagrams the kernel handed over coalesced
    uint64_t coalesced_messages = 0;   // the messages that held them
    uint64_t moved_segments = 0;       // landed in their frame but not in place: moved once
    uint64_t gathered_messages = 0;    // put back together from their pieces, then copied
    // Packets ignored inside a frame they do not belong to: payload ids past the frame's last
    // payload slot, and all-in or unknown-format packets of a frame a leader started. Also
    // counted in StreamStats::ignored_packets.
    uint64_t stray_packets = 0;
};

class StreamShared {
  public:
    void publish_placement(const PlacementCounts& counts) {
        std::lock_guard lock(mu_);
        placement_ = counts;
    }
    PlacementCounts placement() const {
        std::lock_guard lock(mu_);
        return placement_;
    }
    void publish(const StreamStats& stats) {
        std::lock_guard lock(mu_);
        stats_ = stats;
    }
    StreamStats snapshot() const {
        std::lock_guard lock(mu_);
        return stats_;
    }

  private:
    mutable std::mutex mu_;
    StreamStats stats_;
    PlacementCounts placement_;
};

}  // namespace corvisk::gige
