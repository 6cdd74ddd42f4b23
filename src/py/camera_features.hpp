// Feature methods of the Python Camera: typed reads and writes by feature name, bounds,
// increments, access modes, enumeration entries, commands and the cache reset.
#pragma once

#include "py/python.hpp"

namespace corvisk::py {

// The Camera's feature methods, terminated by a null entry; camera.cpp appends them to the
// type's method table.
extern PyMethodDef camera_feature_methods[];

}  // namespace corvisk::py
