// Benchmark: builds every real description beside the repository (../shared/descriptions, when
// present) and prints each one's build time (median of several runs), then the corpus median and
// maximum. Skips with a note when the corpus is absent.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "genicam/xml_builder.hpp"
#include "genicam/zip.hpp"

using namespace corvisk::genicam;
namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 7;

fs::path corpus_dir() {
    const fs::path root(CORVISK_BENCH_SOURCE_DIR);
    for (const fs::path& p : {root / ".." / "shared" / "descriptions",
                              root / ".." / ".." / "shared" / "descriptions"}) {
        if (fs::is_directory(p)) {
            return p;
        }
    }
    return {};
}

std::vector<uint8_t> load(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    if (p.extension() == ".zip") {
        auto unpacked = zip::extract_first_file(bytes);
        return unpacked.ok() ? std::move(unpacked).value() : std::vector<uint8_t>{};
    }
    return bytes;
}

// Median build time of one document in milliseconds; negative when it does not build.
double median_build_ms(const std::vector<uint8_t>& bytes) {
    std::vector<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        auto map = xml::parse_description(bytes);
        const auto t1 = std::chrono::steady_clock::now();
        if (!map.ok()) {
            std::fprintf(stderr, "build failed: %s\n", map.error().message().c_str());
            return -1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    const fs::path dir = corpus_dir();
    if (dir.empty()) {
        std::printf("no description corpus beside the repository; nothing to measure\n");
        return 0;
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".xml" || e.path().extension() == ".zip") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<double> medians;
    for (const auto& f : files) {
        const auto bytes = load(f);
        const double ms = median_build_ms(bytes);
        std::printf("%-36s %9zu bytes %8.2f ms\n", f.filename().string().c_str(), bytes.size(), ms);
        if (ms >= 0) {
            medians.push_back(ms);
        }
    }
    if (medians.empty()) {
        return 1;
    }
    std::sort(medians.begin(), medians.end());
    std::printf("descriptions %zu  median %.2f ms  max %.2f ms\n", medians.size(),
                medians[medians.size() / 2], medians.back());
    return medians.size() == files.size() ? 0 : 1;
}
