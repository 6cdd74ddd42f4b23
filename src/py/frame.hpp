// The Python Frame class: one received frame, its attributes, a copying data() and a
// zero-copy buffer view of the payload.
#pragma once

#include "py/python.hpp"

#include "gige/stream/frame.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// The C layout of a Frame object. The package's second extension module reads `frame` of a
// Frame it was handed (after checking the object's type against the core module's Frame).
struct FrameObject {
    PyObject ob_base;  // PyObject_HEAD
    gige::FramePtr frame;
    PyObject* weakrefs;
};

// Creates the Frame heap type for `module`. New reference, or empty with an exception set.
PyRef frame_type_create(PyObject* module);

// A new Frame object sharing `frame` (the pool buffer stays out of the pool until the object
// and every buffer view exported from it are gone). Call with the GIL held.
PyRef frame_new(const ModuleState& state, gige::FramePtr frame);

}  // namespace corvisk::py
