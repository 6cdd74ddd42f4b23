// The binding's argument parser.
#include "py/method.hpp"

#include <vector>

namespace corvisk::py {
namespace {

Py_ssize_t positional_capacity(std::span<const Param> params) {
    Py_ssize_t n = 0;
    while (static_cast<size_t>(n) < params.size() && !params[n].keyword_only) {
        ++n;
    }
    return n;
}

// The parameter a keyword names, or params.size().
size_t find_keyword(std::span<const Param> params, PyObject* key) {
    for (size_t i = 0; i < params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
            return i;
        }
    }
    return params.size();
}

bool check_required(const char* fn, std::span<const Param> params, PyObject** slots) {
    for (size_t i = 0; i < params.size(); ++i) {
        if (params[i].required && slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn,
                         params[i].name, i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool collect_args(const char* fn, std::span<const Param> params, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t max_positional = positional_capacity(params);
    if (nargs > max_positional) {
        if (params.empty()) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fn, nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes at most %zd positional argument%s (%zd given)", fn,
                         max_positional, max_positional == 1 ? "" : "s", nargs);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const size_t at = find_keyword(params, key);
        if (at == params.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
            return false;
        }
        if (slots[at] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn,
                         params[at].name);
            return false;
        }
        slots[at] = args[nargs + k];
    }
    return check_required(fn, params, slots);
}

bool FromPython<double>::convert(PyObject* o, double& out, const char* fn, const char* arg) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %.200s",
                         fn, arg, Py_TYPE(o)->tp_name);
        }
        return false;
    }
    out = v;
    return true;
}

bool FromPython<std::string>::convert(PyObject* o, std::string& out, const char* fn,
                                      const char* arg) {
    auto v = parse_str(o, fn, arg);
    if (!v) {
        return false;
    }
    if (v->find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    out = std::move(*v);
    return true;
}

VectorArgs::VectorArgs(PyObject* args, PyObject* kwargs) {
    nargs_ = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs_; ++i) {
        items_.push_back(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return;
    }
    kwnames_ = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames_) {
        ok_ = false;
        return;
    }
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames_.get(), k++, key);
        items_.push_back(value);
    }
}

}  // namespace corvisk::py
