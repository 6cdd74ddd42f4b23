// The Python LinkStats class: an immutable snapshot of a connection's control-channel counters.
#pragma once

#include "py/python.hpp"

#include "gige/link.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the LinkStats heap type for `module`. New reference, or empty with an exception set.
PyRef link_stats_type_create(PyObject* module);

// A new LinkStats object holding a copy of `stats`. Call with the GIL held.
PyRef link_stats_new(const ModuleState& state, const gige::LinkStats& stats);

}  // namespace corvisk::py
