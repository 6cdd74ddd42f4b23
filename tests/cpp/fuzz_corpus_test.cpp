// Replays every seed and saved finding of the fuzz corpora through the fuzz entry points, so
// ordinary (and sanitizer) test builds keep covering them without clang's libFuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/fuzz_entries.hpp"

namespace {

namespace fs = std::filesystem;
using Entry = bool (*)(std::span<const uint8_t>);

struct Target {
    const char* corpus;
    Entry entry;
};

const Target kTargets[] = {
    {"gvcp_ack", corvisk::fuzz::gvcp_ack_entry},
    {"device_info", corvisk::fuzz::device_info_entry},
    {"gvsp", corvisk::fuzz::gvsp_entry},
};

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzCorpusTest : public ::testing::TestWithParam<Target> {};

}  // namespace

TEST_P(FuzzCorpusTest, EveryInputKeepsTheInvariants) {
    const fs::path dir = fs::path(CORVISK_SOURCE_DIR) / "fuzz" / "corpus" / GetParam().corpus;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    size_t files = 0;
    for (const auto& item : fs::directory_iterator(dir)) {
        if (!item.is_regular_file()) {
            continue;
        }
        const auto bytes = read_file(item.path());
        EXPECT_TRUE(GetParam().entry(bytes)) << item.path();
        ++files;
    }
    EXPECT_GT(files, 0u) << "empty corpus " << dir;
}

TEST_P(FuzzCorpusTest, EveryPrefixOfEverySeedKeepsTheInvariants) {
    // Truncations are the commonest malformation on the wire; walk all of them.
    const fs::path dir = fs::path(CORVISK_SOURCE_DIR) / "fuzz" / "corpus" / GetParam().corpus;
    for (const auto& item : fs::directory_iterator(dir)) {
        const auto bytes = read_file(item.path());
        for (size_t n = 0; n <= bytes.size() && n <= 512; ++n) {
            ASSERT_TRUE(GetParam().entry(std::span(bytes).first(n))) << item.path() << " @" << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Corpora, FuzzCorpusTest, ::testing::ValuesIn(kTargets),
                         [](const auto& p) { return std::string(p.param.corpus); });
