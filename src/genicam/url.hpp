// Location of a device's GenICam description (the URL register text) and host-file reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace corvisk::genicam {

// Largest description accepted from any source: device memory, a host file or an archive entry.
// Device-supplied lengths above it are refused before anything is allocated.
inline constexpr uint64_t kMaxDescriptionSize = 0x4000000;  // 64 MiB

// Where the device says its description lies. A plain value; copyable.
struct XmlUrl {
    // In device memory at `address`, `length` bytes; only the extension of `file_name` matters.
    // `schema_version` is the version a "?SchemaVersion=x.y.z" query names (empty without one).
    struct Local {
        std::string file_name;
        uint64_t address = 0;
        uint64_t length = 0;
        std::string schema_version = {};
        friend bool operator==(const Local&, const Local&) = default;
    };
    // A file on the host's file system.
    struct File {
        std::string path;
        friend bool operator==(const File&, const File&) = default;
    };
    // On a web server: recognised, never fetched.
    struct Http {
        std::string url;
        friend bool operator==(const Http&, const Http&) = default;
    };

    std::variant<Local, File, Http> location;

    // Parses a URL register text ("Local:name;addr;len", "file:...", "http(s)://...").
    // Devices write Local URLs in several forms, all accepted: slashes before the name
    // ("local:///name.zip;..."), addresses and sizes with a 0x prefix, and a query after the
    // size ("...;1A2B?SchemaVersion=1.1.0"), whose version is kept.
    // The error is the display text ("missing size", "bad address: ...", ...).
    static Result<XmlUrl, std::string> parse(std::string_view text);

    // Parses the raw 512 bytes of a URL register: cut at the first NUL, decoded as UTF-8 with
    // invalid sequences replaced, then parse().
    static Result<XmlUrl, std::string> from_register(std::span<const uint8_t> bytes);

    // True when the name text (file name, path or URL) ends with ".zip", ASCII case-insensitive.
    bool is_zip() const;

    friend bool operator==(const XmlUrl&, const XmlUrl&) = default;
};

// Reads a whole host file named by a File URL. Only regular files are read, and at most `limit`
// bytes: a path naming a directory, fifo, socket or device fails without blocking, and a larger
// file fails before its content is read. Failures are `Io`. Blocks only on disk I/O.
CameraResult<std::vector<uint8_t>> read_host_file(const std::string& path,
                                                  uint64_t limit = kMaxDescriptionSize);

}  // namespace corvisk::genicam
