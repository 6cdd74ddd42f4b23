// The GenICam node map: node records, value references, links, registers and the map itself.
//
// A `Genicam` owns a flat array of nodes addressed by `NodeId`, a name index, the invalidation
// index (which register caches a write drops) and the re-entry stack that value access uses to
// catch reference cycles. The XML builder fills it; value access and register access read and
// update it (formula compilations, register caches, in-memory constants).
//
// Threading: a node map is a plain value with no internal locking. It is used by one thread at
// a time; the feature-level camera serialises all access under its mutex.
//
// Ownership: links between nodes are ids, never pointers, so records may be cloned, updated and
// written back, and the array may grow, without invalidating any link.
//
// Building on the map (value and register access): resolve a feature with lookup(); follow every
// link through guarded(id, ...) so cycles fail with CircularReference and over-long chains with a
// DeviceDescription error instead of exhausting the stack (String pValue chains included); copy
// the record you work on out of at(id) before calling into other nodes (a nested operation may
// update the map), and write back only what changed (register cache, compiled formula, constant);
// use invalidated_by() after a register write and drop_all_caches() on request. The device is
// reached only through PortIo (genicam/port.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "genicam/evaluator.hpp"

namespace corvisk::genicam {

// Index into the node array; assigned in insertion order from 0 and never changed.
using NodeId = uint32_t;

// How a node may be accessed. The numbers are part of the Python API (int(AccessMode.WO) == 1).
enum class AccessMode : uint8_t { RO = 0, WO = 1, RW = 2 };

// Register caching policy.
enum class Cachable : uint8_t { NoCache = 0, WriteThrough = 1, WriteAround = 2 };

// "RO", "WO" or "RW".
const char* to_string(AccessMode mode);

// A reference to another node: a name until the builder resolves it, then an id. Names that
// match no node stay names and fail only when followed ("dangling reference").
class Link {
  public:
    static Link name(std::string n) { return Link(std::move(n)); }
    static Link resolved(NodeId id) { return Link(id); }

    bool is_resolved() const { return std::holds_alternative<NodeId>(v_); }
    // The target; only when is_resolved().
    NodeId id() const { return std::get<NodeId>(v_); }
    // The unresolved name; only when !is_resolved().
    const std::string& name() const { return std::get<std::string>(v_); }
    void resolve(NodeId id) { v_ = id; }

    friend bool operator==(const Link&, const Link&) = default;

  private:
    explicit Link(std::string n) : v_(std::move(n)) {}
    explicit Link(NodeId id) : v_(id) {}

    std::variant<std::string, NodeId> v_;
};

// Where a value comes from: nothing, a constant, or another node.
class ValueRef {
  public:
    // The tags' numbers are the variant's alternative indices.
    enum class Tag : uint8_t { None = 0, Int = 1, Float = 2, Str = 3, Node = 4 };

    ValueRef() = default;  // None: the element was absent
    static ValueRef integer(int64_t v) { return ValueRef(V(std::in_place_index<1>, v)); }
    static ValueRef real(double v) { return ValueRef(V(std::in_place_index<2>, v)); }
    static ValueRef text(std::string s) {
        return ValueRef(V(std::in_place_index<3>, std::move(s)));
    }
    static ValueRef node(Link link) { return ValueRef(V(std::in_place_index<4>, std::move(link))); }

    Tag tag() const { return static_cast<Tag>(v_.index()); }
    bool is_none() const { return tag() == Tag::None; }
    bool is_int() const { return tag() == Tag::Int; }
    bool is_float() const { return tag() == Tag::Float; }
    bool is_str() const { return tag() == Tag::Str; }
    bool is_node() const { return tag() == Tag::Node; }

    // Payload accessors; each only for its own tag.
    int64_t int_value() const { return std::get<1>(v_); }
    double float_value() const { return std::get<2>(v_); }
    const std::string& str() const { return std::get<3>(v_); }
    const Link& link() const { return std::get<4>(v_); }
    Link& link() { return std::get<4>(v_); }

    friend bool operator==(const ValueRef&, const ValueRef&) = default;

  private:
    using V = std::variant<std::monostate, int64_t, double, std::string, Link>;
    explicit ValueRef(V v) : v_(std::move(v)) {}

    V v_;
};

// A formula as written plus its compilation, filled on first successful use and kept.
struct FormulaSlot {
    std::string source;  // empty when the element was absent
    std::optional<Expr> compiled;
};

// A named formula variable (pVariable Name="X") bound to a node.
struct Variable {
    std::string name;
    Link link;
    friend bool operator==(const Variable&, const Variable&) = default;
};

// A named local of a formula node: a Constant (its text compiles to a literal) or an
// Expression (a formula over the node's variables and the locals declared before it).
struct FormulaLocal {
    std::string name;
    FormulaSlot formula;
};

// One enumeration entry, in document order, with the texts and predicates users see.
struct EnumEntry {
    std::string name;
    int64_t value = 0;
    std::string display_name{};
    std::string tooltip{};
    ValueRef is_implemented{};  // None: implemented
    ValueRef is_available{};    // None: available
    friend bool operator==(const EnumEntry&, const EnumEntry&) = default;
};

// How prominently a feature is shown to users.
enum class Visibility : uint8_t { Beginner = 0, Expert = 1, Guru = 2, Invisible = 3 };

// What a node tells users about itself and the predicates that qualify its access. Value access
// reads the access-related fields (imposed access mode); everything else is for introspection.
struct NodeMeta {
    std::string display_name;
    std::string tooltip;
    std::string description;
    std::string unit;
    std::string representation;  // Linear, Logarithmic, HexNumber, ... (empty: not given)
    Visibility visibility = Visibility::Beginner;
    std::optional<AccessMode> imposed;  // ImposedAccessMode
    bool streamable = false;
    bool polled = false;         // PollingTime given: the value changes on its own
    ValueRef is_implemented;     // None: implemented
    ValueRef is_available;       // None: available
    ValueRef is_locked;          // None: not locked
    std::vector<Link> selected;  // pSelected: the features this one selects
};

// An indexed address term: index × offset, the offset given (Offset / pOffset) or, when absent,
// the register's length.
struct IndexTerm {
    ValueRef index;
    ValueRef offset;
    friend bool operator==(const IndexTerm&, const IndexTerm&) = default;
};

// The part every register kind shares.
struct RegisterCommon {
    ValueRef length;                            // byte length; None reads 4 bytes
    std::vector<ValueRef> addresses;            // summed (wrapping) to give the address
    std::vector<IndexTerm> indexes;             // pIndex terms, added to the address
    std::optional<std::vector<uint8_t>> cache;  // last bytes read/written; absent = ask device
    AccessMode access = AccessMode::RW;
    Cachable cachable = Cachable::WriteAround;
    // pPort: the port the bytes live behind, resolved like every other reference. Absent, or
    // naming no Port node, means the device (register_port() decides).
    std::optional<Link> port{};
};

// Register byte interpretations. Bit positions count from the value's least significant bit.
struct IntKind {
    std::optional<uint32_t> lsb;
    std::optional<uint32_t> msb;
    bool is_unsigned = true;
    bool big_endian = false;
    friend bool operator==(const IntKind&, const IntKind&) = default;
};
struct RawKind {
    friend bool operator==(const RawKind&, const RawKind&) = default;
};
struct FloatKind {
    bool big_endian = false;
    friend bool operator==(const FloatKind&, const FloatKind&) = default;
};
struct StringKind {
    friend bool operator==(const StringKind&, const StringKind&) = default;
};
using RegKind = std::variant<IntKind, RawKind, FloatKind, StringKind>;

// The node kinds, in variant order.
struct CategoryNode {
    std::vector<Link> features;
};
// A value chosen by an index (pIndex with ValueIndexed / pValueIndexed entries), falling back
// to the default (ValueDefault / pValueDefault) when no entry has the index's value.
struct IndexedValue {
    ValueRef index;
    std::vector<std::pair<int64_t, ValueRef>> entries;
    ValueRef fallback;
};
struct IntegerNode {
    ValueRef value, min, max, inc;
    std::optional<IndexedValue> indexed{};  // used when value is None
};
struct FloatNode {
    ValueRef value, min, max;
    ValueRef inc{};                         // Inc / pInc (None: no increment)
    std::optional<IndexedValue> indexed{};  // used when value is None
};
struct BooleanNode {
    ValueRef value;
    int64_t on_value = 1;
    int64_t off_value = 0;
};
struct StringNode {
    ValueRef value;  // Str or Node
};
struct EnumerationNode {
    ValueRef value;
    std::vector<EnumEntry> entries;
};
struct CommandNode {
    ValueRef value;
    ValueRef command_value;
};
struct RegisterNode {
    RegisterCommon common;
    RegKind kind;
};
// Converter and IntConverter: value is the raw node; formula_to maps a written value ("FROM")
// to the raw value, formula_from maps the raw value ("TO") to the read value.
// `integer` marks IntConverter: its formulas use integer arithmetic; a Converter's use floats.
struct ConverterNode {
    ValueRef value;
    FormulaSlot formula_to;
    FormulaSlot formula_from;
    std::vector<Variable> variables;
    std::vector<FormulaLocal> locals{};
    bool integer = false;
};
// SwissKnife (float arithmetic) and IntSwissKnife (`integer`: integer arithmetic).
struct SwissKnifeNode {
    FormulaSlot formula;
    std::vector<Variable> variables;
    std::vector<FormulaLocal> locals{};
    bool integer = false;
};
// What a Port stands for. The device port reaches camera memory; a chunk port holds the data a
// frame carries after its image under `data_id` (ChunkID), an event port the data an event
// brought (EventID). Other: a port that declares an id this map could not read; its registers
// are not device memory either, and nothing serves them.
enum class PortKind : uint8_t { Device, Chunk, Event, Other };
struct PortNode {
    PortKind kind = PortKind::Device;
    uint64_t data_id = 0;
};

// "device", "chunk", "event" or "other", for messages.
const char* to_string(PortKind kind);

using Node =
    std::variant<CategoryNode, IntegerNode, FloatNode, BooleanNode, StringNode, EnumerationNode,
                 CommandNode, RegisterNode, ConverterNode, SwissKnifeNode, PortNode>;

// The node kinds' numbers are the variant's alternative indices.
enum class NodeKind : uint8_t {
    Category = 0,
    Integer,
    Float,
    Boolean,
    String,
    Enumeration,
    Command,
    Register,
    Converter,
    SwissKnife,
    Port,
};

inline NodeKind kind_of(const Node& n) {
    return static_cast<NodeKind>(n.index());
}
// "Category", "Integer", ... for diagnostics.
const char* to_string(NodeKind kind);

// True for the nodes whose natural value is a float: Float nodes and registers of kind Float.
// Value access reads these with float reads and everything else with integer reads.
bool is_float_valued(const Node& n);

// Calls f(link) for every link of the node, in the fixed per-kind order the builder resolves
// them: Category features; Integer value, min, max, inc, indexed value; Float value, min, max,
// inc, indexed value; Boolean, String value; Enumeration value, entry predicates; Command value,
// command value; Register address terms, index terms, then length; Converter value, then
// variables; SwissKnife variables.
template <class F>
void for_each_link(Node& n, F&& f);

// Calls f(link) for every link of the node's meta record (predicates, selected features).
template <class F>
void for_each_meta_link(NodeMeta& m, F&& f) {
    for (ValueRef* v : {&m.is_implemented, &m.is_available, &m.is_locked}) {
        if (v->is_node()) {
            f(v->link());
        }
    }
    for (auto& l : m.selected) {
        f(l);
    }
}

// A node, its name (generated for anonymous elements) and what it tells users.
struct NodeData {
    Node node;
    std::string name;
    NodeMeta meta;
};

// Hashes names with a random key, so a hostile description cannot pick names that all collide.
// The key is drawn once per process and kept in the hasher, hence in each map's name index: a
// map built by one copy of this library (one extension module) hashes the same way when another
// copy (the other extension module) looks names up in it.
struct NameHash {
    using is_transparent = void;
    NameHash();
    size_t operator()(std::string_view s) const;
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

// The node map. Movable and copyable; see the file comment for threading and ownership.
class Genicam {
  public:
    // Deepest chain of nested evaluations (value links, formula variables, register address
    // terms) the re-entry guard admits; deeper chains fail instead of exhausting the stack.
    static constexpr size_t kMaxDepth = 256;

    // --- Building (the XML builder) ---

    // Appends a node; its id is the current node count. The name index maps `name` to it,
    // replacing an earlier node of the same name (which stays in the array, and links already
    // resolved to it stay valid).
    NodeId push(std::string name, Node node, NodeMeta meta = NodeMeta{});
    // Reserves room for `n` nodes (an optimisation only).
    void reserve(size_t n);
    // Records that writing register `written` drops the cache of `dependent`.
    void add_invalidation(NodeId written, NodeId dependent);

    // --- Nodes ---

    size_t size() const { return nodes_.size(); }
    // Every node in id order.
    std::span<const NodeData> nodes() const { return nodes_; }
    // The node with id `id` (< size(), checked by assertion). Mutable access lets value access
    // write back caches, compiled formulas and constants.
    const NodeData& at(NodeId id) const;
    NodeData& at(NodeId id);
    const std::string& name(NodeId id) const { return at(id).name; }
    // Resolves a feature name exactly (case-sensitive); the last node pushed under it wins.
    std::optional<NodeId> find(std::string_view name) const;
    // find(), failing with FeatureNotFound ("feature '{}' not found").
    GenicamResult<NodeId> lookup(std::string_view name) const;
    // Every node's name in id order; duplicate and generated names included.
    std::vector<std::string> node_names() const;

    // --- Invalidation ---

    // The registers whose caches a write to register `written` drops (empty if none).
    std::span<const NodeId> invalidated_by(NodeId written) const;
    // Drops every register's cache (formula compilations stay).
    void drop_all_caches();

    // --- Re-entry guard ---

    // Pushes `id` on the evaluation stack. If `id` is already on it, empties the stack and fails
    // with CircularReference naming the node; if the stack already holds kMaxDepth entries,
    // empties it and fails with DeviceDescription ("reference chain through '{}' is deeper than
    // {} nodes"). On failure nothing was pushed, so the caller must not leave().
    Status<GenicamError> enter(NodeId id);
    // Pops the last entry, if any.
    void leave();
    // Runs f() between enter(id) and leave(); f returns a GenicamResult. leave() runs whether
    // f succeeded or not; if enter fails, f does not run.
    template <class F>
    auto guarded(NodeId id, F&& f) -> decltype(f());
    // Ids of the nodes being evaluated; empty between top-level operations.
    std::span<const NodeId> stack() const { return stack_; }

  private:
    std::vector<NodeData> nodes_;
    std::vector<NodeId> stack_;
    std::unordered_map<std::string, NodeId, NameHash, std::equal_to<>> names_;
    std::unordered_map<NodeId, std::vector<NodeId>> invalidation_;
};

// Where a register's bytes live: the kind and data id of the Port its pPort names, and that
// Port's id. A register without pPort, or whose pPort names no Port node, is device memory
// (`port` then absent). Not a register: the device.
struct RegisterPort {
    PortKind kind = PortKind::Device;
    uint64_t data_id = 0;
    std::optional<NodeId> port;
};
RegisterPort register_port(const Genicam& map, NodeId id);

// --- template definitions ---

template <class F>
auto Genicam::guarded(NodeId id, F&& f) -> decltype(f()) {
    CVK_TRY_VOID(enter(id));
    auto r = f();
    leave();
    return r;
}

template <class F>
void for_each_link(Node& n, F&& f) {
    const auto ref = [&f](ValueRef& v) {
        if (v.is_node()) {
            f(v.link());
        }
    };
    const auto vars = [&f](std::vector<Variable>& vs) {
        for (auto& v : vs) {
            f(v.link);
        }
    };
    const auto indexed = [&ref](std::optional<IndexedValue>& ix) {
        if (ix) {
            ref(ix->index);
            for (auto& e : ix->entries) {
                ref(e.second);
            }
            ref(ix->fallback);
        }
    };
    std::visit(
        [&](auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, CategoryNode>) {
                for (auto& l : x.features) {
                    f(l);
                }
            } else if constexpr (std::is_same_v<T, IntegerNode>) {
                ref(x.value), ref(x.min), ref(x.max), ref(x.inc);
                indexed(x.indexed);
            } else if constexpr (std::is_same_v<T, FloatNode>) {
                ref(x.value), ref(x.min), ref(x.max), ref(x.inc);
                indexed(x.indexed);
            } else if constexpr (std::is_same_v<T, EnumerationNode>) {
                ref(x.value);
                for (auto& e : x.entries) {
                    ref(e.is_implemented), ref(e.is_available);
                }
            } else if constexpr (std::is_same_v<T, BooleanNode> || std::is_same_v<T, StringNode>) {
                ref(x.value);
            } else if constexpr (std::is_same_v<T, CommandNode>) {
                ref(x.value), ref(x.command_value);
            } else if constexpr (std::is_same_v<T, RegisterNode>) {
                for (auto& a : x.common.addresses) {
                    ref(a);
                }
                for (auto& t : x.common.indexes) {
                    ref(t.index), ref(t.offset);
                }
                ref(x.common.length);
            } else if constexpr (std::is_same_v<T, ConverterNode>) {
                ref(x.value);
                vars(x.variables);
            } else if constexpr (std::is_same_v<T, SwissKnifeNode>) {
                vars(x.variables);
            }
        },
        n);
}

}  // namespace corvisk::genicam
