// The Python StreamStats class: a snapshot of the stream receiver's counters.
#pragma once

#include "py/python.hpp"

#include "gige/stream/stats.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the StreamStats heap type for `module`. New reference, or empty with an exception set.
PyRef stream_stats_type_create(PyObject* module);

// A new StreamStats object holding a copy of `stats`. Call with the GIL held.
PyRef stream_stats_new(const ModuleState& state, const gige::StreamStats& stats);

}  // namespace corvisk::py
