// The port through which the feature model reaches registers (defined below both layers).
#pragma once

#include "port_io.hpp"

namespace corvisk::genicam {

using corvisk::PortIo;

}  // namespace corvisk::genicam
