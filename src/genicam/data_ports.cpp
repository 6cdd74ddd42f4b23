// Chunk and event ports: where they are, which features hang off them, reading those.
#include "genicam/data_ports.hpp"

#include <fmt/format.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "genicam/value.hpp"

namespace corvisk::genicam {
namespace {

std::string_view local_name(const xmlNode* n) {
    std::string_view name(reinterpret_cast<const char*>(n->name));
    const size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\n\r\f\v";
    const size_t b = s.find_first_not_of(ws);
    return b == std::string_view::npos ? std::string_view{}
                                       : s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::optional<std::string> attr(const xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    if (v == nullptr) {
        return std::nullopt;
    }
    std::string out(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return out;
}

std::optional<std::string> child_text(const xmlNode* n, std::string_view name) {
    for (const xmlNode* k = n->children; k != nullptr; k = k->next) {
        if (k->type == XML_ELEMENT_NODE && local_name(k) == name) {
            xmlChar* c = xmlNodeGetContent(k);
            std::string out = c ? std::string(trim(reinterpret_cast<const char*>(c))) : "";
            xmlFree(c);
            return out;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> hex_id(std::string_view digits) {
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
    }
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
    if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return v;
}

xmlParserInput* refuse_external(void*, const xmlChar*, const xmlChar*) {
    return nullptr;
}

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

// Every element in document order, iteratively (no recursion on hostile depth).
template <class F>
void each_element(const xmlNode* root, F&& f) {
    const xmlNode* n = root;
    while (n != nullptr) {
        if (n->type == XML_ELEMENT_NODE) {
            f(n);
            if (n->children != nullptr) {
                n = n->children;
                continue;
            }
        }
        while (n != root && n->next == nullptr) {
            n = n->parent;
        }
        if (n == root) {
            break;
        }
        n = n->next;
    }
}

}  // namespace

Result<PortLayout, std::string> scan_data_ports(std::span<const uint8_t> document,
                                                DataPortKind kind) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    if (document.size() > static_cast<size_t>(INT_MAX)) {
        return Err{std::string("document too large")};
    }
    std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        return Err{std::string("out of memory")};
    }
    ctxt->sax->resolveEntity = refuse_external;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                        XML_PARSE_NOCDATA | XML_PARSE_NOXINCNODE | XML_PARSE_COMPACT;
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), reinterpret_cast<const char*>(document.data()),
        static_cast<int>(document.size()), "device-description.xml", nullptr, options));
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (root == nullptr) {
        return Err{std::string("not a well-formed description")};
    }
    PortLayout layout;
    const char* id_tag = kind == DataPortKind::Chunk ? "ChunkID" : "EventID";
    each_element(root, [&](const xmlNode* n) {
        if (local_name(n) != "Port") {
            return;
        }
        auto name = attr(n, "Name");
        auto text = child_text(n, id_tag);
        if (auto id = text ? hex_id(*text) : std::nullopt; name && id) {
            layout.ports[*name] = *id;
        }
    });
    each_element(root, [&](const xmlNode* n) {
        auto port = child_text(n, "pPort");
        if (!port || !layout.ports.contains(*port)) {
            return;
        }
        if (local_name(n) == "StructReg") {
            for (const xmlNode* k = n->children; k != nullptr; k = k->next) {
                if (k->type == XML_ELEMENT_NODE && local_name(k) == "StructEntry") {
                    if (auto name = attr(k, "Name")) {
                        layout.registers[*name] = *port;
                    }
                }
            }
        } else if (auto name = attr(n, "Name")) {
            layout.registers[*name] = *port;
        }
    });
    return layout;
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
    Reach(const Genicam& map, const PortLayout& layout)
        : map_(map), layout_(layout), memo_(map.size()), state_(map.size(), 0) {}

    const std::set<uint64_t>& of(NodeId id) {
        if (state_[id] != 0) {
            return memo_[id];
        }
        state_[id] = 1;
        const NodeData& d = map_.at(id);
        std::set<uint64_t> ids;
        if (std::holds_alternative<RegisterNode>(d.node)) {
            if (auto r = layout_.registers.find(d.name); r != layout_.registers.end()) {
                ids.insert(layout_.ports.find(r->second)->second);
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
    const PortLayout& layout_;
    std::vector<std::set<uint64_t>> memo_;
    std::vector<uint8_t> state_;
};

// Serves every read from one buffer; writes are refused.
class BufferPort final : public PortIo {
  public:
    BufferPort(std::span<const uint8_t> bytes, uint64_t id) : bytes_(bytes), id_(id) {}
    CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) override {
        if (address > bytes_.size() || buffer.size() > bytes_.size() - address) {
            return Err{CameraError::malformed(
                fmt::format("{} bytes at {:#x} lie outside the {} data bytes of id {:#x}",
                            buffer.size(), address, bytes_.size(), id_))};
        }
        std::memcpy(buffer.data(), bytes_.data() + address, buffer.size());
        return {};
    }
    CameraResult<void> write(uint64_t, std::span<const uint8_t>) override {
        return Err{CameraError::malformed(fmt::format("the data of id {:#x} is read-only", id_))};
    }

  private:
    std::span<const uint8_t> bytes_;
    uint64_t id_;
};

void drop_data_caches(Genicam& map, const PortLayout& layout) {
    for (const auto& [name, port] : layout.registers) {
        if (auto id = map.find(name)) {
            if (auto* reg = std::get_if<RegisterNode>(&map.at(*id).node)) {
                reg->common.cache.reset();
            }
        }
    }
}

}  // namespace

std::map<uint64_t, std::vector<NodeId>> data_features(const Genicam& map,
                                                      const PortLayout& layout) {
    std::map<uint64_t, std::vector<NodeId>> out;
    if (layout.ports.empty()) {
        return out;
    }
    Reach reach(map, layout);
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
    Genicam& map, const PortLayout& layout, std::span<const NodeId> features,
    const std::map<uint64_t, std::span<const uint8_t>>& buffers) {
    Reach reach(map, layout);
    std::vector<std::pair<std::string, FeatureValue>> out;
    for (NodeId id : features) {
        const auto& ports = reach.of(id);
        if (ports.size() != 1) {
            continue;
        }
        const auto buf = buffers.find(*ports.begin());
        if (buf == buffers.end()) {
            continue;
        }
        BufferPort port(buf->second, buf->first);
        // Data registers hold this frame's or event's bytes, never an earlier one's.
        drop_data_caches(map, layout);
        if (auto v = natural_value(map, port, id); v.ok()) {
            out.emplace_back(map.name(id), std::move(*v));
        }
    }
    drop_data_caches(map, layout);
    return out;
}

}  // namespace corvisk::genicam
