// Helpers shared by the event and chunk units of _corvisk_ext: converting feature values read
// from chunk or event data (the camera argument and the exceptions are camera_access.hpp's).
#pragma once

#include "py/python.hpp"

#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "ext/camera_access.hpp"
#include "genicam/data_ports.hpp"
#include "py/camera.hpp"

namespace corvisk::ext {

// A dict of feature name -> int, float, bool or str. New reference or null.
PyObject* feature_dict(const std::vector<std::pair<std::string, genicam::FeatureValue>>& values);

// Reads `names` (features of the camera's node map) through chunk or event ports served from
// `buffers`, with the interpreter lock released and the camera mutex held. Unknown names and
// features that cannot be read are left out.
GenicamResult<std::vector<std::pair<std::string, genicam::FeatureValue>>> read_port_features(
    const std::shared_ptr<py::CameraCore>& core, genicam::PortKind kind,
    const std::vector<std::string>& names,
    const std::map<uint64_t, std::span<const uint8_t>>& buffers);

// id -> list of feature names for the ports of `kind`. New reference or null.
PyObject* port_feature_table(const std::shared_ptr<py::CameraCore>& core, genicam::PortKind kind);

}  // namespace corvisk::ext
