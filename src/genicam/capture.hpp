// Pieces both capture procedures (the snapshot session and the continuous acquisition) share.
#pragma once

#include "genicam/genicamera.hpp"

namespace corvisk::genicam {

// Writes TLParamsLocked (1 before streaming, 0 after). Cameras without the feature still
// stream, so a failure is only logged at DEBUG under `log_target` ("TLParamsLocked not set:
// {}" or "TLParamsLocked not cleared: {}").
void lock_transport_params(GenICamera& camera, bool locked, const char* log_target);

}  // namespace corvisk::genicam
