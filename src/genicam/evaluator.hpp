// Formula evaluator: compiles GenICam formulas to postfix programs and evaluates them.
//
// `Expr::parse` compiles a formula once (shunting-yard) into a token array plus the table of the
// variable names it uses; `Expr::eval` runs that program over one value per name. Neither knows
// about nodes: the node-value layer supplies the variables and wraps the error texts with the
// name of the node whose formula failed. Both are iterative (no recursion) and bounded by the
// formula length, so no formula can exhaust the stack.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace corvisk::genicam {

// A formula value: a signed 64-bit integer or a 64-bit float. Plain value type.
class Value {
  public:
    enum class Kind : uint8_t { Int, Float };

    Value() = default;  // Int 0
    static Value from_int(int64_t v) { return Value(Kind::Int, v, 0.0); }
    static Value from_float(double v) { return Value(Kind::Float, 0, v); }

    Kind kind() const { return kind_; }
    bool is_int() const { return kind_ == Kind::Int; }
    bool is_float() const { return kind_ == Kind::Float; }
    // The stored integer; meaningful only when is_int().
    int64_t int_value() const { return i_; }
    // The stored float; meaningful only when is_float().
    double float_value() const { return f_; }

    // The value as a float (an Int converted exactly as a cast does).
    double as_f64() const { return is_int() ? static_cast<double>(i_) : f_; }
    // The value as an integer: a Float rounds half away from zero, saturates at the i64 limits,
    // and NaN gives 0.
    int64_t as_i64() const;
    // Truth: an Int is true when not 0; a Float when not +0.0/-0.0 (NaN is true).
    bool truthy() const { return is_int() ? i_ != 0 : f_ != 0.0; }

    // Same kind and same stored value (NaN compares unequal, as floats do).
    friend bool operator==(const Value& a, const Value& b) {
        return a.kind_ == b.kind_ && (a.is_int() ? a.i_ == b.i_ : a.f_ == b.f_);
    }

  private:
    Value(Kind kind, int64_t i, double f) : kind_(kind), i_(i), f_(f) {}

    Kind kind_ = Kind::Int;
    int64_t i_ = 0;
    double f_ = 0.0;
};

// Rounds half away from zero and converts with saturation at the signed 64-bit limits; NaN
// gives 0. The one float-to-integer conversion used by formulas and node values alike.
int64_t round_saturate(double v);

// Renders a value for diagnostics: "Int(3)" / "Float(3.5)".
std::string to_string(const Value& v);

// Token kinds. 0..2 carry a payload; 3 and up are operators and functions, in precedence-table
// order (the numbers are stable and part of the compiled form).
enum class Op : uint16_t {
    IntLit = 0,
    FloatLit = 1,
    Var = 2,
    Colon = 3,
    Question = 4,
    LogicalOr = 5,
    LogicalAnd = 6,
    BitOr = 7,
    BitXor = 8,
    BitAnd = 9,
    Eq = 10,
    Ne = 11,
    Le = 12,
    Ge = 13,
    Lt = 14,
    Gt = 15,
    Shr = 16,
    Shl = 17,
    Sub = 18,
    Add = 19,
    Rem = 20,
    Div = 21,
    Mul = 22,
    Pow = 23,
    Neg = 24,
    Plus = 25,
    BitNot = 26,
    Sin = 27,
    Cos = 28,
    Sgn = 29,
    FnNeg = 30,
    Atan = 31,
    Tan = 32,
    Abs = 33,
    Exp = 34,
    Ln = 35,
    Lg = 36,
    Sqrt = 37,
    Trunc = 38,
    Round = 39,
    Floor = 40,
    Ceil = 41,
    Asin = 42,
    Acos = 43,
    RoundTo = 44,  // ROUND(x, n): x rounded to n decimal places
};

// One postfix instruction: a kind plus an 8-byte payload (literal value or variable index).
struct Token {
    Op kind = Op::IntLit;
    union {
        int64_t i = 0;
        double f;
        uint16_t var;
    };

    static Token int_lit(int64_t v) {
        Token t{};
        t.kind = Op::IntLit;
        t.i = v;
        return t;
    }
    static Token float_lit(double v) {
        Token t{};
        t.kind = Op::FloatLit;
        t.f = v;
        return t;
    }
    static Token variable(uint16_t index) {
        Token t{};
        t.kind = Op::Var;
        t.var = index;
        return t;
    }
    static Token op(Op kind) {
        Token t{};
        t.kind = kind;
        return t;
    }
};

// How a formula is compiled.
struct ParseOptions {
    // Float arithmetic (the float formula kinds): + - * / always compute in doubles, so
    // "TO / 100" keeps its fraction, and a float operand of a bitwise or shift operator is
    // truncated toward zero. Otherwise (the default, the integer kinds) two integers stay
    // integers and a float operand of those operators rounds half away from zero.
    bool float_arithmetic = false;
    // The names the formula's node binds (its variables and named constants). Such a name is a
    // variable even where it spells a function (EXP), or the constants E and PI, unless "("
    // follows it; unbound spellings keep their built-in meaning.
    std::span<const std::string_view> bound;
};

// A compiled formula. Immutable after parse; cheap to evaluate many times; copyable.
class Expr {
  public:
    // Formulas longer than this are refused at parse time ("formula too long").
    static constexpr size_t kMaxSourceBytes = 64 * 1024;

    // Compiles `source`. Error texts: "bad hex literal: {}", "bad float literal: {}",
    // "bad int literal: {}", "unexpected character '{}'", "unbalanced parenthesis", and
    // "formula too long ({} bytes, limit {})".
    // ROUND takes an optional second argument, the number of decimal places ("ROUND(x, 2)").
    static Result<Expr, std::string> parse(std::string_view source,
                                           const ParseOptions& options = ParseOptions{});

    // Runs the program with vars[i] bound to names()[i]. Error texts: "variable '{}' unbound",
    // "expression stack underflow", "malformed expression", "division by zero",
    // "remainder by zero", "NaN in comparison". Does not allocate unless the program needs
    // more than a small fixed stack.
    Result<Value, std::string> eval(std::span<const Value> vars) const;

    // The program in postfix order.
    const std::vector<Token>& code() const { return code_; }
    // Distinct variable names in order of first appearance (case-sensitive).
    const std::vector<std::string>& names() const { return names_; }

  private:
    std::vector<Token> code_;
    std::vector<std::string> names_;
    // Highest value-stack depth the program can reach; sizes the evaluation stack.
    uint32_t max_depth_ = 0;
    bool float_arithmetic_ = false;
};

}  // namespace corvisk::genicam
