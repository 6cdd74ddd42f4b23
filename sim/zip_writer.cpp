// Builds the single-member ZIP archive a camera can serve instead of its plain description.
#include <zlib.h>

#include <cstring>

#include "gvcp_device.hpp"

namespace corvisk::sim {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

// Raw deflate (no zlib header), as ZIP method 8 stores it.
std::vector<uint8_t> raw_deflate(std::span<const uint8_t> data) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(data.size())));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

}  // namespace

std::vector<uint8_t> make_zip(const std::string& name, std::span<const uint8_t> data,
                              bool deflate) {
    std::vector<uint8_t> body =
        deflate ? raw_deflate(data) : std::vector<uint8_t>(data.begin(), data.end());
    uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    uint16_t method = deflate ? 8 : 0;
    uint16_t version = deflate ? 20 : 10;
    const uint16_t dos_time = 0, dos_date = (46 << 9) | (1 << 5) | 1;  // 2026-01-01

    std::vector<uint8_t> out;
    put32(out, 0x04034b50);  // local file header
    put16(out, version);
    put16(out, 0);  // flags
    put16(out, method);
    put16(out, dos_time);
    put16(out, dos_date);
    put32(out, crc);
    put32(out, static_cast<uint32_t>(body.size()));
    put32(out, static_cast<uint32_t>(data.size()));
    put16(out, static_cast<uint16_t>(name.size()));
    put16(out, 0);  // extra length
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), body.begin(), body.end());

    uint32_t central = static_cast<uint32_t>(out.size());
    put32(out, 0x02014b50);  // central directory header
    put16(out, 0x0314);      // made by: UNIX, 2.0
    put16(out, version);
    put16(out, 0);
    put16(out, method);
    put16(out, dos_time);
    put16(out, dos_date);
    put32(out, crc);
    put32(out, static_cast<uint32_t>(body.size()));
    put32(out, static_cast<uint32_t>(data.size()));
    put16(out, static_cast<uint16_t>(name.size()));
    put16(out, 0);               // extra
    put16(out, 0);               // comment
    put16(out, 0);               // disk number
    put16(out, 0);               // internal attributes
    put32(out, 0100644u << 16);  // external attributes: regular file, rw-r--r--
    put32(out, 0);               // local header offset
    out.insert(out.end(), name.begin(), name.end());
    uint32_t central_size = static_cast<uint32_t>(out.size()) - central;

    put32(out, 0x06054b50);  // end of central directory
    put16(out, 0);
    put16(out, 0);
    put16(out, 1);
    put16(out, 1);
    put32(out, central_size);
    put32(out, central);
    put16(out, 0);  // comment length
    return out;
}

}  // namespace corvisk::sim
