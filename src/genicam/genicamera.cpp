// Feature operations of the feature-level camera.
#include "genicam/genicamera.hpp"

#include "genicam/retrieval.hpp"
#include "genicam/value.hpp"
#include "log.hpp"

namespace corvisk::genicam {

namespace {
constexpr const char* kTarget = "corvisk::genicam";
}  // namespace

GenicamResult<void> GenICamera::connect() {
    CVK_TRY_VOID(transport_.connect());
    return ensure_genicam(transport_);
}

GenicamResult<GenICamera::Access> GenICamera::guard() {
    gige::Connection* conn = CVK_TRY(transport_.check_connection());
    if (!conn->feature_model) {
        return Err{GenicamError::device_description("feature model not loaded")};
    }
    return Access{*conn->feature_model, conn->port};
}

GenicamResult<int64_t> GenICamera::get_integer(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::get_integer(a.map, a.port, name);
}

GenicamResult<void> GenICamera::set_integer(std::string_view name, int64_t value) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name, "value", value),
            "set integer");
    Access a = CVK_TRY(guard());
    return genicam::set_integer(a.map, a.port, name, value);
}

GenicamResult<double> GenICamera::get_float(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::get_float(a.map, a.port, name);
}

GenicamResult<void> GenICamera::set_float(std::string_view name, double value) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name, "value", value), "set float");
    Access a = CVK_TRY(guard());
    return genicam::set_float(a.map, a.port, name, value);
}

GenicamResult<bool> GenICamera::get_boolean(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::get_boolean(a.map, a.port, name);
}

GenicamResult<void> GenICamera::set_boolean(std::string_view name, bool value) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name, "value", value),
            "set boolean");
    Access a = CVK_TRY(guard());
    return genicam::set_boolean(a.map, a.port, name, value);
}

GenicamResult<std::string> GenICamera::get_string(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::get_string(a.map, a.port, name);
}

GenicamResult<void> GenICamera::set_string(std::string_view name, std::string_view value) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name, "value", value), "set string");
    Access a = CVK_TRY(guard());
    return genicam::set_string(a.map, a.port, name, value);
}

GenicamResult<std::string> GenICamera::get_enum(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::get_enum(a.map, a.port, name);
}

GenicamResult<void> GenICamera::set_enum(std::string_view name, std::string_view entry) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name, "entry", entry), "set enum");
    Access a = CVK_TRY(guard());
    return genicam::set_enum(a.map, a.port, name, entry);
}

GenicamResult<std::vector<std::string>> GenICamera::enum_entries(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::enum_entries(a.map, name);
}

GenicamResult<void> GenICamera::execute(std::string_view name) {
    CVK_LOG(log::Level::Trace, kTarget, log::fields("feature", name), "execute command");
    Access a = CVK_TRY(guard());
    return genicam::execute(a.map, a.port, name);
}

GenicamResult<std::pair<int64_t, int64_t>> GenICamera::integer_bounds(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::integer_bounds(a.map, a.port, name);
}

GenicamResult<std::pair<double, double>> GenICamera::float_bounds(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::float_bounds(a.map, a.port, name);
}

GenicamResult<int64_t> GenICamera::integer_increment(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::integer_increment(a.map, a.port, name);
}

GenicamResult<AccessMode> GenICamera::access_mode(std::string_view name) {
    Access a = CVK_TRY(guard());
    return genicam::access_mode(a.map, name);
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
    int64_t size = CVK_TRY(get_integer("PayloadSize"));
    if (size < 0) {
        return Err{GenicamError::device_description("negative PayloadSize")};
    }
    config.payload_size = static_cast<uint64_t>(size);
    return {};
}

}  // namespace corvisk::genicam
