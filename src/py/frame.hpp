// The Python Frame class: one received frame, its attributes, a copying data() and a
// zero-copy buffer view of the payload.
#pragma once

#include "py/python.hpp"

#include "gige/stream/frame.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the Frame heap type for `module`. New reference, or empty with an exception set.
PyRef frame_type_create(PyObject* module);

// A new Frame object sharing `frame` (the pool buffer stays out of the pool until the object
// and every buffer view exported from it are gone). Call with the GIL held.
PyRef frame_new(const ModuleState& state, gige::FramePtr frame);

}  // namespace corvisk::py
