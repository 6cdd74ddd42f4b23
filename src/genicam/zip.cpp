// ZIP container: end-of-central-directory search, first entry lookup, stored/deflate extraction.
#include "genicam/zip.hpp"

#include <zlib.h>

#include <algorithm>

#include <fmt/format.h>

namespace corvisk::genicam::zip {
namespace {

constexpr uint32_t kEndOfCentralDirSig = 0x06054b50;
constexpr uint32_t kCentralHeaderSig = 0x02014b50;
constexpr uint32_t kLocalHeaderSig = 0x04034b50;
constexpr size_t kEndOfCentralDirSize = 22;
constexpr size_t kMaxCommentSize = 65535;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
// DEFLATE cannot expand one input byte into more than about 1032 output bytes; used only to keep
// the first allocation proportional to the archive, whatever size the directory claims.
constexpr uint64_t kMaxDeflateRatio = 1032;

using Bytes = std::span<const uint8_t>;
using Extracted = Result<std::vector<uint8_t>, std::string>;

// ZIP fields are little-endian. Callers check `off + width <= data.size()` first.
uint16_t load_le16(Bytes d, uint64_t off) {
    return static_cast<uint16_t>(d[off] | (d[off + 1] << 8));
}
uint32_t load_le32(Bytes d, uint64_t off) {
    return uint32_t{d[off]} | (uint32_t{d[off + 1]} << 8) | (uint32_t{d[off + 2]} << 16) |
           (uint32_t{d[off + 3]} << 24);
}

bool fits(Bytes d, uint64_t off, uint64_t len) {
    return off <= d.size() && len <= d.size() - off;
}

Extracted fail(std::string text) {
    return Err{std::move(text)};
}

// Offset of the end-of-central-directory record; the highest match in the comment window wins.
Result<uint64_t, std::string> find_end_record(Bytes d) {
    if (d.size() < kEndOfCentralDirSize) {
        return Err{std::string("no end-of-central-directory record")};
    }
    const uint64_t last = d.size() - kEndOfCentralDirSize;
    const uint64_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
    for (uint64_t pos = last + 1; pos-- > first;) {
        if (load_le32(d, pos) == kEndOfCentralDirSig) {
            return pos;
        }
    }
    return Err{std::string("no end-of-central-directory record")};
}

Extracted inflate_raw(Bytes in, uint64_t declared, uint64_t limit) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
        return fail(fmt::format("deflate: {}", zs.msg ? zs.msg : "cannot initialise"));
    }
    std::vector<uint8_t> out;
    out.reserve(
        static_cast<size_t>(std::min({declared, limit, in.size() * kMaxDeflateRatio + 1024})));
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    uint8_t chunk[16384];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = chunk;
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        const size_t produced = sizeof chunk - zs.avail_out;
        // Z_BUF_ERROR here means no progress with a fresh output chunk: the input ran out.
        if (rc != Z_OK && rc != Z_STREAM_END) {
            std::string why = rc == Z_BUF_ERROR ? "unexpected end of compressed data"
                              : zs.msg          ? zs.msg
                                                : zError(rc);
            inflateEnd(&zs);
            return fail("deflate: " + why);
        }
        if (produced > limit - out.size()) {
            inflateEnd(&zs);
            return fail(fmt::format("deflate: output exceeds {} bytes", limit));
        }
        out.insert(out.end(), chunk, chunk + produced);
    }
    inflateEnd(&zs);
    return out;
}

// Whether the central directory entry at `c` (whose fixed header fits) names an XML document:
// its name ends in ".xml" in any case. Directory entries and manifests do not.
bool names_xml(Bytes d, uint64_t c) {
    const uint64_t n = load_le16(d, c + 28);
    if (n < 4 || !fits(d, c + kCentralHeaderSize, n)) {
        return false;
    }
    const uint64_t tail = c + kCentralHeaderSize + n - 4;
    const char ext[] = ".xml";
    for (uint64_t i = 0; i < 4; ++i) {
        const auto ch = static_cast<char>(d[tail + i]);
        const char lower = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
        if (lower != ext[i]) {
            return false;
        }
    }
    return true;
}

// The central directory header to extract: the first entry whose name ends in ".xml" (archivers
// may put a directory entry or a manifest first), else the first entry.
uint64_t select_entry(Bytes d, uint64_t first, uint64_t entries) {
    uint64_t c = first;
    for (uint64_t i = 0; i < entries; ++i) {
        if (!fits(d, c, kCentralHeaderSize) || load_le32(d, c) != kCentralHeaderSig) {
            break;
        }
        if (names_xml(d, c)) {
            return c;
        }
        c +=
            kCentralHeaderSize + load_le16(d, c + 28) + load_le16(d, c + 30) + load_le16(d, c + 32);
    }
    return first;
}

Extracted extract_entry(Bytes d, uint64_t c, uint64_t limit) {
    const uint16_t method = load_le16(d, c + 10);
    const uint64_t compressed = load_le32(d, c + 20);
    const uint64_t uncompressed = load_le32(d, c + 24);
    const uint64_t l = load_le32(d, c + 42);
    if (uncompressed > limit) {
        return fail("archive entry too large");
    }
    if (!fits(d, l, 4)) {
        return fail("truncated archive");
    }
    if (load_le32(d, l) != kLocalHeaderSig) {
        return fail("bad local file header");
    }
    if (!fits(d, l, kLocalHeaderSize)) {
        return fail("truncated archive");
    }
    const uint64_t start = l + kLocalHeaderSize + load_le16(d, l + 26) + load_le16(d, l + 28);
    if (!fits(d, start, compressed)) {
        return fail("truncated archive data");
    }
    const Bytes body = d.subspan(static_cast<size_t>(start), static_cast<size_t>(compressed));
    switch (method) {
        case kMethodStored:
            // The stored bytes are the content; the limit applies to them as well.
            if (body.size() > limit) {
                return fail("archive entry too large");
            }
            return std::vector<uint8_t>(body.begin(), body.end());
        case kMethodDeflate:
            return inflate_raw(body, uncompressed, limit);
        default:
            return fail(fmt::format("unsupported compression method {}", method));
    }
}

}  // namespace

Extracted extract_first_file(Bytes d, uint64_t limit) {
    auto end = find_end_record(d);
    if (!end) {
        return fail(std::move(end).error());
    }
    const uint64_t e = *end;
    const uint16_t entries = load_le16(d, e + 10);
    if (entries == 0) {
        return fail("empty archive");
    }
    const uint64_t c = load_le32(d, e + 16);
    if (!fits(d, c, 4)) {
        return fail("truncated archive");
    }
    if (load_le32(d, c) != kCentralHeaderSig) {
        return fail("bad central directory");
    }
    if (!fits(d, c, kCentralHeaderSize)) {
        return fail("truncated archive");
    }
    const uint64_t chosen = select_entry(d, c, entries);
    return extract_entry(d, chosen, limit);
}

}  // namespace corvisk::genicam::zip
