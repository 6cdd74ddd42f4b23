// Fuzz target: compiles arbitrary formula text and evaluates it with a few bound variables.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "genicam/evaluator.hpp"

using corvisk::genicam::Expr;
using corvisk::genicam::Value;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto expr = Expr::parse(text);
    if (!expr.ok()) {
        return 0;
    }
    // Bind all but the last name, alternating kinds, so the unbound path runs too.
    std::vector<Value> vars;
    const size_t names = expr->names().size();
    for (size_t i = 0; i + 1 < names; ++i) {
        vars.push_back(i % 2 ? Value::from_float(-2.5) : Value::from_int(INT64_MIN + 7));
    }
    (void)expr->eval(vars);
    vars.push_back(Value::from_float(0.0));
    (void)expr->eval(vars);
    return 0;
}
