// Error construction and display texts.
#include "error.hpp"

#include "errno_text.hpp"

namespace corvisk {

CameraError CameraError::io(int errno_value) {
    CameraError e(Kind::Io);
    e.errno_ = errno_value;
    e.text_ = errno_text(errno_value);
    return e;
}

CameraError CameraError::io_text(int errno_value, std::string text) {
    CameraError e(Kind::Io);
    e.errno_ = errno_value;
    e.text_ = std::move(text);
    return e;
}

CameraError CameraError::status(uint16_t command, gvcp::GvcpStatus status) {
    CameraError e(Kind::Status);
    e.command_ = command;
    e.status_ = status;
    return e;
}

CameraError CameraError::malformed(std::string text) {
    CameraError e(Kind::Malformed);
    e.text_ = std::move(text);
    return e;
}

CameraError CameraError::unsupported(const char* what) {
    CameraError e(Kind::Unsupported);
    e.text_ = what;
    return e;
}

CameraError CameraError::thread_spawn(std::string text) {
    CameraError e(Kind::ThreadSpawn);
    e.text_ = std::move(text);
    return e;
}

std::string CameraError::message() const {
    switch (kind_) {
        case Kind::Io:
            return "io error: " + text_;
        case Kind::ConnectTimeout:
            return "connect timed out";
        case Kind::NotConnected:
            return "driver is not connected";
        case Kind::AckTimeout:
            return "timed out waiting for acknowledge";
        case Kind::AccessDenied:
            return "device control is held by another application";
        case Kind::ControlLost:
            return "device control was lost (heartbeat failed)";
        case Kind::Status:
            return fmt::format("device answered command {:#06x} with {}", command_,
                               status_.display());
        case Kind::Malformed:
            return "malformed packet: " + text_;
        case Kind::Unsupported:
            return "device does not support " + text_;
        case Kind::ThreadSpawn:
            return "worker thread failed to start: " + text_;
    }
    return "unknown error";
}

CameraError unwrap_arc(SharedCameraError shared) {
    if (shared.use_count() == 1) {
        // Sole owner: nobody else can observe the object, and share() created it non-const, so
        // moving out of it through a cast is well defined.
        CameraError out = std::move(const_cast<CameraError&>(*shared));
        shared.reset();
        return out;
    }
    CameraError out = *shared;
    shared.reset();
    return out;
}

GenicamError::GenicamError(CameraError transport)
    : kind_(Kind::Transport), transport_(std::move(transport)) {}

GenicamError GenicamError::feature_not_found(std::string name) {
    return GenicamError(Kind::FeatureNotFound, std::move(name), {});
}
GenicamError GenicamError::unsupported_access(std::string node) {
    return GenicamError(Kind::UnsupportedAccess, std::move(node), {});
}
GenicamError GenicamError::not_accessible(std::string node) {
    return GenicamError(Kind::NotAccessible, std::move(node), {});
}
GenicamError GenicamError::dangling_reference(std::string name) {
    return GenicamError(Kind::DanglingReference, std::move(name), {});
}
GenicamError GenicamError::circular_reference(std::string node) {
    return GenicamError(Kind::CircularReference, std::move(node), {});
}
GenicamError GenicamError::formula(std::string node, std::string message) {
    return GenicamError(Kind::Formula, std::move(node), std::move(message));
}
GenicamError GenicamError::no_such_entry(std::string enumeration, std::string entry) {
    return GenicamError(Kind::NoSuchEntry, std::move(enumeration), std::move(entry));
}
GenicamError GenicamError::device_description(std::string message) {
    return GenicamError(Kind::DeviceDescription, {}, std::move(message));
}
GenicamError GenicamError::port_data(std::string node, std::string where) {
    return GenicamError(Kind::PortData, std::move(node), std::move(where));
}
GenicamError GenicamError::snap_timeout() {
    return GenicamError(Kind::SnapTimeout, {}, {});
}

std::string GenicamError::message() const {
    switch (kind_) {
        case Kind::FeatureNotFound:
            return fmt::format("feature '{}' not found", name_);
        case Kind::UnsupportedAccess:
            return fmt::format("node '{}' does not support this access", name_);
        case Kind::NotAccessible:
            return fmt::format("node '{}' is not accessible this way (access mode)", name_);
        case Kind::DanglingReference:
            return fmt::format("dangling reference '{}'", name_);
        case Kind::CircularReference:
            return fmt::format("circular reference through '{}'", name_);
        case Kind::Formula:
            return fmt::format("formula in '{}': {}", name_, detail_);
        case Kind::NoSuchEntry:
            return fmt::format("enumeration '{}' has no entry '{}'", name_, detail_);
        case Kind::DeviceDescription:
            return "device description: " + detail_;
        case Kind::SnapTimeout:
            return "no frame arrived within the snap timeout";
        case Kind::Transport:
            return transport_->message();
        case Kind::PortData:
            return fmt::format("{} is {}", name_, detail_);
    }
    return "unknown error";
}

}  // namespace corvisk
