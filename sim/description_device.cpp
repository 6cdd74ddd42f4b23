// Loading, scanning and serving a camera's own GenICam description.
#include "description_device.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "genicam/evaluator.hpp"
#include "genicam/zip.hpp"
#include "gvsp_packets.hpp"

namespace corvisk::sim {

namespace {

// Room kept free around the served document and between it and any register.
constexpr uint64_t kGuard = 0x10000;
constexpr uint64_t kPlacementAlign = 0x100000;
constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
// How far an indexed register is assumed to reach: this many selector steps of its offset.
constexpr uint64_t kIndexSteps = 256;
constexpr uint64_t kMaxIndexReach = 16u << 20;
constexpr int kMaxChain = 16;  // pValue hops followed from a feature to its register
// Formula nesting followed for a constant value: each level may bind several variables, so a
// hostile description's work is bounded by this power of their number.
constexpr int kMaxFormulaDepth = 6;
constexpr uint32_t kMaxImageSide = 4096;

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

uint64_t hash_text(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) {
        h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    }
    return h;
}

// ---- XML tree helpers ----------------------------------------------------------------------

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

std::string_view local_name(const xmlNode* n) {
    std::string_view name(reinterpret_cast<const char*>(n->name));
    size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string trimmed(std::string s) {
    const char* ws = " \t\n\r\f\v";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string text_of(const xmlNode* n) {
    xmlChar* content = xmlNodeGetContent(n);
    std::string s = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return trimmed(std::move(s));
}

std::optional<std::string> attribute(const xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    if (v == nullptr) {
        return std::nullopt;
    }
    std::string s = reinterpret_cast<const char*>(v);
    xmlFree(v);
    return s;
}

template <class F>
void for_children(const xmlNode* n, F&& f) {
    for (const xmlNode* c = n->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            f(c);
        }
    }
}

const xmlNode* child(const xmlNode* n, std::string_view name) {
    for (const xmlNode* c = n->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && local_name(c) == name) {
            return c;
        }
    }
    return nullptr;
}

std::optional<std::string> child_text(const xmlNode* n, std::string_view name) {
    const xmlNode* c = child(n, name);
    if (c == nullptr) {
        return std::nullopt;
    }
    std::string t = text_of(c);
    return t.empty() ? std::nullopt : std::optional<std::string>(std::move(t));
}

// "0x..." hexadecimal (bits taken as signed) or signed decimal, as the client reads numbers.
std::optional<int64_t> number(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    uint64_t v = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    auto value = static_cast<int64_t>(v);
    return negative ? -value : value;
}

std::optional<int64_t> child_number(const xmlNode* n, std::string_view name) {
    auto t = child_text(n, name);
    return t ? number(*t) : std::nullopt;
}

bool big_endian_of(const xmlNode* reg) {
    auto e = child_text(reg, "Endianess");
    if (!e) {
        e = child_text(reg, "Endianness");
    }
    return e && *e == "BigEndian";
}

Result<DocPtr, std::string> parse_xml(const std::vector<uint8_t>& text) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    // No entity substitution and no external subset: nothing outside the file is ever read.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                        XML_PARSE_NOCDATA | XML_PARSE_COMPACT;
    DocPtr doc(xmlReadMemory(reinterpret_cast<const char*>(text.data()),
                             static_cast<int>(text.size()), "description.xml", nullptr, options));
    if (doc == nullptr || xmlDocGetRootElement(doc.get()) == nullptr) {
        const xmlError* e = xmlGetLastError();
        return Err{std::string(e && e->message ? trimmed(e->message) : "not well-formed XML")};
    }
    return doc;
}

// ---- The scan ------------------------------------------------------------------------------

// The named elements of a description and its register elements.
class Scan {
  public:
    explicit Scan(const xmlNode* root) { index(root); }

    const xmlNode* find(const std::string& name) const {
        auto it = names_.find(name);
        return it == names_.end() ? nullptr : it->second;
    }
    const std::vector<const xmlNode*>& registers() const { return registers_; }
    const std::vector<const xmlNode*>& elements() const { return elements_; }

    // The register field a feature's value ends in, following pValue links; an error text when
    // it ends anywhere else. `indexed_ok` accepts registers whose only variable address term is
    // a pIndex (their constant address is then the field's address).
    Result<RegisterField, std::string> field(const std::string& name,
                                             bool indexed_ok = false) const;
    // True when the feature's value is a formula of other features (pValue chain included).
    bool computed(const std::string& name) const;
    // The range of addresses a register element reaches, roughly.
    std::pair<uint64_t, uint64_t> reach(const xmlNode* reg) const;
    // The codes of an IntConverter whose formulas use constants, plain registers and formulas
    // of those only.
    Result<ValueCode, std::string> value_code(const xmlNode* converter) const;
    // `element` of `node` (a formula of `input`, when not empty, and of the node's variables).
    Result<ValueCode::Formula, std::string> compile(const xmlNode* node, const char* element,
                                                    std::string_view input, int depth) const;
    std::optional<ValueCode::Formula::Variable> variable(
        bool is_input, const std::pair<bool, std::string>* binding, int depth) const;

  private:
    void index(const xmlNode* n);
    Result<RegisterField, std::string> register_field(const xmlNode* reg, const xmlNode* bits,
                                                      bool indexed_ok) const;
    // The value a feature has whatever the device holds: an Integer's Value (or that of its
    // pValue), or a formula of such values and of its own constants. A selector in an address
    // formula thereby counts at its power-up value, which places the first channel's or entry's
    // registers. Depth-bounded.
    std::optional<int64_t> constant_value(const std::string& name, int depth = 0) const;
    std::optional<int64_t> formula_value(const xmlNode* knife, int depth) const;

    // Formulas a scan evaluates or compiles at most: a hostile description's formulas, each
    // naming many others, cannot make the scan run away.
    mutable int formula_budget_ = 20000;
    std::unordered_map<std::string, const xmlNode*> names_;
    std::vector<const xmlNode*> registers_;
    std::vector<const xmlNode*> elements_;
};

bool is_register(const xmlNode* n) {
    return (child(n, "Length") || child(n, "pLength")) &&
           (child(n, "Address") || child(n, "pAddress") || child(n, "IntSwissKnife") ||
            child(n, "pIndex"));
}

// Nodes are the children of the root and of groups (at any depth), and a StructReg's entries;
// anything deeper (entries, variables, features of a category) is part of its node.
void Scan::index(const xmlNode* n) {
    for_children(n, [this](const xmlNode* c) {
        std::string_view kind = local_name(c);
        if (kind == "Group") {
            index(c);
            return;
        }
        if (auto name = attribute(c, "Name")) {
            names_[*name] = c;
            elements_.push_back(c);
        }
        if (is_register(c)) {
            registers_.push_back(c);
        }
        if (kind == "StructReg") {
            for_children(c, [this](const xmlNode* entry) {
                auto name = attribute(entry, "Name");
                if (name && local_name(entry) == "StructEntry") {
                    names_[*name] = entry;
                    elements_.push_back(entry);
                }
            });
        }
    });
}

std::optional<int64_t> Scan::constant_value(const std::string& name, int depth) const {
    const xmlNode* n = find(name);
    if (n == nullptr || depth > kMaxFormulaDepth) {
        return std::nullopt;
    }
    std::string_view kind = local_name(n);
    if (kind == "Integer") {
        if (auto value = child_number(n, "Value")) {
            return value;
        }
        auto next = child_text(n, "pValue");
        return next ? constant_value(*next, depth + 1) : std::nullopt;
    }
    return kind == "IntSwissKnife" || kind == "SwissKnife" ? formula_value(n, depth) : std::nullopt;
}

// A formula element of `node` parsed with the node's variables and constants bound (and
// `input`, when not empty), with those bindings: name -> (a link to a node?, its text).
struct BoundFormula {
    genicam::Expr expr;
    std::map<std::string, std::pair<bool, std::string>, std::less<>> bound;
};

Result<BoundFormula, std::string> parse_bound(const xmlNode* node, const char* element,
                                              std::string_view input) {
    BoundFormula f;
    for_children(node, [&](const xmlNode* c) {
        std::string_view kind = local_name(c);
        if (auto var = attribute(c, "Name"); var && (kind == "pVariable" || kind == "Constant")) {
            f.bound[*var] = {kind == "pVariable", text_of(c)};
        }
    });
    std::vector<std::string_view> names;
    if (!input.empty()) {
        names.push_back(input);
    }
    for (const auto& entry : f.bound) {
        names.push_back(entry.first);
    }
    genicam::ParseOptions options;
    options.float_arithmetic = local_name(node) == "SwissKnife";
    options.bound = names;
    auto text = child_text(node, element);
    auto expr = text ? genicam::Expr::parse(*text, options) : Err{std::string("missing")};
    if (!expr.ok()) {
        return Err{expr.error()};
    }
    f.expr = std::move(*expr);
    return f;
}

// Only the variables the formula uses are looked up: descriptions bind more than they use.
std::optional<int64_t> Scan::formula_value(const xmlNode* knife, int depth) const {
    if (--formula_budget_ < 0) {
        return std::nullopt;
    }
    auto parsed = parse_bound(knife, "Formula", "");
    if (!parsed.ok()) {
        return std::nullopt;
    }
    const auto& [expr, bound] = *parsed;
    std::vector<genicam::Value> values;
    for (const std::string& name : expr.names()) {
        auto it = bound.find(name);
        if (it == bound.end()) {
            return std::nullopt;
        }
        auto v = it->second.first ? constant_value(it->second.second, depth + 1)
                                  : number(it->second.second);
        if (!v) {
            return std::nullopt;
        }
        values.push_back(genicam::Value::from_int(*v));
    }
    auto result = expr.eval(values);
    return result.ok() ? std::optional<int64_t>(result->as_i64()) : std::nullopt;
}

std::pair<uint64_t, uint64_t> Scan::reach(const xmlNode* reg) const {
    uint64_t address = 0;
    uint64_t extent = 0;
    for_children(reg, [&](const xmlNode* c) {
        std::string_view kind = local_name(c);
        if (kind == "Address") {
            address += static_cast<uint64_t>(number(text_of(c)).value_or(0));
        } else if (kind == "pAddress") {
            address += static_cast<uint64_t>(constant_value(text_of(c)).value_or(0));
        } else if (kind == "IntSwissKnife") {
            address += static_cast<uint64_t>(formula_value(c, 0).value_or(0));
        } else if (kind == "pIndex") {
            auto offset = attribute(c, "Offset");
            uint64_t step = offset ? static_cast<uint64_t>(number(*offset).value_or(4)) : 4;
            extent += std::min(step * kIndexSteps, kMaxIndexReach);
        }
    });
    auto length = child_number(reg, "Length");
    uint64_t len = length && *length > 0 ? static_cast<uint64_t>(*length) : 256;
    address &= kAddressSpace - 1;  // a GigE Vision device has a 32-bit address space
    return {address, std::min(address + std::min(len, kAddressSpace) + extent, kAddressSpace)};
}

Result<RegisterField, std::string> Scan::field(const std::string& name, bool indexed_ok) const {
    std::string at = name;
    for (int hop = 0; hop < kMaxChain; ++hop) {
        const xmlNode* n = find(at);
        if (n == nullptr) {
            return Err{fmt::format("{}: no such node", at)};
        }
        std::string_view kind = local_name(n);
        if (kind == "IntReg" || kind == "MaskedIntReg") {
            return register_field(n, n, indexed_ok);
        }
        if (kind == "StructEntry" && n->parent && n->parent->type == XML_ELEMENT_NODE) {
            return register_field(n->parent, n, indexed_ok);
        }
        auto next = child_text(n, "pValue");
        if (!next) {
            return Err{fmt::format("{}: a {} without a register", at, kind)};
        }
        at = *next;
    }
    return Err{fmt::format("{}: pValue chain too long", name)};
}

bool Scan::computed(const std::string& name) const {
    std::string at = name;
    for (int hop = 0; hop < kMaxChain; ++hop) {
        const xmlNode* n = find(at);
        if (n == nullptr) {
            return false;
        }
        std::string_view kind = local_name(n);
        if (kind == "SwissKnife" || kind == "IntSwissKnife" || kind == "Converter" ||
            kind == "IntConverter") {
            return true;
        }
        auto next = child_text(n, "pValue");
        if (!next) {
            return false;
        }
        at = *next;
    }
    return false;
}

Result<ValueCode::Formula, std::string> Scan::compile(const xmlNode* node, const char* element,
                                                      std::string_view input, int depth) const {
    const std::string name = attribute(node, "Name").value_or("?");
    if (--formula_budget_ < 0) {
        return Err{fmt::format("{}: too many formulas to follow", name)};
    }
    auto parsed = parse_bound(node, element, input);
    if (!parsed.ok()) {
        return Err{fmt::format("{}: {} {}", name, element, parsed.error())};
    }
    auto& bound = parsed->bound;
    ValueCode::Formula out;
    out.expr = std::move(parsed->expr);
    for (const std::string& var : out.expr.names()) {
        auto it = bound.find(var);
        auto v = variable(var == input, it == bound.end() ? nullptr : &it->second, depth);
        if (!v) {
            return Err{fmt::format("{}: converted through {}", name,
                                   it == bound.end() ? var : it->second.second)};
        }
        out.variables.push_back(std::move(*v));
    }
    return out;
}

// What one formula variable reads: the converted value, a constant, a plain register or a
// formula of those; nullopt for anything else.
std::optional<ValueCode::Formula::Variable> Scan::variable(
    bool is_input, const std::pair<bool, std::string>* binding, int depth) const {
    ValueCode::Formula::Variable v;
    v.is_input = is_input;
    if (is_input) {
        return v;
    }
    if (binding == nullptr) {
        return std::nullopt;
    }
    const auto& [link, target] = *binding;
    v.constant = link ? constant_value(target, depth) : number(target);
    if (v.constant || !link) {
        return v.constant ? std::optional(v) : std::nullopt;
    }
    if (auto f = field(target); f.ok() && !computed(target)) {
        v.field = *f;
        return v;
    }
    const xmlNode* knife = find(target);
    if (knife && local_name(knife) == "IntSwissKnife" && depth < kMaxFormulaDepth) {
        if (auto nested = compile(knife, "Formula", "", depth + 1); nested.ok()) {
            v.nested = std::make_shared<const ValueCode::Formula>(std::move(*nested));
            return v;
        }
    }
    return std::nullopt;
}

Result<ValueCode, std::string> Scan::value_code(const xmlNode* converter) const {
    ValueCode code;
    code.to = CVK_TRY(compile(converter, "FormulaTo", "FROM", 0));
    code.from = CVK_TRY(compile(converter, "FormulaFrom", "TO", 0));
    return code;
}

Result<RegisterField, std::string> Scan::register_field(const xmlNode* reg, const xmlNode* bits,
                                                        bool indexed_ok) const {
    std::string name = attribute(bits, "Name").value_or("?");
    RegisterField f;
    uint64_t address = 0;
    std::string bad;
    for_children(reg, [&](const xmlNode* c) {
        std::string_view kind = local_name(c);
        std::optional<int64_t> term;
        if (kind == "Address") {
            address += static_cast<uint64_t>(number(text_of(c)).value_or(0));
        } else if (kind == "pAddress" && (term = constant_value(text_of(c)))) {
            address += static_cast<uint64_t>(*term);
        } else if (kind == "IntSwissKnife" && (term = formula_value(c, 0))) {
            address += static_cast<uint64_t>(*term);
        } else if (kind == "pAddress" || kind == "IntSwissKnife" || kind == "pLength" ||
                   (kind == "pIndex" && !indexed_ok)) {
            bad = kind;
        }
    });
    if (!bad.empty()) {
        return Err{fmt::format("{}: computed through {}", name, bad)};
    }
    auto length =
        child_text(reg, "Length") ? child_number(reg, "Length") : std::optional<int64_t>(4);
    if (!length || *length < 1 || *length > 8) {
        return Err{fmt::format("{}: not a 1 to 8 byte register", name)};
    }
    f.address = static_cast<uint32_t>(address);
    f.length = static_cast<uint32_t>(*length);
    f.big_endian = big_endian_of(bits == reg || child(bits, "Endianess") == nullptr ? reg : bits);
    uint32_t w = 8 * f.length;
    auto bit = child_number(bits, "Bit");
    auto lsb = child_number(bits, "LSB") ? child_number(bits, "LSB") : bit;
    auto msb = child_number(bits, "MSB") ? child_number(bits, "MSB") : bit;
    uint32_t l = static_cast<uint32_t>(lsb.value_or(0)), m = static_cast<uint32_t>(msb.value_or(0));
    f.low = lsb ? l : 0;
    f.high = msb ? m : (lsb ? l : w - 1);
    if (f.big_endian && (lsb || msb)) {
        f.low = w - 1 - (lsb ? l : m);
        f.high = w - 1 - (msb ? m : l);
    }
    if (f.high >= w || f.high < f.low) {
        return Err{fmt::format("{}: bit range outside the register", name)};
    }
    return f;
}

std::vector<std::pair<std::string, int64_t>> entries_of(const xmlNode* n) {
    std::vector<std::pair<std::string, int64_t>> out;
    for_children(n, [&](const xmlNode* c) {
        auto name = attribute(c, "Name");
        auto value = local_name(c) == "EnumEntry" ? child_number(c, "Value") : std::nullopt;
        if (name && value) {
            out.emplace_back(*name, *value);
        }
    });
    return out;
}

// ---- Placement -----------------------------------------------------------------------------

std::vector<std::pair<uint64_t, uint64_t>> merged(std::vector<std::pair<uint64_t, uint64_t>> v) {
    std::sort(v.begin(), v.end());
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& r : v) {
        if (!out.empty() && r.first <= out.back().second) {
            out.back().second = std::max(out.back().second, r.second);
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// The lowest aligned address from 1 MiB up where `size` bytes and their guard touch no range.
std::optional<uint32_t> place(const std::vector<std::pair<uint64_t, uint64_t>>& used,
                              uint64_t size) {
    uint64_t base = kPlacementAlign;
    for (const auto& r : used) {
        if (base + size + kGuard <= r.first) {
            break;
        }
        if (r.second + kGuard > base) {
            base = (r.second + kGuard + kPlacementAlign - 1) / kPlacementAlign * kPlacementAlign;
        }
    }
    if (base + size + kGuard > kAddressSpace) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(base);
}

// ---- Stream features -----------------------------------------------------------------------

Result<RegisterField, std::string> command_field(const Scan& scan, const std::string& name,
                                                 int64_t& value) {
    const xmlNode* n = scan.find(name);
    if (n == nullptr || local_name(n) != "Command") {
        return Err{fmt::format("{}: no such command", name)};
    }
    if (child(n, "pCommandValue")) {
        return Err{fmt::format("{}: command value computed", name)};
    }
    value = child_number(n, "CommandValue").value_or(1);
    return scan.field(name);
}

// Whether `f` is a whole big-endian word whose low 16 bits or more hold the value, as a camera's
// own copy of the packet size is.
bool mirrors_packet_size(const RegisterField& f) {
    return f.length == 4 && f.big_endian && f.address % 4 == 0 && f.low == 0 && f.high >= 15;
}

// The converter between a command and its register, when there is one.
const xmlNode* command_converter(const Scan& scan, const std::string& command) {
    const xmlNode* n = scan.find(command);
    const auto value = n ? child_text(n, "pValue") : std::nullopt;
    const xmlNode* v = value ? scan.find(*value) : nullptr;
    return v && local_name(v) == "IntConverter" ? v : nullptr;
}

// How the command's value is coded into its register, when a converter does it.
std::optional<ValueCode> command_code(const Scan& scan, const std::string& command) {
    const xmlNode* converter = command_converter(scan, command);
    if (converter == nullptr) {
        return std::nullopt;
    }
    auto code = scan.value_code(converter);
    return code.ok() ? std::optional<ValueCode>(std::move(*code)) : std::nullopt;
}

// The address formula of the command's register when it reads registers of the device (or the
// acquisition mode's value), so that the register moves as they change; nullopt for a register
// that stays where the scan put it.
std::optional<MovingAddress> moving_address(const Scan& scan, const std::string& command) {
    const xmlNode* n = scan.find(command);
    if (const xmlNode* converter = command_converter(scan, command)) {
        n = converter;
    }
    const auto reg_name = n ? child_text(n, "pValue") : std::nullopt;
    const xmlNode* reg = reg_name ? scan.find(*reg_name) : nullptr;
    const auto knife_name = reg ? child_text(reg, "pAddress") : std::nullopt;
    const xmlNode* knife = knife_name ? scan.find(*knife_name) : nullptr;
    if (knife == nullptr || local_name(knife) != "IntSwissKnife" || child(reg, "pIndex")) {
        return std::nullopt;
    }
    const int64_t offset = child_number(reg, "Address").value_or(0);
    auto formula = scan.compile(knife, "Formula", "", 0);
    if (formula.ok() && std::any_of(formula->variables.begin(), formula->variables.end(),
                                    [](const auto& v) { return v.field || v.nested; })) {
        return MovingAddress{std::move(*formula), offset, false};
    }
    // A formula of the acquisition mode's own value, which lives in the description only.
    const xmlNode* mode = scan.find("AcquisitionMode");
    const auto mode_value = mode ? child_text(mode, "pValue") : std::nullopt;
    std::string input;
    for_children(knife, [&](const xmlNode* c) {
        if (local_name(c) == "pVariable" && mode_value && text_of(c) == *mode_value) {
            input = attribute(c, "Name").value_or("");
        }
    });
    if (input.empty()) {
        return std::nullopt;
    }
    auto by_mode = scan.compile(knife, "Formula", input, 0);
    if (!by_mode.ok()) {
        return std::nullopt;
    }
    return MovingAddress{std::move(*by_mode), offset, true};
}

// The register a formula reads out unchanged (its text is one variable, bound to a plain
// register), if that is all it does.
std::optional<RegisterField> register_passed_on(const xmlNode* knife,
                                                const ValueCode::Formula& formula) {
    const auto& names = formula.expr.names();
    const auto text = child_text(knife, "Formula");
    if (names.size() != 1 || formula.variables.size() != 1 || !text) {
        return std::nullopt;
    }
    if (*text != names.front()) {  // child_text comes trimmed
        return std::nullopt;
    }
    return formula.variables[0].field;
}

std::optional<std::string> check_channel_registers(const Scan& scan, StreamFeatures& s) {
    static const std::pair<const char*, uint32_t> channel_regs[] = {
        {"GevSCPHostPort", 0x0D00}, {"GevSCPSPacketSize", 0x0D04}, {"GevSCDA", 0x0D18}};
    for (const auto& [name, address] : channel_regs) {
        if (scan.find(name) == nullptr) {
            continue;  // the client uses the bootstrap register directly
        }
        auto f = scan.field(name, true);
        if (!f.ok()) {
            return f.error();
        }
        if ((f->address & ~3u) == address) {
            continue;
        }
        // Some cameras describe the packet size at a register of their own that follows the
        // channel's: the simulated camera keeps the two as one.
        if (address == 0x0D04 && mirrors_packet_size(*f)) {
            s.packet_size_mirror = f->address;
            continue;
        }
        return fmt::format("{}: at {:#x}, not the stream channel register", name, f->address);
    }
    return std::nullopt;
}

Result<StreamFeatures, std::string> stream_features(const Scan& scan) {
    StreamFeatures s;
    auto take = [&](const char* name, RegisterField& out) -> std::optional<std::string> {
        auto f = scan.field(name);
        if (!f.ok()) {
            return f.error();
        }
        out = *f;
        return std::nullopt;
    };
    // Many cameras keep PixelFormat as their own colour code, converted right below the
    // feature; the image side's other values must be plain.
    const xmlNode* pf = scan.find("PixelFormat");
    const auto pf_value = pf ? child_text(pf, "pValue") : std::nullopt;
    const xmlNode* converter = pf_value ? scan.find(*pf_value) : nullptr;
    if (converter && local_name(converter) == "IntConverter") {
        auto code = scan.value_code(converter);
        if (!code.ok()) {
            return Err{code.error()};
        }
        s.pixel_format_code = std::move(*code);
    }
    for (auto [name, field] : {std::pair{"Width", &s.width}, std::pair{"Height", &s.height},
                               std::pair{"PixelFormat", &s.pixel_format}}) {
        const bool converted = s.pixel_format_code && field == &s.pixel_format;
        if (scan.computed(converted ? child_text(converter, "pValue").value_or("") : name)) {
            return Err{fmt::format("{}: converted by a formula", name)};
        }
        if (auto e = take(name, *field)) {
            return Err{*e};
        }
    }
    // A PayloadSize the description computes from the image features needs no register; its
    // formula is kept to check that it follows them.
    if (scan.computed("PayloadSize")) {
        const xmlNode* n = scan.find("PayloadSize");
        for (int hop = 0; n && local_name(n) != "IntSwissKnife" && hop < kMaxChain; ++hop) {
            auto next = child_text(n, "pValue");
            n = next ? scan.find(*next) : nullptr;
        }
        if (n != nullptr) {
            auto formula = scan.compile(n, "Formula", "", 0);
            if (!formula.ok()) {
                return Err{formula.error()};
            }
            if (auto reg = register_passed_on(n, *formula)) {
                // The formula only reads a register out (a read-only "bytes per frame" of the
                // camera's own): that register is where the camera keeps PayloadSize.
                s.payload_size = *reg;
            } else {
                s.payload_formula = std::move(*formula);
            }
        }
    } else {
        s.payload_size.emplace();
        if (auto e = take("PayloadSize", *s.payload_size)) {
            return Err{*e};
        }
    }
    auto start = command_field(scan, "AcquisitionStart", s.start_value);
    auto stop = command_field(scan, "AcquisitionStop", s.stop_value);
    if (!start.ok() || !stop.ok()) {
        return Err{!start.ok() ? start.error() : stop.error()};
    }
    s.start = *start;
    s.stop = *stop;
    s.start_at = moving_address(scan, "AcquisitionStart");
    s.stop_at = moving_address(scan, "AcquisitionStop");
    s.start_code = command_code(scan, "AcquisitionStart");
    s.stop_code = command_code(scan, "AcquisitionStop");
    if (auto e = check_channel_registers(scan, s)) {
        return Err{*e};
    }
    for (const auto& [name, value] : entries_of(scan.find("PixelFormat"))) {
        uint32_t bits = (static_cast<uint32_t>(value) >> 16) & 0xFF;
        if (bits > 0 && bits <= 64 && value > 0 && value <= 0xFFFFFFFF) {
            s.pixel_formats.push_back(value);
        }
    }
    if (s.pixel_formats.empty()) {
        return Err{std::string("PixelFormat: no entry the simulated camera can produce")};
    }
    static const std::map<std::string, AcqMode> known = {{"Continuous", AcqMode::Continuous},
                                                         {"SingleFrame", AcqMode::SingleFrame},
                                                         {"MultiFrame", AcqMode::MultiFrame}};
    for (const auto& [name, value] : entries_of(scan.find("AcquisitionMode"))) {
        if (auto it = known.find(name); it != known.end()) {
            s.modes[value] = it->second;
        }
    }
    if (auto mode = scan.field("AcquisitionMode"); mode.ok()) {
        s.acquisition_mode = *mode;
    }
    return s;
}

// ---- File access features ------------------------------------------------------------------

// The transfer buffer: a Register at a constant address with a constant length.
std::optional<std::string> file_buffer(const Scan& scan, FileFeatures& f) {
    const xmlNode* n = scan.find("FileAccessBuffer");
    if (n == nullptr || local_name(n) != "Register") {
        return std::string("FileAccessBuffer: not a register");
    }
    auto address = child_number(n, "Address");
    auto length = child_number(n, "Length");
    if (!address || !length || child(n, "pAddress") || child(n, "pIndex") ||
        child(n, "IntSwissKnife") || *length < 4 || *length > 0x10000 || *address % 4 != 0) {
        return std::string("FileAccessBuffer: not at a constant, aligned place");
    }
    f.buffer = static_cast<uint32_t>(*address);
    f.buffer_length = static_cast<uint32_t>(*length);
    return std::nullopt;
}

// Enumeration entry values by the names the file store knows.
template <class T>
std::map<int64_t, T> entry_values(const Scan& scan, const char* feature,
                                  const std::map<std::string, T>& known) {
    std::map<int64_t, T> out;
    for (const auto& [name, value] : entries_of(scan.find(feature))) {
        if (auto it = known.find(name); it != known.end()) {
            out[value] = it->second;
        }
    }
    return out;
}

std::optional<std::string> file_enumerations(const Scan& scan, FileFeatures& f) {
    f.files = entries_of(scan.find("FileSelector"));
    f.operations = entry_values<FileOp>(scan, "FileOperationSelector",
                                        {{"Open", FileOp::Open},
                                         {"Close", FileOp::Close},
                                         {"Read", FileOp::Read},
                                         {"Write", FileOp::Write},
                                         {"Delete", FileOp::Delete}});
    f.modes = entry_values<uint32_t>(
        scan, "FileOpenMode",
        {{"Read", kFileModeRead}, {"Write", kFileModeWrite}, {"ReadWrite", kFileModeReadWrite}});
    for (const auto& [name, value] : entries_of(scan.find("FileOperationStatus"))) {
        if (name == "Success") {
            f.success = value;
        } else if (name == "Failure") {
            f.failure = value;
        }
    }
    if (f.files.empty() || f.operations.empty()) {
        return std::string("FileSelector or FileOperationSelector: no entries");
    }
    return std::nullopt;
}

Result<FileFeatures, std::string> file_features(const Scan& scan) {
    FileFeatures f;
    for (auto [name, field] :
         {std::pair{"FileSelector", &f.selector}, std::pair{"FileOperationSelector", &f.operation},
          std::pair{"FileAccessOffset", &f.offset}, std::pair{"FileAccessLength", &f.length}}) {
        auto r = scan.field(name);
        if (!r.ok()) {
            return Err{r.error()};
        }
        *field = *r;
    }
    auto execute = command_field(scan, "FileOperationExecute", f.execute_value);
    if (!execute.ok()) {
        return Err{execute.error()};
    }
    f.execute = *execute;
    for (auto [name, field] :
         {std::pair{"FileOpenMode", &f.open_mode}, std::pair{"FileOperationStatus", &f.status},
          std::pair{"FileOperationResult", &f.result}, std::pair{"FileSize", &f.size}}) {
        if (auto r = scan.field(name); r.ok()) {
            *field = *r;
        }
    }
    // Without a transfer buffer in plain device memory the files can still be listed, opened,
    // closed and deleted; every Read or Write then ends with Failure.
    if (auto e = file_buffer(scan, f)) {
        f.no_buffer_reason = *e;
    }
    if (auto e = file_enumerations(scan, f)) {
        return Err{*e};
    }
    return f;
}

// What the file access features' predicates and limits read at power-up: unlocked,
// available, implemented, and limits that let a whole buffer move anywhere in a file.
void file_presets(const Scan& scan, const FileFeatures& f, std::vector<FieldPreset>& out) {
    static const char* const features[] = {
        "FileSelector",     "FileOperationSelector", "FileOpenMode",        "FileOperationExecute",
        "FileAccessOffset", "FileAccessLength",      "FileOperationStatus", "FileOperationResult",
        "FileSize",         "FileAccessBuffer"};
    const std::pair<const char*, uint64_t> predicates[] = {
        {"pIsLocked", 0}, {"pIsAvailable", 1}, {"pIsImplemented", 1}, {"pMin", 0}};
    for (const char* name : features) {
        const xmlNode* n = scan.find(name);
        if (n == nullptr) {
            continue;
        }
        for (const auto& [link, value] : predicates) {
            auto target = child_text(n, link);
            if (auto field = target ? scan.field(*target) : Err{std::string()}; field.ok()) {
                out.push_back({*field, value});
            }
        }
        const bool length = std::string_view(name) == "FileAccessLength";
        auto max = child_text(n, "pMax");
        if (auto field = max ? scan.field(*max) : Err{std::string()}; field.ok()) {
            out.push_back({*field, length ? f.buffer_length : 0x7FFFFFFFu});
        }
    }
}

// Enumerations and booleans start at one of their own values, chosen by the seed.
std::vector<FieldPreset> presets(const Scan& scan, uint64_t seed) {
    std::vector<FieldPreset> out;
    for (const xmlNode* n : scan.elements()) {
        std::string_view kind = local_name(n);
        if (kind != "Enumeration" && kind != "Boolean") {
            continue;
        }
        std::string name = attribute(n, "Name").value_or("");
        auto f = scan.field(name);
        if (!f.ok()) {
            continue;
        }
        uint64_t pick = mix(seed ^ hash_text(name));
        if (kind == "Boolean") {
            auto on = child_number(n, "OnValue").value_or(1);
            auto off = child_number(n, "OffValue").value_or(0);
            out.push_back({*f, static_cast<uint64_t>(pick % 2 ? on : off)});
        } else if (auto entries = entries_of(n); !entries.empty()) {
            out.push_back({*f, static_cast<uint64_t>(entries[pick % entries.size()].second)});
        }
    }
    return out;
}

bool is_zip(const std::vector<uint8_t>& file) {
    return file.size() >= 4 && std::memcmp(file.data(), "PK\x03\x04", 4) == 0;
}

std::string url_name(const std::string& path, bool zip) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::replace(name.begin(), name.end(), ';', '_');  // ';' separates the URL's fields
    if (name.empty()) {
        name = "description";
    }
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string ext = zip ? ".zip" : ".xml";
    if (lower.size() < 4 || lower.compare(lower.size() - 4, 4, ext) != 0) {
        name += ext;
    }
    return name;
}

}  // namespace

// A PayloadSize formula may read registers the simulated camera does not keep (a vendor's own
// frame size register): it is tried on two images before the description is streamed from.
bool payload_follows_image(const std::shared_ptr<Description>& d) {
    if (!d->stream || !d->stream->payload_formula) {
        return true;
    }
    const std::pair<uint32_t, uint32_t> sizes[] = {{64, 48}, {100, 60}};
    for (const auto& [width, height] : sizes) {
        SimConfig c;
        c.width = width;
        c.height = height;
        if (!DescribedMemory(d, c).payload_formula_agrees()) {
            return false;
        }
    }
    return true;
}

Result<std::shared_ptr<const Description>, std::string> prepare_description(
    std::vector<uint8_t> file, const std::string& name, uint64_t seed) {
    if (file.size() > kMaxDescriptionFile) {
        return Err{fmt::format("description is larger than {} bytes", kMaxDescriptionFile)};
    }
    auto d = std::make_shared<Description>();
    bool zip = is_zip(file);
    std::vector<uint8_t> xml;
    if (zip) {
        auto inner = genicam::zip::extract_first_file(file);
        if (!inner.ok()) {
            return Err{"archive: " + inner.error()};
        }
        xml = std::move(*inner);
    }
    auto doc = parse_xml(zip ? xml : file);
    if (!doc.ok()) {
        return Err{"XML: " + doc.error()};
    }
    Scan scan(xmlDocGetRootElement(doc->get()));
    std::vector<std::pair<uint64_t, uint64_t>> reach;
    for (const xmlNode* r : scan.registers()) {
        reach.push_back(scan.reach(r));
    }
    d->registers = reach.size();
    d->used = merged(std::move(reach));
    auto base = place(d->used, file.size());
    if (!base) {
        return Err{std::string("no free address range left for the description")};
    }
    d->base = *base;
    d->file_name = url_name(name, zip);
    d->file = std::move(file);
    d->presets = presets(scan, seed);
    auto stream = stream_features(scan);
    if (stream.ok()) {
        d->stream = std::move(*stream);
    } else {
        d->control_only_reason = stream.error();
    }
    if (!payload_follows_image(d)) {
        d->stream.reset();
        d->control_only_reason = "PayloadSize: its formula does not follow the image features";
    }
    if (scan.find("FileSelector") != nullptr) {
        auto files = file_features(scan);
        if (files.ok()) {
            file_presets(scan, *files, d->presets);
            d->files = std::move(*files);
        } else {
            d->no_files_reason = files.error();
        }
    }
    return std::shared_ptr<const Description>(std::move(d));
}

Result<std::shared_ptr<const Description>, std::string> load_description(const std::string& path,
                                                                         uint64_t seed) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Err{fmt::format("cannot open {}: {}", path, std::strerror(errno))};
    }
    in.seekg(0, std::ios::end);
    auto size = static_cast<uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
    if (size > kMaxDescriptionFile) {
        return Err{fmt::format("{} is larger than {} bytes", path, kMaxDescriptionFile)};
    }
    in.seekg(0);
    std::vector<uint8_t> file(size);
    if (!in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(size))) {
        return Err{fmt::format("cannot read {}", path)};
    }
    return prepare_description(std::move(file), path, seed);
}

std::string describe_serving(const Description& d) {
    std::string what =
        fmt::format("description {} ({} bytes) at {:#x}", d.file_name, d.file.size(), d.base);
    if (d.files) {
        what += fmt::format(", {} files", d.files->files.size());
        if (!d.files->no_buffer_reason.empty()) {
            what += " without transfers (" + d.files->no_buffer_reason + ")";
        }
    } else if (!d.no_files_reason.empty()) {
        what += ", no files (" + d.no_files_reason + ")";
    }
    if (d.stream) {
        return what + ", streaming";
    }
    return what + ", control only (" + d.control_only_reason + ")";
}

// ---- DescribedMemory -----------------------------------------------------------------------

DescribedMemory::DescribedMemory(std::shared_ptr<const Description> description,
                                 const SimConfig& config)
    : description_(std::move(description)),
      seed_(config.seed),
      pattern_(config.pattern),
      frame_rate_(config.frame_rate) {
    for (const FieldPreset& p : description_->presets) {
        write_field(p.field, p.value);
    }
    if (const auto& f = description_->files) {
        // Every file starts with a line naming it; all can be written and deleted.
        for (const auto& [name, value] : f->files) {
            const std::string text = fmt::format("{} of a corvisk-sim camera\n", name);
            files_.add(
                {name, {text.begin(), text.end()}, FileAccess::kUserDataSize, false, true, true});
        }
        write_field(f->execute, f->execute_value == 0 ? 1 : 0);
    }
    if (const auto& s = description_->stream) {
        write_field(s->width, config.width);
        write_field(s->height, config.height);
        const auto& pfs = s->pixel_formats;
        bool have = std::find(pfs.begin(), pfs.end(), config.pixel_format) != pfs.end();
        const int64_t format = have ? config.pixel_format : pfs.front();
        const auto code = s->pixel_format_code ? evaluate(s->pixel_format_code->to, format)
                                               : std::optional<int64_t>(format);
        write_field(s->pixel_format, static_cast<uint64_t>(code.value_or(format)));
        if (s->acquisition_mode) {
            for (const auto& [value, mode] : s->modes) {
                if (mode == AcqMode::Continuous) {
                    write_field(*s->acquisition_mode, static_cast<uint64_t>(value));
                }
            }
        }
        write_field(s->start, 0);
        write_field(s->stop, 0);
        refresh_payload_size();
    }
}

uint32_t DescribedMemory::read_word(uint32_t addr) const {
    if (auto it = written_.find(addr); it != written_.end()) {
        return it->second;
    }
    // Small values: enumerations, selectors and flags stay near the values they are made for.
    return static_cast<uint32_t>(mix(seed_ ^ (uint64_t{addr} * 0x9e3779b97f4a7c15ull)) % 4);
}

DescribedMemory::Effect DescribedMemory::write_word(uint32_t addr, uint32_t value) {
    auto it = written_.find(addr);
    if (it == written_.end()) {
        if (written_.size() >= kMaxWrittenWords) {
            return Effect::Refused;
        }
        it = written_.emplace(addr, value).first;
    }
    it->second = value;
    if (const auto& f = description_->files) {
        if (touches(f->execute, addr) &&
            read_field(f->execute) == static_cast<uint64_t>(f->execute_value)) {
            run_file_operation();
        } else if (touches(f->selector, addr)) {
            refresh_file_size();
        }
    }
    const auto& s = description_->stream;
    if (!s) {
        return Effect::None;
    }
    Effect effect = Effect::None;
    std::optional<AcqMode> mode;
    if (command_taken(s->stop, s->stop_at, s->stop_code, s->stop_value, addr, mode)) {
        effect = Effect::Stop;
    }
    if (command_taken(s->start, s->start_at, s->start_code, s->start_value, addr, mode)) {
        effect = Effect::Start;
        started_mode_ = mode;
    }
    if (touches(s->width, addr) || touches(s->height, addr) || touches(s->pixel_format, addr)) {
        refresh_payload_size();
    }
    return effect;
}

// A command register reads 0 again once its command is taken.
bool DescribedMemory::command_taken(const RegisterField& f, const std::optional<MovingAddress>& at,
                                    const std::optional<ValueCode>& code, int64_t value,
                                    uint32_t addr, std::optional<AcqMode>& mode) {
    auto taken = [&](const RegisterField& here) {
        if (!touches(here, addr)) {
            return false;
        }
        const auto raw = static_cast<int64_t>(read_field(here));
        if ((code ? evaluate(code->from, raw) : std::optional<int64_t>(raw)) != value) {
            return false;
        }
        write_field(here, 0);
        return true;
    };
    if (!at || !at->by_mode) {
        return taken(placed(f, at).value_or(f));  // nowhere the device could be: where it was
    }
    for (const auto& [entry, m] : description_->stream->modes) {
        if (auto here = placed(f, at, entry); here && taken(*here)) {
            mode = m;
            return true;
        }
    }
    return false;
}

std::optional<RegisterField> DescribedMemory::placed(const RegisterField& f,
                                                     const std::optional<MovingAddress>& at,
                                                     int64_t mode) const {
    if (!at) {
        return f;
    }
    const auto base = evaluate(at->formula, mode);
    int64_t address = 0;
    if (!base || __builtin_add_overflow(*base, at->offset, &address) || address < 0 ||
        address > int64_t{0xFFFFFFFF} - f.length) {
        return std::nullopt;
    }
    RegisterField now = f;
    now.address = static_cast<uint32_t>(address);
    return now;
}

bool DescribedMemory::touches(const RegisterField& f, uint32_t addr) const {
    return uint64_t{f.address} + f.length > addr && f.address < uint64_t{addr} + 4;
}

uint64_t DescribedMemory::read_field(const RegisterField& f) const {
    uint64_t v = 0;
    for (uint32_t i = 0; i < f.length; ++i) {
        uint32_t a = f.address + i;
        auto byte = static_cast<uint8_t>(read_word(a & ~3u) >> (24 - 8 * (a & 3)));
        uint32_t shift = f.big_endian ? 8 * (f.length - 1 - i) : 8 * i;
        v |= uint64_t{byte} << shift;
    }
    uint32_t n = f.high - f.low + 1;
    uint64_t mask = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    return (v >> f.low) & mask;
}

void DescribedMemory::write_field(const RegisterField& f, uint64_t value) {
    uint32_t n = f.high - f.low + 1;
    uint64_t mask = (n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1) << f.low;
    uint64_t old = 0;
    for (uint32_t i = 0; i < f.length; ++i) {
        uint32_t a = f.address + i;
        auto byte = static_cast<uint8_t>(read_word(a & ~3u) >> (24 - 8 * (a & 3)));
        old |= uint64_t{byte} << (f.big_endian ? 8 * (f.length - 1 - i) : 8 * i);
    }
    uint64_t v = (old & ~mask) | ((value << f.low) & mask);
    for (uint32_t i = 0; i < f.length; ++i) {
        uint32_t a = f.address + i;
        auto byte = static_cast<uint8_t>(v >> (f.big_endian ? 8 * (f.length - 1 - i) : 8 * i));
        uint32_t shift = 24 - 8 * (a & 3);
        uint32_t word = read_word(a & ~3u);
        written_[a & ~3u] = (word & ~(0xFFu << shift)) | (uint32_t{byte} << shift);
    }
}

uint8_t DescribedMemory::read_byte(uint32_t addr) const {
    return static_cast<uint8_t>(read_word(addr & ~3u) >> (24 - 8 * (addr & 3)));
}

void DescribedMemory::write_byte(uint32_t addr, uint8_t value) {
    const uint32_t shift = 24 - 8 * (addr & 3);
    const uint32_t word = read_word(addr & ~3u);
    written_[addr & ~3u] = (word & ~(0xFFu << shift)) | (uint32_t{value} << shift);
}

std::optional<uint32_t> DescribedMemory::selected_file() const {
    const FileFeatures& f = *description_->files;
    const auto value = static_cast<int64_t>(read_field(f.selector));
    for (uint32_t i = 0; i < f.files.size(); ++i) {
        if (f.files[i].second == value) {
            return i;
        }
    }
    return std::nullopt;
}

void DescribedMemory::refresh_file_size() {
    const FileFeatures& f = *description_->files;
    const auto file = selected_file();
    if (f.size && file) {
        write_field(*f.size, files_.file(*file).data.size());
    }
}

void DescribedMemory::run_file_operation() {
    const FileFeatures& f = *description_->files;
    write_field(f.execute, f.execute_value == 0 ? 1 : 0);  // taken: it reads back done
    const auto op = f.operations.find(static_cast<int64_t>(read_field(f.operation)));
    const auto mode =
        f.modes.find(f.open_mode ? static_cast<int64_t>(read_field(*f.open_mode)) : int64_t{-1});
    FileRequest r;
    r.mode = !f.open_mode ? kFileModeReadWrite : mode == f.modes.end() ? ~0u : mode->second;
    r.offset = static_cast<uint32_t>(read_field(f.offset));
    r.length = static_cast<uint32_t>(read_field(f.length));
    std::vector<uint8_t> buffer(f.buffer_length);
    for (uint32_t i = 0; i < f.buffer_length; ++i) {
        buffer[i] = read_byte(f.buffer + i);
    }
    const auto file = selected_file();
    uint32_t result = 0;
    bool ok = false;
    if (op != f.operations.end() && file) {
        r.op = op->second;
        ok = files_.run(*file, r, buffer, result);
    }
    if (ok && r.op == FileOp::Read) {
        for (uint32_t i = 0; i < result; ++i) {
            write_byte(f.buffer + i, buffer[i]);
        }
    }
    if (f.status) {
        write_field(*f.status, static_cast<uint64_t>(ok ? f.success : f.failure));
    }
    if (f.result) {
        write_field(*f.result, ok ? result : 0);
    }
    refresh_file_size();
}

void DescribedMemory::refresh_payload_size() {
    const auto& s = *description_->stream;
    if (s.payload_size) {
        write_field(*s.payload_size, image_bytes(width(), height(), pixel_format()));
    }
}

uint32_t DescribedMemory::width() const {
    return static_cast<uint32_t>(
        std::min<uint64_t>(read_field(description_->stream->width), kMaxImageSide));
}

uint32_t DescribedMemory::height() const {
    return static_cast<uint32_t>(
        std::min<uint64_t>(read_field(description_->stream->height), kMaxImageSide));
}

bool DescribedMemory::payload_formula_agrees() const {
    const auto& s = *description_->stream;
    if (!s.payload_formula) {
        return true;
    }
    auto v = evaluate(*s.payload_formula, 0);
    return v && static_cast<uint64_t>(*v) == image_bytes(width(), height(), pixel_format());
}

std::optional<int64_t> DescribedMemory::evaluate(const ValueCode::Formula& f, int64_t input) const {
    std::vector<genicam::Value> values;
    for (const auto& v : f.variables) {
        std::optional<int64_t> value = input;
        if (v.constant) {
            value = *v.constant;
        } else if (v.field) {
            value = static_cast<int64_t>(read_field(*v.field));
        } else if (v.nested) {
            value = evaluate(*v.nested, 0);
        }
        if (!value) {
            return std::nullopt;
        }
        values.push_back(genicam::Value::from_int(*value));
    }
    auto r = f.expr.eval(values);
    return r.ok() ? std::optional<int64_t>(r->as_i64()) : std::nullopt;
}

uint32_t DescribedMemory::pixel_format() const {
    const auto& s = *description_->stream;
    const auto raw = static_cast<int64_t>(read_field(s.pixel_format));
    auto pf = static_cast<uint32_t>(
        s.pixel_format_code ? evaluate(s.pixel_format_code->from, raw).value_or(0) : raw);
    uint32_t bits = (pf >> 16) & 0xFF;
    return bits > 0 && bits <= 64 ? pf : s.pixel_formats.front();
}

AcqMode DescribedMemory::acquisition_mode() const {
    const auto& s = *description_->stream;
    if (!s.acquisition_mode) {
        return started_mode_.value_or(AcqMode::Continuous);
    }
    auto it = s.modes.find(static_cast<int64_t>(read_field(*s.acquisition_mode)));
    return it == s.modes.end() ? AcqMode::Continuous : it->second;
}

}  // namespace corvisk::sim
