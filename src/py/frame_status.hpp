// The Python FrameStatus class: how a frame ended, as six shared instances.
#pragma once

#include "py/python.hpp"

#include "gige/stream/frame.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the FrameStatus heap type for `module`, with its six instances as the class
// attributes Complete..PayloadUnsupported; also keeps them, in value order, as the tuple
// `frame_status_values` of the module's state. New reference, or empty with an exception set.
PyRef frame_status_type_create(PyObject* module);

// The shared FrameStatus instance for `status` (new reference). Call with the GIL held.
PyRef frame_status_new(const ModuleState& state, gige::FrameStatus status);

}  // namespace corvisk::py
