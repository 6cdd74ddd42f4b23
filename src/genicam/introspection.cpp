// Feature introspection: node records and predicates turned into user-facing descriptions.
#include "genicam/introspection.hpp"

#include <string_view>
#include <unordered_set>

#include "genicam/data_ports.hpp"
#include "genicam/value.hpp"

namespace corvisk::genicam {
namespace {

const char* visibility_text(Visibility v) {
    switch (v) {
        case Visibility::Expert:
            return "Expert";
        case Visibility::Guru:
            return "Guru";
        case Visibility::Invisible:
            return "Invisible";
        default:
            return "Beginner";
    }
}

// A predicate's truth; `absent` when the description gives none or it cannot be read.
bool predicate(Genicam& map, PortIo& port, const ValueRef& ref, bool absent) {
    if (ref.is_none()) {
        return absent;
    }
    auto v = ref_int(map, port, ref);
    return v.ok() ? *v != 0 : absent;
}

std::string link_name(const Genicam& map, const Link& l) {
    return l.is_resolved() ? map.name(l.id()) : l.name();
}

// The node at the end of the value links from `id`, through converters too (a Float over a
// Converter over a register is as writable as the register). Bounded against link cycles.
NodeId value_holder(const Genicam& map, NodeId id) {
    for (size_t step = 0; step < Genicam::kMaxDepth; ++step) {
        const Node& n = map.at(id).node;
        const ValueRef* v = nullptr;
        if (const auto* i = std::get_if<IntegerNode>(&n)) {
            v = &i->value;
        } else if (const auto* f = std::get_if<FloatNode>(&n)) {
            v = &f->value;
        } else if (const auto* c = std::get_if<ConverterNode>(&n)) {
            v = &c->value;
        } else if (const auto* b = std::get_if<BooleanNode>(&n)) {
            v = &b->value;
        } else if (const auto* e = std::get_if<EnumerationNode>(&n)) {
            v = &e->value;
        }
        if (v == nullptr || !v->is_node() || !v->link().is_resolved()) {
            break;
        }
        id = v->link().id();
    }
    return id;
}

std::string effective_access(Genicam& map, NodeId id, const FeatureInfo& info) {
    if (!info.implemented) {
        return "NI";
    }
    if (!info.available) {
        return "NA";
    }
    const NodeId holder = value_holder(map, id);
    const bool through_converter = std::holds_alternative<RegisterNode>(map.at(holder).node);
    auto mode = access_mode(map, through_converter ? holder : id);
    if (!mode.ok()) {
        return "NA";
    }
    AccessMode m = *mode;
    if (const auto& imposed = map.at(id).meta.imposed; imposed && *imposed != AccessMode::RW) {
        m = (m == AccessMode::RW || m == *imposed) ? *imposed : AccessMode::RO;
    }
    if (info.locked && m == AccessMode::RW) {
        m = AccessMode::RO;
    }
    return to_string(m);
}

void fill_limits(Genicam& map, PortIo& port, NodeId id, FeatureInfo& info) {
    const std::string_view type = info.interface_type;
    if (type == "Integer") {
        if (auto b = int_bounds(map, port, id); b.ok()) {
            info.int_bounds = *b;
        }
        if (auto inc = int_increment(map, port, id); inc.ok()) {
            info.int_increment = *inc;
        }
    } else if (const auto* f = std::get_if<FloatNode>(&map.at(id).node)) {
        const ValueRef inc = f->inc;
        if (auto b = float_bounds(map, port, id); b.ok()) {
            info.float_bounds = *b;
        }
        if (!inc.is_none()) {
            if (auto v = ref_float(map, port, inc); v.ok()) {
                info.float_increment = *v;
            }
        }
    }
}

void fill_entries(Genicam& map, PortIo& port, NodeId id, FeatureInfo& info) {
    const auto* e = std::get_if<EnumerationNode>(&map.at(id).node);
    if (e == nullptr) {
        return;
    }
    const std::vector<EnumEntry> entries = e->entries;
    for (const EnumEntry& x : entries) {
        info.entries.push_back(EntryInfo{x.name, x.display_name.empty() ? x.name : x.display_name,
                                         x.value, predicate(map, port, x.is_implemented, true),
                                         predicate(map, port, x.is_available, true)});
    }
}

}  // namespace

const char* interface_type(const Node& n) {
    switch (kind_of(n)) {
        case NodeKind::Category:
            return "Category";
        case NodeKind::Integer:
            return "Integer";
        case NodeKind::Float:
            return "Float";
        case NodeKind::Boolean:
            return "Boolean";
        case NodeKind::String:
            return "String";
        case NodeKind::Enumeration:
            return "Enumeration";
        case NodeKind::Command:
            return "Command";
        case NodeKind::Register: {
            const RegKind& k = std::get<RegisterNode>(n).kind;
            return std::holds_alternative<IntKind>(k)      ? "Integer"
                   : std::holds_alternative<FloatKind>(k)  ? "Float"
                   : std::holds_alternative<StringKind>(k) ? "String"
                                                           : "Register";
        }
        case NodeKind::Converter:
            return std::get<ConverterNode>(n).integer ? "Integer" : "Float";
        case NodeKind::SwissKnife:
            return std::get<SwissKnifeNode>(n).integer ? "Integer" : "Float";
        default:
            return "Port";
    }
}

GenicamResult<FeatureInfo> describe(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    const NodeMeta meta = map.at(id).meta;
    FeatureInfo info;
    info.name = map.name(id);
    info.interface_type = interface_type(map.at(id).node);
    info.display_name = meta.display_name.empty() ? info.name : meta.display_name;
    info.tooltip = meta.tooltip;
    info.description = meta.description;
    info.unit = meta.unit;
    info.visibility = visibility_text(meta.visibility);
    info.representation = meta.representation;
    info.streamable = meta.streamable;
    if (const auto kind = data_port_kind(map, id)) {
        info.data = *kind == PortKind::Chunk ? "chunk" : "event";
    }
    info.implemented = predicate(map, port, meta.is_implemented, true);
    info.available = predicate(map, port, meta.is_available, true);
    info.locked = predicate(map, port, meta.is_locked, false);
    info.access = effective_access(map, id, info);
    for (const Link& l : meta.selected) {
        info.selected.push_back(link_name(map, l));
    }
    if (const auto* c = std::get_if<CategoryNode>(&map.at(id).node)) {
        for (const Link& l : c->features) {
            info.children.push_back(link_name(map, l));
        }
    }
    fill_limits(map, port, id, info);
    fill_entries(map, port, id, info);
    return info;
}

std::vector<std::string> user_feature_names(const Genicam& map) {
    std::vector<std::string> names;
    std::unordered_set<std::string_view> seen;
    for (const NodeData& d : map.nodes()) {
        if (std::holds_alternative<PortNode>(d.node) || d.name.rfind("__anonymous_", 0) == 0) {
            continue;
        }
        if (seen.insert(d.name).second) {
            names.push_back(d.name);
        }
    }
    return names;
}

std::vector<std::pair<std::string, std::vector<std::string>>> selectors(const Genicam& map) {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (NodeId id = 0; id < map.size(); ++id) {
        const NodeData& d = map.at(id);
        if (d.meta.selected.empty() || map.find(d.name) != id) {
            continue;
        }
        std::vector<std::string> names;
        for (const Link& l : d.meta.selected) {
            names.push_back(link_name(map, l));
        }
        out.emplace_back(d.name, std::move(names));
    }
    return out;
}

}  // namespace corvisk::genicam
