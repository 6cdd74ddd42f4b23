// Replays the stream assembler's fuzz corpus under the regular (and sanitizer) test builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/stream_assembler_driver.hpp"

TEST(StreamAssemblerFuzzReplayTest, CorpusKeepsEveryInvariant) {
    const std::filesystem::path dir =
        std::filesystem::path(CORVISK_SOURCE_DIR) / "fuzz" / "corpus" / "stream_assembler";
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        corvisk::gige::fuzzing::run_stream_assembler_case(input.data(), input.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 10u);
}
