// Following value references: the one entry point register access needs from value access.
//
// Register addresses, index terms and lengths name other nodes through value references; the
// register layer resolves them through these two functions and nothing else, so it depends on
// this small interface rather than on the whole value layer. Value access (genicam/value.cpp)
// implements them; each follows a node reference under the map's re-entry guard.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "genicam/node.hpp"
#include "genicam/port.hpp"

namespace corvisk::genicam {

// Name used in errors about a value reference that holds no number ("<value reference>").
inline constexpr const char* kValueReferenceName = "<value reference>";

// The integer a value reference stands for: Int as is; Float rounded half away from zero with
// saturation; a resolved node read (guarded) as an integer; DanglingReference for an unresolved
// name; UnsupportedAccess "<value reference>" for None and Str.
GenicamResult<int64_t> ref_int(Genicam& map, PortIo& port, const ValueRef& ref);
// As ref_int, for floats (a node is read with a float read).
GenicamResult<double> ref_float(Genicam& map, PortIo& port, const ValueRef& ref);

}  // namespace corvisk::genicam
