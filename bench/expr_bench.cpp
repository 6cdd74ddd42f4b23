// Benchmark: evaluating a compiled 20-token formula (integer and mixed integer/float paths).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "genicam/evaluator.hpp"

using corvisk::genicam::Expr;
using corvisk::genicam::Value;

namespace {

// 20 postfix tokens: 7 variables, 3 literals, 10 operators (arithmetic, shift, conditional).
constexpr const char* kFormula = "((W + X) * 2 - Y / 4 + Z) >> 1 | (U ? V : -T)";

Expr compile() {
    auto e = Expr::parse(kFormula);
    if (!e.ok() || e->code().size() != 20) {
        std::fprintf(stderr, "benchmark formula broken\n");
        std::abort();
    }
    return std::move(e).value();
}

void BM_EvalInt20Tokens(benchmark::State& state) {
    const Expr e = compile();
    std::vector<Value> vars;
    for (int64_t i = 0; i < static_cast<int64_t>(e.names().size()); ++i) {
        vars.push_back(Value::from_int(1000 + i));
    }
    for (auto _ : state) {
        auto r = e.eval(vars);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_EvalInt20Tokens);

void BM_EvalMixed20Tokens(benchmark::State& state) {
    const Expr e = compile();
    std::vector<Value> vars;
    for (size_t i = 0; i < e.names().size(); ++i) {
        vars.push_back(i % 2 ? Value::from_float(1000.5 + static_cast<double>(i))
                             : Value::from_int(static_cast<int64_t>(i)));
    }
    for (auto _ : state) {
        auto r = e.eval(vars);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_EvalMixed20Tokens);

void BM_Parse20Tokens(benchmark::State& state) {
    for (auto _ : state) {
        auto e = Expr::parse(kFormula);
        benchmark::DoNotOptimize(e);
    }
}
BENCHMARK(BM_Parse20Tokens);

}  // namespace

BENCHMARK_MAIN();
