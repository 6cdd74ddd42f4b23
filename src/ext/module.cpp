// The _corvisk_ext extension module: multi-phase initialisation over the exec steps of its
// units (parts.hpp). Units keep their heap types as module attributes or in their own state
// records, so the module itself needs no state block.
#include "ext/parts.hpp"
#include "py/gil.hpp"

namespace corvisk::ext {
namespace {

constexpr AddStep kSteps[] = {
    add_build_info, add_ip_config,     add_introspection, add_feature_support,
    add_monitor,    add_stream_config, add_events,        add_chunks,
    add_busy_claim, add_log_tap,       add_file_buffer,
};

int module_exec(PyObject* module) {
    if (py::watch_interpreter_exit() < 0) {
        return -1;
    }
    for (AddStep step : kSteps) {
        if (step(module) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvisk_ext",
    "Native support for the corvisk package beyond the core module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The library version this module was built from, so the package can check that both
// extension modules come from one build.
int add_build_info(PyObject* module) {
    return PyModule_AddStringConstant(module, "build_version", CORVISK_VERSION);
}

}  // namespace corvisk::ext

PyMODINIT_FUNC PyInit__corvisk_ext(void) {
    return PyModuleDef_Init(&corvisk::ext::module_def);
}
