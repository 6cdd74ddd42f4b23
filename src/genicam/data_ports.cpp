// Chunk and event ports: which features hang off them, and reading those from host buffers.
#include "genicam/data_ports.hpp"

#include <set>

#include "genicam/value.hpp"

namespace corvisk::genicam {

std::map<std::string, uint64_t, std::less<>> data_ports(const Genicam& map, PortKind kind) {
    std::map<std::string, uint64_t, std::less<>> out;
    for (const NodeData& d : map.nodes()) {
        if (const auto* port = std::get_if<PortNode>(&d.node); port && port->kind == kind) {
            out[d.name] = port->data_id;
        }
    }
    return out;
}

namespace {

std::vector<NodeId> links_of(const Node& node) {
    std::vector<NodeId> out;
    Node copy = node;
    for_each_link(copy, [&](Link& l) {
        if (l.is_resolved()) {
            out.push_back(l.id());
        }
    });
    return out;
}

// Which data-port ids each node reaches through its links (memoised depth-first walk; a cycle
// contributes nothing on the way round).
class Reach {
  public:
    Reach(const Genicam& map, PortKind kind)
        : map_(map), kind_(kind), memo_(map.size()), state_(map.size(), 0) {}

    const std::set<uint64_t>& of(NodeId id) {
        if (state_[id] != 0) {
            return memo_[id];
        }
        state_[id] = 1;
        const NodeData& d = map_.at(id);
        std::set<uint64_t> ids;
        if (std::holds_alternative<RegisterNode>(d.node)) {
            if (const RegisterPort where = register_port(map_, id); where.kind == kind_) {
                ids.insert(where.data_id);
            }
        } else if (!std::holds_alternative<CategoryNode>(d.node)) {
            for (NodeId next : links_of(d.node)) {
                const auto& sub = of(next);
                ids.insert(sub.begin(), sub.end());
            }
        }
        memo_[id] = std::move(ids);
        state_[id] = 2;
        return memo_[id];
    }

  private:
    const Genicam& map_;
    PortKind kind_;
    std::vector<std::set<uint64_t>> memo_;
    std::vector<uint8_t> state_;
};

}  // namespace

std::map<uint64_t, std::vector<NodeId>> data_features(const Genicam& map, PortKind kind) {
    std::map<uint64_t, std::vector<NodeId>> out;
    if (data_ports(map, kind).empty()) {
        return out;
    }
    Reach reach(map, kind);
    std::vector<bool> inner(map.size(), false);
    for (NodeId id = 0; id < map.size(); ++id) {
        const Node& node = map.at(id).node;
        if (!std::holds_alternative<CategoryNode>(node) && !reach.of(id).empty()) {
            for (NodeId next : links_of(node)) {
                inner[next] = true;
            }
        }
    }
    for (NodeId id = 0; id < map.size(); ++id) {
        const NodeData& d = map.at(id);
        const auto& ports = reach.of(id);
        if (inner[id] || ports.size() != 1 || d.name.rfind("__anonymous_", 0) == 0 ||
            std::holds_alternative<CategoryNode>(d.node) || map.find(d.name) != id) {
            continue;
        }
        out[*ports.begin()].push_back(id);
    }
    return out;
}

GenicamResult<FeatureValue> natural_value(Genicam& map, PortIo& port, NodeId id) {
    const Node& node = map.at(id).node;
    if (std::holds_alternative<BooleanNode>(node)) {
        return FeatureValue{CVK_TRY(bool_value(map, port, id))};
    }
    const auto* reg = std::get_if<RegisterNode>(&node);
    if (std::holds_alternative<EnumerationNode>(node) || std::holds_alternative<StringNode>(node) ||
        (reg != nullptr && std::holds_alternative<StringKind>(reg->kind))) {
        return FeatureValue{CVK_TRY(string_value(map, port, id))};
    }
    const auto* conv = std::get_if<ConverterNode>(&node);
    const auto* knife = std::get_if<SwissKnifeNode>(&node);
    if (is_float_valued(node) || (conv != nullptr && !conv->integer) ||
        (knife != nullptr && !knife->integer)) {
        return FeatureValue{CVK_TRY(float_value_inner(map, port, id))};
    }
    return FeatureValue{CVK_TRY(int_value_inner(map, port, id))};
}

std::vector<std::pair<std::string, FeatureValue>> read_data_features(
    Genicam& map, PortKind kind, std::span<const NodeId> features,
    const DataView::Buffers& buffers) {
    DataView view(kind, buffers);
    std::vector<std::pair<std::string, FeatureValue>> out;
    for (NodeId id : features) {
        if (auto v = natural_value(map, view, id); v.ok()) {
            out.emplace_back(map.name(id), std::move(*v));
        }
    }
    return out;
}

}  // namespace corvisk::genicam
