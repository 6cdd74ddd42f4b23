// Formula evaluator: precedence, integer/float rules, functions, constants and error texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "genicam/evaluator.hpp"
#include "genicam/number.hpp"

using namespace corvisk::genicam;

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

Value I(int64_t v) {
    return Value::from_int(v);
}
Value F(double v) {
    return Value::from_float(v);
}

struct Case {
    const char* formula;
    Value expected;
};

// Parses and evaluates with variables A=3, B=0.5, C=-7 bound by name.
corvisk::Result<Value, std::string> run(const std::string& formula) {
    auto e = Expr::parse(formula);
    if (!e.ok()) {
        return corvisk::Err{"parse: " + e.error()};
    }
    std::vector<Value> vars;
    for (const auto& n : e->names()) {
        if (n == "A") {
            vars.push_back(I(3));
        } else if (n == "B") {
            vars.push_back(F(0.5));
        } else if (n == "C") {
            vars.push_back(I(-7));
        } else if (n == "N") {
            vars.push_back(F(std::nan("")));
        } else {
            break;  // leave the rest unbound
        }
    }
    return e->eval(vars);
}

void expect_value(const Case& c) {
    SCOPED_TRACE(c.formula);
    auto r = run(c.formula);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->kind(), c.expected.kind()) << to_string(*r);
    if (c.expected.is_float() && std::isinf(c.expected.float_value())) {
        EXPECT_EQ(r->float_value(), c.expected.float_value());
    } else {
        EXPECT_EQ(*r, c.expected) << to_string(*r);
    }
}

}  // namespace

TEST(EvaluatorTest, ArithmeticKeepsIntegersAndPromotesToFloat) {
    const Case cases[] = {
        {"7 / 2", I(3)},
        {"7 / 2.0", F(3.5)},
        {"-7 / 2", I(-3)},
        {"-7 % 3", I(-1)},
        {"7 % -3", I(1)},
        {"7.6 % 3", I(2)},
        {"7 % -1", I(0)},
        {"1.0 / 0", F(INFINITY)},
        {"-1 / 0.0", F(-INFINITY)},
        {"0x10 + 1", I(17)},
        {"0XfF", I(255)},
        {"9223372036854775807 + 1", I(kMin)},
        {"(0 - 9223372036854775807 - 1) / -1", I(kMin)},
        {"3037000500 * 3037000500", I(static_cast<int64_t>(3037000500ULL * 3037000500ULL))},
        {"2 * 3.5", F(7.0)},
        {"1 - 0.5", F(0.5)},
        {"2 ** 10", F(1024.0)},
        {"2 ** 3 ** 2", F(512.0)},
        {"-2 ** 2", F(4.0)},
        {"1 + 2 * 3", I(7)},
        {"(1 + 2) * 3", I(9)},
        {"10 - 4 - 3", I(3)},
        {"100 / 10 / 5", I(2)},
        {"--3", I(3)},
        {"-+-3", I(3)},
        {"1e3", F(1000.0)},
        {".5 + 1.", F(1.5)},
        {"2.5E-1", F(0.25)},
        {"A + B", F(3.5)},
        {"A * C", I(-21)},
    };
    for (const auto& c : cases) {
        expect_value(c);
    }
}

TEST(EvaluatorTest, BitOperatorsShiftsAndLogic) {
    const Case cases[] = {
        {"6 & 3", I(2)},         {"6 | 3", I(7)},      {"6 ^ 3", I(5)},    {"~0", I(-1)},
        {"1 << 4", I(16)},       {"1 << 65", I(2)},  // count uses its low 6 bits
        {"-16 >> 2", I(-4)},     {"5.5 & 7", I(6)},  // 5.5 rounds to 6
        {"1 | 2 ^ 3 & 4", I(3)}, {"1 + 1 << 2", I(8)}, {"3 && 0.5", I(1)}, {"0 || 0.0", I(0)},
        {"0 || -0.0", I(0)},     {"N && 1", I(1)},  // NaN is true
        {"1 < 2 = 1", I(1)},     {"1 = 1.0", I(1)},    {"1 <> 1", I(0)},   {"2 >= 2", I(1)},
        {"2 <= 1.5", I(0)},      {"2 > 1", I(1)},
    };
    for (const auto& c : cases) {
        expect_value(c);
    }
}

TEST(EvaluatorTest, ConditionalsGroupRightAndEvaluateBothBranches) {
    const Case cases[] = {
        {"1 ? 2 : 3", I(2)},         {"0 ? 2 : 3", I(3)},         {"0 ? 1 : 0 ? 2 : 3", I(3)},
        {"0 ? 1 : 1 ? 2 : 3", I(2)}, {"1 ? 1 : 1 ? 2 : 3", I(1)}, {"A > 2 ? B : C", F(0.5)},
        {"1 + 1 ? 10 : 20", I(10)},
    };
    for (const auto& c : cases) {
        expect_value(c);
    }
    auto r = run("0 ? 2 : 1/0");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "division by zero");
}

TEST(EvaluatorTest, FunctionsAndConstants) {
    const Case cases[] = {
        {"ROUND(2.5)", F(3.0)},
        {"ROUND(-2.5)", F(-3.0)},
        {"TRUNC(7)", F(7.0)},
        {"TRUNC(-7.9)", F(-7.0)},
        {"FLOOR(-0.5)", F(-1.0)},
        {"CEIL(0.2)", F(1.0)},
        {"sin(0)", F(0.0)},
        {"SIN 0", F(0.0)},
        {"Cos(0)", F(1.0)},
        {"SQRT(16)", F(4.0)},
        {"EXP(0)", F(1.0)},
        {"LN(1)", F(0.0)},
        {"LG(1000)", F(3.0)},
        {"ATAN(0) + ASIN(0) + TAN(0)", F(0.0)},
        {"ACOS(1)", F(0.0)},
        {"ABS(-5)", I(5)},
        {"ABS(-2.5)", F(2.5)},
        {"ABS(0 - 9223372036854775807 - 1)", I(kMin)},
        {"NEG(5)", I(-5)},
        {"NEG 2.5", F(-2.5)},
        {"SGN(-9)", I(-1)},
        {"SGN(0.0)", I(0)},
        {"SGN(0.1)", I(1)},
        {"SGN(N)", I(0)},
        {"PI", F(3.141592653589793)},
        {"E", F(2.718281828459045)},
        {"2 * PI", F(2 * 3.141592653589793)},
        {"PI - 3", F(3.141592653589793 - 3)},
        {"-SIN(0) + 1", F(1.0)},
        {"SIN(COS(0) - 1)", F(0.0)},
    };
    for (const auto& c : cases) {
        expect_value(c);
    }
}

TEST(EvaluatorTest, IdentifiersAreCaseSensitiveVariables) {
    auto e = Expr::parse("pi + PI + e + x.y_1 + pi");
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(e->names(), (std::vector<std::string>{"pi", "e", "x.y_1"}));
    auto r = e->eval(std::vector<Value>{I(1), I(2), I(3)});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, F(1 + 3.141592653589793 + 2 + 3 + 1));
}

TEST(EvaluatorTest, ErrorTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"1 / 0", "division by zero"},
        {"5 % 0", "remainder by zero"},
        {"5 % 0.4", "remainder by zero"},  // 0.4 rounds to 0
        {"N = 1", "NaN in comparison"},
        {"N <> N", "NaN in comparison"},
        {"0xFFFFFFFFFFFFFFFF", "parse: bad hex literal: number too large to fit in target type"},
        {"0xg", "parse: bad hex literal: cannot parse integer from empty string"},
        {"99999999999999999999", "parse: bad int literal: number too large to fit in target type"},
        {"1.2.3", "parse: bad float literal: invalid float literal"},
        {"1e+", "parse: bad float literal: invalid float literal"},
        {"(1 + 2", "parse: unbalanced parenthesis"},
        {"1 + 2)", "parse: unbalanced parenthesis"},
        {"1, 2", "parse: unexpected character ','"},
        {"1 $ 2", "parse: unexpected character '$'"},
        {"1 \xc3\xa9 2", "parse: unexpected character '\xc3\xa9'"},
        {"1 2", "malformed expression"},
        {"", "malformed expression"},
        {"()", "malformed expression"},
        {"1 +", "expression stack underflow"},
        {"?", "expression stack underflow"},
        {"SIN", "expression stack underflow"},
        {"Z + 1", "variable 'Z' unbound"},
    };
    for (const auto& [formula, text] : cases) {
        SCOPED_TRACE(formula);
        auto r = run(formula);
        ASSERT_FALSE(r.ok()) << to_string(*r);
        EXPECT_EQ(r.error(), text);
    }
}

TEST(EvaluatorTest, CompiledProgramIsPostfixWithInternedNames) {
    auto e = Expr::parse("X * (Y + X)");
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e->names(), (std::vector<std::string>{"X", "Y"}));
    std::vector<Op> kinds;
    for (const auto& t : e->code()) {
        kinds.push_back(t.kind);
    }
    EXPECT_EQ(kinds, (std::vector<Op>{Op::Var, Op::Var, Op::Var, Op::Add, Op::Mul}));
    EXPECT_EQ(e->code()[2].var, 0);
}

TEST(EvaluatorTest, HostileFormulasStayBounded) {
    // Deep nesting and long chains are iterative: no recursion to exhaust the stack.
    const std::string deep = std::string(20000, '(') + "1" + std::string(20000, ')');
    auto r = run(deep);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(*r, I(1));

    std::string chain = "0";
    for (int i = 0; i < 10000; ++i) {
        chain += "+1";
    }
    r = run(chain);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, I(10000));

    std::string negs(30000, '-');
    r = run(negs + "5");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, I(5));

    std::string operands;
    for (int i = 0; i < 5000; ++i) {
        operands += "1 ";  // a wide value stack, then "malformed expression"
    }
    r = run(operands);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "malformed expression");

    const std::string huge(Expr::kMaxSourceBytes + 1, '1');
    r = run(huge);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "parse: formula too long (65537 bytes, limit 65536)");
}

TEST(NumberTextTest, DeviceNumbersAndFloats) {
    EXPECT_EQ(parse_number_text("0xFFFFFFFFFFFFFFFF"), -1);
    EXPECT_EQ(parse_number_text("0X10"), 16);
    EXPECT_EQ(parse_number_text("-42"), -42);
    EXPECT_EQ(parse_number_text("+42"), 42);
    EXPECT_EQ(parse_number_text("-9223372036854775808"), kMin);
    EXPECT_EQ(parse_number_text("9223372036854775807"), kMax);
    for (const char* bad :
         {"", "0x", "12a", "9223372036854775808", "0x1FFFFFFFFFFFFFFFF", "1.5", " 1", "-"}) {
        EXPECT_EQ(parse_number_text(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(parse_f64("1e3").value(), 1000.0);
    EXPECT_EQ(parse_f64("-2.5").value(), -2.5);
    EXPECT_TRUE(std::isinf(parse_f64("inf").value()));
    EXPECT_TRUE(std::isinf(parse_f64("1e400").value()));
    EXPECT_TRUE(std::isnan(parse_f64("NaN").value()));
    for (const char* bad : {"", "0x10", "1.2.3", "nan(1)", "1 ", "abc"}) {
        EXPECT_FALSE(parse_f64(bad).ok()) << bad;
    }
}

TEST(EvaluatorTest, BoundNamesShadowFunctionsAndConstants) {
    const std::vector<std::string_view> bound = {"EXP", "E", "SIN"};
    auto e = Expr::parse("EXP + E + SIN + EXP(0) + PI", ParseOptions{false, bound});
    ASSERT_TRUE(e.ok()) << e.error();
    EXPECT_EQ(e->names(), (std::vector<std::string>{"EXP", "E", "SIN"}));
    auto r = e->eval(std::vector<Value>{I(1), I(2), I(3)});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(*r, F(1 + 2 + 3 + 1.0 + 3.141592653589793));
}

TEST(EvaluatorTest, RoundTakesAnOptionalNumberOfPlaces) {
    const Case cases[] = {
        {"ROUND(2.345, 2)", F(2.35)},         {"ROUND(-2.345, 1)", F(-2.3)},
        {"ROUND(1250, -2)", F(1300.0)},       {"ROUND(7, 0)", F(7.0)},
        {"ROUND((1 + 1) * 1.55, 1)", F(3.1)}, {"2 * ROUND(1.25, 1) + 1", F(3.6)},
    };
    for (const auto& c : cases) {
        expect_value(c);
    }
    for (const char* bad : {"ROUND(1, 2, 3)", "SIN(1, 2)", "(1, 2)"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(run(bad).error(), "parse: unexpected character ','");
    }
}

TEST(EvaluatorTest, FloatArithmeticKeepsFractionsAndTruncatesBitOperands) {
    const std::pair<const char*, Value> cases[] = {
        {"3143 / 1024", F(3143.0 / 1024)},
        {"7 / 2 * 2", F(7.0)},
        {"2 + 3", F(5.0)},
        {"5.9 & 7", I(5)},
        {"-2.7 | 0", I(-2)},
        {"~0.9", I(-1)},
        {"6 & 3", I(2)},
        {"1.9 << 2", I(4)},
        {"5 % 2", I(1)},
    };
    for (const auto& [formula, expected] : cases) {
        SCOPED_TRACE(formula);
        auto e = Expr::parse(formula, ParseOptions{true, {}});
        ASSERT_TRUE(e.ok()) << e.error();
        auto r = e->eval({});
        ASSERT_TRUE(r.ok()) << r.error();
        EXPECT_EQ(*r, expected) << to_string(*r);
    }
    auto zero = Expr::parse("1 / 0", ParseOptions{true, {}});
    EXPECT_EQ(zero->eval({}).error(), "division by zero");
}
