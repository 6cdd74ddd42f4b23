// Capture methods of the Python Camera: the one-shot snap and the creation of acquisitions and
// snapshot sessions, with their shared argument parsing.
#pragma once

#include "py/python.hpp"

namespace corvisk::py {

// snap, start_acquisition, snapshot_session; terminated by a null entry. camera.cpp appends
// them to the type's method table.
extern PyMethodDef camera_capture_methods[];

}  // namespace corvisk::py
