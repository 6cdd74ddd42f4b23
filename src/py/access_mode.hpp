// The Python AccessMode class: RO, WO and RW, as shared instances.
#pragma once

#include "py/python.hpp"

#include "genicam/node.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the AccessMode type for `module` (registration step); keeps its members in the state.
PyRef access_mode_type_create(PyObject* module);

// The shared instance for `mode` (new reference). Call with the GIL held.
PyRef access_mode_new(const ModuleState& state, genicam::AccessMode mode);

}  // namespace corvisk::py
