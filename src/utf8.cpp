// UTF-8 lossy decoding and white-space trimming for texts read out of device memory.
#include "utf8.hpp"

#include <optional>

namespace corvisk {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at `p` (1..4), or 0 when invalid; `*valid_prefix`
// receives how many bytes form the longest valid-looking prefix (at least 1), which is what one
// replacement character stands for.
size_t sequence_length(std::span<const uint8_t> s, size_t* valid_prefix) {
    const uint8_t b0 = s[0];
    *valid_prefix = 1;
    if (b0 < 0x80) {
        return 1;
    }
    size_t need = 0;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (size_t i = 1; i < need; ++i) {
        if (i >= s.size()) {
            return 0;
        }
        const uint8_t b = s[i];
        const bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            return 0;
        }
        *valid_prefix = i + 1;
    }
    return need;
}

// Decodes the code point at the start of valid UTF-8 `s`; sets `len` to its byte count.
char32_t decode_at(std::string_view s, size_t pos, size_t& len) {
    const auto b0 = static_cast<uint8_t>(s[pos]);
    if (b0 < 0x80) {
        len = 1;
        return b0;
    }
    len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
    if (pos + len > s.size()) {
        len = 1;
        return 0xFFFD;
    }
    char32_t cp = b0 & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        cp = (cp << 6) | (static_cast<uint8_t>(s[pos + i]) & 0x3F);
    }
    return cp;
}

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Start of the code point that ends at `end` (exclusive) in valid UTF-8.
size_t previous_start(std::string_view s, size_t end) {
    size_t p = end - 1;
    while (p > 0 && (static_cast<uint8_t>(s[p]) & 0xC0) == 0x80 && end - p < 4) {
        --p;
    }
    return p;
}

}  // namespace

std::string utf8_lossy(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t prefix = 0;
        const size_t len = sequence_length(bytes.subspan(pos), &prefix);
        if (len == 0) {
            out += kReplacement;
            pos += prefix;
            continue;
        }
        out.append(reinterpret_cast<const char*>(bytes.data() + pos), len);
        pos += len;
    }
    return out;
}

std::string_view trim_unicode_space(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t len = 0;
        if (!is_unicode_space(decode_at(text, begin, len))) {
            break;
        }
        begin += len;
    }
    size_t end = text.size();
    while (end > begin) {
        const size_t start = previous_start(text, end);
        size_t len = 0;
        if (!is_unicode_space(decode_at(text, start, len))) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace corvisk
