// Node value access: reading and writing feature values through the node map, following value
// references, converter and swiss-knife formulas down to registers.
//
// Two levels:
//  - node operations by id (`int_value_inner`, `set_enum_entry`, ...), the building blocks;
//  - feature operations by name (`get_integer`, `set_enum`, ...), the calls the feature-level
//    camera makes: lookup, then the node operation under the re-entry guard.
//
// Threading: every function needs exclusive use of the node map for its whole duration (the
// feature-level camera holds its mutex) and may block in the port while the device answers.
// The map's evaluation stack is empty before and after every feature operation, also after a
// failure.
//
// Hostile descriptions: every step that follows a link enters the target under the map's
// re-entry guard, which fails cycles with CircularReference and chains deeper than
// Genicam::kMaxDepth with DeviceDescription, so no description can exhaust the stack. String
// value chains and the access-mode walk are guarded the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"
#include "genicam/resolve.hpp"

namespace corvisk::genicam {

// --- Node operations by id (the caller guards `id` where the feature protocol says so) ---

GenicamResult<int64_t> int_value_inner(Genicam& map, PortIo& port, NodeId id);
GenicamResult<double> float_value_inner(Genicam& map, PortIo& port, NodeId id);
// No bounds are checked by the writes.
Status<GenicamError> set_int_value_inner(Genicam& map, PortIo& port, NodeId id, int64_t value);
Status<GenicamError> set_float_value_inner(Genicam& map, PortIo& port, NodeId id, double value);

// Boolean: a Boolean node is true when its value equals its on-value exactly; any other node
// when its integer value is not 0. Writes the on/off value (Boolean) or 1/0 (others).
GenicamResult<bool> bool_value(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> set_bool_value(Genicam& map, PortIo& port, NodeId id, bool value);

// String: a String node's text (constant or followed reference), an Enumeration's current entry
// name, or a string register's text.
GenicamResult<std::string> string_value(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> set_string_value(Genicam& map, PortIo& port, NodeId id, std::string_view text);

// Enumerations: entry names in document order; the current entry's name (NoSuchEntry when the
// value matches none); writing the value of the entry with that exact name.
GenicamResult<std::vector<std::string>> enum_entries(const Genicam& map, NodeId id);
GenicamResult<std::string> enum_value(Genicam& map, PortIo& port, NodeId id);
Status<GenicamError> set_enum_entry(Genicam& map, PortIo& port, NodeId id, std::string_view entry);

// Commands: writes the command value (1 when the description gives none).
Status<GenicamError> execute(Genicam& map, PortIo& port, NodeId id);

// Bounds and increment (Integer and integer registers; Float for float bounds). Absent limits
// are the type's extremes (the finite ones for floats).
GenicamResult<std::pair<int64_t, int64_t>> int_bounds(Genicam& map, PortIo& port, NodeId id);
GenicamResult<std::pair<double, double>> float_bounds(Genicam& map, PortIo& port, NodeId id);
GenicamResult<int64_t> int_increment(Genicam& map, PortIo& port, NodeId id);

// Access mode, without device traffic: value links are followed to the node that holds the
// value. A constant is RW, a missing value RO, a Command WO, a register its own mode. A cycle of
// links fails with CircularReference (and a too-long chain with DeviceDescription).
GenicamResult<AccessMode> access_mode(Genicam& map, NodeId id);

// --- Feature operations by name (FeatureNotFound for an unknown name) ---

GenicamResult<int64_t> get_integer(Genicam& map, PortIo& port, std::string_view name);
Status<GenicamError> set_integer(Genicam& map, PortIo& port, std::string_view name, int64_t value);
GenicamResult<double> get_float(Genicam& map, PortIo& port, std::string_view name);
Status<GenicamError> set_float(Genicam& map, PortIo& port, std::string_view name, double value);
GenicamResult<bool> get_boolean(Genicam& map, PortIo& port, std::string_view name);
Status<GenicamError> set_boolean(Genicam& map, PortIo& port, std::string_view name, bool value);
GenicamResult<std::string> get_string(Genicam& map, PortIo& port, std::string_view name);
Status<GenicamError> set_string(Genicam& map, PortIo& port, std::string_view name,
                                std::string_view value);
GenicamResult<std::string> get_enum(Genicam& map, PortIo& port, std::string_view name);
Status<GenicamError> set_enum(Genicam& map, PortIo& port, std::string_view name,
                              std::string_view entry);
GenicamResult<std::vector<std::string>> enum_entries(const Genicam& map, std::string_view name);
Status<GenicamError> execute(Genicam& map, PortIo& port, std::string_view name);
GenicamResult<std::pair<int64_t, int64_t>> integer_bounds(Genicam& map, PortIo& port,
                                                          std::string_view name);
GenicamResult<std::pair<double, double>> float_bounds(Genicam& map, PortIo& port,
                                                      std::string_view name);
GenicamResult<int64_t> integer_increment(Genicam& map, PortIo& port, std::string_view name);
GenicamResult<AccessMode> access_mode(Genicam& map, std::string_view name);
// Whether the name resolves to a node.
bool has_feature(const Genicam& map, std::string_view name);
// Every node's name in node-table order (generated and duplicate names included).
std::vector<std::string> feature_names(const Genicam& map);
// Forgets every register's cached bytes, so the next read of each goes to the device.
void invalidate_caches(Genicam& map);

}  // namespace corvisk::genicam
