// The stream worker: one thread per stream channel that owns the stream socket, feeds every
// datagram from the device to the Assembler, runs its timers and hands finished frames to the
// subscribers. StreamReceiver is its owner-side handle.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include <netinet/in.h>

#include "error.hpp"
#include "gige/stream/assembler.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream/stats.hpp"
#include "queue.hpp"
#include "thread_util.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

// Commands into the worker (unbounded queue plus a wake-up).
struct SubscribeCommand {
    FrameSender sender;
};
struct StopCommand {};
using ToStreamWorker = std::variant<SubscribeCommand, StopCommand>;

struct StreamRunnerParams {
    AssemblerConfig assembler;  // sizes, tick frequency, resend switch and timings, n_buffers
    uint16_t channel = 0;       // names the thread "corvisk-gvsp<channel>"
    ThreadConfig thread;        // applied by the worker to itself
    // Pause when the socket empties mid-frame (see StreamConfig); 0: never.
    Duration receive_moderation = stream_defaults::kReceiveModeration;

    // The worker's parameters for a stream opened with `config` once the device has been
    // programmed: the payload size, the packet size written to SCPS, the device's tick
    // frequency (0 if unknown) and whether resend is both wanted and supported.
    static StreamRunnerParams from_config(const StreamConfig& config, uint64_t payload_size,
                                          uint16_t packet_size, uint64_t tick_frequency,
                                          bool resend_enabled);
};

// Owner side of a running stream worker. Move-only. Dropping it (or stop()) sends stop, wakes
// and joins the worker; frames already delivered stay valid. Thread-safe for subscribe(),
// stats() and local(); stop() is for the owner.
class StreamReceiver {
  public:
    StreamReceiver(StreamReceiver&&) noexcept = default;
    StreamReceiver& operator=(StreamReceiver&&) noexcept = default;
    ~StreamReceiver() { stop(); }

    // A new subscription of the given capacity (0 = hand-over). It sees the frames that close
    // after the worker took the request. If the worker has ended, the channel is disconnected.
    FrameChannel subscribe(size_t capacity) const;
    // The counters as last published by the worker.
    StreamStats stats() const { return shared_->snapshot(); }
    // How payload bytes reached the frame buffers, as last published by the worker.
    PlacementCounts placement() const { return shared_->placement(); }
    // The address the stream socket is bound to.
    const sockaddr_in& local() const { return local_; }
    bool is_alive() const { return worker_.is_alive(); }
    // Sends stop, wakes and joins the worker. Idempotent.
    void stop();

  private:
    friend CameraResult<StreamReceiver> spawn_stream_runner(UniqueFd, const sockaddr_in&,
                                                            const StreamRunnerParams&);
    StreamReceiver() = default;

    chan::Sender<ToStreamWorker> commands_;
    std::shared_ptr<StreamShared> shared_;
    ThreadHandle worker_;
    sockaddr_in local_{};
};

// Starts the worker on an already-bound IPv4 UDP socket. `device` is the device's GVCP control
// address: only datagrams from its IP are read, and resend requests go to it. Any failure
// (non-blocking mode, poller, waker, pool memory, thread) is ThreadSpawn with the system's
// text; the socket is closed then.
CameraResult<StreamReceiver> spawn_stream_runner(UniqueFd socket, const sockaddr_in& device,
                                                 const StreamRunnerParams& params);

}  // namespace corvisk::gige
