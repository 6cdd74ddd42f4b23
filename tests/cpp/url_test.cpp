// GenICam URL register grammar, UTF-8 handling of register text, and bounded host-file reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "genicam/url.hpp"
#include "utf8.hpp"

using namespace corvisk;
using namespace corvisk::genicam;
using namespace std::string_literals;

namespace {

struct UrlCase {
    std::string text;
    XmlUrl expected;
    bool is_zip;
};

TEST(XmlUrlTest, ParsesEveryForm) {
    const std::vector<UrlCase> cases = {
        {"Local:Camera.zip;8000;1A2B", {XmlUrl::Local{"Camera.zip", 0x8000, 0x1A2B}}, true},
        {"  LOCAL: Camera.xml ; 8000 ;\t1a2b  ",
         {XmlUrl::Local{"Camera.xml", 0x8000, 0x1A2B}},
         false},
        {"local:x.ZIP;+10;+20", {XmlUrl::Local{"x.ZIP", 0x10, 0x20}}, true},
        {"Local:x.xml;8000;10;extra;more", {XmlUrl::Local{"x.xml", 0x8000, 0x10}}, false},
        {"Local:x.xml;0000FFFFFFFFFFFFFFFF;4000000",
         {XmlUrl::Local{"x.xml", UINT64_MAX, 0x4000000}},
         false},
        {"Local:;0;0", {XmlUrl::Local{"", 0, 0}}, false},
        {"Local:a.xml;10;20\0\0\0"s, {XmlUrl::Local{"a.xml", 0x10, 0x20}}, false},
        {"\u00a0\u3000Local:a.xml;10;20\u2028", {XmlUrl::Local{"a.xml", 0x10, 0x20}}, false},
        // Forms real devices write: a schema-version query, slashes before the name, 0x numbers.
        {"Local:x.xml;8000;1A2B?SchemaVersion=1.1.0",
         {XmlUrl::Local{"x.xml", 0x8000, 0x1A2B, "1.1.0"}},
         false},
        {"local:///cam.zip;0x8000;0X1a2b?foo=1&schemaversion=1.0.0",
         {XmlUrl::Local{"cam.zip", 0x8000, 0x1A2B, "1.0.0"}},
         true},
        {"Local:x.xml;+0x10;20?Other=2", {XmlUrl::Local{"x.xml", 0x10, 0x20}}, false},
        {"file:///opt/cam/Camera.xml", {XmlUrl::File{"/opt/cam/Camera.xml"}}, false},
        {"FILE://C:/cams/x.Zip", {XmlUrl::File{"C:/cams/x.Zip"}}, true},
        {"file:C:\\dir\\cam.xml", {XmlUrl::File{"C:\\dir\\cam.xml"}}, false},
        {"file:////x.xml", {XmlUrl::File{"x.xml"}}, false},
        {"file:", {XmlUrl::File{""}}, false},
        {"http://host/cam.zip", {XmlUrl::Http{"http://host/cam.zip"}}, true},
        {"  HTTPS://Host/X.xml ", {XmlUrl::Http{"HTTPS://Host/X.xml"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto url = XmlUrl::parse(c.text);
        ASSERT_TRUE(url.ok()) << url.error();
        EXPECT_EQ(*url, c.expected);
        EXPECT_EQ(url->is_zip(), c.is_zip);
    }
}

TEST(XmlUrlTest, RejectsWithTheGrammarsMessages) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Local:x.xml", "missing address"},
        {"Local:x.xml;8000", "missing size"},
        {"Local:x.xml;0x;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;0x0x8000;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;8000;?SchemaVersion=1.1.0",
         "bad size: cannot parse integer from empty string"},
        {"Local:x.xml;8000;1A2B#SchemaVersion=1.1.0", "bad size: invalid digit found in string"},
        {"Local:x.xml;;10", "bad address: cannot parse integer from empty string"},
        {"Local:x.xml;  ;10", "bad address: cannot parse integer from empty string"},
        {"Local:x.xml;10;", "bad size: cannot parse integer from empty string"},
        {"Local:x.xml;+;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;-;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;-1;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;++1;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;1 2;10", "bad address: invalid digit found in string"},
        {"Local:x.xml;10000000000000000;10", "bad address: number too large to fit in target type"},
        // Scanned left to right: the overflow comes before the bad digit.
        {"Local:x.xml;10;FFFFFFFFFFFFFFFFFg", "bad size: number too large to fit in target type"},
        {"Local:x.xml;10;gFFFFFFFFFFFFFFFFF", "bad size: invalid digit found in string"},
        // Absurd lengths are refused before any fetch could allocate them.
        {"Local:x.xml;10;4000001", "XML size 0x4000001 exceeds the limit of 0x4000000 bytes"},
        {"Local:x.xml;10;FFFFFFFF", "XML size 0xffffffff exceeds the limit of 0x4000000 bytes"},
        {"", "unrecognized GenICam URL ''"},
        {std::string(512, '\0'), "unrecognized GenICam URL ''"},
        {" \t ftp://x \n", "unrecognized GenICam URL 'ftp://x'"},
        {"http:/x", "unrecognized GenICam URL 'http:/x'"},
        {"Locale:x;1;2", "unrecognized GenICam URL 'Locale:x;1;2'"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        auto url = XmlUrl::parse(text);
        ASSERT_FALSE(url.ok());
        EXPECT_EQ(url.error(), message);
    }
}

TEST(XmlUrlTest, RegisterBytesAreCutAtNulAndDecodedLossily) {
    std::vector<uint8_t> reg(512, 0);
    const std::string text = "Local:cam.zip;400;1000";
    std::copy(text.begin(), text.end(), reg.begin());
    reg[text.size() + 1] = 'X';  // garbage after the terminator is ignored
    auto url = XmlUrl::from_register(reg);
    ASSERT_TRUE(url.ok()) << url.error();
    EXPECT_EQ(*url, (XmlUrl{XmlUrl::Local{"cam.zip", 0x400, 0x1000}}));

    const std::vector<uint8_t> bad = {0xFF, 'f', 'o', 'o', 0};
    auto refused = XmlUrl::from_register(bad);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "unrecognized GenICam URL '\uFFFDfoo'");
}

TEST(Utf8Test, ReplacesEachMaximalInvalidSubsequence) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", "abc"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xF0\x9F\x93\xB7", "\xF0\x9F\x93\xB7"},
        {"\xFF", "\uFFFD"},
        {"a\x80z", "a\uFFFDz"},
        {"\xC0\xAF", "\uFFFD\uFFFD"},            // overlong
        {"\xE0\x80\x80", "\uFFFD\uFFFD\uFFFD"},  // overlong three-byte
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // surrogate
        {"\xF0\x90\x80", "\uFFFD"},              // truncated four-byte sequence
        {"\xF0\x90\x80z", "\uFFFDz"},
        {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(utf8_lossy({reinterpret_cast<const uint8_t*>(in.data()), in.size()}), out);
    }
}

// A private directory for file tests, removed with everything in it.
class HostFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "corvisk_url_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write_file(const std::string& name, const std::string& content) {
        const auto path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(HostFileTest, ReadsARegularFileWhole) {
    const std::string content = "<RegisterDescription/>\0\xFF"s;
    auto data = read_host_file(write_file("cam.xml", content));
    ASSERT_TRUE(data.ok()) << data.error().message();
    EXPECT_EQ(std::string(data->begin(), data->end()), content);

    auto empty = read_host_file(write_file("empty.xml", ""));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

TEST_F(HostFileTest, HonoursTheSizeLimitExactly) {
    const auto path = write_file("cam.xml", std::string(100, 'x'));
    auto at_limit = read_host_file(path, 100);
    ASSERT_TRUE(at_limit.ok());
    EXPECT_EQ(at_limit->size(), 100u);
    auto over = read_host_file(path, 99);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error().kind(), CameraError::Kind::Io);
    EXPECT_EQ(over.error().message(), "io error: '" + path + "' is larger than 99 bytes");
}

TEST_F(HostFileTest, RefusesEverythingButRegularFilesWithoutBlocking) {
    const auto fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto link = (dir_ / "zero-link").string();
    std::filesystem::create_symlink("/dev/zero", link);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {fifo, "io error: '" + fifo + "' is not a regular file"},
        {"/dev/zero", "io error: '/dev/zero' is not a regular file"},
        {link, "io error: '" + link + "' is not a regular file"},
        {dir_.string(), "io error: Is a directory"},
        {(dir_ / "missing.xml").string(), "io error: No such file or directory"},
        {"", "io error: No such file or directory"},
        {write_file("real.xml", "x") + "\0.zip"s, "io error: file path contains a NUL character"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        auto data = read_host_file(path);
        ASSERT_FALSE(data.ok());
        EXPECT_EQ(data.error().kind(), CameraError::Kind::Io);
        EXPECT_EQ(data.error().message(), message);
    }
}

}  // namespace
