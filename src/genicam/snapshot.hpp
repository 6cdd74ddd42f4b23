// The snapshot procedure: on-demand single-frame capture over a stream channel kept open
// between captures (open / snap / release), and the one-shot capture built from it.
#pragma once

#include <optional>
#include <string>

#include "error.hpp"
#include "genicam/capture.hpp"
#include "genicam/genicamera.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream_channel.hpp"
#include "time.hpp"

namespace corvisk::genicam {

inline constexpr const char* kSnapshotTarget = "corvisk::genicam::snapshot";

// Capacity of a session's frame subscription: a snap waits for one frame, so a few are plenty.
inline constexpr size_t kSnapshotQueueCapacity = 4;

// One open snapshot session. It does not own the camera: every call takes the GenICamera it
// was opened on, and the caller holds that camera's mutex for the whole call (open, each snap,
// release). Move-only. Not thread-safe by itself.
class SnapshotSession {
  public:
    // Prepares the camera: SingleFrame mode when it can (remembering the mode to restore),
    // PayloadSize into the config, the stream channel, TLParamsLocked = 1 and the subscription.
    // Failures that do not prevent capture are logged at DEBUG under `log_target`.
    static GenicamResult<SnapshotSession> open(GenICamera& camera, gige::StreamConfig config,
                                               const char* log_target = kSnapshotTarget);

    SnapshotSession(SnapshotSession&&) noexcept = default;
    SnapshotSession& operator=(SnapshotSession&&) noexcept = default;
    // Closes the stream channel if release() was never called (no feature writes).
    ~SnapshotSession() = default;

    // Starts the acquisition, waits up to `timeout` for the next frame and stops the camera
    // unless it stops by itself. Frames queued before the call are discarded. The first frame
    // after the start is returned whatever its status. SnapTimeout when none arrived. The wait
    // ends early when the control link dies (its cause, ControlLost or NotConnected; no stop
    // can be sent then) or when `interrupted` says so (the camera is stopped first).
    GenicamResult<gige::FramePtr> snap(GenICamera& camera, Duration timeout,
                                       const Interrupt& interrupted = {});

    // TLParamsLocked = 0, the saved AcquisitionMode back (once), stream channel closed. Never
    // fails: problems are logged. Idempotent.
    void release(GenICamera& camera);

    // Closes the stream channel without talking to the features (the camera is not available).
    void abandon();

    bool is_open() const { return stream_.has_value(); }
    bool single_frame() const { return single_frame_; }
    const std::optional<std::string>& saved_mode() const { return saved_mode_; }
    // The open stream channel; only while is_open().
    gige::StreamChannel& stream() { return *stream_; }
    const gige::StreamChannel& stream() const { return *stream_; }

  private:
    SnapshotSession() = default;
    bool after_trigger(const gige::Frame& frame, uint64_t triggered_at) const;

    std::optional<std::string> saved_mode_;
    bool single_frame_ = false;
    std::optional<gige::StreamChannel> stream_;
    gige::FrameChannel frames_;
    std::optional<uint64_t> last_frame_id_;  // of the frame the previous snap returned
    const char* target_ = kSnapshotTarget;
};

// Open, one snap, release: the one-shot capture. The caller holds the camera mutex.
GenicamResult<gige::FramePtr> snap_once(GenICamera& camera, gige::StreamConfig config,
                                        Duration timeout, const Interrupt& interrupted = {});

}  // namespace corvisk::genicam
