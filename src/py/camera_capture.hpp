// Capture methods of the Python Camera: the one-shot snap and the creation of acquisitions and
// snapshot sessions, with their shared argument parsing. Listed in the Camera's method table
// in camera.cpp.
#pragma once

#include "py/python.hpp"

namespace corvisk::py {

PyObject* camera_snap(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* camera_start_acquisition(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);
PyObject* camera_snapshot_session(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvisk::py
