// The continuous acquisition procedure on the feature-level camera.
#include "genicam/acquisition.hpp"

#include "genicam/capture.hpp"

namespace corvisk::genicam {

GenicamResult<AcquisitionStart> ContinuousAcquisition::start(GenICamera& camera,
                                                             gige::StreamConfig config,
                                                             const char* log_target) {
    CVK_TRY_VOID(camera.fill_payload_size(config));
    auto opened = gige::open_stream(camera.transport(), config);
    if (!opened.ok()) {
        return Err{GenicamError(opened.error())};
    }
    AcquisitionStart started{ContinuousAcquisition(std::move(*opened), log_target),
                             gige::FrameChannel(), camera.link_watch()};
    started.frames = started.acquisition.stream().subscribe(config.n_buffers);
    lock_transport_params(camera, true, log_target);
    if (auto run = camera.run(feature::execute, "AcquisitionStart"); !run.ok()) {
        lock_transport_params(camera, false, log_target);
        return Err{run.error()};  // `started` goes out of scope: channel closed
    }
    return started;
}

GenicamResult<void> ContinuousAcquisition::stop(GenICamera& camera) {
    if (!stream_) {
        return {};
    }
    auto stopped = camera.run(feature::execute, "AcquisitionStop");
    lock_transport_params(camera, false, target_);
    stream_->close();
    stream_.reset();
    return stopped;
}

}  // namespace corvisk::genicam
