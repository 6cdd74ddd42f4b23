// ZIP container reading: archives built here with zlib, then damaged field by field.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "genicam/zip.hpp"

using namespace corvisk::genicam;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes to_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes raw_deflate(const Bytes& in) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, in.size()));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void append16(Bytes& b, uint16_t v) {
    b.resize(b.size() + 2);
    put16(b, b.size() - 2, v);
}
void append32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    put32(b, b.size() - 4, v);
}
void append(Bytes& b, const Bytes& tail) {
    b.insert(b.end(), tail.begin(), tail.end());
}

struct Member {
    std::string name;
    Bytes content;
    bool deflate = false;
};

// An archive with the offsets of its parts, so tests can damage single fields.
struct Archive {
    Bytes bytes;
    std::vector<size_t> local;  // local header offset per member
    size_t central = 0;         // first central directory header
    size_t end = 0;             // end-of-central-directory record
};

Archive build_zip(const std::vector<Member>& members, const std::string& comment = "") {
    Archive a;
    std::vector<Bytes> bodies;
    for (const auto& m : members) {
        Bytes body = m.deflate ? raw_deflate(m.content) : m.content;
        const uint16_t method = m.deflate ? 8 : 0;
        const auto crc = static_cast<uint32_t>(crc32(0, m.content.data(), m.content.size()));
        a.local.push_back(a.bytes.size());
        append32(a.bytes, 0x04034b50);
        for (uint16_t v : std::initializer_list<uint16_t>{20, 0, method, 0, 0}) {
            append16(a.bytes, v);
        }
        append32(a.bytes, crc);
        append32(a.bytes, static_cast<uint32_t>(body.size()));
        append32(a.bytes, static_cast<uint32_t>(m.content.size()));
        append16(a.bytes, static_cast<uint16_t>(m.name.size()));
        append16(a.bytes, 0);
        append(a.bytes, to_bytes(m.name));
        append(a.bytes, body);
        bodies.push_back(std::move(body));
    }
    a.central = a.bytes.size();
    for (size_t i = 0; i < members.size(); ++i) {
        const auto& m = members[i];
        const uint16_t method = m.deflate ? 8 : 0;
        append32(a.bytes, 0x02014b50);
        for (uint16_t v : std::initializer_list<uint16_t>{20, 20, 0, method, 0, 0}) {
            append16(a.bytes, v);
        }
        append32(a.bytes, static_cast<uint32_t>(crc32(0, m.content.data(), m.content.size())));
        append32(a.bytes, static_cast<uint32_t>(bodies[i].size()));
        append32(a.bytes, static_cast<uint32_t>(m.content.size()));
        for (uint16_t v :
             std::initializer_list<uint16_t>{static_cast<uint16_t>(m.name.size()), 0, 0, 0, 0}) {
            append16(a.bytes, v);
        }
        append32(a.bytes, 0);
        append32(a.bytes, static_cast<uint32_t>(a.local[i]));
        append(a.bytes, to_bytes(m.name));
    }
    a.end = a.bytes.size();
    const auto central_size = static_cast<uint32_t>(a.end - a.central);
    append32(a.bytes, 0x06054b50);
    const auto count = static_cast<uint16_t>(members.size());
    for (uint16_t v : std::initializer_list<uint16_t>{0, 0, count, count}) {
        append16(a.bytes, v);
    }
    append32(a.bytes, central_size);
    append32(a.bytes, static_cast<uint32_t>(a.central));
    append16(a.bytes, static_cast<uint16_t>(comment.size()));
    append(a.bytes, to_bytes(comment));
    return a;
}

Bytes sample_xml() {
    std::string xml = "<?xml version=\"1.0\"?>\n<RegisterDescription>";
    for (int i = 0; i < 200; ++i) {
        xml += "<Integer Name=\"N" + std::to_string(i) + "\"><Value>1</Value></Integer>";
    }
    xml += "</RegisterDescription>\n";
    Bytes out = to_bytes(xml);
    out.push_back(0x00);
    out.push_back(0xFF);  // binary bytes survive unchanged
    return out;
}

std::string extract_error(const Bytes& archive, uint64_t limit = kMaxDescriptionSize) {
    auto r = zip::extract_first_file(archive, limit);
    return r.ok() ? "<ok>" : r.error();
}

TEST(ZipTest, ExtractsTheFirstMemberStoredOrDeflated) {
    const Bytes xml = sample_xml();
    const std::vector<std::pair<const char*, Archive>> cases = {
        {"stored", build_zip({{"Camera.xml", xml, false}})},
        {"deflated", build_zip({{"Camera.xml", xml, true}})},
        {"first of two", build_zip({{"a.xml", xml, true}, {"b.xml", to_bytes("other"), false}})},
        {"65535-byte comment", build_zip({{"a.xml", xml, true}}, std::string(65535, 'c'))},
        {"empty stored member", build_zip({{"a.xml", {}, false}})},
        {"empty deflated member", build_zip({{"a.xml", {}, true}})},
    };
    for (const auto& [label, archive] : cases) {
        SCOPED_TRACE(label);
        auto content = zip::extract_first_file(archive.bytes);
        ASSERT_TRUE(content.ok()) << content.error();
        const bool empty_member = std::strncmp(label, "empty", 5) == 0;
        EXPECT_EQ(*content, empty_member ? Bytes{} : xml);
    }
}

TEST(ZipTest, TakesTheFirstXmlEntryPastDirectoriesAndManifests) {
    const Bytes xml = sample_xml();
    const std::vector<std::pair<const char*, Archive>> cases = {
        {"directory first", build_zip({{"Camera/", {}, false}, {"Camera/Cam.xml", xml, true}})},
        {"manifest first", build_zip({{"manifest.txt", to_bytes("m"), false},
                                      {"docs/readme", to_bytes("r"), true},
                                      {"CAM.XML", xml, false},
                                      {"later.xml", to_bytes("other"), false}})},
        {"no xml entry", build_zip({{"only.bin", xml, false}, {"b.bin", to_bytes("b"), false}})},
    };
    for (const auto& [label, archive] : cases) {
        SCOPED_TRACE(label);
        auto content = zip::extract_first_file(archive.bytes);
        ASSERT_TRUE(content.ok()) << content.error();
        EXPECT_EQ(*content, xml);
    }
}

TEST(ZipTest, SizesOutsideTheCentralDirectoryAreNotConsulted) {
    // A lying uncompressed size (and local header sizes) does not change what is extracted.
    const Bytes xml = sample_xml();
    Archive a = build_zip({{"a.xml", xml, true}});
    put32(a.bytes, a.central + 24, 7);
    put32(a.bytes, a.local[0] + 18, 0);
    put32(a.bytes, a.local[0] + 22, 0);
    auto content = zip::extract_first_file(a.bytes);
    ASSERT_TRUE(content.ok()) << content.error();
    EXPECT_EQ(*content, xml);
}

TEST(ZipTest, ReportsEachKindOfDamage) {
    const Bytes xml = sample_xml();
    const Archive stored = build_zip({{"a.xml", xml, false}});
    const Archive deflated = build_zip({{"a.xml", xml, true}});
    struct Case {
        const char* label;
        Archive archive;
        void (*damage)(Archive&);
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no bytes", {}, [](Archive&) {}, "no end-of-central-directory record"},
        {"21 bytes", stored, [](Archive& a) { a.bytes.resize(21); },
         "no end-of-central-directory record"},
        {"record beyond the comment window", stored,
         [](Archive& a) { a.bytes.insert(a.bytes.end(), 65536, 0); },
         "no end-of-central-directory record"},
        {"no entries", build_zip({}), [](Archive&) {}, "empty archive"},
        {"central directory past the end", stored,
         [](Archive& a) { put32(a.bytes, a.end + 16, static_cast<uint32_t>(a.bytes.size() - 3)); },
         "truncated archive"},
        {"central directory offset huge", stored,
         [](Archive& a) { put32(a.bytes, a.end + 16, 0xFFFFFFFF); }, "truncated archive"},
        {"bad central signature", stored, [](Archive& a) { a.bytes[a.central] = 'X'; },
         "bad central directory"},
        {"central header cut short", stored,
         [](Archive& a) {
             // A signature four bytes before the end record, with no room for the header.
             put32(a.bytes, a.end - 4, 0x02014b50);
             put32(a.bytes, a.end + 16, static_cast<uint32_t>(a.end - 4));
         },
         "truncated archive"},
        {"declared size above the limit", stored,
         [](Archive& a) { put32(a.bytes, a.central + 24, 0x4000001); }, "archive entry too large"},
        {"local header offset past the end", stored,
         [](Archive& a) { put32(a.bytes, a.central + 42, 0xFFFFFFF0); }, "truncated archive"},
        {"bad local signature", stored, [](Archive& a) { a.bytes[0] = 'X'; },
         "bad local file header"},
        {"local header cut short", stored,
         [](Archive& a) {
             put32(a.bytes, a.end - 4, 0x04034b50);
             put32(a.bytes, a.central + 42, static_cast<uint32_t>(a.end - 4));
         },
         "truncated archive"},
        {"compressed size lies", stored,
         [](Archive& a) { put32(a.bytes, a.central + 20, 0xFFFFFFFF); }, "truncated archive data"},
        {"name length lies", stored, [](Archive& a) { put16(a.bytes, a.local[0] + 26, 0xFFFF); },
         "truncated archive data"},
        {"extra length lies", stored, [](Archive& a) { put16(a.bytes, a.local[0] + 28, 0xFFFF); },
         "truncated archive data"},
        {"unknown method", stored, [](Archive& a) { put16(a.bytes, a.central + 10, 12); },
         "unsupported compression method 12"},
        {"deflate stream cut short", deflated,
         [](Archive& a) {
             const uint32_t size = a.bytes[a.central + 20] | (a.bytes[a.central + 21] << 8);
             put32(a.bytes, a.central + 20, size / 2);
         },
         "deflate: unexpected end of compressed data"},
        {"corrupt deflate stream", deflated,
         [](Archive& a) { a.bytes[a.local[0] + 30 + 5] = 0xFF; }, "deflate: invalid block type"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.label);
        c.damage(c.archive);
        EXPECT_EQ(extract_error(c.archive.bytes), c.message);
    }
}

TEST(ZipTest, InflationStopsAtTheOutputLimit) {
    // 4 MiB of zeros compresses to a few KiB; the directory claims a harmless size.
    constexpr uint64_t kLimit = 1 << 20;
    const Bytes zeros(4 << 20, 0);
    Archive bomb = build_zip({{"bomb.xml", zeros, true}});
    ASSERT_LT(bomb.bytes.size(), 16u << 10);
    EXPECT_EQ(extract_error(bomb.bytes, kLimit), "archive entry too large");
    put32(bomb.bytes, bomb.central + 24, 1000);
    EXPECT_EQ(extract_error(bomb.bytes, kLimit), "deflate: output exceeds 1048576 bytes");

    // Exactly at the limit is still fine, stored or deflated.
    const Bytes full(kLimit, 'x');
    for (bool deflate : {false, true}) {
        auto content = zip::extract_first_file(build_zip({{"a.xml", full, deflate}}).bytes, kLimit);
        ASSERT_TRUE(content.ok()) << content.error();
        EXPECT_EQ(content->size(), kLimit);
    }
    // A stored member larger than the limit fails even when its declared size lies.
    Archive big = build_zip({{"a.xml", Bytes(kLimit + 1, 'x'), false}});
    put32(big.bytes, big.central + 24, 10);
    EXPECT_EQ(extract_error(big.bytes, kLimit), "archive entry too large");
}

}  // namespace
