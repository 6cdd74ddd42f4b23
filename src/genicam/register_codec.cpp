// Register value encoding: byte order, bit fields with sign extension, floats and strings.
#include "genicam/register_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "genicam/url.hpp"
#include "utf8.hpp"

namespace corvisk::genicam {
namespace {

bool int_length_ok(uint64_t length) {
    return length >= 1 && length <= 8;
}

std::string bad_int_length(int64_t length) {
    return fmt::format("unsupported integer register length {}", length);
}

// Mask of the low n bits, 1 <= n <= 64.
uint64_t low_mask(uint32_t n) {
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// IEEE round-to-nearest narrowing that is defined for every input: the plain conversion is
// undefined behaviour for finite values beyond the float range.
float narrow_to_float(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    // Half a unit in the last place above the largest float: from here on, rounding gives inf.
    constexpr double kOverflow = kMax + 0x1p103;
    if (std::isfinite(value) && std::fabs(value) > kMax) {
        const double mag = std::fabs(value) >= kOverflow ? HUGE_VAL : kMax;
        return static_cast<float>(std::copysign(mag, value));
    }
    return static_cast<float>(value);
}

}  // namespace

CodecResult<BitRange> field_bits(const IntField& field, uint64_t length) {
    // Unsigned 32-bit arithmetic with wrap-around: a big-endian LSB beyond the register wraps to a
    // huge position and is caught by the range test below.
    const auto w = static_cast<uint32_t>(8 * length);
    const auto flip = [&](uint32_t bit) { return field.big_endian ? w - 1 - bit : bit; };
    BitRange r{0, w - 1};
    if (field.lsb && field.msb) {
        r = {flip(*field.lsb), flip(*field.msb)};
    } else if (field.lsb) {
        r = {flip(*field.lsb), flip(*field.lsb)};
    } else if (field.msb) {
        r = field.big_endian ? BitRange{flip(*field.msb), flip(*field.msb)}
                             : BitRange{0, *field.msb};
    }
    if (r.high >= w || r.high < r.low) {
        return Err{fmt::format("bad bit range {}..{} for {} bytes", r.low, r.high, length)};
    }
    return r;
}

uint64_t load_u64(std::span<const uint8_t> bytes, bool big_endian) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
        const uint8_t b = big_endian ? bytes[i] : bytes[bytes.size() - 1 - i];
        v = (v << 8) | b;
    }
    return v;
}

Bytes store_u64(uint64_t value, size_t length, bool big_endian) {
    Bytes out(std::min<size_t>(length, 8));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    if (big_endian) {
        std::reverse(out.begin(), out.end());
    }
    return out;
}

CodecResult<int64_t> decode_int(std::span<const uint8_t> bytes, const IntField& field) {
    if (!int_length_ok(bytes.size())) {
        return Err{bad_int_length(static_cast<int64_t>(bytes.size()))};
    }
    const BitRange r = CVK_TRY(field_bits(field, bytes.size()));
    const uint64_t whole = load_u64(bytes, field.big_endian);
    if (r.high - r.low >= 63) {
        return static_cast<int64_t>(whole);
    }
    const uint32_t n = r.high - r.low + 1;
    uint64_t v = (whole >> r.low) & low_mask(n);
    if (!field.is_unsigned && (v >> (n - 1)) & 1) {
        v |= ~low_mask(n);
    }
    return static_cast<int64_t>(v);
}

CodecResult<Bytes> encode_int(int64_t value, int64_t length, bool big_endian) {
    if (length < 1 || length > 8) {
        return Err{bad_int_length(length)};
    }
    return store_u64(static_cast<uint64_t>(value), static_cast<size_t>(length), big_endian);
}

CodecResult<Bytes> insert_int(std::span<const uint8_t> old, int64_t value, const IntField& field) {
    if (!int_length_ok(old.size())) {
        return Err{bad_int_length(static_cast<int64_t>(old.size()))};
    }
    const BitRange r = CVK_TRY(field_bits(field, old.size()));
    const uint64_t whole = load_u64(old, field.big_endian);
    const uint64_t mask =
        r.high - r.low >= 63 ? ~uint64_t{0} : low_mask(r.high - r.low + 1) << r.low;
    const uint64_t updated = (whole & ~mask) | ((static_cast<uint64_t>(value) << r.low) & mask);
    return store_u64(updated, old.size(), field.big_endian);
}

CodecResult<double> decode_float(std::span<const uint8_t> bytes, bool big_endian) {
    if (bytes.size() == 4) {
        return static_cast<double>(
            std::bit_cast<float>(static_cast<uint32_t>(load_u64(bytes, big_endian))));
    }
    if (bytes.size() == 8) {
        return std::bit_cast<double>(load_u64(bytes, big_endian));
    }
    return Err{fmt::format("unsupported float register length {}", bytes.size())};
}

CodecResult<Bytes> encode_float(double value, int64_t length, bool big_endian) {
    if (length == 4) {
        return store_u64(std::bit_cast<uint32_t>(narrow_to_float(value)), 4, big_endian);
    }
    if (length == 8) {
        return store_u64(std::bit_cast<uint64_t>(value), 8, big_endian);
    }
    return Err{fmt::format("unsupported float register length {}", length)};
}

std::string decode_string(std::span<const uint8_t> bytes) {
    const auto nul = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return utf8_lossy(bytes.first(static_cast<size_t>(nul - bytes.begin())));
}

CodecResult<Bytes> encode_string(std::string_view text, int64_t length) {
    if (length < 0 || static_cast<uint64_t>(length) > kMaxDescriptionSize) {
        return Err{fmt::format("unsupported string register length {}", length)};
    }
    Bytes out(static_cast<size_t>(length), 0);
    const size_t n = std::min(out.size(), text.size());
    if (n > 0) {
        std::memcpy(out.data(), text.data(), n);
    }
    return out;
}

}  // namespace corvisk::genicam
