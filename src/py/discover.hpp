// The module-level discover() function.
#pragma once

#include "py/python.hpp"

#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the discover() function object bound to `module`. New reference, or empty with an
// exception set.
PyRef discover_function_create(PyObject* module);

}  // namespace corvisk::py
