// Benchmark: feature reads served from register caches (the hot path of a feature read from
// Python), a formula over cached registers, and a register write in a 20,000-node map.
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "genicam/port.hpp"
#include "genicam/value.hpp"
#include "genicam/xml_builder.hpp"

using namespace corvisk;
using namespace corvisk::genicam;

namespace {

// Device memory that answers instantly; the benchmarks measure the node-map side only.
class NullPort : public PortIo {
  public:
    CameraResult<void> read(uint64_t, std::span<uint8_t> buffer) override {
        ++reads;
        std::fill(buffer.begin(), buffer.end(), uint8_t{1});
        return {};
    }
    CameraResult<void> write(uint64_t, std::span<const uint8_t>) override {
        ++writes;
        return {};
    }
    int64_t reads = 0;
    int64_t writes = 0;
};

// Width → WidthReg (4 bytes big-endian), a masked packet-size field, a swiss knife over two
// registers, and `filler` unrelated registers to give the map a realistic size.
Genicam make_map(int filler) {
    std::string body =
        "<Port Name=\"Device\"/>"
        "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>16</Min><Max>4096</Max>"
        "<Inc>16</Inc></Integer>"
        "<IntReg Name=\"WidthReg\"><Address>0x30204</Address><Length>4</Length>"
        "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess>"
        "</IntReg>"
        "<Integer Name=\"Height\"><pValue>HeightReg</pValue></Integer>"
        "<IntReg Name=\"HeightReg\"><Address>0x30208</Address><Length>4</Length>"
        "<pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>"
        "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable>"
        "<pVariable Name=\"H\">Height</pVariable><Formula>W * H</Formula></IntSwissKnife>";
    for (int i = 0; i < filler; ++i) {
        body += fmt::format(
            "<Integer Name=\"F{0}\"><pValue>F{0}Reg</pValue></Integer>"
            "<IntReg Name=\"F{0}Reg\"><Address>{1}</Address><Length>4</Length>"
            "<pPort>Device</pPort></IntReg>",
            i, 0x100000 + 4 * i);
    }
    auto map = xml::parse("<RegisterDescription>" + body + "</RegisterDescription>");
    if (!map.ok()) {
        std::fprintf(stderr, "benchmark description broken: %s\n", map.error().message().c_str());
        std::abort();
    }
    return std::move(map).value();
}

void BM_CachedIntegerFeatureRead(benchmark::State& state) {
    Genicam map = make_map(static_cast<int>(state.range(0)));
    NullPort port;
    for (auto _ : state) {
        auto v = get_integer(map, port, "Width");
        benchmark::DoNotOptimize(v);
    }
    if (port.reads != 1) {
        state.SkipWithError("cache did not serve the reads");
    }
}
BENCHMARK(BM_CachedIntegerFeatureRead)->Arg(0)->Arg(10000);

void BM_UncachedMaskedFieldRead(benchmark::State& state) {
    Genicam map = make_map(0);
    NullPort port;
    // The default packet-size node is NoCache; this measures a device-backed masked read.
    for (auto _ : state) {
        auto v = get_integer(map, port, "GevSCPSPacketSize");
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_UncachedMaskedFieldRead);

void BM_SwissKnifeOverCachedRegisters(benchmark::State& state) {
    Genicam map = make_map(0);
    NullPort port;
    for (auto _ : state) {
        auto v = get_integer(map, port, "PayloadSize");
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_SwissKnifeOverCachedRegisters);

void BM_IntegerFeatureWrite(benchmark::State& state) {
    const auto filler = static_cast<int>(state.range(0));
    Genicam map = make_map(filler);
    NullPort port;
    // Cache `cached` of the filler registers: the write's invalidation must not depend on them.
    const auto cached = static_cast<int>(state.range(1));
    for (int i = 0; i < cached; ++i) {
        (void)get_integer(map, port, fmt::format("F{}", i));
    }
    int64_t w = 0;
    for (auto _ : state) {
        auto r = set_integer(map, port, "Width", 16 + (w++ & 0xFF) * 16);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_IntegerFeatureWrite)->Args({0, 0})->Args({10000, 100})->Args({10000, 10000});

}  // namespace

BENCHMARK_MAIN();
