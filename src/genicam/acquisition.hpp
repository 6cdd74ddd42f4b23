// The continuous acquisition procedure: open a stream channel with its built-in subscription,
// lock the transport parameters and start the camera; stop it and undo all that at the end.
#pragma once

#include <optional>
#include <utility>

#include "error.hpp"
#include "genicam/genicamera.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream_channel.hpp"

namespace corvisk::genicam {

class ContinuousAcquisition;

// A started acquisition and its built-in subscription (capacity n_buffers), subscribed before
// AcquisitionStart so that even the first frame is delivered.
struct AcquisitionStart;

// One running continuous acquisition. Like SnapshotSession it does not own the camera: the
// caller passes the GenICamera it was started on and holds that camera's mutex for the whole
// of start and stop. Move-only. Not thread-safe by itself; stream() is as thread-safe as the
// StreamChannel it returns.
class ContinuousAcquisition {
  public:
    // PayloadSize into the config, stream channel, subscription, TLParamsLocked = 1,
    // AcquisitionStart. When the start command fails everything is undone (TLParamsLocked = 0,
    // channel closed) and its error returned. Non-fatal failures are logged under `log_target`.
    static GenicamResult<AcquisitionStart> start(GenICamera& camera, gige::StreamConfig config,
                                                 const char* log_target = kFeatureTarget);

    ContinuousAcquisition(ContinuousAcquisition&&) noexcept = default;
    ContinuousAcquisition& operator=(ContinuousAcquisition&&) noexcept = default;
    ~ContinuousAcquisition() = default;

    // AcquisitionStop, TLParamsLocked = 0, channel closed; the result of the stop command.
    // Only the first call does anything; later ones succeed at once.
    GenicamResult<void> stop(GenICamera& camera);
    // Closes the stream channel without talking to the features (the camera is not available).
    void abandon() { stream_.reset(); }

    bool is_open() const { return stream_.has_value(); }
    // The open stream channel; only while is_open().
    gige::StreamChannel& stream() { return *stream_; }
    const gige::StreamChannel& stream() const { return *stream_; }

  private:
    ContinuousAcquisition(gige::StreamChannel stream, const char* target)
        : stream_(std::move(stream)), target_(target) {}

    std::optional<gige::StreamChannel> stream_;
    const char* target_;
};

struct AcquisitionStart {
    ContinuousAcquisition acquisition;
    gige::FrameChannel frames;
    LinkWatch link;  // the control link the acquisition runs on, for its consumers' waits
};

}  // namespace corvisk::genicam
