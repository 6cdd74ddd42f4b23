// How the binding's functions and methods are declared and how they read their arguments.
//
// One calling convention for every method of every class: METH_METHOD | METH_FASTCALL |
// METH_KEYWORDS, so each method gets its defining class (and through it the module state)
// and its arguments as a vector. One table-driven parser: a method lists its parameters once
// (name, keyword-only or not, required or not) and names the C++ variables that receive them;
// each variable keeps its default when the argument is not given, and converts by its C++
// type through FromPython<T>.
#pragma once

#include "py/python.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "py/convert.hpp"
#include "py/pyref.hpp"
#include "time.hpp"

namespace corvisk::py {

using MethodFn = PyObject* (*)(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames);
inline constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// Any C function signature as the PyCFunction the method tables store.
template <class Fn>
PyCFunction as_cfunction(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// One entry of a class's method table in the binding's calling convention.
inline PyMethodDef method_def(const char* name, MethodFn fn, const char* doc) {
    return {name, as_cfunction(fn), kMethodFlags, doc};
}

// One parameter of a method.
struct Param {
    const char* name;
    bool keyword_only = false;
    bool required = false;
};

// Conversion of one argument into a C++ variable of type T; false with the exception set.
// Each names the function and the argument in its error.
template <class T, class = void>
struct FromPython;

template <class T>
struct FromPython<T, std::enable_if_t<std::is_unsigned_v<T> && !std::is_same_v<T, bool>>> {
    static bool convert(PyObject* o, T& out, const char* fn, const char* arg) {
        auto v = parse_unsigned<T>(o, fn, arg);
        return v ? (out = *v, true) : false;
    }
};
template <class T>
struct FromPython<std::optional<T>, std::enable_if_t<std::is_unsigned_v<T>>> {
    static bool convert(PyObject* o, std::optional<T>& out, const char* fn, const char* arg) {
        auto v = parse_optional_unsigned<T>(o, fn, arg);
        return v ? (out = *v, true) : false;
    }
};
template <>
struct FromPython<int64_t> {
    static bool convert(PyObject* o, int64_t& out, const char* fn, const char* arg) {
        auto v = parse_int64(o, fn, arg);
        return v ? (out = *v, true) : false;
    }
};
template <>
struct FromPython<bool> {
    static bool convert(PyObject* o, bool& out, const char* fn, const char* arg) {
        auto v = parse_bool(o, fn, arg);
        return v ? (out = *v, true) : false;
    }
};
template <>
struct FromPython<Duration> {
    static bool convert(PyObject* o, Duration& out, const char* fn, const char* arg) {
        auto v = parse_timeout(o, fn, arg);
        return v ? (out = *v, true) : false;
    }
};
template <>
struct FromPython<double> {
    static bool convert(PyObject* o, double& out, const char* fn, const char* arg);
};
// A str without NUL characters (names and values go to C-string APIs of devices).
template <>
struct FromPython<std::string> {
    static bool convert(PyObject* o, std::string& out, const char* fn, const char* arg);
};

// Sorts the call's arguments into `slots` (parameter order, null where not given): at most the
// leading non-keyword-only parameters by position, any parameter by keyword. TypeError for too
// many positional arguments, an unknown or repeated keyword, or a missing required argument.
bool collect_args(const char* fn, std::span<const Param> params, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Parses a vectorcall argument list against `params` into `out...` (one variable per
// parameter, in order). False with the Python exception set.
template <size_t N, class... T>
bool parse_args(const char* fn, const std::array<Param, N>& params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, T&... out) {
    static_assert(sizeof...(T) == N, "one output per parameter");
    std::array<PyObject*, N + 1> slots{};  // +1: N may be 0
    if (!collect_args(fn, params, args, nargs, kwnames, slots.data())) {
        return false;
    }
    size_t i = 0;
    auto one = [&](auto& target) {
        const size_t at = i++;
        return slots[at] == nullptr ||
               FromPython<std::remove_reference_t<decltype(target)>>::convert(slots[at], target, fn,
                                                                              params[at].name);
    };
    (void)one;  // unused for a method without parameters
    return (one(out) && ...);
}

// A method without parameters: TypeError if any argument is given.
inline bool parse_no_args(const char* fn, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_args(fn, std::array<Param, 0>{}, nullptr, nargs, kwnames);
}

// The same for a (tuple, dict) call such as tp_new: the arguments are laid out as a vector
// first. False with the Python exception set.
template <size_t N, class... T>
bool parse_tuple_args(const char* fn, const std::array<Param, N>& params, PyObject* args,
                      PyObject* kwargs, T&... out);

// Builds a vector call from a tuple and a dict; the owned references live in this object.
class VectorArgs {
  public:
    VectorArgs(PyObject* args, PyObject* kwargs);
    bool ok() const { return ok_; }
    PyObject* const* data() const { return items_.data(); }
    Py_ssize_t nargs() const { return nargs_; }
    PyObject* kwnames() const { return kwnames_.get(); }

  private:
    std::vector<PyObject*> items_;  // borrowed: the tuple and the dict keep them alive
    Py_ssize_t nargs_ = 0;
    PyRef kwnames_;
    bool ok_ = true;
};

template <size_t N, class... T>
bool parse_tuple_args(const char* fn, const std::array<Param, N>& params, PyObject* args,
                      PyObject* kwargs, T&... out) {
    VectorArgs v(args, kwargs);
    return v.ok() && parse_args(fn, params, v.data(), v.nargs(), v.kwnames(), out...);
}

}  // namespace corvisk::py
