// The library's two error types: CameraError for the transport and control layer, GenicamError
// for the feature layer, plus the shared, immutable form used by control-request results.
//
// Both render fixed lower-case English messages (message()); the Python layer turns them into
// CameraException / GenicamException with exactly that text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "gvcp_status.hpp"
#include "result.hpp"

namespace corvisk {

class CameraError {
  public:
    enum class Kind : uint8_t {
        Io,
        ConnectTimeout,
        NotConnected,
        AckTimeout,
        AccessDenied,
        ControlLost,
        Status,
        Malformed,
        Unsupported,
        ThreadSpawn,
    };

    // An operating-system error: errno value, rendered with the system's own text.
    static CameraError io(int errno_value);
    // An I/O error with its own text (e.g. "no usable network adapter for discovery"); errno_value
    // is the closest system error kind (kept for callers that test it).
    static CameraError io_text(int errno_value, std::string text);
    static CameraError connect_timeout() { return CameraError(Kind::ConnectTimeout); }
    static CameraError not_connected() { return CameraError(Kind::NotConnected); }
    static CameraError ack_timeout() { return CameraError(Kind::AckTimeout); }
    static CameraError access_denied() { return CameraError(Kind::AccessDenied); }
    static CameraError control_lost() { return CameraError(Kind::ControlLost); }
    static CameraError status(uint16_t command, gvcp::GvcpStatus status);
    static CameraError malformed(std::string text);
    // `what` names the missing capability and must be a static text.
    static CameraError unsupported(const char* what);
    static CameraError thread_spawn(std::string text);

    Kind kind() const { return kind_; }
    // Payload accessors; meaningful only for the matching kind.
    int os_errno() const { return errno_; }
    uint16_t command() const { return command_; }
    gvcp::GvcpStatus gvcp_status() const { return status_; }
    const std::string& text() const { return text_; }

    // The display text, byte for byte as users see it.
    std::string message() const;

    friend bool operator==(const CameraError&, const CameraError&) = default;

  private:
    explicit CameraError(Kind kind) : kind_(kind) {}

    Kind kind_;
    int errno_ = 0;
    uint16_t command_ = 0;
    gvcp::GvcpStatus status_;
    std::string text_;
};

// A reference-counted, immutable CameraError: one failure handed to several waiters.
using SharedCameraError = std::shared_ptr<const CameraError>;

// The object itself is created non-const (only the handle is const), so unwrap_arc may move out
// of it when it holds the last reference.
inline SharedCameraError share(CameraError e) {
    return std::make_shared<CameraError>(std::move(e));
}

// Takes the error out of a shared one: moved when the caller holds the only reference, an equal
// copy otherwise. The caller's reference is released either way.
CameraError unwrap_arc(SharedCameraError shared);

class GenicamError {
  public:
    enum class Kind : uint8_t {
        FeatureNotFound,
        UnsupportedAccess,
        NotAccessible,
        DanglingReference,
        CircularReference,
        Formula,
        NoSuchEntry,
        DeviceDescription,
        SnapTimeout,
        Transport,
        PortData,
    };

    // A transport failure underneath a feature operation; its message is unchanged.
    GenicamError(
        CameraError transport);  // NOLINT(google-explicit-constructor): implicit on purpose

    static GenicamError feature_not_found(std::string name);
    static GenicamError unsupported_access(std::string node);
    static GenicamError not_accessible(std::string node);
    static GenicamError dangling_reference(std::string name);
    static GenicamError circular_reference(std::string node);
    static GenicamError formula(std::string node, std::string message);
    static GenicamError no_such_entry(std::string enumeration, std::string entry);
    static GenicamError device_description(std::string message);
    static GenicamError snap_timeout();
    // A feature whose bytes are not device memory (chunk or event data) read or written through
    // the device: "{node} is {where}", `where` saying whose data it is and how to read it.
    static GenicamError port_data(std::string node, std::string where);

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    const std::string& detail() const { return detail_; }
    // The wrapped transport error; only for Kind::Transport.
    const CameraError& transport() const { return *transport_; }

    std::string message() const;

    friend bool operator==(const GenicamError&, const GenicamError&) = default;

  private:
    GenicamError(Kind kind, std::string name, std::string detail)
        : kind_(kind), name_(std::move(name)), detail_(std::move(detail)) {}

    Kind kind_;
    std::string name_;
    std::string detail_;
    std::optional<CameraError> transport_;
};

template <class T>
using CameraResult = Result<T, CameraError>;
template <class T>
using GenicamResult = Result<T, GenicamError>;

}  // namespace corvisk

template <>
struct fmt::formatter<corvisk::CameraError> : fmt::formatter<std::string> {
    template <typename Ctx>
    auto format(const corvisk::CameraError& e, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(e.message(), ctx);
    }
};

template <>
struct fmt::formatter<corvisk::GenicamError> : fmt::formatter<std::string> {
    template <typename Ctx>
    auto format(const corvisk::GenicamError& e, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(e.message(), ctx);
    }
};
