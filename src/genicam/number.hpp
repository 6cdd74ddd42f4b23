// Number-text parsing shared by the formula compiler and the XML builder.
//
// The error texts are the system's own integer/float parse messages ("cannot parse integer from
// empty string", "number too large to fit in target type", "invalid digit found in string",
// "invalid float literal"), which formula errors quote after their own prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"

namespace corvisk::genicam {

inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Signed 64-bit integer in base 10 or 16 with an optional leading '+' or '-'.
Result<int64_t, std::string> parse_i64_radix(std::string_view text, int radix);

// Unsigned 64-bit integer in base 10 or 16 with an optional leading '+'.
Result<uint64_t, std::string> parse_u64_radix(std::string_view text, int radix);

// A decimal float in standard syntax (digits, optional fraction, optional exponent, optional
// sign, "inf"/"infinity"/"nan" in any case); locale-independent, no hexadecimal floats.
// Out-of-range magnitudes give an infinity or zero, not an error.
Result<double, std::string> parse_f64(std::string_view text);

// A device-description number text: an optional sign, then "0x"/"0X" + hex digits read as u64
// and reinterpreted as i64 (so 0xFFFFFFFFFFFFFFFF is -1; "-0x10" is -16), otherwise a signed
// decimal. Absent on any failure.
std::optional<int64_t> parse_number_text(std::string_view text);

}  // namespace corvisk::genicam
