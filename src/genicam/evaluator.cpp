// Formula evaluator: tokenizer, shunting-yard compiler and postfix interpreter.
#include "genicam/evaluator.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "genicam/number.hpp"

namespace corvisk::genicam {

namespace {

// The operator-stack marker for "("; never emitted into the program.
constexpr Op kLParen = static_cast<Op>(0xFFFF);

struct OpInfo {
    uint8_t precedence;
    bool right_assoc;
};

OpInfo op_info(Op op) {
    switch (op) {
        case Op::Colon:
        case Op::Question:
            return {5, true};
        case Op::LogicalOr:
            return {10, false};
        case Op::LogicalAnd:
            return {20, false};
        case Op::BitOr:
            return {40, false};
        case Op::BitXor:
            return {50, false};
        case Op::BitAnd:
            return {60, false};
        case Op::Eq:
        case Op::Ne:
            return {70, false};
        case Op::Le:
        case Op::Ge:
        case Op::Lt:
        case Op::Gt:
            return {80, false};
        case Op::Shr:
        case Op::Shl:
            return {90, false};
        case Op::Sub:
        case Op::Add:
            return {100, false};
        case Op::Rem:
        case Op::Div:
        case Op::Mul:
            return {110, false};
        case Op::Pow:
            return {120, true};
        case Op::Neg:
        case Op::Plus:
        case Op::BitNot:
            return {130, true};
        default:
            return {200, false};  // functions
    }
}

struct FunctionName {
    std::string_view name;
    Op op;
};

constexpr std::array<FunctionName, 17> kFunctions = {{
    {"SIN", Op::Sin},
    {"COS", Op::Cos},
    {"SGN", Op::Sgn},
    {"NEG", Op::FnNeg},
    {"ATAN", Op::Atan},
    {"TAN", Op::Tan},
    {"ABS", Op::Abs},
    {"EXP", Op::Exp},
    {"LN", Op::Ln},
    {"LG", Op::Lg},
    {"SQRT", Op::Sqrt},
    {"TRUNC", Op::Trunc},
    {"ROUND", Op::Round},
    {"FLOOR", Op::Floor},
    {"CEIL", Op::Ceil},
    {"ASIN", Op::Asin},
    {"ACOS", Op::Acos},
}};

struct TwoCharOp {
    char a, b;
    Op op;
};

constexpr std::array<TwoCharOp, 8> kTwoCharOps = {{
    {'|', '|', Op::LogicalOr},
    {'&', '&', Op::LogicalAnd},
    {'<', '>', Op::Ne},
    {'<', '=', Op::Le},
    {'>', '=', Op::Ge},
    {'<', '<', Op::Shl},
    {'>', '>', Op::Shr},
    {'*', '*', Op::Pow},
}};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Single-character operators; `operand_seen` decides unary or binary for + and -.
bool single_char_op(char c, bool operand_seen, Op* op) {
    switch (c) {
        case '%':
            *op = Op::Rem;
            return true;
        case '&':
            *op = Op::BitAnd;
            return true;
        case '*':
            *op = Op::Mul;
            return true;
        case '+':
            *op = operand_seen ? Op::Add : Op::Plus;
            return true;
        case '-':
            *op = operand_seen ? Op::Sub : Op::Neg;
            return true;
        case '/':
            *op = Op::Div;
            return true;
        case ':':
            *op = Op::Colon;
            return true;
        case '<':
            *op = Op::Lt;
            return true;
        case '=':
            *op = Op::Eq;
            return true;
        case '>':
            *op = Op::Gt;
            return true;
        case '?':
            *op = Op::Question;
            return true;
        case '^':
            *op = Op::BitXor;
            return true;
        case '|':
            *op = Op::BitOr;
            return true;
        case '~':
            *op = Op::BitNot;
            return true;
        default:
            return false;
    }
}

// The whole UTF-8 sequence starting at `pos` (one character), clipped to the text.
std::string_view utf8_char_at(std::string_view s, size_t pos) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    size_t len = 1;
    if (lead >= 0xF0) {
        len = 4;
    } else if (lead >= 0xE0) {
        len = 3;
    } else if (lead >= 0xC0) {
        len = 2;
    }
    return s.substr(pos, len);
}

class Parser {
  public:
    Parser(std::string_view src, std::span<const std::string_view> bound)
        : src_(src), bound_(bound) {}

    // Compiles the whole text into `code`/`names`; `max_depth` bounds the value stack.
    Result<void, std::string> run(std::vector<Token>* code, std::vector<std::string>* names,
                                  uint32_t* max_depth);

  private:
    Result<void, std::string> number();
    Result<void, std::string> identifier();
    Result<void, std::string> close_paren();
    Result<void, std::string> comma();
    Result<void, std::string> operator_or_fail();
    bool is_bound(std::string_view id) const {
        return std::find(bound_.begin(), bound_.end(), id) != bound_.end();
    }
    bool paren_follows() const {
        size_t p = pos_;
        while (p < src_.size() && is_blank(src_[p])) {
            ++p;
        }
        return p < src_.size() && src_[p] == '(';
    }
    void open_paren() {
        // A parenthesis right after a function name holds its arguments; only there may a
        // comma separate a second one.
        const bool call =
            !ops_.empty() && ops_.back() != kLParen && ops_.back() >= Op::Sin && !operand_seen_;
        ++pos_;
        ops_.push_back(kLParen);
        parens_.push_back(call ? 0 : -1);
        operand_seen_ = false;
    }
    void push_operator(Op op);
    void emit(Token t) {
        if (t.kind == Op::IntLit || t.kind == Op::FloatLit || t.kind == Op::Var) {
            ++operands_;
        }
        out_.push_back(t);
    }

    std::string_view src_;
    std::span<const std::string_view> bound_;
    // Per open parenthesis: the commas seen so far in a call's arguments, -1 for a grouping one.
    std::vector<int> parens_;
    size_t pos_ = 0;
    bool operand_seen_ = false;
    uint32_t operands_ = 0;
    std::vector<Token> out_;
    std::vector<Op> ops_;
    std::vector<std::string> names_;
};

void Parser::push_operator(Op op) {
    const OpInfo mine = op_info(op);
    while (!ops_.empty() && ops_.back() != kLParen) {
        const uint8_t top = op_info(ops_.back()).precedence;
        const bool pop = mine.right_assoc ? top > mine.precedence : top >= mine.precedence;
        if (!pop) {
            break;
        }
        emit(Token::op(ops_.back()));
        ops_.pop_back();
    }
    ops_.push_back(op);
}

Result<void, std::string> Parser::number() {
    const size_t n = src_.size();
    if (src_[pos_] == '0' && pos_ + 2 < n && (src_[pos_ + 1] == 'x' || src_[pos_ + 1] == 'X')) {
        // "0x" needs at least one more character to be a hex literal at all.
        size_t end = pos_ + 2;
        while (end < n && is_hex_digit(src_[end])) {
            ++end;
        }
        const std::string_view digits = src_.substr(pos_ + 2, end - pos_ - 2);
        pos_ = end;
        auto v = parse_i64_radix(digits, 16);
        if (!v.ok()) {
            return Err{fmt::format("bad hex literal: {}", v.error())};
        }
        emit(Token::int_lit(*v));
        operand_seen_ = true;
        return {};
    }
    const size_t start = pos_;
    bool is_float = false;
    while (pos_ < n) {
        const char c = src_[pos_];
        if (is_digit(c)) {
            ++pos_;
        } else if (c == '.') {
            is_float = true;
            ++pos_;
        } else if ((c == 'e' || c == 'E') && pos_ + 1 < n &&
                   (src_[pos_ + 1] == '+' || src_[pos_ + 1] == '-' || is_digit(src_[pos_ + 1]))) {
            is_float = true;
            pos_ += 2;
        } else {
            break;
        }
    }
    const std::string_view text = src_.substr(start, pos_ - start);
    if (is_float) {
        auto v = parse_f64(text);
        if (!v.ok()) {
            return Err{fmt::format("bad float literal: {}", v.error())};
        }
        emit(Token::float_lit(*v));
    } else {
        auto v = parse_i64_radix(text, 10);
        if (!v.ok()) {
            return Err{fmt::format("bad int literal: {}", v.error())};
        }
        emit(Token::int_lit(*v));
    }
    operand_seen_ = true;
    return {};
}

Result<void, std::string> Parser::identifier() {
    const size_t start = pos_;
    while (pos_ < src_.size() && (is_alpha(src_[pos_]) || is_digit(src_[pos_]) ||
                                  src_[pos_] == '_' || src_[pos_] == '.')) {
        ++pos_;
    }
    const std::string_view id = src_.substr(start, pos_ - start);
    // A name the node binds is a variable unless a call's "(" follows it.
    const bool bound = is_bound(id);
    if (id.size() <= 5 && (!bound || paren_follows())) {
        std::array<char, 5> upper{};
        for (size_t i = 0; i < id.size(); ++i) {
            const char c = id[i];
            upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        const std::string_view up(upper.data(), id.size());
        for (const auto& f : kFunctions) {
            if (f.name == up) {
                push_operator(f.op);  // operand_seen_ deliberately unchanged
                return {};
            }
        }
    }
    if ((id == "PI" || id == "E") && !bound) {
        emit(Token::float_lit(id == "PI" ? 3.141592653589793 : 2.718281828459045));
        operand_seen_ = true;
        return {};
    }
    size_t index = 0;
    while (index < names_.size() && names_[index] != id) {
        ++index;
    }
    if (index == names_.size()) {
        if (names_.size() > std::numeric_limits<uint16_t>::max()) {
            return Err{std::string("too many variables")};
        }
        names_.emplace_back(id);
    }
    emit(Token::variable(static_cast<uint16_t>(index)));
    operand_seen_ = true;
    return {};
}

Result<void, std::string> Parser::close_paren() {
    ++pos_;
    while (!ops_.empty() && ops_.back() != kLParen) {
        emit(Token::op(ops_.back()));
        ops_.pop_back();
    }
    if (ops_.empty()) {
        return Err{std::string("unbalanced parenthesis")};
    }
    ops_.pop_back();
    const int commas = parens_.empty() ? -1 : parens_.back();
    if (!parens_.empty()) {
        parens_.pop_back();
    }
    if (commas == 1) {
        if (ops_.empty() || ops_.back() != Op::Round) {
            return Err{std::string("unexpected character ','")};
        }
        ops_.back() = Op::RoundTo;
    } else if (commas > 1) {
        return Err{std::string("unexpected character ','")};
    }
    operand_seen_ = true;
    return {};
}

// A comma between a call's arguments: closes the first argument's operators.
Result<void, std::string> Parser::comma() {
    if (parens_.empty() || parens_.back() < 0) {
        return Err{std::string("unexpected character ','")};
    }
    ++pos_;
    while (!ops_.empty() && ops_.back() != kLParen) {
        emit(Token::op(ops_.back()));
        ops_.pop_back();
    }
    ++parens_.back();
    operand_seen_ = false;
    return {};
}

Result<void, std::string> Parser::operator_or_fail() {
    const char c = src_[pos_];
    if (pos_ + 1 < src_.size()) {
        for (const auto& two : kTwoCharOps) {
            if (two.a == c && two.b == src_[pos_ + 1]) {
                pos_ += 2;
                push_operator(two.op);
                operand_seen_ = false;
                return {};
            }
        }
    }
    Op op{};
    if (!single_char_op(c, operand_seen_, &op)) {
        return Err{fmt::format("unexpected character '{}'", utf8_char_at(src_, pos_))};
    }
    ++pos_;
    push_operator(op);
    operand_seen_ = false;
    return {};
}

Result<void, std::string> Parser::run(std::vector<Token>* code, std::vector<std::string>* names,
                                      uint32_t* max_depth) {
    while (pos_ < src_.size()) {
        const char c = src_[pos_];
        if (is_blank(c)) {
            ++pos_;
        } else if (is_digit(c) ||
                   (c == '.' && pos_ + 1 < src_.size() && is_digit(src_[pos_ + 1]))) {
            CVK_TRY_VOID(number());
        } else if (is_alpha(c) || c == '_') {
            CVK_TRY_VOID(identifier());
        } else if (c == '(') {
            open_paren();
        } else if (c == ',') {
            CVK_TRY_VOID(comma());
        } else if (c == ')') {
            CVK_TRY_VOID(close_paren());
        } else {
            CVK_TRY_VOID(operator_or_fail());
        }
    }
    while (!ops_.empty()) {
        if (ops_.back() == kLParen) {
            return Err{std::string("unbalanced parenthesis")};
        }
        emit(Token::op(ops_.back()));
        ops_.pop_back();
    }
    *code = std::move(out_);
    *names = std::move(names_);
    // Every operand pushes one value and nothing else grows the stack, so the operand count
    // bounds the depth the program can reach.
    *max_depth = operands_;
    return {};
}

// --- evaluation ---

Result<Value, std::string> arith(Op op, Value a, Value b, bool float_arithmetic) {
    if (a.is_int() && b.is_int() && !float_arithmetic) {
        const auto x = static_cast<uint64_t>(a.int_value());
        const auto y = static_cast<uint64_t>(b.int_value());
        switch (op) {
            case Op::Add:
                return Value::from_int(static_cast<int64_t>(x + y));
            case Op::Sub:
                return Value::from_int(static_cast<int64_t>(x - y));
            case Op::Mul:
                return Value::from_int(static_cast<int64_t>(x * y));
            default: {  // Div
                const int64_t n = a.int_value();
                const int64_t d = b.int_value();
                if (d == 0) {
                    return Err{std::string("division by zero")};
                }
                if (d == -1) {
                    return Value::from_int(static_cast<int64_t>(0 - x));  // MIN / -1 wraps
                }
                return Value::from_int(n / d);
            }
        }
    }
    const double x = a.as_f64();
    const double y = b.as_f64();
    switch (op) {
        case Op::Add:
            return Value::from_float(x + y);
        case Op::Sub:
            return Value::from_float(x - y);
        case Op::Mul:
            return Value::from_float(x * y);
        default:
            if (y == 0.0 && (float_arithmetic || (a.is_int() && b.is_int()))) {
                return Err{std::string("division by zero")};
            }
            return Value::from_float(x / y);
    }
}

// x rounded half away from zero to n decimal places (n may be negative).
Value round_to(Value a, Value b) {
    const double scale = std::pow(10.0, static_cast<double>(b.as_i64()));
    const double r = std::round(a.as_f64() * scale) / scale;
    return Value::from_float(std::isfinite(r) ? r : a.as_f64());
}

// The integer a bitwise or shift operator works on: a float operand rounds half away from zero
// in integer formulas and is truncated toward zero in float formulas (saturating, NaN gives 0).
int64_t bit_operand(Value v, bool float_arithmetic) {
    if (v.is_int() || !float_arithmetic) {
        return v.as_i64();
    }
    return round_saturate(std::trunc(v.float_value()));
}

// One comparison operator on two numbers of the same representation.
template <class T>
bool compare_as(Op op, T x, T y) {
    switch (op) {
        case Op::Eq:
            return x == y;
        case Op::Ne:
            return x != y;
        case Op::Le:
            return x <= y;
        case Op::Ge:
            return x >= y;
        case Op::Lt:
            return x < y;
        default:
            return x > y;
    }
}

Result<Value, std::string> compare(Op op, Value a, Value b) {
    if (a.is_int() && b.is_int()) {
        return Value::from_int(compare_as(op, a.int_value(), b.int_value()) ? 1 : 0);
    }
    const double x = a.as_f64();
    const double y = b.as_f64();
    if (std::isnan(x) || std::isnan(y)) {
        return Err{std::string("NaN in comparison")};
    }
    return Value::from_int(compare_as(op, x, y) ? 1 : 0);
}

Result<Value, std::string> binary(Op op, Value a, Value b, bool fa) {
    switch (op) {
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
            return arith(op, a, b, fa);
        case Op::RoundTo:
            return round_to(a, b);
        case Op::Rem: {
            const int64_t x = a.as_i64();
            const int64_t y = b.as_i64();
            if (y == 0) {
                return Err{std::string("remainder by zero")};
            }
            return Value::from_int(y == -1 ? 0 : x % y);
        }
        case Op::Pow:
            return Value::from_float(std::pow(a.as_f64(), b.as_f64()));
        case Op::BitAnd:
            return Value::from_int(bit_operand(a, fa) & bit_operand(b, fa));
        case Op::BitOr:
            return Value::from_int(bit_operand(a, fa) | bit_operand(b, fa));
        case Op::BitXor:
            return Value::from_int(bit_operand(a, fa) ^ bit_operand(b, fa));
        case Op::Shl: {
            const auto x = static_cast<uint64_t>(bit_operand(a, fa));
            return Value::from_int(static_cast<int64_t>(x << (bit_operand(b, fa) & 63)));
        }
        case Op::Shr:
            return Value::from_int(bit_operand(a, fa) >> (bit_operand(b, fa) & 63));
        case Op::LogicalAnd:
            return Value::from_int(a.truthy() && b.truthy() ? 1 : 0);
        case Op::LogicalOr:
            return Value::from_int(a.truthy() || b.truthy() ? 1 : 0);
        default:
            return compare(op, a, b);
    }
}

// The library functions of one argument, all computed in floating point.
double float_function(Op op, double x) {
    switch (op) {
        case Op::Sin:
            return std::sin(x);
        case Op::Cos:
            return std::cos(x);
        case Op::Tan:
            return std::tan(x);
        case Op::Asin:
            return std::asin(x);
        case Op::Acos:
            return std::acos(x);
        case Op::Atan:
            return std::atan(x);
        case Op::Exp:
            return std::exp(x);
        case Op::Ln:
            return std::log(x);
        case Op::Lg:
            return std::log10(x);
        case Op::Sqrt:
            return std::sqrt(x);
        case Op::Trunc:
            return std::trunc(x);
        case Op::Round:
            return std::round(x);
        case Op::Floor:
            return std::floor(x);
        default:
            return std::ceil(x);  // Ceil
    }
}

// Sign, absolute value and bit operations keep integers exact; the rest go through double.
Value unary(Op op, Value a, bool fa) {
    switch (op) {
        case Op::Neg:
        case Op::FnNeg:
            return a.is_int() ? Value::from_int(
                                    static_cast<int64_t>(0 - static_cast<uint64_t>(a.int_value())))
                              : Value::from_float(-a.float_value());
        case Op::Plus:
            return a;
        case Op::BitNot:
            return Value::from_int(~bit_operand(a, fa));
        case Op::Abs:
            if (a.is_int()) {
                const int64_t v = a.int_value();
                return v < 0 ? Value::from_int(static_cast<int64_t>(0 - static_cast<uint64_t>(v)))
                             : a;
            }
            return Value::from_float(std::fabs(a.float_value()));
        case Op::Sgn:
            if (a.is_int()) {
                const int64_t v = a.int_value();
                return Value::from_int(v > 0 ? 1 : (v < 0 ? -1 : 0));
            } else {
                const double v = a.float_value();
                return Value::from_int(v > 0.0 ? 1 : (v < 0.0 ? -1 : 0));
            }
        default:
            return Value::from_float(float_function(op, a.as_f64()));
    }
}

bool is_binary(Op op) {
    return (op >= Op::LogicalOr && op <= Op::Pow) || op == Op::RoundTo;
}

// Runs `code` on the value stack `stack` (room for at least max_depth values).
Result<Value, std::string> run_program(const std::vector<Token>& code,
                                       const std::vector<std::string>& names,
                                       std::span<const Value> vars, Value* stack, bool fa) {
    size_t sp = 0;
    const auto underflow = [] { return Err{std::string("expression stack underflow")}; };
    for (const Token& t : code) {
        switch (t.kind) {
            case Op::IntLit:
                stack[sp++] = Value::from_int(t.i);
                break;
            case Op::FloatLit:
                stack[sp++] = Value::from_float(t.f);
                break;
            case Op::Var:
                if (t.var >= vars.size()) {
                    return Err{fmt::format("variable '{}' unbound", names[t.var])};
                }
                stack[sp++] = vars[t.var];
                break;
            case Op::Colon:
                break;
            case Op::Question: {
                if (sp < 3) {
                    return underflow();
                }
                const Value else_v = stack[--sp];
                const Value then_v = stack[--sp];
                stack[sp - 1] = stack[sp - 1].truthy() ? then_v : else_v;
                break;
            }
            default:
                if (is_binary(t.kind)) {
                    if (sp < 2) {
                        return underflow();
                    }
                    const Value b = stack[--sp];
                    auto r = binary(t.kind, stack[sp - 1], b, fa);
                    if (!r.ok()) {
                        return r;
                    }
                    stack[sp - 1] = *r;
                } else {
                    if (sp < 1) {
                        return underflow();
                    }
                    stack[sp - 1] = unary(t.kind, stack[sp - 1], fa);
                }
                break;
        }
    }
    if (sp != 1) {
        return Err{std::string("malformed expression")};
    }
    return stack[0];
}

}  // namespace

int64_t round_saturate(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    const double r = std::round(v);
    if (r >= 9223372036854775808.0) {
        return std::numeric_limits<int64_t>::max();
    }
    if (r <= -9223372036854775808.0) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(r);
}

int64_t Value::as_i64() const {
    return is_int() ? i_ : round_saturate(f_);
}

std::string to_string(const Value& v) {
    return v.is_int() ? fmt::format("Int({})", v.int_value())
                      : fmt::format("Float({})", v.float_value());
}

Result<Expr, std::string> Expr::parse(std::string_view source, const ParseOptions& options) {
    if (source.size() > kMaxSourceBytes) {
        return Err{
            fmt::format("formula too long ({} bytes, limit {})", source.size(), kMaxSourceBytes)};
    }
    Expr e;
    Parser parser(source, options.bound);
    CVK_TRY_VOID(parser.run(&e.code_, &e.names_, &e.max_depth_));
    e.float_arithmetic_ = options.float_arithmetic;
    return e;
}

Result<Value, std::string> Expr::eval(std::span<const Value> vars) const {
    constexpr uint32_t kInline = 16;
    if (max_depth_ <= kInline) {
        std::array<Value, kInline> stack;
        return run_program(code_, names_, vars, stack.data(), float_arithmetic_);
    }
    std::vector<Value> stack(max_depth_);
    return run_program(code_, names_, vars, stack.data(), float_arithmetic_);
}

}  // namespace corvisk::genicam
