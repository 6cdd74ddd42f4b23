// What a node map tells users about its features: interface type, texts, predicates, effective
// access, limits, enumeration entries, selectors and the category tree. Plain records, so the
// Python layer only converts them.
//
// Threading: like value access, every function needs exclusive use of the node map (the
// feature-level camera's mutex) and may read the device through the port (predicates and
// limits are node values). A predicate or limit that cannot be read is reported as absent or as
// its default, never as a failure of the whole description.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"

namespace corvisk::genicam {

// One enumeration entry as users see it.
struct EntryInfo {
    std::string name;
    std::string display_name;  // the name when the description gives none
    int64_t value = 0;
    bool implemented = true;
    bool available = true;
};

struct FeatureInfo {
    std::string name;
    // "Integer", "Float", "Boolean", "Enumeration", "String", "Command", "Category", "Register"
    // or "Port"; registers and formulas report the interface they offer (an IntReg is an
    // Integer, a SwissKnife a Float, an IntSwissKnife an Integer).
    std::string interface_type;
    std::string display_name;  // the name when the description gives none
    std::string tooltip;
    std::string description;
    std::string unit;
    std::string visibility;      // "Beginner", "Expert", "Guru" or "Invisible"
    std::string representation;  // empty when not given
    bool implemented = true;
    bool available = true;
    bool locked = false;
    // "RO", "WO", "RW", "NA" (not available) or "NI" (not implemented), ImposedAccessMode and
    // the lock applied.
    std::string access;
    std::optional<std::pair<int64_t, int64_t>> int_bounds;
    std::optional<int64_t> int_increment;
    std::optional<std::pair<double, double>> float_bounds;
    std::optional<double> float_increment;
    std::vector<EntryInfo> entries;     // Enumerations only
    std::vector<std::string> selected;  // the features this one selects (it is a selector)
    std::vector<std::string> children;  // Categories only: their features in order
    bool streamable = false;
    // "chunk" or "event" when the value is data a frame's chunks or an event carry (read it
    // from there, not from the device); empty otherwise.
    std::string data;
};

// The user-facing interface of a node (see FeatureInfo::interface_type).
const char* interface_type(const Node& n);

// Everything about the feature `name`; FeatureNotFound for an unknown name.
GenicamResult<FeatureInfo> describe(Genicam& map, PortIo& port, std::string_view name);

// The names of the nodes users address as features (every interface type but Port), in node
// order, without generated names and with each name once.
std::vector<std::string> user_feature_names(const Genicam& map);

// The selectors of the map: each feature that names others in pSelected, with those names.
std::vector<std::pair<std::string, std::vector<std::string>>> selectors(const Genicam& map);

}  // namespace corvisk::genicam
