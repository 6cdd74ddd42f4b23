// Small integer enumerations exposed to Python (FrameStatus, AccessMode): a heap type whose
// members are shared immutable instances, stored as class attributes, that convert to int,
// compare equal to their value and hash like it, and define no ordering.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <span>

#include "py/pyref.hpp"

namespace corvisk::py {

struct IntEnumMember {
    const char* name;
    long value;
};

struct IntEnumDef {
    const char* qualified_name;  // e.g. "corvisk.FrameStatus"
    const char* doc;             // class docstring, or nullptr
    std::span<const IntEnumMember> members;
};

// Creates the type for `module` with its members as class attributes. On success also stores
// a tuple of the members in definition order into *members_out (new reference). New reference,
// or empty with an exception set.
PyRef int_enum_type_create(PyObject* module, const IntEnumDef& def, PyObject** members_out);

// The member at `index` of a tuple made by int_enum_type_create (new reference); SystemError
// when the index is out of range or the tuple is missing.
PyRef int_enum_member(PyObject* members, size_t index);

}  // namespace corvisk::py
