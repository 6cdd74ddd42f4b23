// Conversions at the Python boundary: errors into exceptions, timeouts into Durations, text.
#include "py/convert.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>

namespace corvisk::py {
namespace {

std::nullptr_t raise_text(PyObject* exception_class, const std::string& message) {
    PyRef text = to_str(message);
    if (text) {
        PyErr_SetObject(exception_class, text.get());
    }
    return nullptr;
}

// The argument as a C double, or nothing with TypeError/ValueError set.
std::optional<double> seconds_of(PyObject* value, const char* function, const char* argument) {
    if (PyFloat_Check(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            // An integer beyond the double range: absurdly large, not the wrong type.
            PyErr_Clear();
            return std::numeric_limits<double>::max();
        }
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %.200s",
                         function, argument, Py_TYPE(value)->tp_name);
        }
        return std::nullopt;
    }
    return seconds;
}

void type_error(PyObject* value, const char* function, const char* argument, const char* expected) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, argument,
                 expected, Py_TYPE(value)->tp_name);
}

void range_error(const char* function, const char* argument, const std::string& range) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be in range %s", function, argument,
                 range.c_str());
}

// The argument as an exact int via __index__; TypeError (naming it) for anything else.
PyRef index_of(PyObject* value, const char* function, const char* argument) {
    if (!PyIndex_Check(value)) {
        type_error(value, function, argument, "int");
        return PyRef();
    }
    return PyRef::steal(PyNumber_Index(value));
}

}  // namespace

std::optional<uint64_t> parse_unsigned_max(PyObject* value, const char* function,
                                           const char* argument, uint64_t max) {
    PyRef index = index_of(value, function, argument);
    if (!index) {
        return std::nullopt;
    }
    const uint64_t v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return std::nullopt;
        }
        PyErr_Clear();  // negative or above 2**64-1: report the parameter's own range
    } else if (v <= max) {
        return v;
    }
    range_error(function, argument, fmt::format("0..{}", max));
    return std::nullopt;
}

std::optional<int64_t> parse_int64(PyObject* value, const char* function, const char* argument) {
    PyRef index = index_of(value, function, argument);
    if (!index) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (overflow != 0) {
        range_error(function, argument,
                    fmt::format("{}..{}", std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max()));
        return std::nullopt;
    }
    return static_cast<int64_t>(v);
}

std::optional<bool> parse_bool(PyObject* value, const char* function, const char* argument) {
    if (!PyBool_Check(value)) {
        type_error(value, function, argument, "bool");
        return std::nullopt;
    }
    return value == Py_True;
}

std::optional<std::string> parse_str(PyObject* value, const char* function, const char* argument) {
    if (!PyUnicode_Check(value)) {
        type_error(value, function, argument, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return std::nullopt;
    }
    return std::string(utf8, static_cast<size_t>(size));
}

std::nullptr_t raise_error(const ModuleState& state, const CameraError& error) {
    return raise_text(state.camera_exception, error.message());
}

std::nullptr_t raise_error(const ModuleState& state, const GenicamError& error) {
    if (error.kind() == GenicamError::Kind::Transport) {
        return raise_error(state, error.transport());
    }
    return raise_text(state.genicam_exception, error.message());
}

std::optional<Duration> parse_timeout(PyObject* value, const char* function, const char* argument) {
    const std::optional<double> seconds = seconds_of(value, function, argument);
    if (!seconds) {
        return std::nullopt;
    }
    const double s = *seconds;
    const char* problem = nullptr;
    if (std::isnan(s)) {
        problem = "must not be NaN";
    } else if (s < 0) {
        problem = "must not be negative";
    } else if (std::isinf(s)) {
        problem = "must be finite";
    } else if (s > kMaxTimeoutSeconds) {
        static_assert(kMaxTimeoutSeconds == 1e9, "keep the message in step with the limit");
        problem = "must be at most 1000000000 seconds";
    } else {
        return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
    }
    PyErr_Format(PyExc_ValueError, "%s %s", argument, problem);
    return std::nullopt;
}

PyRef to_str(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

}  // namespace corvisk::py
