// GenICam URL register grammar and the bounded host-file reader behind File URLs.
#include "genicam/url.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "unique_fd.hpp"
#include "utf8.hpp"

namespace corvisk::genicam {
namespace {

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string_view trim_nuls(std::string_view s) {
    const size_t begin = s.find_first_not_of('\0');
    if (begin == std::string_view::npos) {
        return {};
    }
    return s.substr(begin, s.find_last_not_of('\0') - begin + 1);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Unsigned 64-bit hexadecimal: optional single '+', optional 0x/0X prefix, digits of either
// case. Scans left to right, so the first fault found (bad digit or overflow) is the one
// reported.
Result<uint64_t, std::string> parse_hex_u64(std::string_view s) {
    if (s.empty()) {
        return Err{std::string("cannot parse integer from empty string")};
    }
    if (s.size() == 1 && (s[0] == '+' || s[0] == '-')) {
        return Err{std::string("invalid digit found in string")};
    }
    if (s[0] == '+') {
        s.remove_prefix(1);
    }
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
    }
    uint64_t value = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) {
            return Err{std::string("invalid digit found in string")};
        }
        if (value > (UINT64_MAX >> 4)) {
            return Err{std::string("number too large to fit in target type")};
        }
        value = (value << 4) | static_cast<uint64_t>(d);
    }
    return value;
}

std::vector<std::string_view> split_at(std::string_view s, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (true) {
        const size_t end = s.find(separator, start);
        pieces.push_back(s.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

std::vector<std::string_view> split_semicolons(std::string_view s) {
    return split_at(s, ';');
}
std::vector<std::string_view> split_ampersands(std::string_view s) {
    return split_at(s, '&');
}

// The size piece may carry a query: "1A2B?SchemaVersion=1.1.0". Splits it off and returns the
// schema version it names (empty when there is none).
std::string split_query(std::string_view& size) {
    const size_t q = size.find('?');
    if (q == std::string_view::npos) {
        return {};
    }
    std::string_view query = size.substr(q + 1);
    size = size.substr(0, q);
    constexpr std::string_view kKey = "schemaversion=";
    for (std::string_view param : split_ampersands(query)) {
        if (ascii_lower(param.substr(0, kKey.size())) == kKey) {
            return std::string(trim_unicode_space(param.substr(kKey.size())));
        }
    }
    return {};
}

Result<XmlUrl, std::string> parse_local(std::string_view rest) {
    // "local:///name.zip;..." is the same as "local:name.zip;...": the slashes are a path
    // form some devices copy from file URLs.
    while (!rest.empty() && rest.front() == '/') {
        rest.remove_prefix(1);
    }
    const auto pieces = split_semicolons(rest);
    if (pieces.size() < 2) {
        return Err{std::string("missing address")};
    }
    if (pieces.size() < 3) {
        return Err{std::string("missing size")};
    }
    auto address = parse_hex_u64(trim_unicode_space(pieces[1]));
    if (!address) {
        return Err{"bad address: " + address.error()};
    }
    std::string_view size_text = trim_unicode_space(pieces[2]);
    std::string schema_version = split_query(size_text);
    auto length = parse_hex_u64(trim_unicode_space(size_text));
    if (!length) {
        return Err{"bad size: " + length.error()};
    }
    // A device claiming a gigantic document would make the fetch allocate it; refuse up front.
    if (*length > kMaxDescriptionSize) {
        return Err{fmt::format("XML size {:#x} exceeds the limit of {:#x} bytes", *length,
                               kMaxDescriptionSize)};
    }
    return XmlUrl{XmlUrl::Local{std::string(trim_unicode_space(pieces[0])), *address, *length,
                                std::move(schema_version)}};
}

std::string_view strip_leading_slash_pairs(std::string_view s) {
    while (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
        s.remove_prefix(2);
    }
    return s;
}

bool ends_with_zip(std::string_view name) {
    return name.size() >= 4 && ascii_lower(name.substr(name.size() - 4)) == ".zip";
}

}  // namespace

Result<XmlUrl, std::string> XmlUrl::parse(std::string_view text) {
    const std::string_view trimmed = trim_nuls(trim_unicode_space(text));
    const std::string lower = ascii_lower(trimmed);
    const std::string_view lower_view(lower);
    if (lower_view.starts_with("local:")) {
        return parse_local(trimmed.substr(6));
    }
    if (lower_view.starts_with("file:")) {
        return XmlUrl{File{std::string(strip_leading_slash_pairs(trimmed.substr(5)))}};
    }
    if (lower_view.starts_with("http://") || lower_view.starts_with("https://")) {
        return XmlUrl{Http{std::string(trimmed)}};
    }
    return Err{fmt::format("unrecognized GenICam URL '{}'", trimmed)};
}

Result<XmlUrl, std::string> XmlUrl::from_register(std::span<const uint8_t> bytes) {
    const auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return parse(utf8_lossy(bytes.first(static_cast<size_t>(nul - bytes.begin()))));
}

bool XmlUrl::is_zip() const {
    return std::visit(
        [](const auto& loc) {
            using T = std::decay_t<decltype(loc)>;
            if constexpr (std::is_same_v<T, Local>) {
                return ends_with_zip(loc.file_name);
            } else if constexpr (std::is_same_v<T, File>) {
                return ends_with_zip(loc.path);
            } else {
                return ends_with_zip(loc.url);
            }
        },
        location);
}

namespace {

CameraError not_regular(const std::string& path, mode_t mode) {
    if (S_ISDIR(mode)) {
        return CameraError::io(EISDIR);
    }
    return CameraError::io_text(EINVAL, fmt::format("'{}' is not a regular file", path));
}

CameraError too_large(const std::string& path, uint64_t limit) {
    return CameraError::io_text(EFBIG, fmt::format("'{}' is larger than {} bytes", path, limit));
}

}  // namespace

CameraResult<std::vector<uint8_t>> read_host_file(const std::string& path, uint64_t limit) {
    // The system call would silently stop at an embedded NUL and name another file.
    if (path.find('\0') != std::string::npos) {
        return Err{CameraError::io_text(EINVAL, "file path contains a NUL character")};
    }
    // Look before opening: opening some device files has side effects of its own.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Err{CameraError::io(errno)};
    }
    if (!S_ISREG(st.st_mode)) {
        return Err{not_regular(path, st.st_mode)};
    }
    // Non-blocking, so a path swapped for a fifo after the check cannot hang the open or a read.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.is_valid()) {
        return Err{CameraError::io(errno)};
    }
    if (::fstat(fd.get(), &st) != 0) {
        return Err{CameraError::io(errno)};
    }
    if (!S_ISREG(st.st_mode)) {
        return Err{not_regular(path, st.st_mode)};
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        return Err{too_large(path, limit)};
    }
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(st.st_size));
    // The size may change underneath (or be 0 for synthetic files): read to EOF, but never more
    // than one byte beyond the limit.
    uint8_t chunk[16384];
    while (true) {
        const uint64_t left = limit - data.size();
        const uint64_t room = left == UINT64_MAX ? left : left + 1;
        const ssize_t n =
            ::read(fd.get(), chunk, static_cast<size_t>(std::min<uint64_t>(sizeof chunk, room)));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Err{CameraError::io(errno)};
        }
        if (n == 0) {
            return data;
        }
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > limit) {
            return Err{too_large(path, limit)};
        }
    }
}

}  // namespace corvisk::genicam
