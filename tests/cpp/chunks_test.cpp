// The chunk layout parser on golden and hostile payloads, and the replay of the chunk and event
// fuzz corpora through their entry points.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../../fuzz/chunk_entries.hpp"
#include "genicam/chunks.hpp"

namespace corvisk::genicam {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void put_chunk(Bytes& out, const Bytes& data, uint32_t id) {
    out.insert(out.end(), data.begin(), data.end());
    for (uint32_t v : {id, static_cast<uint32_t>(data.size())}) {
        for (int s = 24; s >= 0; s -= 8) {
            out.push_back(static_cast<uint8_t>(v >> s));
        }
    }
}

TEST(ChunkLayout, WalksBackFromTheEndToTheImage) {
    Bytes p;
    put_chunk(p, Bytes(12, 0xAB), 1);  // the image
    put_chunk(p, {1, 2, 3, 4, 5, 6, 7, 8}, 0x10000001);
    put_chunk(p, {}, 0x10000009);         // empty chunks are chunks
    put_chunk(p, {9, 9, 9}, 0x10000004);  // unaligned lengths are accepted
    auto r = parse_chunks(p);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(*r, (std::vector<ChunkEntry>{
                      {1, 0, 12}, {0x10000001, 20, 8}, {0x10000009, 36, 0}, {0x10000004, 44, 3}}));
    EXPECT_TRUE(parse_chunks({}).ok());
    EXPECT_TRUE(parse_chunks({})->empty());
}

struct Hostile {
    const char* what;
    Bytes payload;
};

class ChunkLayoutRejects : public ::testing::TestWithParam<Hostile> {};

TEST_P(ChunkLayoutRejects, WithoutReadingOutsideThePayload) {
    auto r = parse_chunks(GetParam().payload);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(fuzz::chunks_entry(GetParam().payload));
}

Bytes with_trailer(Bytes data, uint32_t id, uint32_t length) {
    Bytes p = std::move(data);
    for (uint32_t v : {id, length}) {
        for (int s = 24; s >= 0; s -= 8) {
            p.push_back(static_cast<uint8_t>(v >> s));
        }
    }
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ChunkLayoutRejects,
    ::testing::Values(Hostile{"trailer_only_fragment", {1, 2, 3, 4, 5}},
                      Hostile{"length_past_start", with_trailer(Bytes(4), 7, 5)},
                      Hostile{"huge_length", with_trailer(Bytes(16), 7, 0xFFFFFFFF)},
                      Hostile{"fragment_before_first", with_trailer(Bytes(3 + 4), 7, 4)},
                      Hostile{"leftover_byte", with_trailer(Bytes(2), 1, 1)}),
    [](const auto& param_info) { return std::string(param_info.param.what); });

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ChunkFuzzCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(ChunkFuzzCorpus, EverySeedAndPrefixKeepsTheInvariants) {
    const fs::path dir = fs::path(CORVISK_SOURCE_DIR) / "fuzz" / "corpus" / GetParam();
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    const auto entry = std::string(GetParam()) == "chunks" ? fuzz::chunks_entry : fuzz::event_entry;
    size_t files = 0;
    for (const auto& item : fs::directory_iterator(dir)) {
        const Bytes bytes = read_file(item.path());
        for (size_t n = 0; n <= bytes.size() && n <= 512; ++n) {
            ASSERT_TRUE(entry(std::span(bytes).first(n))) << item.path() << " @" << n;
        }
        ++files;
    }
    EXPECT_GT(files, 0u);
}

INSTANTIATE_TEST_SUITE_P(Corpora, ChunkFuzzCorpus, ::testing::Values("chunks", "event"));

}  // namespace
}  // namespace corvisk::genicam
