// The one place that includes Python.h: it must come before any standard header, with
// PY_SSIZE_T_CLEAN so that '#' argument formats take Py_ssize_t.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
