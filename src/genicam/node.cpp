// The GenICam node map: name index, invalidation index, re-entry guard and seeded name hashing.
#include "genicam/node.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <random>

namespace corvisk::genicam {

namespace {

struct SipKey {
    uint64_t k0;
    uint64_t k1;
};

SipKey random_key() {
    std::random_device rd;
    const auto word = [&rd] { return (static_cast<uint64_t>(rd()) << 32) ^ rd(); };
    return {word(), word()};
}

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

// SipHash-1-3: a keyed hash, so colliding names cannot be precomputed.
uint64_t siphash13(const SipKey& key, std::string_view s) {
    SipState st{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const size_t full = s.size() / 8 * 8;
    for (size_t i = 0; i < full; i += 8) {
        uint64_t m = 0;
        std::memcpy(&m, s.data() + i, 8);
        st.absorb(m);
    }
    uint64_t last = static_cast<uint64_t>(s.size()) << 56;
    for (size_t i = full; i < s.size(); ++i) {
        last |= static_cast<uint64_t>(static_cast<uint8_t>(s[i])) << (8 * (i - full));
    }
    st.absorb(last);
    st.v2 ^= 0xff;
    st.round();
    st.round();
    st.round();
    return st.v0 ^ st.v1 ^ st.v2 ^ st.v3;
}

}  // namespace

const char* to_string(AccessMode mode) {
    switch (mode) {
        case AccessMode::RO:
            return "RO";
        case AccessMode::WO:
            return "WO";
        case AccessMode::RW:
            return "RW";
    }
    return "RW";
}

const char* to_string(NodeKind kind) {
    static constexpr const char* kNames[] = {
        "Category", "Integer",  "Float",     "Boolean",    "String", "Enumeration",
        "Command",  "Register", "Converter", "SwissKnife", "Port",
    };
    return kNames[static_cast<size_t>(kind)];
}

const char* to_string(PortKind kind) {
    static constexpr const char* kNames[] = {"device", "chunk", "event", "other"};
    return kNames[static_cast<size_t>(kind)];
}

RegisterPort register_port(const Genicam& map, NodeId id) {
    const auto* reg = std::get_if<RegisterNode>(&map.at(id).node);
    if (reg == nullptr || !reg->common.port || !reg->common.port->is_resolved()) {
        return {};
    }
    const NodeId target = reg->common.port->id();
    const auto* port = std::get_if<PortNode>(&map.at(target).node);
    if (port == nullptr) {
        return {};
    }
    return {port->kind, port->data_id, target};
}

bool is_float_valued(const Node& n) {
    if (std::holds_alternative<FloatNode>(n)) {
        return true;
    }
    const auto* reg = std::get_if<RegisterNode>(&n);
    return reg != nullptr && std::holds_alternative<FloatKind>(reg->kind);
}

NameHash::NameHash() {
    static const SipKey key = random_key();
    k0 = key.k0;
    k1 = key.k1;
}

size_t NameHash::operator()(std::string_view s) const {
    return static_cast<size_t>(siphash13(SipKey{k0, k1}, s));
}

NodeId Genicam::push(std::string name, Node node, NodeMeta meta) {
    assert(nodes_.size() < UINT32_MAX);
    const auto id = static_cast<NodeId>(nodes_.size());
    names_.insert_or_assign(name, id);
    nodes_.push_back(NodeData{std::move(node), std::move(name), std::move(meta)});
    return id;
}

void Genicam::reserve(size_t n) {
    nodes_.reserve(n);
    names_.reserve(n);
}

void Genicam::add_invalidation(NodeId written, NodeId dependent) {
    invalidation_[written].push_back(dependent);
}

const NodeData& Genicam::at(NodeId id) const {
    assert(id < nodes_.size());
    return nodes_[id];
}

NodeData& Genicam::at(NodeId id) {
    assert(id < nodes_.size());
    return nodes_[id];
}

std::optional<NodeId> Genicam::find(std::string_view name) const {
    const auto it = names_.find(name);
    if (it == names_.end()) {
        return std::nullopt;
    }
    return it->second;
}

GenicamResult<NodeId> Genicam::lookup(std::string_view name) const {
    if (auto id = find(name)) {
        return *id;
    }
    return Err{GenicamError::feature_not_found(std::string(name))};
}

std::vector<std::string> Genicam::node_names() const {
    std::vector<std::string> out;
    out.reserve(nodes_.size());
    for (const auto& n : nodes_) {
        out.push_back(n.name);
    }
    return out;
}

std::span<const NodeId> Genicam::invalidated_by(NodeId written) const {
    const auto it = invalidation_.find(written);
    if (it == invalidation_.end()) {
        return {};
    }
    return it->second;
}

void Genicam::drop_all_caches() {
    for (auto& n : nodes_) {
        if (auto* reg = std::get_if<RegisterNode>(&n.node)) {
            reg->common.cache.reset();
        }
    }
}

Status<GenicamError> Genicam::enter(NodeId id) {
    if (std::find(stack_.begin(), stack_.end(), id) != stack_.end()) {
        stack_.clear();
        return Err{GenicamError::circular_reference(name(id))};
    }
    if (stack_.size() >= kMaxDepth) {
        stack_.clear();
        return Err{GenicamError::device_description(fmt::format(
            "reference chain through '{}' is deeper than {} nodes", name(id), kMaxDepth))};
    }
    stack_.push_back(id);
    return {};
}

void Genicam::leave() {
    if (!stack_.empty()) {
        stack_.pop_back();
    }
}

}  // namespace corvisk::genicam
