// XML to node-map builder: one walk over the libxml2 tree, then link and invalidator passes.
#include "genicam/xml_builder.hpp"

#include <fmt/format.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "genicam/number.hpp"
#include "log.hpp"
#include "utf8.hpp"

namespace corvisk::genicam::xml {

namespace {

// --- libxml2 document parsing ---

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;
using CtxtPtr = std::unique_ptr<xmlParserCtxt, CtxtFree>;

// The first fatal error of one parse (or the first error when none is fatal).
struct ErrorSink {
    std::string message;
    bool fatal = false;
};

std::string describe(const xmlError* e) {
    std::string msg = e->message != nullptr ? e->message : "unknown parse error";
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) {
        msg.pop_back();
    }
    if (e->line > 0) {
        return fmt::format("{} at line {}, column {}", msg, e->line, e->int2);
    }
    return msg;
}

// Structured-error hook: keeps libxml2 quiet (nothing on stderr) and remembers the first error.
void on_error(void* user, xmlError* e) {
    auto* ctxt = static_cast<xmlParserCtxt*>(user);
    auto* sink = ctxt != nullptr ? static_cast<ErrorSink*>(ctxt->_private) : nullptr;
    if (sink == nullptr || e == nullptr || e->level < XML_ERR_ERROR) {
        return;
    }
    const bool fatal = e->level == XML_ERR_FATAL;
    if (sink->message.empty() || (fatal && !sink->fatal)) {
        sink->message = describe(e);
        sink->fatal = fatal;
    }
}

// Refuses every external resource (DTD subsets, external entities). The parse options already
// keep libxml2 from asking; this makes sure nothing is read even if it does.
xmlParserInput* refuse_external(void*, const xmlChar*, const xmlChar*) {
    return nullptr;
}

// `encoding` forces the text's encoding; null lets libxml2 decide from the byte-order mark and
// the XML declaration (UTF-16, ISO-8859-1, ...), defaulting to UTF-8.
Result<DocPtr, std::string> parse_document(std::string_view text, const char* encoding = "UTF-8") {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return Err{std::string("document too large")};
    }
    CtxtPtr ctxt(xmlNewParserCtxt());
    if (ctxt == nullptr) {
        return Err{std::string("out of memory")};
    }
    ErrorSink sink;
    ctxt->_private = &sink;
    ctxt->sax->serror = on_error;
    ctxt->sax->resolveEntity = refuse_external;
    // No XML_PARSE_NOENT (it would substitute, and so load, external entities), no DTDLOAD /
    // DTDATTR / DTDVALID (they fetch the external subset), no HUGE (it lifts libxml2's entity
    // amplification and depth limits); NONET in case anything still tries the network.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                        XML_PARSE_NOCDATA | XML_PARSE_NOXINCNODE | XML_PARSE_COMPACT;
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()),
                                 "device-description.xml", encoding, options));
    if (doc == nullptr || ctxt->wellFormed == 0) {
        if (!sink.message.empty()) {
            return Err{sink.message};
        }
        const xmlError* last = &ctxt->lastError;
        return Err{last->message != nullptr ? describe(last) : std::string("not well-formed")};
    }
    if (xmlDocGetRootElement(doc.get()) == nullptr) {
        return Err{std::string("no root element")};
    }
    return doc;
}

// --- tree helpers ---

std::string_view local_name(const xmlNode* n) {
    std::string_view name(reinterpret_cast<const char*>(n->name));
    const size_t colon = name.rfind(':');  // an undeclared prefix stays in the name
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\n\r\f\v";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// Hexadecimal digits, with or without 0x (chunk and event ids are written both ways).
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

// The replacement content of a reference to an internal general entity, or null.
const xmlNode* internal_entity_content(const xmlNode* ref) {
    const xmlNode* target = ref->children;
    if (target == nullptr || target->type != XML_ENTITY_DECL) {
        return nullptr;
    }
    const auto* ent = reinterpret_cast<const xmlEntity*>(target);
    return ent->etype == XML_INTERNAL_GENERAL_ENTITY ? ent->children : nullptr;
}

constexpr int kMaxEntityNesting = 16;

constexpr const char* kDefaultNodes[][2] = {
    {"TLParamsLocked",
     "<Integer Name=\"TLParamsLocked\"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>"},
    {"GevSCPSPacketSize",
     "<MaskedIntReg Name=\"GevSCPSPacketSize\"><Address>0xd04</Address><Length>4</Length>"
     "<AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable>"
     "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>"},
    {"GevTimestampTickFrequency",
     "<IntReg Name=\"GevTimestampTickFrequency\"><Address>0x93c</Address><Length>8</Length>"
     "<AccessMode>RO</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess>"
     "</IntReg>"},
};

// --- the builder ---

// The element children of one element, borrowed from the builder's pool of buffers so the walk
// does not allocate a vector per element.
class Kids {
  public:
    explicit Kids(std::vector<std::vector<const xmlNode*>>* pool) : pool_(pool) {
        if (!pool_->empty()) {
            v_ = std::move(pool_->back());
            pool_->pop_back();
        }
    }
    ~Kids() {
        v_.clear();
        pool_->push_back(std::move(v_));
    }
    Kids(const Kids&) = delete;
    Kids& operator=(const Kids&) = delete;

    std::vector<const xmlNode*>& get() { return v_; }
    operator const std::vector<const xmlNode*>&() const { return v_; }
    auto begin() const { return v_.begin(); }
    auto end() const { return v_.end(); }

  private:
    std::vector<std::vector<const xmlNode*>>* pool_;
    std::vector<const xmlNode*> v_;
};

// An estimate of the nodes a tree will produce (elements directly under the root or Groups),
// to size the node array once.
size_t count_candidates(const xmlNode* element, size_t depth) {
    size_t n = 0;
    for (const xmlNode* c = element->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) {
            continue;
        }
        const bool group = std::string_view(reinterpret_cast<const char*>(c->name)) == "Group";
        n += group && depth < 8 ? count_candidates(c, depth + 1) : 1;
    }
    return n;
}

class Builder {
  public:
    explicit Builder(const Limits& limits) : limits_(limits) {}
    void reserve(size_t n) { map_.reserve(std::min(n, limits_.max_nodes) + 3); }

    void walk(const xmlNode* element, size_t depth);
    std::optional<NodeId> add_element(const xmlNode* element);
    Status<GenicamError> add_defaults();
    Genicam finish();
    const std::optional<GenicamError>& failure() const { return failure_; }

  private:
    struct Mask {
        std::optional<uint32_t> lsb, msb;
    };

    RegisterCommon register_common(const std::vector<const xmlNode*>& kids);
    PortNode port_node(const std::vector<const xmlNode*>& kids);
    void resolve_port(NodeId id);
    std::optional<IndexedValue> indexed_value(const std::vector<const xmlNode*>& kids, bool real);
    std::vector<FormulaLocal> locals(const std::vector<const xmlNode*>& kids);
    NodeMeta meta(const std::vector<const xmlNode*>& kids);
    void read_meta(const xmlNode* k, std::string_view name, NodeMeta& m);
    std::vector<EnumEntry> enum_entries(const std::vector<const xmlNode*>& kids);
    ValueRef link_child(const xmlNode* k);
    bool big_endian(const std::vector<const xmlNode*>& kids);
    std::optional<Node> register_kind(std::string_view tag,
                                      const std::vector<const xmlNode*>& kids);
    std::optional<Node> value_kind(std::string_view tag, const std::vector<const xmlNode*>& kids);
    void mark_polled();
    std::optional<NodeId> push(std::string name, Node node, NodeMeta meta = NodeMeta{});
    void collect_invalidators(NodeId id, const std::vector<const xmlNode*>& kids);
    void add_struct_entries(const std::vector<const xmlNode*>& kids);

    template <class F>
    bool each(const xmlNode* first, F& f, int nesting);
    // Fills `kids` with the element children of `element` (entity content expanded).
    void child_elements(const xmlNode* element, Kids& kids);
    std::optional<std::string> text_of(const xmlNode* element);
    std::optional<std::string> attribute(const xmlNode* element, std::string_view name);
    std::optional<std::string> child_text(const std::vector<const xmlNode*>& kids,
                                          std::string_view name);
    std::optional<int64_t> child_number(const std::vector<const xmlNode*>& kids,
                                        std::string_view name);
    ValueRef int_ref(const std::vector<const xmlNode*>& kids, std::string_view x,
                     std::string_view px);
    ValueRef float_ref(const std::vector<const xmlNode*>& kids, std::string_view x,
                       std::string_view px);
    std::vector<Variable> variables(const std::vector<const xmlNode*>& kids);
    Mask mask(const std::vector<const xmlNode*>& kids);
    bool spend(size_t units);
    void fail(std::string message);

    const Limits& limits_;
    Genicam map_;
    std::vector<std::pair<NodeId, std::vector<std::string>>> pending_invalidators_;
    uint32_t anonymous_ = 0;
    size_t entity_work_ = 0;
    std::optional<GenicamError> failure_;
    std::vector<std::vector<const xmlNode*>> kids_pool_;
};

void Builder::fail(std::string message) {
    if (!failure_) {
        failure_ = GenicamError::device_description(std::move(message));
    }
}

// Charges work done inside entity replacement content; false once the budget is gone.
bool Builder::spend(size_t units) {
    entity_work_ += units;
    if (entity_work_ > limits_.max_entity_work) {
        fail("entity expansion exceeds the limit");
        return false;
    }
    return true;
}

// Calls f(node, nesting) for each node of the sibling list starting at `first`, descending
// transparently into references to internal entities (their content stands in for the
// reference). f returns true to stop. Returns true when stopped (by f or by the budget).
template <class F>
bool Builder::each(const xmlNode* first, F& f, int nesting) {
    for (const xmlNode* n = first; n != nullptr; n = n->next) {
        if (nesting > 0 && !spend(1)) {
            return true;
        }
        if (n->type == XML_ENTITY_REF_NODE) {
            const xmlNode* content = internal_entity_content(n);
            if (content != nullptr && nesting < kMaxEntityNesting &&
                each(content, f, nesting + 1)) {
                return true;
            }
            continue;
        }
        if (f(n, nesting)) {
            return true;
        }
    }
    return false;
}

void Builder::child_elements(const xmlNode* element, Kids& kids) {
    auto& out = kids.get();
    auto f = [&out](const xmlNode* n, int) {
        if (n->type == XML_ELEMENT_NODE) {
            out.push_back(n);
        }
        return false;
    };
    each(element->children, f, 0);
}

// The element's leading text (text, CDATA and entity text up to the first other child); absent
// when there is none.
std::optional<std::string> Builder::text_of(const xmlNode* element) {
    std::optional<std::string> text;
    auto f = [&](const xmlNode* n, int nesting) {
        if (n->type != XML_TEXT_NODE && n->type != XML_CDATA_SECTION_NODE) {
            return true;
        }
        const char* content = reinterpret_cast<const char*>(n->content);
        const size_t len = content != nullptr ? std::strlen(content) : 0;
        if (nesting > 0 && !spend(len / 64)) {
            return true;
        }
        if (!text) {
            text.emplace();
        }
        text->append(content != nullptr ? content : "", len);
        return false;
    };
    each(element->children, f, 0);
    return text;
}

std::optional<std::string> Builder::attribute(const xmlNode* element, std::string_view name) {
    for (const xmlAttr* a = element->properties; a != nullptr; a = a->next) {
        if (std::string_view(reinterpret_cast<const char*>(a->name)) != name) {
            continue;
        }
        std::string value;
        auto f = [&](const xmlNode* n, int nesting) {
            if (n->type == XML_TEXT_NODE && n->content != nullptr) {
                const char* content = reinterpret_cast<const char*>(n->content);
                const size_t len = std::strlen(content);
                if (nesting > 0 && !spend(len / 64)) {
                    return true;
                }
                value.append(content, len);
            }
            return false;
        };
        each(a->children, f, 0);
        return value;
    }
    return std::nullopt;
}

// The trimmed text of the first child element named `name`; absent if there is no such child
// or it has no text (later children of the same name are not looked at).
std::optional<std::string> Builder::child_text(const std::vector<const xmlNode*>& kids,
                                               std::string_view name) {
    for (const xmlNode* k : kids) {
        if (local_name(k) == name) {
            auto text = text_of(k);
            if (!text) {
                return std::nullopt;
            }
            return std::string(trim(*text));
        }
    }
    return std::nullopt;
}

std::optional<int64_t> Builder::child_number(const std::vector<const xmlNode*>& kids,
                                             std::string_view name) {
    auto text = child_text(kids, name);
    return text ? parse_number_text(*text) : std::nullopt;
}

ValueRef Builder::int_ref(const std::vector<const xmlNode*>& kids, std::string_view x,
                          std::string_view px) {
    if (auto name = child_text(kids, px)) {
        return ValueRef::node(Link::name(std::move(*name)));
    }
    if (auto v = child_number(kids, x)) {
        return ValueRef::integer(*v);
    }
    return {};
}

ValueRef Builder::float_ref(const std::vector<const xmlNode*>& kids, std::string_view x,
                            std::string_view px) {
    if (auto name = child_text(kids, px)) {
        return ValueRef::node(Link::name(std::move(*name)));
    }
    if (auto text = child_text(kids, x)) {
        if (auto f = parse_f64(*text); f.ok()) {
            return ValueRef::real(*f);
        }
        if (auto v = parse_number_text(*text)) {
            return ValueRef::integer(*v);
        }
    }
    return {};
}

std::vector<Variable> Builder::variables(const std::vector<const xmlNode*>& kids) {
    std::vector<Variable> vars;
    for (const xmlNode* k : kids) {
        if (local_name(k) != "pVariable") {
            continue;
        }
        auto name = attribute(k, "Name");
        auto text = text_of(k);
        if (name && text) {
            vars.push_back(Variable{std::move(*name), Link::name(std::string(trim(*text)))});
        }
    }
    return vars;
}

Builder::Mask Builder::mask(const std::vector<const xmlNode*>& kids) {
    const auto low32 = [](std::optional<int64_t> v) -> std::optional<uint32_t> {
        if (!v) {
            return std::nullopt;
        }
        return static_cast<uint32_t>(static_cast<uint64_t>(*v));
    };
    const auto bit = low32(child_number(kids, "Bit"));
    const auto lsb = low32(child_number(kids, "LSB"));
    const auto msb = low32(child_number(kids, "MSB"));
    return Mask{lsb ? lsb : bit, msb ? msb : bit};
}

std::optional<NodeId> Builder::push(std::string name, Node node, NodeMeta meta) {
    if (map_.size() >= limits_.max_nodes) {
        fail(fmt::format("more than {} nodes", limits_.max_nodes));
        return std::nullopt;
    }
    return map_.push(std::move(name), std::move(node), std::move(meta));
}

void Builder::collect_invalidators(NodeId id, const std::vector<const xmlNode*>& kids) {
    std::vector<std::string> names;
    for (const xmlNode* k : kids) {
        if (local_name(k) == "pInvalidator") {
            if (auto text = text_of(k)) {
                names.emplace_back(trim(*text));
            }
        }
    }
    if (!names.empty()) {
        pending_invalidators_.emplace_back(id, std::move(names));
    }
}

// A link element's target (pX elements): a node reference, or None when it has no text.
ValueRef Builder::link_child(const xmlNode* k) {
    if (auto text = text_of(k)) {
        return ValueRef::node(Link::name(std::string(trim(*text))));
    }
    return {};
}

// Both spellings of the byte-order element are in use.
bool Builder::big_endian(const std::vector<const xmlNode*>& kids) {
    auto e = child_text(kids, "Endianess");
    if (!e) {
        e = child_text(kids, "Endianness");
    }
    return e == "BigEndian";
}

RegisterCommon Builder::register_common(const std::vector<const xmlNode*>& kids) {
    RegisterCommon common;
    for (const xmlNode* k : kids) {
        const std::string_view name = local_name(k);
        if (name == "Address") {
            auto text = text_of(k);
            if (auto v = text ? parse_number_text(trim(*text)) : std::nullopt) {
                common.addresses.push_back(ValueRef::integer(*v));
            }
        } else if (name == "pAddress") {
            if (auto ref = link_child(k); !ref.is_none()) {
                common.addresses.push_back(std::move(ref));
            }
        } else if (name == "IntSwissKnife") {
            if (auto id = add_element(k)) {
                common.addresses.push_back(ValueRef::node(Link::resolved(*id)));
            }
        } else if (name == "pIndex") {
            IndexTerm term{link_child(k), {}};
            if (auto off = attribute(k, "pOffset")) {
                term.offset = ValueRef::node(Link::name(std::string(trim(*off))));
            } else if (auto num = attribute(k, "Offset")) {
                if (auto v = parse_number_text(trim(*num))) {
                    term.offset = ValueRef::integer(*v);
                }
            }
            if (!term.index.is_none()) {
                common.indexes.push_back(std::move(term));
            }
        }
    }
    common.length = int_ref(kids, "Length", "pLength");
    const auto access = child_text(kids, "AccessMode");
    common.access = access == "RO"   ? AccessMode::RO
                    : access == "WO" ? AccessMode::WO
                                     : AccessMode::RW;
    const auto cachable = child_text(kids, "Cachable");
    common.cachable = cachable == "NoCache"        ? Cachable::NoCache
                      : cachable == "WriteThrough" ? Cachable::WriteThrough
                                                   : Cachable::WriteAround;
    if (auto port = child_text(kids, "pPort"); port && !port->empty()) {
        common.port = Link::name(std::move(*port));
    }
    return common;
}

// A Port with a ChunkID holds a frame's chunk of that id, one with an EventID an event's data;
// either id is hexadecimal, with or without 0x. A Port with neither is the device's; one whose
// id is empty or unreadable is neither (its registers are still not device memory).
PortNode Builder::port_node(const std::vector<const xmlNode*>& kids) {
    for (const xmlNode* k : kids) {
        const std::string_view tag = local_name(k);
        if (tag != "ChunkID" && tag != "EventID") {
            continue;
        }
        const auto text = text_of(k);
        if (auto id = text ? hex_id(trim(*text)) : std::nullopt) {
            return PortNode{tag == "ChunkID" ? PortKind::Chunk : PortKind::Event, *id};
        }
        return PortNode{PortKind::Other, 0};
    }
    return PortNode{};
}

// pIndex with ValueIndexed / pValueIndexed entries and a ValueDefault / pValueDefault; absent
// when the element has no pIndex.
std::optional<IndexedValue> Builder::indexed_value(const std::vector<const xmlNode*>& kids,
                                                   bool real) {
    IndexedValue ix;
    for (const xmlNode* k : kids) {
        const std::string_view name = local_name(k);
        if (name == "pIndex") {
            ix.index = link_child(k);
            continue;
        }
        const bool constant = name == "ValueIndexed" || name == "ValueDefault";
        if (!constant && name != "pValueIndexed" && name != "pValueDefault") {
            continue;
        }
        ValueRef v;
        if (!constant) {
            v = link_child(k);
        } else if (auto text = text_of(k)) {
            const std::string_view t = trim(*text);
            const auto i = parse_number_text(t);
            const auto f = real && !i ? parse_f64(t) : Result<double, std::string>(Err{""});
            v = i ? ValueRef::integer(*i) : f.ok() ? ValueRef::real(*f) : ValueRef{};
        }
        if (name == "ValueDefault" || name == "pValueDefault") {
            ix.fallback = std::move(v);
        } else if (auto index = attribute(k, "Index")) {
            if (auto at = parse_number_text(trim(*index))) {
                ix.entries.emplace_back(*at, std::move(v));
            }
        }
    }
    if (ix.index.is_none()) {
        return std::nullopt;
    }
    return ix;
}

// Constant and Expression children of a formula node, in document order.
std::vector<FormulaLocal> Builder::locals(const std::vector<const xmlNode*>& kids) {
    std::vector<FormulaLocal> out;
    for (const xmlNode* k : kids) {
        const std::string_view tag = local_name(k);
        if (tag != "Constant" && tag != "Expression") {
            continue;
        }
        auto name = attribute(k, "Name");
        auto text = text_of(k);
        if (name && text) {
            out.push_back(FormulaLocal{std::move(*name), {std::string(trim(*text)), std::nullopt}});
        }
    }
    return out;
}

void Builder::read_meta(const xmlNode* k, std::string_view name, NodeMeta& m) {
    const auto text = [&] {
        auto t = text_of(k);
        return t ? std::string(trim(*t)) : std::string();
    };
    if (name == "ToolTip") {
        m.tooltip = text();
    } else if (name == "Description") {
        m.description = text();
    } else if (name == "DisplayName") {
        m.display_name = text();
    } else if (name == "Unit") {
        m.unit = text();
    } else if (name == "Representation") {
        m.representation = text();
    } else if (name == "Visibility") {
        const std::string v = text();
        m.visibility = v == "Expert"      ? Visibility::Expert
                       : v == "Guru"      ? Visibility::Guru
                       : v == "Invisible" ? Visibility::Invisible
                                          : Visibility::Beginner;
    } else if (name == "ImposedAccessMode") {
        const std::string v = text();
        if (v == "RO" || v == "WO" || v == "RW") {
            m.imposed = v == "RO" ? AccessMode::RO : v == "WO" ? AccessMode::WO : AccessMode::RW;
        }
    } else if (name == "Streamable") {
        m.streamable = text() == "Yes";
    } else if (name == "PollingTime") {
        m.polled = true;
    } else if (name == "pIsImplemented") {
        m.is_implemented = link_child(k);
    } else if (name == "pIsAvailable") {
        m.is_available = link_child(k);
    } else if (name == "pIsLocked") {
        m.is_locked = link_child(k);
    } else if (name == "pSelected") {
        if (auto t = text_of(k)) {
            m.selected.push_back(Link::name(std::string(trim(*t))));
        }
    }
}

// The user-facing texts and predicates of a node element, in one pass over its children.
NodeMeta Builder::meta(const std::vector<const xmlNode*>& kids) {
    NodeMeta m;
    for (const xmlNode* k : kids) {
        const std::string_view name = local_name(k);
        // Every element read here starts with one of these letters; the rest are skipped fast.
        const char c = name.empty() ? '\0' : name[0];
        if (c == 'T' || c == 'D' || c == 'U' || c == 'R' || c == 'V' || c == 'I' || c == 'S' ||
            c == 'P' || c == 'p') {
            read_meta(k, name, m);
        }
    }
    return m;
}

std::vector<EnumEntry> Builder::enum_entries(const std::vector<const xmlNode*>& kids) {
    std::vector<EnumEntry> entries;
    for (const xmlNode* k : kids) {
        if (local_name(k) != "EnumEntry") {
            continue;
        }
        auto entry_name = attribute(k, "Name");
        Kids entry_kids(&kids_pool_);
        child_elements(k, entry_kids);
        const auto value = child_number(entry_kids, "Value");
        if (entry_name && value) {
            NodeMeta m = meta(entry_kids);
            entries.push_back(EnumEntry{std::move(*entry_name), *value, std::move(m.display_name),
                                        std::move(m.tooltip), std::move(m.is_implemented),
                                        std::move(m.is_available)});
        }
    }
    return entries;
}

void Builder::add_struct_entries(const std::vector<const xmlNode*>& kids) {
    const RegisterCommon common = register_common(kids);
    const bool struct_big = big_endian(kids);
    const auto sign = child_text(kids, "Sign");
    for (const xmlNode* entry : kids) {
        if (local_name(entry) != "StructEntry" || failure_) {
            continue;
        }
        auto name = attribute(entry, "Name");
        if (!name) {
            continue;
        }
        Kids entry_kids(&kids_pool_);
        child_elements(entry, entry_kids);
        RegisterNode reg{common, IntKind{}};
        const auto access = child_text(entry_kids, "AccessMode");
        if (access == "RO" || access == "WO" || access == "RW") {
            reg.common.access = access == "RO"   ? AccessMode::RO
                                : access == "WO" ? AccessMode::WO
                                                 : AccessMode::RW;
        }
        const Mask m = mask(entry_kids);
        const bool has_endianess = child_text(entry_kids, "Endianess").has_value() ||
                                   child_text(entry_kids, "Endianness").has_value();
        const auto entry_sign = child_text(entry_kids, "Sign");
        reg.kind = IntKind{m.lsb, m.msb, (entry_sign ? entry_sign : sign) != "Signed",
                           has_endianess ? big_endian(entry_kids) : struct_big};
        if (auto id = push(std::move(*name), std::move(reg), meta(entry_kids))) {
            collect_invalidators(*id, entry_kids);
        }
    }
}

// The register element kinds; absent for any other tag. The vendor kinds IntKey, SmartFeature,
// AdvFeatureLock, DcamLock and ConfRom are integer registers, TextDesc a string register.
std::optional<Node> Builder::register_kind(std::string_view tag,
                                           const std::vector<const xmlNode*>& kids) {
    const auto is_unsigned = [&] { return child_text(kids, "Sign") != "Signed"; };
    if (tag == "IntReg" || tag == "IntKey" || tag == "SmartFeature" || tag == "AdvFeatureLock" ||
        tag == "DcamLock" || tag == "ConfRom") {
        return RegisterNode{register_common(kids),
                            IntKind{std::nullopt, std::nullopt, is_unsigned(), big_endian(kids)}};
    }
    if (tag == "MaskedIntReg") {
        const Mask m = mask(kids);
        return RegisterNode{register_common(kids),
                            IntKind{m.lsb, m.msb, is_unsigned(), big_endian(kids)}};
    }
    if (tag == "Register") {
        return RegisterNode{register_common(kids), RawKind{}};
    }
    if (tag == "FloatReg") {
        return RegisterNode{register_common(kids), FloatKind{big_endian(kids)}};
    }
    if (tag == "StringReg" || tag == "TextDesc") {
        return RegisterNode{register_common(kids), StringKind{}};
    }
    return std::nullopt;
}

// The value, formula and category element kinds; absent for any other tag.
std::optional<Node> Builder::value_kind(std::string_view tag,
                                        const std::vector<const xmlNode*>& kids) {
    if (tag == "Category") {
        CategoryNode c;
        for (const xmlNode* k : kids) {
            if (local_name(k) == "pFeature") {
                if (auto text = text_of(k)) {
                    c.features.push_back(Link::name(std::string(trim(*text))));
                }
            }
        }
        return c;
    }
    if (tag == "Integer") {
        return IntegerNode{int_ref(kids, "Value", "pValue"), int_ref(kids, "Min", "pMin"),
                           int_ref(kids, "Max", "pMax"), int_ref(kids, "Inc", "pInc"),
                           indexed_value(kids, false)};
    }
    if (tag == "Float") {
        return FloatNode{float_ref(kids, "Value", "pValue"), float_ref(kids, "Min", "pMin"),
                         float_ref(kids, "Max", "pMax"), float_ref(kids, "Inc", "pInc"),
                         indexed_value(kids, true)};
    }
    if (tag == "Boolean") {
        return BooleanNode{int_ref(kids, "Value", "pValue"),
                           child_number(kids, "OnValue").value_or(1),
                           child_number(kids, "OffValue").value_or(0)};
    }
    if (tag == "Command") {
        return CommandNode{int_ref(kids, "Value", "pValue"),
                           int_ref(kids, "CommandValue", "pCommandValue")};
    }
    if (tag == "Enumeration") {
        return EnumerationNode{int_ref(kids, "Value", "pValue"), enum_entries(kids)};
    }
    if (tag == "String") {
        if (auto p = child_text(kids, "pValue")) {
            return StringNode{ValueRef::node(Link::name(std::move(*p)))};
        }
        if (auto v = child_text(kids, "Value")) {
            return StringNode{ValueRef::text(std::move(*v))};
        }
        return StringNode{};
    }
    if (tag == "SwissKnife" || tag == "IntSwissKnife") {
        return SwissKnifeNode{{child_text(kids, "Formula").value_or(""), std::nullopt},
                              variables(kids),
                              locals(kids),
                              tag == "IntSwissKnife"};
    }
    if (tag == "Converter" || tag == "IntConverter") {
        return ConverterNode{int_ref(kids, "Value", "pValue"),
                             {child_text(kids, "FormulaTo").value_or(""), std::nullopt},
                             {child_text(kids, "FormulaFrom").value_or(""), std::nullopt},
                             variables(kids),
                             locals(kids),
                             tag == "IntConverter"};
    }
    return std::nullopt;
}

std::optional<NodeId> Builder::add_element(const xmlNode* element) {
    if (failure_) {
        return std::nullopt;
    }
    const std::string_view tag = local_name(element);
    std::string name;
    if (auto attr = attribute(element, "Name")) {
        name = std::move(*attr);
    } else {
        name = fmt::format("__anonymous_{}_{}", tag, ++anonymous_);
    }
    Kids kids(&kids_pool_);
    child_elements(element, kids);
    if (tag == "StructReg") {
        add_struct_entries(kids);
        return std::nullopt;
    }
    std::optional<Node> node;
    if (tag == "Port") {
        node = port_node(kids);
    } else if (node = value_kind(tag, kids); !node) {
        node = register_kind(tag, kids);
    }
    if (!node) {
        return std::nullopt;
    }
    const auto id = push(std::move(name), std::move(*node), meta(kids));
    if (id) {
        collect_invalidators(*id, kids);
    }
    return id;
}

void Builder::walk(const xmlNode* element, size_t depth) {
    if (depth > limits_.max_group_depth) {
        fail(fmt::format("groups nested deeper than {}", limits_.max_group_depth));
        return;
    }
    Kids kids(&kids_pool_);
    child_elements(element, kids);
    for (const xmlNode* child : kids) {
        if (failure_) {
            return;
        }
        if (local_name(child) == "Group") {
            walk(child, depth + 1);
        } else {
            (void)add_element(child);
        }
    }
}

Status<GenicamError> Builder::add_defaults() {
    for (const auto& [name, fragment] : kDefaultNodes) {
        if (map_.find(name)) {
            continue;
        }
        auto doc = parse_document(fragment);
        if (!doc.ok()) {
            return Err{GenicamError::device_description(
                fmt::format("default node {}: {}", name, doc.error()))};
        }
        (void)add_element(xmlDocGetRootElement(doc->get()));
    }
    return {};
}

// A value that changes on its own (PollingTime) must be read from the device every time: the
// register behind the polled node (the node itself, or the end of its value links) is not cached.
void Builder::mark_polled() {
    for (size_t i = 0; i < map_.size(); ++i) {
        if (!map_.at(static_cast<NodeId>(i)).meta.polled) {
            continue;
        }
        NodeId id = static_cast<NodeId>(i);
        for (size_t step = 0; step <= Genicam::kMaxDepth; ++step) {
            Node& n = map_.at(id).node;
            if (auto* reg = std::get_if<RegisterNode>(&n)) {
                reg->common.cachable = Cachable::NoCache;
                break;
            }
            const ValueRef* v = nullptr;
            if (auto* x = std::get_if<IntegerNode>(&n)) {
                v = &x->value;
            } else if (auto* f = std::get_if<FloatNode>(&n)) {
                v = &f->value;
            } else if (auto* c = std::get_if<ConverterNode>(&n)) {
                v = &c->value;
            } else if (auto* b = std::get_if<BooleanNode>(&n)) {
                v = &b->value;
            } else if (auto* e = std::get_if<EnumerationNode>(&n)) {
                v = &e->value;
            }
            if (v == nullptr || !v->is_node() || !v->link().is_resolved()) {
                break;
            }
            id = v->link().id();
        }
    }
}

// Resolves a register's pPort. Devices are liberal here: a pPort naming nothing, or a node that
// is not a Port, leaves the register on the device port, as if the pPort were absent.
void Builder::resolve_port(NodeId id) {
    auto* reg = std::get_if<RegisterNode>(&map_.at(id).node);
    if (reg == nullptr || !reg->common.port || reg->common.port->is_resolved()) {
        return;
    }
    const std::string& name = reg->common.port->name();
    const auto target = map_.find(name);
    if (target && std::holds_alternative<PortNode>(map_.at(*target).node)) {
        reg->common.port->resolve(*target);
        return;
    }
    CVK_LOG(log::Level::Debug, "corvisk::genicam", {},
            "register '{}': pPort '{}' {}; using the device port", map_.name(id), name,
            target ? "is not a Port" : "names no node");
}

Genicam Builder::finish() {
    const auto resolve = [this](Link& link) {
        if (!link.is_resolved()) {
            if (auto id = map_.find(link.name())) {
                link.resolve(*id);
            }
        }
    };
    for (size_t i = 0; i < map_.size(); ++i) {
        NodeData& d = map_.at(static_cast<NodeId>(i));
        for_each_link(d.node, resolve);
        for_each_meta_link(d.meta, resolve);
        resolve_port(static_cast<NodeId>(i));
    }
    mark_polled();
    for (const auto& [declaring, names] : pending_invalidators_) {
        for (const auto& name : names) {
            if (auto target = map_.find(name)) {
                map_.add_invalidation(*target, declaring);
            }
        }
    }
    return std::move(map_);
}

}  // namespace

namespace {

GenicamResult<Genicam> build_from(DocPtr doc, const Limits& limits) {
    Builder builder(limits);
    builder.reserve(count_candidates(xmlDocGetRootElement(doc.get()), 0));
    builder.walk(xmlDocGetRootElement(doc.get()), 0);
    if (builder.failure()) {
        return Err{*builder.failure()};
    }
    doc.reset();  // the tree is no longer needed; free it before the link passes
    CVK_TRY_VOID(builder.add_defaults());
    if (builder.failure()) {
        return Err{*builder.failure()};
    }
    return builder.finish();
}

GenicamResult<void> check_size(size_t size, const Limits& limits) {
    if (size > limits.max_document_bytes) {
        return Err{GenicamError::device_description(
            fmt::format("document of {} bytes exceeds the limit of {} bytes", size,
                        limits.max_document_bytes))};
    }
    return {};
}

// The document text without the white space some devices put before the XML declaration (which
// libxml2 refuses). Only single-byte white space is skipped: a UTF-16 document starts with its
// byte-order mark or with "<" and a NUL byte.
std::string_view skip_leading_blanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
        ++i;
    }
    return text.substr(i);
}

}  // namespace

GenicamResult<Genicam> parse(std::string_view text, const Limits& limits) {
    CVK_TRY_VOID(check_size(text.size(), limits));
    auto doc = parse_document(text);
    if (!doc.ok()) {
        return Err{GenicamError::device_description(std::move(doc).error())};
    }
    return build_from(std::move(doc).value(), limits);
}

GenicamResult<Genicam> parse_description(std::span<const uint8_t> bytes, const Limits& limits) {
    CVK_TRY_VOID(check_size(bytes.size(), limits));
    const std::string_view text =
        skip_leading_blanks({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    auto doc = parse_document(text, nullptr);
    if (!doc.ok()) {
        // Liberal in what devices send: a document whose bytes do not match its declared
        // encoding (stray Latin-1 bytes in a "UTF-8" document) is read as UTF-8 with invalid
        // sequences replaced, as before.
        const std::string lossy = utf8_lossy(bytes);
        auto retry = parse_document(skip_leading_blanks(lossy));
        if (!retry.ok()) {
            return Err{GenicamError::device_description(std::move(doc).error())};
        }
        doc = std::move(retry);
    }
    const std::string_view root = local_name(xmlDocGetRootElement(doc->get()));
    if (root != "RegisterDescription") {
        return Err{GenicamError::device_description(
            fmt::format("root element is '{}', not RegisterDescription", root))};
    }
    return build_from(std::move(doc).value(), limits);
}

}  // namespace corvisk::genicam::xml
