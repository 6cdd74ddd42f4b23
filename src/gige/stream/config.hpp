// Options of one stream channel, as the Python layer builds them for open_stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <netinet/in.h>

#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::gige {

// The stream settings a caller gets unless it says otherwise; the stream configuration and the
// worker's parameters both start from these.
namespace stream_defaults {
inline constexpr Duration kResendInitialDelay = std::chrono::milliseconds(1);
inline constexpr Duration kResendInterval = std::chrono::milliseconds(20);
inline constexpr Duration kFrameTimeout = std::chrono::milliseconds(100);
inline constexpr double kResendRatio = 0.25;
inline constexpr uint64_t kBuffers = 8;
inline constexpr Duration kReceiveModeration = std::chrono::microseconds(50);
// A longer pause would let a fast stream fill a small receive buffer while the worker sleeps.
inline constexpr Duration kMaxReceiveModeration = std::chrono::milliseconds(1);
}  // namespace stream_defaults

// How the frame pool sets up and hands out its buffers. The defaults are what every stream
// uses; the other settings exist so that the effect of each can be measured side by side.
struct PoolOptions {
    // Hand out the buffer returned last first: while consumers give frames back promptly the
    // stream keeps writing into the one or two buffers still in the cache (and already mapped
    // in), instead of cycling through the whole pool's memory.
    bool newest_first = true;
    // Pool memory the system maps in when the stream opens, buffer by buffer in the order they
    // are handed out. Any other buffer's first pass of frames takes a page fault (and the
    // zeroing of a page) every 4 KiB inside the kernel's copies, which at high rates stalls the
    // receiver long enough for the socket to overflow. Bounded, so that a stream opening with a
    // large pool (or a device reporting a large payload) does not take all of that memory up
    // front, nor the time to clear it.
    uint64_t prefault_bytes = kDefaultPrefaultBytes;
    static constexpr uint64_t kDefaultPrefaultBytes = uint64_t{64} << 20;
    // When a new frame finds no free buffer, close the oldest frame in flight if it still waits
    // for packets while newer frames queue behind it, as its timeout would close it later:
    // those frames go out with it and their buffers come back as soon as the subscribers let go
    // of them, instead of every new frame being lost until the timeout. Off: new frames are
    // lost whole until a buffer returns.
    bool close_waiting_when_empty = true;
    // Back buffers of 2 MiB and more with the system's huge pages where it offers them (as a
    // hint; the system may decline): the kernel's copy of every packet into a 4 MiB frame then
    // walks two page-table entries instead of a thousand, and mapping a buffer in costs two
    // faults instead of a thousand.
    bool huge_pages = true;
};

struct StreamConfig {
    std::optional<uint64_t> payload_size;  // bytes per frame; required, non-zero
    std::optional<uint32_t> packet_delay;  // SCPD; not written when absent
    ThreadConfig thread;                   // applied by the stream worker to itself
    // How long a packet must be missing before its first resend request.
    Duration resend_initial_delay = stream_defaults::kResendInitialDelay;
    // Re-request interval; also the worker's wake-up period while frames are in flight and
    // the quiet time after which a frame is swept for holes.
    Duration resend_interval = stream_defaults::kResendInterval;
    // A frame with no packet for this long is closed as Timeout.
    Duration frame_timeout = stream_defaults::kFrameTimeout;
    std::optional<sockaddr_in> local_addr;  // absent: chosen automatically
    uint64_t n_buffers =
        stream_defaults::kBuffers;  // pool buffers and built-in subscription capacity
    // Per-frame budget of re-requests (packets asked for again): packet_count x ratio, at least
    // one. Each lost packet's first request is not counted; 0 asks for no resend at all.
    double resend_ratio = stream_defaults::kResendRatio;
    // While a frame streams in faster than the worker drains it, the worker pauses this long
    // (at least) each time it empties the socket before it receives again, instead of waiting
    // for the next datagram: woken by every datagram or two, it spends more on waking up than
    // on receiving; after a pause one receive takes a batch. 0: never pause; at most
    // kMaxReceiveModeration (a longer one is taken as that).
    Duration receive_moderation = stream_defaults::kReceiveModeration;
    uint64_t recv_buffer = 0;  // SO_RCVBUF bytes; 0 = automatic
    // Upper bound of the automatic receive buffer (two frames with the kernel's per-packet
    // accounting); 0 = kMaxAutoRecvBuffer (64 MiB).
    uint64_t recv_buffer_max = 0;
    // Memory the frame pool (n_buffers x payload_size) may take; 0 = a quarter of the host's
    // physical memory. A larger pool is refused when the stream opens.
    uint64_t pool_memory_limit = 0;
    PoolOptions pool;
    std::optional<uint16_t> packet_size;  // fixed SCPS; absent = negotiate
    uint16_t channel = 0;
    bool resend = true;
};

}  // namespace corvisk::gige
