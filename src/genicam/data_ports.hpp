// Chunk and event ports: the parts of a description whose registers are not device memory but
// the data a frame carries after its image (chunks, keyed by ChunkID) or the data an event
// brought (keyed by EventID). The node map records each Port's kind and id and each register's
// port; this unit finds the features built on those ports and reads them from host buffers.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"
#include "genicam/registers.hpp"
#include "result.hpp"

namespace corvisk::genicam {

// The Ports of `kind` (Chunk or Event) in the map: name -> chunk or event id.
std::map<std::string, uint64_t, std::less<>> data_ports(const Genicam& map, PortKind kind);

// The features whose value comes from registers on the ports of `kind`, by chunk or event id,
// in node order. Only the outermost nodes count (a feature, not the registers and formulas it
// is built from); generated names and categories never do. A feature built on registers of
// several such ports is left out.
std::map<uint64_t, std::vector<NodeId>> data_features(const Genicam& map, PortKind kind);

// A feature's value in its natural type: integer, float, boolean, or text (enumerations give
// their entry name).
using FeatureValue = std::variant<int64_t, double, bool, std::string>;

// Reads the feature `id` with its natural type through `port`.
GenicamResult<FeatureValue> natural_value(Genicam& map, PortIo& port, NodeId id);

// Reads `features` from `buffers` (id -> bytes of the ports of `kind`) through a DataView: each
// register on such a port is read from its id's buffer at its address within it. A feature that
// cannot be read (its chunk is absent, a read falls outside the buffer, it needs device memory)
// is left out. Name and value in the order given.
std::vector<std::pair<std::string, FeatureValue>> read_data_features(
    Genicam& map, PortKind kind, std::span<const NodeId> features,
    const DataView::Buffers& buffers);

}  // namespace corvisk::genicam
