// PyRef: an owned reference to a Python object, so Py_DECREF never appears in control flow.
#pragma once

#include "py/python.hpp"

#include <utility>

namespace corvisk::py {

// Owns one strong reference to a PyObject (or nothing). Move-only; never converts implicitly
// from or to a raw pointer, so every ownership transfer is spelled out at the call site:
//   PyRef::steal(PyLong_FromLong(1))   takes over a new reference (e.g. a C API return value)
//   PyRef::borrowed(PyTuple_GET_ITEM(t, 0))   adds a reference to a borrowed one
// Both accept nullptr (a failed C API call), giving an empty PyRef; test it before use.
// The holder must hold the GIL whenever the PyRef is reset or destroyed while non-empty.
class PyRef {
  public:
    PyRef() noexcept = default;
    ~PyRef() { reset(); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* incoming = other.release();
            reset();
            obj_ = incoming;
        }
        return *this;
    }

    // Takes ownership of a new reference.
    [[nodiscard]] static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Takes a new reference to a borrowed object.
    [[nodiscard]] static PyRef borrowed(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    // A second owned reference to the same object.
    [[nodiscard]] PyRef clone() const noexcept { return borrowed(obj_); }

    // The object, still owned by this PyRef (a borrowed view).
    PyObject* get() const noexcept { return obj_; }
    bool is_valid() const noexcept { return obj_ != nullptr; }
    explicit operator bool() const noexcept { return is_valid(); }

    // Hands the reference to the caller (e.g. to return it from a C API function).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Drops the reference. The field is emptied before the decref, because a deallocator it
    // triggers may run arbitrary Python code that looks at this holder again.
    void reset() noexcept {
        PyObject* old = std::exchange(obj_, nullptr);
        Py_XDECREF(old);
    }

  private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* obj_ = nullptr;
};

}  // namespace corvisk::py
