// Fetching a connected device's GenICam description and building its node map.
#pragma once

#include "error.hpp"
#include "gige/camera.hpp"

namespace corvisk::genicam {

// Makes sure the camera's connection holds a node map: reads the URL registers (first 0x0200,
// then 0x0400), fetches the description from device memory or a host file, unzips it when the
// name says so, caches the bytes with the connection and builds the map. A failed build keeps
// the cached bytes, so the next call parses again without reading the device.
//
// Needs exclusive access to the camera (the feature-level camera calls it under its mutex);
// blocks the calling thread on the control channel.
GenicamResult<void> ensure_genicam(gige::GigECamera& camera);

}  // namespace corvisk::genicam
