// Conversions at the Python boundary: library errors into the module's exceptions, timeout
// arguments into Durations, UTF-8 text into str, and C++ exceptions kept from escaping.
#pragma once

#include "py/python.hpp"

#include <exception>
#include <new>
#include <optional>
#include <string_view>

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
