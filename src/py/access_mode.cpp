// The Python AccessMode class.
#include "py/access_mode.hpp"

#include <array>

#include "py/int_enum.hpp"

namespace corvisk::py {

namespace {
// Indexed by the numeric value: RO = 0, WO = 1, RW = 2.
constexpr std::array<IntEnumMember, 3> kMembers = {{{"RO", 0}, {"WO", 1}, {"RW", 2}}};
}  // namespace

PyRef access_mode_type_create(PyObject* module) {
    const IntEnumDef def{"corvisk.AccessMode", nullptr, kMembers};
    return int_enum_type_create(module, def, &state_of_module(module).access_mode_values);
}

PyRef access_mode_new(const ModuleState& state, genicam::AccessMode mode) {
    return int_enum_member(state.access_mode_values, static_cast<size_t>(mode));
}

}  // namespace corvisk::py
