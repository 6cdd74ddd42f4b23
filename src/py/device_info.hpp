// The Python DeviceInfo class: a read-only view of a device's identity and addressing.
#pragma once

#include "py/python.hpp"

#include "gige/proto/bootstrap.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the DeviceInfo heap type for `module` (the registration step stores it in the
// module state). New reference, or empty with an exception set.
PyRef device_info_type_create(PyObject* module);

// A new DeviceInfo object holding a copy of `info`. Call with the GIL held.
PyRef device_info_new(const ModuleState& state, const bootstrap::DeviceInfo& info);

}  // namespace corvisk::py
