// Pieces shared by the capture procedures.
#include "genicam/capture.hpp"

namespace corvisk::genicam {

void lock_transport_params(GenICamera& camera, bool locked, const char* log_target) {
    auto written = camera.run(feature::set_integer, "TLParamsLocked", int64_t{locked ? 1 : 0});
    if (!written.ok()) {
        CVK_LOG(log::Level::Debug, log_target, {}, "TLParamsLocked not {}: {}",
                locked ? "set" : "cleared", written.error().message());
    }
}

}  // namespace corvisk::genicam

namespace corvisk::genicam {

FrameWait wait_for_frame(gige::FrameChannel& frames, Instant deadline, const LinkWatch& link,
                         const Interrupt& interrupted, gige::FramePtr& out) {
    for (;;) {
        const Instant now = Clock::now();
        const Instant until = deadline - now > kFrameWaitSlice ? now + kFrameWaitSlice : deadline;
        switch (frames.recv_deadline(out, until)) {
            case chan::RecvResult::Item:
                return FrameWait::Frame;
            case chan::RecvResult::Disconnected:
                return FrameWait::Ended;
            default:
                break;
        }
        if (!link.is_alive()) {
            return FrameWait::LinkLost;
        }
        if (Clock::now() >= deadline) {
            return FrameWait::TimedOut;
        }
        if (interrupted && interrupted()) {
            return FrameWait::Interrupted;
        }
    }
}

CameraError interrupted_error() {
    return CameraError::io_text(EINTR, "interrupted");
}

}  // namespace corvisk::genicam
