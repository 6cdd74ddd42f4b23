// Pieces both capture procedures (the snapshot session and the continuous acquisition) share.
#pragma once

#include <functional>

#include "genicam/genicamera.hpp"
#include "gige/stream/frame.hpp"
#include "time.hpp"

namespace corvisk::genicam {

// Writes TLParamsLocked (1 before streaming, 0 after). Cameras without the feature still
// stream, so a failure is only logged at DEBUG under `log_target` ("TLParamsLocked not set:
// {}" or "TLParamsLocked not cleared: {}").
void lock_transport_params(GenICamera& camera, bool locked, const char* log_target);

// Asked between the slices of a wait for a frame; true ends the wait at once (the caller was
// interrupted, e.g. by Ctrl-C). Empty: never.
using Interrupt = std::function<bool()>;

// The longest single blocking step of a wait for a frame: how late an interruption or a lost
// control link is noticed at most.
inline constexpr Duration kFrameWaitSlice = std::chrono::milliseconds(100);

enum class FrameWait {
    Frame,        // `out` holds the next frame
    TimedOut,     // the deadline passed
    Ended,        // the stream worker is gone and nothing is queued
    LinkLost,     // the control link died and nothing is queued
    Interrupted,  // `interrupted` said so
};

// Waits until `deadline` for the next frame in slices of kFrameWaitSlice. Frames already
// queued are always taken first, so a lost link or an ended stream is reported only once the
// subscription is empty.
FrameWait wait_for_frame(gige::FrameChannel& frames, Instant deadline, const LinkWatch& link,
                         const Interrupt& interrupted, gige::FramePtr& out);

// The error a capture reports for an interrupted wait (the caller has its own exception).
CameraError interrupted_error();

}  // namespace corvisk::genicam
