// The Python Acquisition class: a running continuous acquisition with its built-in frame
// subscription, and the start/stop procedure on the feature-level camera behind it.
#pragma once

#include "py/python.hpp"

#include <memory>

#include "error.hpp"
#include "genicam/genicamera.hpp"
#include "gige/stream/config.hpp"
#include "gige/stream/frame.hpp"
#include "gige/stream_channel.hpp"
#include "py/busy.hpp"
#include "py/camera.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"

namespace corvisk::py {

// A started stream: the open channel and the built-in subscription (capacity n_buffers),
// created before AcquisitionStart so that even the first frame is delivered.
struct AcqStart {
    gige::StreamChannel stream;
    gige::FrameChannel frames;
};

// PayloadSize, stream channel, subscription, TLParamsLocked = 1, AcquisitionStart. When the
// start command fails everything is undone (TLParamsLocked = 0, channel closed). Call with the
// camera mutex held and the GIL released.
GenicamResult<AcqStart> acquisition_start(genicam::GenICamera& camera, gige::StreamConfig config);

// AcquisitionStop, TLParamsLocked = 0, channel closed; the result of the stop command. Same
// locking as acquisition_start.
GenicamResult<void> acquisition_stop(genicam::GenICamera& camera, gige::StreamChannel stream);

PyRef acquisition_type_create(PyObject* module);

// A new Acquisition owning a started stream and the camera's busy token. GIL held.
PyRef acquisition_new(const ModuleState& state, std::shared_ptr<CameraCore> core, AcqStart start,
                      BusyToken token);

}  // namespace corvisk::py
