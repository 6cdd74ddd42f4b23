// The _corvisk_ext extension module: the corvisk package's native API beyond the core module
// (whose attributes are fixed). Each unit of this directory contributes its names through one
// exec step listed here and in module.cpp's table, so adding a unit is one line in each.
#pragma once

#include "py/python.hpp"

namespace corvisk::ext {

// An exec step: adds the unit's attributes to `module`; returns 0, or -1 with an exception set.
using AddStep = int (*)(PyObject* module);

int add_build_info(PyObject* module);
int add_ip_config(PyObject* module);
int add_introspection(PyObject* module);
int add_events(PyObject* module);
int add_chunks(PyObject* module);
int add_feature_support(PyObject* module);
int add_monitor(PyObject* module);
int add_stream_config(PyObject* module);
int add_busy_claim(PyObject* module);
int add_log_tap(PyObject* module);
int add_file_buffer(PyObject* module);

}  // namespace corvisk::ext
