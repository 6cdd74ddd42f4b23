// GenICamera: the feature-level camera. It joins the transport camera with the device's node
// map and runs every feature operation behind one guard (connected, alive, map loaded).
//
// Feature operations are values (the constants in namespace `feature` below), each written
// once: how it reaches the node map by name and, for the six writes, the TRACE event it emits.
// C++ callers run them with `camera.run(feature::get_integer, "Width")`; the Python Camera
// builds its feature methods from the same constants.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/value.hpp"
#include "gige/camera.hpp"
#include "gige/link.hpp"
#include "gige/stream/config.hpp"
#include "log.hpp"
#include "thread_util.hpp"

namespace corvisk::genicam {

inline constexpr const char* kFeatureTarget = "corvisk::genicam";

// How long a connect that failed after taking control waits for the orderly release.
inline constexpr Duration kReleaseDeadline = std::chrono::milliseconds(500);

// A feature read: `by_name` is the node-map operation by name; it takes the map and the
// feature name, and the port too when it may touch registers.
template <class ByName>
struct FeatureRead {
    ByName by_name;
};
// Spelled out for compilers without class template argument deduction for aggregates (clang
// before 17, which builds the fuzz targets).
template <class ByName>
FeatureRead(ByName) -> FeatureRead<ByName>;

// A feature write (or command): the node-map operation and its TRACE event (message, and the
// field name of the written value, null for a command).
template <class ByName>
struct FeatureWrite {
    ByName by_name;
    const char* trace;
    const char* value_field;
};
template <class ByName>
FeatureWrite(ByName, const char*, const char*) -> FeatureWrite<ByName>;

namespace feature {

// The by-name node-map call; SFINAE-friendly, so `run` can tell whether it takes the port.
#define CVK_BY_NAME(fn)                                                         \
    [](auto&&... a) -> decltype(genicam::fn(std::forward<decltype(a)>(a)...)) { \
        return genicam::fn(std::forward<decltype(a)>(a)...);                    \
    }

inline constexpr FeatureRead get_integer{CVK_BY_NAME(get_integer)};
inline constexpr FeatureRead get_float{CVK_BY_NAME(get_float)};
inline constexpr FeatureRead get_boolean{CVK_BY_NAME(get_boolean)};
inline constexpr FeatureRead get_string{CVK_BY_NAME(get_string)};
inline constexpr FeatureRead get_enum{CVK_BY_NAME(get_enum)};
inline constexpr FeatureRead enum_entries{CVK_BY_NAME(enum_entries)};
inline constexpr FeatureRead integer_bounds{CVK_BY_NAME(integer_bounds)};
inline constexpr FeatureRead float_bounds{CVK_BY_NAME(float_bounds)};
inline constexpr FeatureRead integer_increment{CVK_BY_NAME(integer_increment)};
inline constexpr FeatureRead access_mode{CVK_BY_NAME(access_mode)};
inline constexpr FeatureWrite set_integer{CVK_BY_NAME(set_integer), "set integer", "value"};
inline constexpr FeatureWrite set_float{CVK_BY_NAME(set_float), "set float", "value"};
inline constexpr FeatureWrite set_boolean{CVK_BY_NAME(set_boolean), "set boolean", "value"};
inline constexpr FeatureWrite set_string{CVK_BY_NAME(set_string), "set string", "value"};
inline constexpr FeatureWrite set_enum{CVK_BY_NAME(set_enum), "set enum", "entry"};
inline constexpr FeatureWrite execute{CVK_BY_NAME(execute), "execute command", nullptr};

#undef CVK_BY_NAME

}  // namespace feature

// The state of one connection's control link, readable from any thread without the camera
// mutex (the worker's alive flag and the shared link record). Copyable; an empty watch (no
// connection) reports NotConnected.
class LinkWatch {
  public:
    LinkWatch() = default;
    explicit LinkWatch(const gige::Connection& conn)
        : alive_(conn.worker.alive_flag()), shared_(conn.shared) {}

    bool is_alive() const { return alive_ && alive_->load(std::memory_order_acquire); }
    // The link counters (final ones once the worker ended); nothing without a connection.
    std::optional<gige::LinkStats> stats() const {
        return shared_ ? std::optional<gige::LinkStats>(shared_->stats()) : std::nullopt;
    }
    // Why the link is unusable: ControlLost when the device withdrew control, else
    // NotConnected.
    CameraError cause() const {
        return shared_ && shared_->control_lost() ? CameraError::control_lost()
                                                  : CameraError::not_connected();
    }

  private:
    Flag alive_;
    std::shared_ptr<gige::Shared> shared_;
};

// Not thread-safe: the owner (the Python Camera's shared core) serialises every call with one
// mutex held for the whole operation. Blocks on the control channel; never touches Python.
class GenICamera {
  public:
    explicit GenICamera(gige::ConnectionConfig config) : transport_(std::move(config)) {}

    gige::GigECamera& transport() { return transport_; }

    // Transport connect, then the node map is loaded (only when the connect succeeded). A map
    // that cannot be fetched or built fails the connect and leaves the camera disconnected,
    // with control released.
    GenicamResult<void> connect();
    void disconnect(Duration timeout) { transport_.disconnect(timeout); }

    // The one guarded entry: not connected, not alive or no map loaded fail as the guard says;
    // otherwise f(map, port) runs and its result is returned.
    template <class F>
    auto with_features(F&& f) -> std::invoke_result_t<F, Genicam&, PortIo&> {
        auto access = guard();
        if (!access.ok()) {
            return Err{access.error()};
        }
        return std::forward<F>(f)(access.value().map, access.value().port);
    }

    // Runs a feature read on `name`.
    template <class ByName, class... Args>
    auto run(const FeatureRead<ByName>& op, std::string_view name, const Args&... args) {
        return with_features([&](Genicam& map, PortIo& port) {
            if constexpr (std::is_invocable_v<const ByName&, Genicam&, PortIo&, std::string_view,
                                              const Args&...>) {
                return op.by_name(map, port, name, args...);
            } else {
                return op.by_name(map, name, args...);
            }
        });
    }

    // Runs a feature write on `name`; its TRACE event goes out first, also when the guard
    // then fails.
    template <class ByName, class... Args>
    GenicamResult<void> run(const FeatureWrite<ByName>& op, std::string_view name,
                            const Args&... value) {
        if constexpr (sizeof...(Args) == 0) {
            CVK_LOG(log::Level::Trace, kFeatureTarget, log::fields("feature", name), "{}",
                    op.trace);
        } else {
            CVK_LOG(log::Level::Trace, kFeatureTarget,
                    log::fields("feature", name, op.value_field, value...), "{}", op.trace);
        }
        return with_features(
            [&](Genicam& map, PortIo& port) { return op.by_name(map, port, name, value...); });
    }

    // False when not connected, no map is loaded or the name does not resolve.
    bool has_feature(std::string_view name);
    // Every node name in node-table order. Needs a connection record with a loaded map; a lost
    // control link alone does not prevent the listing.
    GenicamResult<std::vector<std::string>> feature_names();
    // Forgets every cached register content, so the next read goes to the device.
    GenicamResult<void> invalidate_caches();
    // Reads PayloadSize into the config unless it already has a payload size.
    GenicamResult<void> fill_payload_size(gige::StreamConfig& config);
    // A watch on the current connection's link (empty when disconnected).
    LinkWatch link_watch();

  private:
    struct Access {
        Genicam& map;
        PortIo& port;
    };
    // The guard every operation runs before it touches the node map.
    GenicamResult<Access> guard();

    gige::GigECamera transport_;
};

}  // namespace corvisk::genicam
