// Benchmark: parsing and building a synthetic ~5 MB description of ~20,000 nodes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

#include "genicam/xml_builder.hpp"

using namespace corvisk::genicam;

namespace {

// Appends one feature group of five nodes (Integer over an IntReg, Enumeration, Float over a
// converter, SwissKnife) with the descriptive padding real descriptions carry.
void add_feature(std::string& out, int i) {
    const std::string tip = fmt::format(
        "<ToolTip>Sensor setting {} of the synthetic camera.</ToolTip><Visibility>Expert"
        "</Visibility>",
        i);
    fmt::format_to(std::back_inserter(out),
                   "<Integer Name=\"Feature{0}\">{1}<pValue>Feature{0}Reg</pValue><Min>0</Min>"
                   "<pMax>Feature{0}Max</pMax><Inc>0x4</Inc><pInvalidator>Feature{0}Sel</"
                   "pInvalidator></Integer>\n"
                   "<IntReg Name=\"Feature{0}Reg\">{1}<Address>0x{2:x}</Address><Length>4</"
                   "Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>"
                   "WriteThrough</Cachable><Sign>Unsigned</Sign><Endianess>BigEndian</"
                   "Endianess></IntReg>\n"
                   "<Enumeration Name=\"Feature{0}Sel\">{1}<EnumEntry Name=\"Off\"><Value>0</"
                   "Value></EnumEntry><EnumEntry Name=\"Once\"><Value>1</Value></EnumEntry>"
                   "<EnumEntry Name=\"Continuous\"><Value>2</Value></EnumEntry><pValue>"
                   "Feature{0}Reg</pValue></Enumeration>\n"
                   "<Float Name=\"Feature{0}Abs\">{1}<pValue>Feature{0}Conv</pValue><Min>0.0</"
                   "Min><Max>1e6</Max></Float>\n"
                   "<Converter Name=\"Feature{0}Conv\">{1}<pVariable Name=\"K\">Feature{0}Max</"
                   "pVariable><FormulaTo>FROM * 4096 / K</FormulaTo><FormulaFrom>TO * K / 4096</"
                   "FormulaFrom><pValue>Feature{0}Reg</pValue></Converter>\n",
                   i, tip, 0x10000 + 4 * i);
    fmt::format_to(std::back_inserter(out),
                   "<SwissKnife Name=\"Feature{0}Max\"><pVariable Name=\"A\">Feature{0}Reg</"
                   "pVariable><Formula>(A &gt; 100) ? 4095 : 1023</Formula></SwissKnife>\n",
                   i);
}

std::string synthetic_description(int groups) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"Synthetic\" "
        "VendorName=\"corvisk\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
        "<Category Name=\"Root\">";
    for (int i = 0; i < groups; ++i) {
        fmt::format_to(std::back_inserter(out), "<pFeature>Feature{}</pFeature>", i);
    }
    out += "</Category>\n<Group Comment=\"features\">\n";
    for (int i = 0; i < groups; ++i) {
        add_feature(out, i);
    }
    out += "</Group>\n<Port Name=\"Device\"/>\n</RegisterDescription>\n";
    return out;
}

void BM_ParseAndBuild(benchmark::State& state) {
    const std::string text = synthetic_description(3400);  // 6 nodes each
    size_t nodes = 0;
    for (auto _ : state) {
        auto map = xml::parse(text);
        if (!map.ok()) {
            std::fprintf(stderr, "%s\n", map.error().message().c_str());
            std::abort();
        }
        nodes = map->size();
        benchmark::DoNotOptimize(map);
    }
    state.counters["bytes"] = static_cast<double>(text.size());
    state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_ParseAndBuild)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
