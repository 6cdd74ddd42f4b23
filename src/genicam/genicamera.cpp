// Feature operations of the feature-level camera.
#include "genicam/genicamera.hpp"

#include "genicam/retrieval.hpp"

namespace corvisk::genicam {

GenicamResult<void> GenICamera::connect() {
    CVK_TRY_VOID(transport_.connect());
    auto loaded = ensure_genicam(transport_);
    if (!loaded.ok()) {
        // A camera without its feature model is of no use and would keep the device
        // controlled: let go of it, so the failed connect leaves nothing behind.
        transport_.disconnect(kReleaseDeadline);
    }
    return loaded;
}

GenicamResult<GenICamera::Access> GenICamera::guard() {
    gige::Connection* conn = CVK_TRY(transport_.check_connection());
    if (!conn->feature_model) {
        return Err{GenicamError::device_description("feature model not loaded")};
    }
    return Access{*conn->feature_model, conn->port};
}

bool GenICamera::has_feature(std::string_view name) {
    gige::Connection* conn = transport_.connection();
    return transport_.is_connected() && conn->feature_model &&
           genicam::has_feature(*conn->feature_model, name);
}

GenicamResult<std::vector<std::string>> GenICamera::feature_names() {
    gige::Connection* conn = transport_.connection();
    if (conn == nullptr || !conn->feature_model) {
        return Err{GenicamError::device_description("feature model not loaded")};
    }
    return genicam::feature_names(*conn->feature_model);
}

GenicamResult<void> GenICamera::invalidate_caches() {
    Access a = CVK_TRY(guard());
    genicam::invalidate_caches(a.map);
    return {};
}

GenicamResult<void> GenICamera::fill_payload_size(gige::StreamConfig& config) {
    if (config.payload_size) {
        return {};
    }
    int64_t size = CVK_TRY(run(feature::get_integer, "PayloadSize"));
    if (size < 0) {
        return Err{GenicamError::device_description("negative PayloadSize")};
    }
    config.payload_size = static_cast<uint64_t>(size);
    return {};
}

LinkWatch GenICamera::link_watch() {
    gige::Connection* conn = transport_.connection();
    return conn == nullptr ? LinkWatch() : LinkWatch(*conn);
}

}  // namespace corvisk::genicam
