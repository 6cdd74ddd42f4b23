// The snapshot procedure on the feature-level camera.
#include "genicam/snapshot.hpp"

#include <utility>

#include "genicam/capture.hpp"
#include "gige/proto/gvsp.hpp"
#include "log.hpp"
#include "time.hpp"

namespace corvisk::genicam {

namespace {

constexpr const char* kSingleFrame = "SingleFrame";

// Puts the previously active mode back after a failed open; a failure here changes nothing
// about the error the caller reports, so it is dropped.
void restore_quietly(GenICamera& camera, const std::optional<std::string>& saved) {
    if (saved) {
        (void)camera.run(feature::set_enum, "AcquisitionMode", *saved);
    }
}

}  // namespace

GenicamResult<SnapshotSession> SnapshotSession::open(GenICamera& camera, gige::StreamConfig config,
                                                     const char* log_target) {
    SnapshotSession s;
    s.target_ = log_target;
    auto mode = camera.run(feature::get_enum, "AcquisitionMode");
    if (!mode.ok()) {
        CVK_LOG(log::Level::Debug, log_target, {},
                "AcquisitionMode unavailable, stopping per snap: {}", mode.error().message());
    } else if (*mode == kSingleFrame) {
        s.single_frame_ = true;
    } else {
        auto set = camera.run(feature::set_enum, "AcquisitionMode", kSingleFrame);
        if (set.ok()) {
            s.single_frame_ = true;
            s.saved_mode_ = std::move(*mode);
        } else {
            CVK_LOG(log::Level::Debug, log_target, {},
                    "SingleFrame mode unavailable, stopping per snap: {}", set.error().message());
        }
    }
    if (auto filled = camera.fill_payload_size(config); !filled.ok()) {
        restore_quietly(camera, s.saved_mode_);
        return Err{filled.error()};
    }
    auto stream = gige::open_stream(camera.transport(), config);
    if (!stream.ok()) {
        restore_quietly(camera, s.saved_mode_);
        return Err{GenicamError(stream.error())};
    }
    s.stream_.emplace(std::move(*stream));
    lock_transport_params(camera, true, log_target);
    s.frames_ = s.stream_->subscribe(kSnapshotQueueCapacity);
    return s;
}

// A frame that closes while a snap waits may still be an earlier trigger's, finished late: its
// leader arrived before this trigger, or (without a leader) its id is not past the frame the
// previous snap returned.
bool SnapshotSession::after_trigger(const gige::Frame& frame, uint64_t triggered_at) const {
    if (frame.system_timestamp_ns != 0) {
        return frame.system_timestamp_ns >= triggered_at;
    }
    return !last_frame_id_ ||
           gvsp::frame_id_distance(*last_frame_id_, frame.frame_id, frame.frame_id > 0xFFFF) > 0;
}

GenicamResult<gige::FramePtr> SnapshotSession::snap(GenICamera& camera, Duration timeout,
                                                    const Interrupt& interrupted) {
    if (!stream_) {
        return Err{GenicamError::device_description("snapshot session is closed")};
    }
    // Frames from before this snap (a late frame of an earlier one) are not this snap's.
    frames_.clear();
    const LinkWatch link = camera.link_watch();
    const Instant deadline = deadline_after(timeout);
    const uint64_t triggered_at = wall_clock_ns();
    CVK_TRY_VOID(camera.run(feature::execute, "AcquisitionStart"));
    gige::FramePtr frame;
    FrameWait got = wait_for_frame(frames_, deadline, link, interrupted, frame);
    while (got == FrameWait::Frame && !after_trigger(*frame, triggered_at)) {
        CVK_LOG(log::Level::Debug, target_, log::fields("frame_id", frame->frame_id),
                "discarding a frame older than the snap's trigger");
        got = wait_for_frame(frames_, deadline, link, interrupted, frame);
    }
    if (got == FrameWait::Frame) {
        last_frame_id_ = frame->frame_id;
    }
    // Without a control link no stop can reach the device; otherwise a camera that does not
    // stop by itself, or did not deliver, is stopped so it is never left streaming.
    if (got != FrameWait::LinkLost && (got != FrameWait::Frame || !single_frame_)) {
        if (auto stopped = camera.run(feature::execute, "AcquisitionStop"); !stopped.ok()) {
            CVK_LOG(log::Level::Warn, target_, {}, "AcquisitionStop after snap failed: {}",
                    stopped.error().message());
        }
    }
    switch (got) {
        case FrameWait::Frame:
            return frame;
        case FrameWait::TimedOut:
            return Err{GenicamError::snap_timeout()};
        case FrameWait::LinkLost:
            return Err{GenicamError(link.cause())};
        case FrameWait::Interrupted:
            return Err{GenicamError(interrupted_error())};
        case FrameWait::Ended:
            break;
    }
    // The receive worker is gone although the channel is open: report it, never abort.
    return Err{GenicamError(CameraError::io_text(EPIPE, "stream receiver stopped"))};
}

void SnapshotSession::release(GenICamera& camera) {
    if (!stream_) {
        return;
    }
    lock_transport_params(camera, false, target_);
    if (saved_mode_) {
        if (auto restored = camera.run(feature::set_enum, "AcquisitionMode", *saved_mode_);
            !restored.ok()) {
            CVK_LOG(log::Level::Debug, target_, {}, "AcquisitionMode not restored: {}",
                    restored.error().message());
        }
        saved_mode_.reset();
    }
    abandon();
}

void SnapshotSession::abandon() {
    frames_ = gige::FrameChannel();
    stream_.reset();
}

GenicamResult<gige::FramePtr> snap_once(GenICamera& camera, gige::StreamConfig config,
                                        Duration timeout, const Interrupt& interrupted) {
    SnapshotSession session = CVK_TRY(SnapshotSession::open(camera, std::move(config)));
    auto frame = session.snap(camera, timeout, interrupted);
    session.release(camera);
    return frame;
}

}  // namespace corvisk::genicam
