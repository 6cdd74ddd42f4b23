// Chunk and event ports: the parts of a description whose registers are not device memory but
// the data a frame carries after its image (chunks, keyed by ChunkID) or the data an event
// brought (keyed by EventID). This unit finds those ports in the description document, the
// features built on them in the node map, and reads those features from host buffers.
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
#include "result.hpp"

namespace corvisk::genicam {

enum class DataPortKind : uint8_t { Chunk, Event };

// Which ports of a description carry chunk or event data, and which registers read them.
struct PortLayout {
    std::map<std::string, uint64_t, std::less<>> ports;         // port name -> id
    std::map<std::string, std::string, std::less<>> registers;  // register name -> port name
};

// Scans a description document (plain XML) for the ports of `kind` (Port elements with a
// ChunkID or EventID, hex digits with or without 0x) and the registers whose pPort names one
// (StructReg entries inherit the StructReg's port). External resources are never loaded.
Result<PortLayout, std::string> scan_data_ports(std::span<const uint8_t> document,
                                                DataPortKind kind);

// The features whose value comes from registers on the layout's ports, by chunk or event id,
// in node order. Only the outermost nodes count (a feature, not the registers and formulas it
// is built from); generated names and categories never do. A feature built on registers of
// several ports is left out.
std::map<uint64_t, std::vector<NodeId>> data_features(const Genicam& map, const PortLayout& layout);

// A feature's value in its natural type: integer, float, boolean, or text (enumerations give
// their entry name).
using FeatureValue = std::variant<int64_t, double, bool, std::string>;

// Reads the feature `id` with its natural type through `port`.
GenicamResult<FeatureValue> natural_value(Genicam& map, PortIo& port, NodeId id);

// Reads `features` from `buffers` (id -> bytes): each feature's registers are read from the
// buffer of its port, at their address within it; a read outside the buffer fails. The
// registers of data ports never keep a cached value afterwards. A feature that cannot be read
// (its chunk is absent, say) is left out. Name and value in the order given.
std::vector<std::pair<std::string, FeatureValue>> read_data_features(
    Genicam& map, const PortLayout& layout, std::span<const NodeId> features,
    const std::map<uint64_t, std::span<const uint8_t>>& buffers);

}  // namespace corvisk::genicam
