// Conversions at the Python boundary: library errors into the module's exceptions, timeout
// arguments into Durations, UTF-8 text into str, and C++ exceptions kept from escaping.
#pragma once

#include "py/python.hpp"

#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "error.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"
#include "time.hpp"

namespace corvisk::py {

// Sets the Python exception for a library error and returns nullptr, so a method can end with
// `return raise_error(state, result.error());`. A CameraError becomes CameraException; a
// GenicamError becomes GenicamException, except Transport, which becomes CameraException with
// the wrapped transport error's text. The exception's single argument is the error message.
std::nullptr_t raise_error(const ModuleState& state, const CameraError& error);
std::nullptr_t raise_error(const ModuleState& state, const GenicamError& error);

// The largest timeout accepted from Python, in seconds (about 31 years). Anything larger is a
// mistake, and keeping far below the Duration range makes deadline arithmetic overflow-free.
inline constexpr double kMaxTimeoutSeconds = 1e9;

// Converts a timeout argument (seconds: float, int, or anything with __float__/__index__) into
// a Duration. On failure returns nothing with the Python exception set:
//   TypeError   "<function>() argument '<argument>' must be a real number, not <type>"
//   ValueError  "<argument> must not be negative" / "<argument> must not be NaN" /
//               "<argument> must be finite" / "<argument> must be at most 1000000000 seconds"
std::optional<Duration> parse_timeout(PyObject* value, const char* function, const char* argument);

// Argument conversions for methods that parse with "O" and convert themselves. Each returns
// nothing with the Python exception set on failure, naming the function and argument:
//   TypeError      "<function>() argument '<argument>' must be <int|bool|str>, not <type>"
//   OverflowError  "<function>() argument '<argument>' must be in range <min>..<max>"

// An int (or object with __index__; never a float) in 0..max.
std::optional<uint64_t> parse_unsigned_max(PyObject* value, const char* function,
                                           const char* argument, uint64_t max);
template <class UInt>
std::optional<UInt> parse_unsigned(PyObject* value, const char* function, const char* argument) {
    static_assert(std::is_unsigned_v<UInt> && sizeof(UInt) <= sizeof(uint64_t));
    const auto v = parse_unsigned_max(value, function, argument, std::numeric_limits<UInt>::max());
    return v ? std::optional<UInt>(static_cast<UInt>(*v)) : std::nullopt;
}
// Like parse_unsigned, but None gives an empty inner optional. The outer optional is empty
// only on error.
template <class UInt>
std::optional<std::optional<UInt>> parse_optional_unsigned(PyObject* value, const char* function,
                                                           const char* argument) {
    if (value == Py_None) {
        return std::optional<UInt>();
    }
    const auto v = parse_unsigned<UInt>(value, function, argument);
    return v ? std::optional<std::optional<UInt>>(*v) : std::nullopt;
}
// A signed 64-bit int (or object with __index__; never a float).
std::optional<int64_t> parse_int64(PyObject* value, const char* function, const char* argument);
// Only True or False: an int such as 1 is a TypeError, so switches are never set by accident.
std::optional<bool> parse_bool(PyObject* value, const char* function, const char* argument);
// A str, as UTF-8 (lone surrogates raise UnicodeEncodeError).
std::optional<std::string> parse_str(PyObject* value, const char* function, const char* argument);

// A new str from UTF-8 bytes; invalid sequences become U+FFFD, so device-provided text never
// makes a call fail. Empty PyRef (exception set) only on memory exhaustion.
PyRef to_str(std::string_view utf8);

// Runs a binding body and turns an escaping C++ exception into a Python one (MemoryError for
// std::bad_alloc, SystemError otherwise), returning `failure` (nullptr or -1) in that case.
// Library code reports failures through Result; this only catches allocation failures and
// bugs, so that no C++ exception ever unwinds into the interpreter.
template <class R, class Fn>
R guard_cxx(R failure, Fn&& fn) noexcept {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "corvisk internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "corvisk internal error: unknown C++ exception");
    }
    return failure;
}

}  // namespace corvisk::py
