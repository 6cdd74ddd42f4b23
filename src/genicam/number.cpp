// Number-text parsing shared by the formula compiler and the XML builder.
#include "genicam/number.hpp"

#include <locale.h>
#include <clocale>
#include <cstdlib>
#include <limits>

namespace corvisk::genicam {

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

// The C locale, created once: float parsing must not depend on the host's LC_NUMERIC.
locale_t c_locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Magnitude accumulation shared by the signed and unsigned parsers.
Result<uint64_t, std::string> magnitude(std::string_view digits, int radix, uint64_t limit) {
    if (digits.empty()) {
        return Err{std::string("invalid digit found in string")};
    }
    uint64_t v = 0;
    for (const char c : digits) {
        const int d = digit_value(c);
        if (d >= radix) {
            return Err{std::string("invalid digit found in string")};
        }
        const auto ud = static_cast<uint64_t>(d);
        if (v > (limit - ud) / static_cast<uint64_t>(radix)) {
            return Err{std::string("number too large to fit in target type")};
        }
        v = v * static_cast<uint64_t>(radix) + ud;
    }
    return v;
}

}  // namespace

Result<int64_t, std::string> parse_i64_radix(std::string_view text, int radix) {
    if (text.empty()) {
        return Err{std::string("cannot parse integer from empty string")};
    }
    bool negative = false;
    if (text.size() > 1 && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    auto m = magnitude(text, radix, negative ? kMax + 1 : kMax);
    if (!m.ok()) {
        if (negative && m.error() == "number too large to fit in target type") {
            return Err{std::string("number too small to fit in target type")};
        }
        return Err{std::move(m).error()};
    }
    return negative ? static_cast<int64_t>(0 - *m) : static_cast<int64_t>(*m);
}

Result<uint64_t, std::string> parse_u64_radix(std::string_view text, int radix) {
    if (text.empty()) {
        return Err{std::string("cannot parse integer from empty string")};
    }
    if (text.size() > 1 && text[0] == '+') {
        text.remove_prefix(1);
    }
    return magnitude(text, radix, std::numeric_limits<uint64_t>::max());
}

Result<double, std::string> parse_f64(std::string_view text) {
    if (text.empty()) {
        return Err{std::string("cannot parse float from empty string")};
    }
    // strtod also reads hexadecimal floats and "nan(...)"; neither is decimal float syntax.
    for (const char c : text) {
        if (c == 'x' || c == 'X' || c == '(' || c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
            c == '\f' || c == '\v' || c == '\0') {
            return Err{std::string("invalid float literal")};
        }
    }
    const std::string buf(text);
    char* end = nullptr;
    const double v = strtod_l(buf.c_str(), &end, c_locale());
    if (end != buf.c_str() + buf.size()) {
        return Err{std::string("invalid float literal")};
    }
    return v;
}

std::optional<int64_t> parse_number_text(std::string_view text) {
    // A sign may stand before a hexadecimal number too ("-0x10").
    const bool negative = !text.empty() && text[0] == '-';
    const size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const std::string_view body = text.substr(sign);
    if (body.size() >= 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        auto v = parse_u64_radix(body.substr(2), 16);
        if (!v.ok() || (body.size() > 2 && (body[2] == '+' || body[2] == '-'))) {
            return std::nullopt;
        }
        const uint64_t u = negative ? 0 - *v : *v;
        return static_cast<int64_t>(u);
    }
    auto v = parse_i64_radix(text, 10);
    if (!v.ok()) {
        return std::nullopt;
    }
    return *v;
}

}  // namespace corvisk::genicam
