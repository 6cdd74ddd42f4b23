// Node value access: reference following, formulas with their variables, per-kind reads/writes.
//
// Records are never held across a nested evaluation by value copy; instead each step reads the
// fields it needs from the node array (which does not grow during an operation, so references
// stay valid) before following a link, and re-reads them afterwards.
#include "genicam/value.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <span>

#include "genicam/evaluator.hpp"
#include "genicam/registers.hpp"

namespace corvisk::genicam {
namespace {

template <class T>
T* node_as(Genicam& map, NodeId id) {
    return std::get_if<T>(&map.at(id).node);
}
template <class T>
const T* node_as(const Genicam& map, NodeId id) {
    return std::get_if<T>(&map.at(id).node);
}

GenicamError unsupported(const Genicam& map, NodeId id) {
    return GenicamError::unsupported_access(map.name(id));
}
GenicamError not_accessible(const Genicam& map, NodeId id) {
    return GenicamError::not_accessible(map.name(id));
}
GenicamError dangling(const Link& link) {
    return GenicamError::dangling_reference(link.name());
}

// --- guarded steps into another node ---

GenicamResult<int64_t> guarded_int(Genicam& map, PortIo& port, NodeId t) {
    return map.guarded(t, [&] { return int_value_inner(map, port, t); });
}
GenicamResult<double> guarded_float(Genicam& map, PortIo& port, NodeId t) {
    return map.guarded(t, [&] { return float_value_inner(map, port, t); });
}
Status<GenicamError> guarded_set_int(Genicam& map, PortIo& port, NodeId t, int64_t v) {
    return map.guarded(t, [&] { return set_int_value_inner(map, port, t, v); });
}
Status<GenicamError> guarded_set_float(Genicam& map, PortIo& port, NodeId t, double v) {
    return map.guarded(t, [&] { return set_float_value_inner(map, port, t, v); });
}

GenicamResult<Value> eval_converter(Genicam& map, PortIo& port, NodeId id);

// --- formulas ---

enum class Slot : uint8_t { Knife, To, From };

// The converter's own input: "FROM" (the value written) or "TO" (the raw value read).
struct Binding {
    std::string_view name;
    Value value;
};

GenicamResult<Value> eval_formula(Genicam& map, PortIo& port, NodeId id, Slot which,
                                  const Binding* extra);

// A node's value read the way formulas and converters see it: float-valued nodes (Float, float
// registers) by float read, formula nodes as their formula computes them (integer or float),
// everything else by integer read.
GenicamResult<Value> guarded_value(Genicam& map, PortIo& port, NodeId t) {
    const Node& n = map.at(t).node;
    if (std::holds_alternative<SwissKnifeNode>(n)) {
        return map.guarded(t, [&] { return eval_formula(map, port, t, Slot::Knife, nullptr); });
    }
    if (std::holds_alternative<ConverterNode>(n)) {
        return map.guarded(t, [&] { return eval_converter(map, port, t); });
    }
    if (is_float_valued(n)) {
        const double f = CVK_TRY(guarded_float(map, port, t));
        return Value::from_float(f);
    }
    const int64_t i = CVK_TRY(guarded_int(map, port, t));
    return Value::from_int(i);
}

FormulaSlot& formula_slot(Node& n, Slot which) {
    if (auto* k = std::get_if<SwissKnifeNode>(&n)) {
        return k->formula;
    }
    auto& c = std::get<ConverterNode>(n);
    return which == Slot::To ? c.formula_to : c.formula_from;
}

const std::vector<Variable>& variables_of(const Node& n) {
    if (const auto* k = std::get_if<SwissKnifeNode>(&n)) {
        return k->variables;
    }
    return std::get<ConverterNode>(n).variables;
}

const std::vector<FormulaLocal>& locals_of(const Node& n) {
    if (const auto* k = std::get_if<SwissKnifeNode>(&n)) {
        return k->locals;
    }
    return std::get<ConverterNode>(n).locals;
}
std::vector<FormulaLocal>& locals_of(Node& n) {
    return const_cast<std::vector<FormulaLocal>&>(locals_of(static_cast<const Node&>(n)));
}

bool integer_formulas(const Node& n) {
    if (const auto* k = std::get_if<SwissKnifeNode>(&n)) {
        return k->integer;
    }
    return std::get<ConverterNode>(n).integer;
}

// The node a formula variable names: its pVariable pair first, else any node of that name.
GenicamResult<NodeId> variable_target(const Genicam& map, NodeId id, const std::string& var) {
    const auto& vars = variables_of(map.at(id).node);
    const auto it =
        std::find_if(vars.begin(), vars.end(), [&](const Variable& v) { return v.name == var; });
    if (it != vars.end()) {
        if (!it->link.is_resolved()) {
            return Err{dangling(it->link)};
        }
        return it->link.id();
    }
    if (auto found = map.find(var)) {
        return *found;
    }
    return Err{GenicamError::formula(map.name(id), fmt::format("unbound variable '{}'", var))};
}

// What a formula of node `id` can see: the converter's own binding and the node's locals declared
// before `visible` (an Expression sees only the Constants and Expressions above it, so locals
// cannot form a cycle).
struct Scope {
    NodeId id;
    const Binding* extra;
    size_t visible;
};

// Compiles a formula of node `id` with the node's arithmetic and the names it binds.
Result<Expr, std::string> compile(const Genicam& map, NodeId id, std::string_view source,
                                  const Binding* extra) {
    const Node& n = map.at(id).node;
    std::vector<std::string_view> bound;
    for (const auto& v : variables_of(n)) {
        bound.push_back(v.name);
    }
    for (const auto& l : locals_of(n)) {
        bound.push_back(l.name);
    }
    if (extra != nullptr) {
        bound.push_back(extra->name);
    }
    return Expr::parse(source, ParseOptions{!integer_formulas(n), bound});
}

GenicamResult<Value> eval_in_scope(Genicam& map, PortIo& port, const Scope& scope,
                                   const Expr& expr);

// Local `index` of the scope's node, compiled on first use and kept after a success.
GenicamResult<Value> eval_local(Genicam& map, PortIo& port, const Scope& scope, size_t index) {
    const auto slot = [&]() -> FormulaSlot& {
        return locals_of(map.at(scope.id).node)[index].formula;
    };
    std::optional<Expr> fresh;
    if (!slot().compiled) {
        auto parsed = compile(map, scope.id, slot().source, scope.extra);
        if (!parsed.ok()) {
            return Err{GenicamError::formula(map.name(scope.id), std::move(parsed).error())};
        }
        fresh = std::move(parsed).value();
    }
    const Expr expr = fresh ? *fresh : *slot().compiled;
    const Value v = CVK_TRY(eval_in_scope(map, port, Scope{scope.id, scope.extra, index}, expr));
    if (fresh) {
        slot().compiled = std::move(*fresh);
    }
    return v;
}

// One name of a formula: the converter's binding, a visible local, a variable or any node.
GenicamResult<Value> bind(Genicam& map, PortIo& port, const Scope& scope, const std::string& var) {
    if (scope.extra != nullptr && var == scope.extra->name) {
        return scope.extra->value;
    }
    const auto& locals = locals_of(map.at(scope.id).node);
    for (size_t j = scope.visible; j-- > 0;) {
        if (locals[j].name == var) {
            return eval_local(map, port, scope, j);
        }
    }
    const NodeId target = CVK_TRY(variable_target(map, scope.id, var));
    return guarded_value(map, port, target);
}

// Evaluates with every variable read first (both branches of a conditional see their values).
GenicamResult<Value> eval_in_scope(Genicam& map, PortIo& port, const Scope& scope,
                                   const Expr& expr) {
    const size_t n = expr.names().size();
    std::array<Value, 8> small{};
    std::vector<Value> large;
    std::span<Value> values(small.data(), std::min(n, small.size()));
    if (n > small.size()) {
        large.resize(n);
        values = large;
    }
    for (size_t i = 0; i < n; ++i) {
        values[i] = CVK_TRY(bind(map, port, scope, expr.names()[i]));
    }
    auto result = expr.eval(values);
    if (!result.ok()) {
        return Err{GenicamError::formula(map.name(scope.id), std::move(result).error())};
    }
    return *result;
}

// Compiles the slot on first use and evaluates it. The compiled program is stored only after a
// successful evaluation. While the variables are read, a program already in the slot stays where
// it is: nested steps only ever fill empty slots, never replace or clear one.
GenicamResult<Value> eval_formula(Genicam& map, PortIo& port, NodeId id, Slot which,
                                  const Binding* extra) {
    std::optional<Expr> fresh;
    if (!formula_slot(map.at(id).node, which).compiled) {
        auto parsed = compile(map, id, formula_slot(map.at(id).node, which).source, extra);
        if (!parsed.ok()) {
            return Err{GenicamError::formula(map.name(id), std::move(parsed).error())};
        }
        fresh = std::move(parsed).value();
    }
    const auto expr = [&]() -> const Expr& {
        return fresh ? *fresh : *formula_slot(map.at(id).node, which).compiled;
    };
    const Scope scope{id, extra, locals_of(map.at(id).node).size()};
    const Value result = CVK_TRY(eval_in_scope(map, port, scope, expr()));
    if (fresh) {
        formula_slot(map.at(id).node, which).compiled = std::move(*fresh);
    }
    return result;
}

// The read side of a converter: its raw input bound to "TO" in formula_from.
GenicamResult<Value> eval_converter(Genicam& map, PortIo& port, NodeId id) {
    const ValueRef& input = node_as<ConverterNode>(map, id)->value;
    Value raw;
    if (input.is_node()) {
        if (!input.link().is_resolved()) {
            return Err{dangling(input.link())};
        }
        raw = CVK_TRY(guarded_value(map, port, input.link().id()));
    } else {
        raw = Value::from_int(CVK_TRY(ref_int(map, port, input)));
    }
    const Binding to{"TO", raw};
    return eval_formula(map, port, id, Slot::From, &to);
}

// The write side of a converter: formula_to's result goes into its input node.
Status<GenicamError> converter_write(Genicam& map, PortIo& port, NodeId id, Value written) {
    const Binding from{"FROM", written};
    const Value out = CVK_TRY(eval_formula(map, port, id, Slot::To, &from));
    const ValueRef& input = node_as<ConverterNode>(map, id)->value;
    if (!input.is_node()) {
        return Err{not_accessible(map, id)};
    }
    if (!input.link().is_resolved()) {
        return Err{dangling(input.link())};
    }
    const NodeId t = input.link().id();
    if (is_float_valued(map.at(t).node)) {
        return guarded_set_float(map, port, t, out.as_f64());
    }
    return guarded_set_int(map, port, t, out.as_i64());
}

// --- writing through a node's own value reference ---

ValueRef* own_value(Node& n) {
    if (auto* x = std::get_if<IntegerNode>(&n)) {
        return &x->value;
    }
    if (auto* x = std::get_if<BooleanNode>(&n)) {
        return &x->value;
    }
    if (auto* x = std::get_if<EnumerationNode>(&n)) {
        return &x->value;
    }
    if (auto* x = std::get_if<CommandNode>(&n)) {
        return &x->value;
    }
    return nullptr;
}

// Integer, Boolean, Enumeration, Command: a constant is replaced in memory, a link is written
// through, anything else cannot be written.
// The value reference an indexed value selects: the entry whose index equals the index node's
// value, else the default (None when there is neither).
GenicamResult<ValueRef> indexed_ref(Genicam& map, PortIo& port, const IndexedValue& ix) {
    const int64_t at = CVK_TRY(ref_int(map, port, ix.index));
    for (const auto& [index, ref] : ix.entries) {
        if (index == at) {
            return ref;
        }
    }
    return ix.fallback;
}

// The value reference an Integer or Float reads and writes: its own, or the indexed one.
template <class N>
GenicamResult<ValueRef> value_of(Genicam& map, PortIo& port, const N& node) {
    if (!node.value.is_none() || !node.indexed) {
        return node.value;
    }
    const IndexedValue ix = *node.indexed;
    return indexed_ref(map, port, ix);
}

// Nodes that hold an integer and have no float read of their own.
bool reads_as_integer(const Node& n) {
    if (const auto* reg = std::get_if<RegisterNode>(&n)) {
        return std::holds_alternative<IntKind>(reg->kind);
    }
    return std::holds_alternative<BooleanNode>(n) || std::holds_alternative<EnumerationNode>(n);
}

// A write against the node's ImposedAccessMode (the description narrows the access of a node
// whose register would allow more); reads check `read` instead.
bool imposed_forbids(const Genicam& map, NodeId id, bool read) {
    const auto& imposed = map.at(id).meta.imposed;
    return imposed && *imposed == (read ? AccessMode::WO : AccessMode::RO);
}

// Writes into the node an indexed value selects (constants there are not writable).
template <class N, class F>
Status<GenicamError> set_indexed(Genicam& map, PortIo& port, NodeId id, const N& node, F&& set) {
    const IndexedValue ix = *node.indexed;
    const ValueRef ref = CVK_TRY(indexed_ref(map, port, ix));
    if (!ref.is_node()) {
        return Err{not_accessible(map, id)};
    }
    if (!ref.link().is_resolved()) {
        return Err{dangling(ref.link())};
    }
    return set(ref.link().id());
}

Status<GenicamError> set_ref_int(Genicam& map, PortIo& port, NodeId id, int64_t v) {
    if (const auto* i = node_as<IntegerNode>(map, id); i && i->value.is_none() && i->indexed) {
        return set_indexed(map, port, id, *i,
                           [&](NodeId t) { return guarded_set_int(map, port, t, v); });
    }
    ValueRef* ref = own_value(map.at(id).node);
    if (ref == nullptr) {
        return {};
    }
    if (ref->is_int()) {
        *ref = ValueRef::integer(v);
        return {};
    }
    if (ref->is_node()) {
        if (!ref->link().is_resolved()) {
            return Err{dangling(ref->link())};
        }
        return guarded_set_int(map, port, ref->link().id(), v);
    }
    return Err{not_accessible(map, id)};
}

Status<GenicamError> set_float_node(Genicam& map, PortIo& port, NodeId id, double v) {
    if (const auto* f = node_as<FloatNode>(map, id); f->value.is_none() && f->indexed) {
        return set_indexed(map, port, id, *f,
                           [&](NodeId t) { return guarded_set_float(map, port, t, v); });
    }
    ValueRef& ref = node_as<FloatNode>(map, id)->value;
    if (ref.is_float()) {
        ref = ValueRef::real(v);
        return {};
    }
    if (ref.is_node()) {
        if (!ref.link().is_resolved()) {
            return Err{dangling(ref.link())};
        }
        return guarded_set_float(map, port, ref.link().id(), v);
    }
    return Err{not_accessible(map, id)};
}

const EnumEntry* entry_by_value(const EnumerationNode& e, int64_t v) {
    const auto it = std::find_if(e.entries.begin(), e.entries.end(),
                                 [&](const EnumEntry& x) { return x.value == v; });
    return it == e.entries.end() ? nullptr : &*it;
}

}  // namespace

// --- value references ---

GenicamResult<int64_t> ref_int(Genicam& map, PortIo& port, const ValueRef& ref) {
    switch (ref.tag()) {
        case ValueRef::Tag::Int:
            return ref.int_value();
        case ValueRef::Tag::Float:
            return round_saturate(ref.float_value());
        case ValueRef::Tag::Node:
            if (!ref.link().is_resolved()) {
                return Err{dangling(ref.link())};
            }
            // A reference may cross between integer and float nodes (an Integer over a FloatReg):
            // the target is read the way it holds its value and converted.
            if (is_float_valued(map.at(ref.link().id()).node)) {
                const double f = CVK_TRY(guarded_float(map, port, ref.link().id()));
                return round_saturate(f);
            }
            return guarded_int(map, port, ref.link().id());
        case ValueRef::Tag::None:
        case ValueRef::Tag::Str:
            break;
    }
    return Err{GenicamError::unsupported_access(kValueReferenceName)};
}

GenicamResult<double> ref_float(Genicam& map, PortIo& port, const ValueRef& ref) {
    switch (ref.tag()) {
        case ValueRef::Tag::Int:
            return static_cast<double>(ref.int_value());
        case ValueRef::Tag::Float:
            return ref.float_value();
        case ValueRef::Tag::Node:
            if (!ref.link().is_resolved()) {
                return Err{dangling(ref.link())};
            }
            // A Float over an integer register, Integer, Boolean or Enumeration reads its integer.
            if (reads_as_integer(map.at(ref.link().id()).node)) {
                const int64_t i = CVK_TRY(guarded_int(map, port, ref.link().id()));
                return static_cast<double>(i);
            }
            return guarded_float(map, port, ref.link().id());
        case ValueRef::Tag::None:
        case ValueRef::Tag::Str:
            break;
    }
    return Err{GenicamError::unsupported_access(kValueReferenceName)};
}

// --- integer and float ---

GenicamResult<int64_t> int_value_inner(Genicam& map, PortIo& port, NodeId id) {
    if (imposed_forbids(map, id, true)) {
        return Err{not_accessible(map, id)};
    }
    Node& n = map.at(id).node;
    switch (kind_of(n)) {
        case NodeKind::Integer: {
            const ValueRef v = CVK_TRY(value_of(map, port, std::get<IntegerNode>(n)));
            return ref_int(map, port, v);
        }
        case NodeKind::Boolean:
            return ref_int(map, port, std::get<BooleanNode>(n).value);
        case NodeKind::Enumeration:
            return ref_int(map, port, std::get<EnumerationNode>(n).value);
        case NodeKind::Float: {
            const double f = CVK_TRY(float_value_inner(map, port, id));
            return round_saturate(f);
        }
        case NodeKind::Register:
            return read_int_register(map, port, id);
        case NodeKind::Converter: {
            const Value v = CVK_TRY(eval_converter(map, port, id));
            return v.as_i64();
        }
        case NodeKind::SwissKnife: {
            const Value v = CVK_TRY(eval_formula(map, port, id, Slot::Knife, nullptr));
            return v.as_i64();
        }
        default:
            return Err{unsupported(map, id)};
    }
}

GenicamResult<double> float_value_inner(Genicam& map, PortIo& port, NodeId id) {
    if (imposed_forbids(map, id, true)) {
        return Err{not_accessible(map, id)};
    }
    Node& n = map.at(id).node;
    switch (kind_of(n)) {
        case NodeKind::Integer: {
            const int64_t i = CVK_TRY(int_value_inner(map, port, id));
            return static_cast<double>(i);
        }
        case NodeKind::Float: {
            const ValueRef v = CVK_TRY(value_of(map, port, std::get<FloatNode>(n)));
            return ref_float(map, port, v);
        }
        case NodeKind::Register:
            return read_float_register(map, port, id);
        case NodeKind::Converter: {
            const Value v = CVK_TRY(eval_converter(map, port, id));
            return v.as_f64();
        }
        case NodeKind::SwissKnife: {
            const Value v = CVK_TRY(eval_formula(map, port, id, Slot::Knife, nullptr));
            return v.as_f64();
        }
        default:
            return Err{unsupported(map, id)};
    }
}

Status<GenicamError> set_int_value_inner(Genicam& map, PortIo& port, NodeId id, int64_t value) {
    if (imposed_forbids(map, id, false)) {
        return Err{not_accessible(map, id)};
    }
    switch (kind_of(map.at(id).node)) {
        case NodeKind::Integer:
        case NodeKind::Boolean:
        case NodeKind::Enumeration:
        case NodeKind::Command:
            return set_ref_int(map, port, id, value);
        case NodeKind::Register:
            if (is_float_valued(map.at(id).node)) {
                return write_float_register(map, port, id, static_cast<double>(value));
            }
            return write_int_register(map, port, id, value);
        case NodeKind::Converter:
            return converter_write(map, port, id, Value::from_int(value));
        default:
            return Err{unsupported(map, id)};
    }
}

Status<GenicamError> set_float_value_inner(Genicam& map, PortIo& port, NodeId id, double value) {
    if (imposed_forbids(map, id, false)) {
        return Err{not_accessible(map, id)};
    }
    switch (kind_of(map.at(id).node)) {
        case NodeKind::Integer:
            return set_int_value_inner(map, port, id, round_saturate(value));
        case NodeKind::Float:
            return set_float_node(map, port, id, value);
        case NodeKind::Register:
            if (!is_float_valued(map.at(id).node)) {
                return write_int_register(map, port, id, round_saturate(value));
            }
            return write_float_register(map, port, id, value);
        case NodeKind::Converter:
            return converter_write(map, port, id, Value::from_float(value));
        default:
            return Err{unsupported(map, id)};
    }
}

// --- boolean ---

GenicamResult<bool> bool_value(Genicam& map, PortIo& port, NodeId id) {
    if (const auto* b = node_as<BooleanNode>(map, id)) {
        const int64_t on = b->on_value;
        const int64_t v = CVK_TRY(ref_int(map, port, b->value));
        return v == on;
    }
    const int64_t v = CVK_TRY(guarded_int(map, port, id));
    return v != 0;
}

Status<GenicamError> set_bool_value(Genicam& map, PortIo& port, NodeId id, bool value) {
    int64_t raw = value ? 1 : 0;
    if (const auto* b = node_as<BooleanNode>(map, id)) {
        raw = value ? b->on_value : b->off_value;
    }
    return guarded_set_int(map, port, id, raw);
}

// --- string ---

GenicamResult<std::string> string_value(Genicam& map, PortIo& port, NodeId id) {
    Node& n = map.at(id).node;
    if (const auto* s = std::get_if<StringNode>(&n)) {
        const ValueRef& v = s->value;
        if (v.is_str()) {
            return v.str();
        }
        if (!v.is_node()) {
            return Err{unsupported(map, id)};
        }
        if (!v.link().is_resolved()) {
            return Err{dangling(v.link())};
        }
        // Guarded, unlike the other String steps would need to be: a String pValue cycle or
        // an absurdly long chain must fail rather than recurse without end.
        const NodeId t = v.link().id();
        return map.guarded(t, [&] { return string_value(map, port, t); });
    }
    if (std::holds_alternative<EnumerationNode>(n)) {
        return enum_value(map, port, id);
    }
    if (std::holds_alternative<RegisterNode>(n)) {
        return read_string_register(map, port, id);
    }
    return Err{unsupported(map, id)};
}

Status<GenicamError> set_string_value(Genicam& map, PortIo& port, NodeId id,
                                      std::string_view text) {
    Node& n = map.at(id).node;
    if (auto* s = std::get_if<StringNode>(&n)) {
        ValueRef& v = s->value;
        if (v.is_str()) {
            v = ValueRef::text(std::string(text));
            return {};
        }
        if (!v.is_node()) {
            return Err{not_accessible(map, id)};
        }
        if (!v.link().is_resolved()) {
            return Err{dangling(v.link())};
        }
        const NodeId t = v.link().id();
        return map.guarded(t, [&] { return set_string_value(map, port, t, text); });
    }
    if (std::holds_alternative<EnumerationNode>(n)) {
        return set_enum_entry(map, port, id, text);
    }
    if (std::holds_alternative<RegisterNode>(n)) {
        return write_string_register(map, port, id, text);
    }
    return Err{unsupported(map, id)};
}

// --- enumeration ---

GenicamResult<std::vector<std::string>> enum_entries(const Genicam& map, NodeId id) {
    const auto* e = node_as<EnumerationNode>(map, id);
    if (e == nullptr) {
        return Err{unsupported(map, id)};
    }
    std::vector<std::string> names;
    names.reserve(e->entries.size());
    for (const auto& entry : e->entries) {
        names.push_back(entry.name);
    }
    return names;
}

GenicamResult<std::string> enum_value(Genicam& map, PortIo& port, NodeId id) {
    if (node_as<EnumerationNode>(map, id) == nullptr) {
        return Err{unsupported(map, id)};
    }
    const int64_t v = CVK_TRY(guarded_int(map, port, id));
    if (const EnumEntry* entry = entry_by_value(*node_as<EnumerationNode>(map, id), v)) {
        return entry->name;
    }
    return Err{GenicamError::no_such_entry(map.name(id), fmt::format("{}", v))};
}

Status<GenicamError> set_enum_entry(Genicam& map, PortIo& port, NodeId id, std::string_view entry) {
    const auto* e = node_as<EnumerationNode>(map, id);
    if (e == nullptr) {
        return Err{unsupported(map, id)};
    }
    const auto it = std::find_if(e->entries.begin(), e->entries.end(),
                                 [&](const EnumEntry& x) { return x.name == entry; });
    if (it == e->entries.end()) {
        return Err{GenicamError::no_such_entry(map.name(id), std::string(entry))};
    }
    return guarded_set_int(map, port, id, it->value);
}

// --- command ---

Status<GenicamError> execute(Genicam& map, PortIo& port, NodeId id) {
    if (node_as<CommandNode>(map, id) == nullptr) {
        return Err{unsupported(map, id)};
    }
    // The command itself is on the evaluation stack while it writes, so a pInvalidator naming
    // the command fires and a command value naming the command is caught as a cycle.
    return map.guarded(id, [&]() -> Status<GenicamError> {
        int64_t v = 1;
        const ValueRef& command_value = node_as<CommandNode>(map, id)->command_value;
        if (!command_value.is_none()) {
            v = CVK_TRY(ref_int(map, port, command_value));
        }
        return set_ref_int(map, port, id, v);
    });
}

// --- bounds, increment, access mode ---

GenicamResult<std::pair<int64_t, int64_t>> int_bounds(Genicam& map, PortIo& port, NodeId id) {
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    if (const auto* i = node_as<IntegerNode>(map, id)) {
        const int64_t lo = i->min.is_none() ? kMin : CVK_TRY(ref_int(map, port, i->min));
        const int64_t hi = i->max.is_none() ? kMax : CVK_TRY(ref_int(map, port, i->max));
        return std::pair{lo, hi};
    }
    const auto* reg = node_as<RegisterNode>(map, id);
    if (reg != nullptr && std::holds_alternative<IntKind>(reg->kind)) {
        return std::pair{kMin, kMax};
    }
    return Err{unsupported(map, id)};
}

GenicamResult<std::pair<double, double>> float_bounds(Genicam& map, PortIo& port, NodeId id) {
    const auto* f = node_as<FloatNode>(map, id);
    if (f == nullptr) {
        return Err{unsupported(map, id)};
    }
    constexpr double kLowest = std::numeric_limits<double>::lowest();
    constexpr double kMax = std::numeric_limits<double>::max();
    const double lo = f->min.is_none() ? kLowest : CVK_TRY(ref_float(map, port, f->min));
    const double hi = f->max.is_none() ? kMax : CVK_TRY(ref_float(map, port, f->max));
    return std::pair{lo, hi};
}

GenicamResult<int64_t> int_increment(Genicam& map, PortIo& port, NodeId id) {
    const auto* i = node_as<IntegerNode>(map, id);
    if (i == nullptr) {
        return Err{unsupported(map, id)};
    }
    if (i->inc.is_none()) {
        return int64_t{1};
    }
    return ref_int(map, port, i->inc);
}

namespace {

// The value reference the access-mode walk follows (Integer, Float, Boolean, Enumeration).
const ValueRef* walked_value(const Node& n) {
    if (const auto* x = std::get_if<IntegerNode>(&n)) {
        return &x->value;
    }
    if (const auto* x = std::get_if<FloatNode>(&n)) {
        return &x->value;
    }
    if (const auto* x = std::get_if<BooleanNode>(&n)) {
        return &x->value;
    }
    if (const auto* x = std::get_if<EnumerationNode>(&n)) {
        return &x->value;
    }
    return nullptr;
}

AccessMode terminal_mode(const Node& n) {
    if (const ValueRef* v = walked_value(n)) {
        return v->is_int() || v->is_float() ? AccessMode::RW : AccessMode::RO;
    }
    if (std::holds_alternative<CommandNode>(n)) {
        return AccessMode::WO;
    }
    if (const auto* reg = std::get_if<RegisterNode>(&n)) {
        return reg->common.access;
    }
    return AccessMode::RO;
}

}  // namespace

GenicamResult<AccessMode> access_mode(Genicam& map, NodeId id) {
    // The walk enters each node under the re-entry guard, so a cycle of value links fails with
    // CircularReference instead of looping, and an absurd chain fails at the depth limit.
    size_t entered = 0;
    NodeId cur = id;
    for (;;) {
        if (auto s = map.enter(cur); !s.ok()) {
            return Err{std::move(s).error()};  // enter emptied the stack
        }
        ++entered;
        const ValueRef* v = walked_value(map.at(cur).node);
        if (v == nullptr || !v->is_node() || !v->link().is_resolved()) {
            break;
        }
        cur = v->link().id();
    }
    AccessMode mode = terminal_mode(map.at(cur).node);
    // Every node on the way may narrow the access (ImposedAccessMode); an imposed mode that
    // contradicts the register's (WO over RO, say) leaves nothing usable, reported as RO.
    const auto stack = map.stack();
    for (size_t i = stack.size() - entered; i < stack.size(); ++i) {
        const auto& imposed = map.at(stack[i]).meta.imposed;
        if (imposed && *imposed != AccessMode::RW && *imposed != mode) {
            mode = mode == AccessMode::RW ? *imposed : AccessMode::RO;
        }
    }
    for (; entered > 0; --entered) {
        map.leave();
    }
    return mode;
}

// --- feature operations by name ---

namespace {

// A refusal of chunk or event data names the feature the caller asked for, not the register
// at the end of its chain the refusal came from.
template <class R>
R as_named(std::string_view name, R result) {
    if (!result.ok() && result.error().kind() == GenicamError::Kind::PortData) {
        return Err{GenicamError::port_data(std::string(name), result.error().detail())};
    }
    return result;
}

}  // namespace

GenicamResult<int64_t> get_integer(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, map.guarded(id, [&] { return int_value_inner(map, port, id); }));
}

Status<GenicamError> set_integer(Genicam& map, PortIo& port, std::string_view name, int64_t value) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name,
                    map.guarded(id, [&] { return set_int_value_inner(map, port, id, value); }));
}

GenicamResult<double> get_float(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, map.guarded(id, [&] { return float_value_inner(map, port, id); }));
}

Status<GenicamError> set_float(Genicam& map, PortIo& port, std::string_view name, double value) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name,
                    map.guarded(id, [&] { return set_float_value_inner(map, port, id, value); }));
}

GenicamResult<bool> get_boolean(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, bool_value(map, port, id));
}

Status<GenicamError> set_boolean(Genicam& map, PortIo& port, std::string_view name, bool value) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, set_bool_value(map, port, id, value));
}

GenicamResult<std::string> get_string(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, string_value(map, port, id));
}

Status<GenicamError> set_string(Genicam& map, PortIo& port, std::string_view name,
                                std::string_view value) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, set_string_value(map, port, id, value));
}

GenicamResult<std::string> get_enum(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, enum_value(map, port, id));
}

Status<GenicamError> set_enum(Genicam& map, PortIo& port, std::string_view name,
                              std::string_view entry) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, set_enum_entry(map, port, id, entry));
}

GenicamResult<std::vector<std::string>> enum_entries(const Genicam& map, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return enum_entries(map, id);
}

Status<GenicamError> execute(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, execute(map, port, id));
}

GenicamResult<std::pair<int64_t, int64_t>> integer_bounds(Genicam& map, PortIo& port,
                                                          std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, int_bounds(map, port, id));
}

GenicamResult<std::pair<double, double>> float_bounds(Genicam& map, PortIo& port,
                                                      std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, float_bounds(map, port, id));
}

GenicamResult<int64_t> integer_increment(Genicam& map, PortIo& port, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return as_named(name, int_increment(map, port, id));
}

GenicamResult<AccessMode> access_mode(Genicam& map, std::string_view name) {
    const NodeId id = CVK_TRY(map.lookup(name));
    return access_mode(map, id);
}

bool has_feature(const Genicam& map, std::string_view name) {
    return map.find(name).has_value();
}

std::vector<std::string> feature_names(const Genicam& map) {
    return map.node_names();
}

void invalidate_caches(Genicam& map) {
    map.drop_all_caches();
}

}  // namespace corvisk::genicam
