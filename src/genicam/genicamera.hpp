// GenICamera: the feature-level camera. It joins the transport camera with the device's node
// map and runs every feature operation behind one guard (connected, alive, map loaded).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "genicam/node.hpp"
#include "gige/camera.hpp"
#include "gige/stream/config.hpp"

namespace corvisk::genicam {

// Not thread-safe: the owner (the Python Camera's shared core) serialises every call with one
// mutex held for the whole operation. Blocks on the control channel; never touches Python.
class GenICamera {
  public:
    explicit GenICamera(gige::ConnectionConfig config) : transport_(std::move(config)) {}

    gige::GigECamera& transport() { return transport_; }

    // Transport connect, then the node map is loaded (only when the connect succeeded).
    GenicamResult<void> connect();
    void disconnect(Duration timeout) { transport_.disconnect(timeout); }

    GenicamResult<int64_t> get_integer(std::string_view name);
    GenicamResult<void> set_integer(std::string_view name, int64_t value);
    GenicamResult<double> get_float(std::string_view name);
    GenicamResult<void> set_float(std::string_view name, double value);
    GenicamResult<bool> get_boolean(std::string_view name);
    GenicamResult<void> set_boolean(std::string_view name, bool value);
    GenicamResult<std::string> get_string(std::string_view name);
    GenicamResult<void> set_string(std::string_view name, std::string_view value);
    GenicamResult<std::string> get_enum(std::string_view name);
    GenicamResult<void> set_enum(std::string_view name, std::string_view entry);
    GenicamResult<std::vector<std::string>> enum_entries(std::string_view name);
    GenicamResult<void> execute(std::string_view name);
    GenicamResult<std::pair<int64_t, int64_t>> integer_bounds(std::string_view name);
    GenicamResult<std::pair<double, double>> float_bounds(std::string_view name);
    GenicamResult<int64_t> integer_increment(std::string_view name);
    GenicamResult<AccessMode> access_mode(std::string_view name);

    // False when not connected, no map is loaded or the name does not resolve.
    bool has_feature(std::string_view name);
    // Every node name in node-table order. Needs a connection record with a loaded map; a lost
    // control link alone does not prevent the listing.
    GenicamResult<std::vector<std::string>> feature_names();
    // Forgets every cached register content, so the next read goes to the device.
    GenicamResult<void> invalidate_caches();
    // Reads PayloadSize into the config unless it already has a payload size.
    GenicamResult<void> fill_payload_size(gige::StreamConfig& config);

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
