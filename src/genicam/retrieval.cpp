// Description retrieval: URL registers, device memory or host file, ZIP, node-map build.
#include "genicam/retrieval.hpp"

#include <span>

#include "genicam/url.hpp"
#include "genicam/xml_builder.hpp"
#include "genicam/zip.hpp"
#include "gige/proto/bootstrap.hpp"
#include "handle.hpp"
#include "log.hpp"
#include "utf8.hpp"

namespace corvisk::genicam {

namespace {

constexpr const char* kTarget = "corvisk::gige";
constexpr uint32_t kUrlLength = 512;

using Bytes = std::vector<uint8_t>;

// The connection check every step repeats: present and alive, or the error saying why not.
CameraResult<gige::Connection*> live_connection(gige::GigECamera& camera) {
    return camera.check_connection();
}

CameraResult<Bytes> read_device_memory(const gige::ControlPort& port, uint32_t address,
                                       uint32_t length, Duration wait) {
    return gige::wait_or_cancel(port.read_memory(address, length), wait);
}

// One URL register: its text, then the document it names (unzipped when it is an archive).
CameraResult<Bytes> fetch_from_register(const gige::ControlPort& port, uint32_t url_register) {
    const Duration timeout = port.request_timeout();
    // As long as any 512-byte read waits: one full retry cycle per chunk, plus one.
    Bytes text = CVK_TRY(
        read_device_memory(port, url_register, kUrlLength, timeout * (kUrlLength / 512 + 1)));
    auto url = XmlUrl::from_register(text);
    if (!url.ok()) {
        return Err{CameraError::malformed(url.error())};
    }
    Bytes document;
    if (const auto* local = std::get_if<XmlUrl::Local>(&url->location)) {
        if (local->address >= (uint64_t{1} << 32)) {
            return Err{CameraError::malformed("XML address beyond 32 bit")};
        }
        // XmlUrl::parse already refused lengths beyond kMaxDescriptionSize, so this read cannot
        // be made to allocate without bound.
        const auto length = static_cast<uint32_t>(local->length);
        document = CVK_TRY(read_device_memory(port, static_cast<uint32_t>(local->address), length,
                                              timeout * (length / 512 + 2)));
    } else if (const auto* file = std::get_if<XmlUrl::File>(&url->location)) {
        document = CVK_TRY(read_host_file(file->path));
    } else {
        return Err{CameraError::unsupported("http-hosted GenICam XML")};
    }
    if (url->is_zip()) {
        auto unpacked = zip::extract_first_file(document);
        if (!unpacked.ok()) {
            return Err{CameraError::malformed(unpacked.error())};
        }
        document = std::move(unpacked).value();
    }
    return document;
}

// A failure that says nothing about the description: the link itself is gone.
bool is_link_failure(const CameraError& e) {
    return e.kind() == CameraError::Kind::NotConnected ||
           e.kind() == CameraError::Kind::ControlLost;
}

// Tries both URL registers. When both fail, the error names both causes (a bad first URL is
// as likely the real fault as an empty second one), unless the link itself went away: that is
// reported as the transport error it is.
GenicamResult<std::shared_ptr<const Bytes>> fetch_document(const gige::ControlPort& port) {
    std::string causes;
    for (uint32_t url_register : {bootstrap::kFirstUrl, bootstrap::kSecondUrl}) {
        auto r = fetch_from_register(port, url_register);
        if (r.ok()) {
            return std::make_shared<const Bytes>(std::move(r).value());
        }
        std::string cause =
            fmt::format("GenICam URL at {:#x} failed: {}", url_register, r.error().message());
        CVK_LOG(log::Level::Debug, kTarget, {}, "{}", cause);
        if (is_link_failure(r.error())) {
            return Err{GenicamError(std::move(r).error())};
        }
        causes += causes.empty() ? cause : "; " + cause;
    }
    return Err{GenicamError::device_description(std::move(causes))};
}

}  // namespace

GenicamResult<void> ensure_genicam(gige::GigECamera& camera) {
    gige::Connection* conn = CVK_TRY(live_connection(camera));
    if (conn->feature_model) {
        return {};
    }
    if (!conn->xml_cache) {
        conn->xml_cache = CVK_TRY(fetch_document(conn->port));
    }
    // Keep the document alive through the parse even if the connection goes meanwhile.
    std::shared_ptr<const Bytes> document = conn->xml_cache;
    Genicam model = CVK_TRY(xml::parse_description(*document));
    CVK_LOG(log::Level::Debug, kTarget, {}, "GenICam feature model loaded");
    conn = CVK_TRY(live_connection(camera));
    conn->feature_model = std::make_shared<Genicam>(std::move(model));
    return {};
}

}  // namespace corvisk::genicam
