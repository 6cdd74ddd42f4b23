// The Python LinkStats class: an immutable snapshot of a connection's control-channel counters.
#pragma once

#include "py/python.hpp"

#include "gige/link.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// Creates the LinkStats type for `module` and stores it in the state (registration step).
PyRef add_link_stats(PyObject* module, ModuleState& state);

// A new LinkStats object holding a copy of `stats`. Call with the GIL held.
PyRef link_stats_new(const ModuleState& state, const gige::LinkStats& stats);

}  // namespace corvisk::py
