// Packing of feature values into register bytes and back: integers and bit fields in either byte
// order, IEEE floats, NUL-padded strings. Pure functions over byte spans; no device access.
//
// Error results are display texts; the value-access layer wraps them as Formula errors carrying
// the register's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace corvisk::genicam {

using Bytes = std::vector<uint8_t>;
template <class T>
using CodecResult = Result<T, std::string>;

// How an integer register's bytes are read: the optional LSB/MSB of its field (GenICam bit
// numbering, which counts from the most significant bit for big-endian registers), its sign and
// byte order. Filled by the value-access layer from the register node.
struct IntField {
    std::optional<uint32_t> lsb;
    std::optional<uint32_t> msb;
    bool is_unsigned = false;
    bool big_endian = false;
};

// Bit positions of a field within the assembled register value, counted from its least
// significant bit; both ends inclusive.
struct BitRange {
    uint32_t low = 0;
    uint32_t high = 0;
    friend bool operator==(const BitRange&, const BitRange&) = default;
};

// The field's bits for a register of `length` bytes, or "bad bit range {low}..{high} for {length}
// bytes" when the field does not lie inside the register.
CodecResult<BitRange> field_bits(const IntField& field, uint64_t length);

// The register bytes as one unsigned value in the given byte order; `bytes` holds 1 to 8 bytes.
uint64_t load_u64(std::span<const uint8_t> bytes, bool big_endian);

// The low `length` (1 to 8) bytes of `value` in the given byte order.
Bytes store_u64(uint64_t value, size_t length, bool big_endian);

// Reads the integer field out of a register's bytes (1 to 8 of them, else "unsupported integer
// register length {}"); signed fields are sign-extended from their top bit. A field of 64 bits is
// returned as its bit pattern.
CodecResult<int64_t> decode_int(std::span<const uint8_t> bytes, const IntField& field);

// The bytes of a whole-register integer write: the low `length` bytes of `value`. Higher bits are
// dropped; `length` must be 1 to 8.
CodecResult<Bytes> encode_int(int64_t value, int64_t length, bool big_endian);

// Read-modify-write of a bit field: `old` with the field's bits replaced by the low bits of
// `value`, everything else kept. Same length and bit-range errors as decode_int.
CodecResult<Bytes> insert_int(std::span<const uint8_t> old, int64_t value, const IntField& field);

// An IEEE single (4 bytes) or double (8 bytes) register value, widened to double; other lengths
// give "unsupported float register length {}".
CodecResult<double> decode_float(std::span<const uint8_t> bytes, bool big_endian);

// The bytes of a float register write of `length` 4 (narrowed to single) or 8.
CodecResult<Bytes> encode_float(double value, int64_t length, bool big_endian);

// A string register's text: bytes up to the first NUL, decoded as UTF-8 with replacement.
std::string decode_string(std::span<const uint8_t> bytes);

// A string register write: `length` bytes holding the text's first bytes, NUL-padded (longer
// text is cut). A negative length, or one above the description size limit, gives
// "unsupported string register length {}" instead of an absurd allocation.
CodecResult<Bytes> encode_string(std::string_view text, int64_t length);

}  // namespace corvisk::genicam
