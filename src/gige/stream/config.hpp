// Options of one stream channel, as the Python layer builds them for open_stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <netinet/in.h>

#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::gige {

struct StreamConfig {
    std::optional<uint64_t> payload_size;  // bytes per frame; required, non-zero
    std::optional<uint32_t> packet_delay;  // SCPD; not written when absent
    ThreadConfig thread;                   // applied by the stream worker to itself
    // How long a packet must be missing before its first resend request.
    Duration resend_initial_delay = std::chrono::milliseconds(1);
    // Re-request interval; also the worker's wake-up period while frames are in flight and
    // the quiet time after which a frame is swept for holes.
    Duration resend_interval = std::chrono::milliseconds(20);
    // A frame with no packet for this long is closed as Timeout.
    Duration frame_timeout = std::chrono::milliseconds(100);
    std::optional<sockaddr_in> local_addr;  // absent: chosen automatically
    uint64_t n_buffers = 8;                 // pool buffers and built-in subscription capacity
    double resend_ratio = 0.25;             // per-frame budget: packet_count x ratio requests
    uint64_t recv_buffer = 0;               // SO_RCVBUF bytes; 0 = automatic
    std::optional<uint16_t> packet_size;    // fixed SCPS; absent = negotiate
    uint16_t channel = 0;
    bool resend = true;
};

}  // namespace corvisk::gige
