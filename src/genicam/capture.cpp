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
