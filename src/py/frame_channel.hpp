// The Python FrameChannel class (one frame subscription), and the channel operations that
// every Python object owning a subscription shares (Acquisition's built-in channel).
#pragma once

#include "py/python.hpp"

#include "genicam/genicamera.hpp"
#include "gige/stream/frame.hpp"
#include "py/module.hpp"
#include "py/pyref.hpp"
#include "time.hpp"

namespace corvisk::py {

// Creates the FrameChannel heap type for `module`. New reference, or empty with an exception
// set.
PyRef frame_channel_type_create(PyObject* module);

// A new FrameChannel object taking over `channel` (a subscription from
// StreamReceiver::subscribe, or a clone of one). Call with the GIL held.
PyRef frame_channel_new(const ModuleState& state, gige::FrameChannel channel);

// Channel operations, each called with the GIL held on a channel the caller keeps alive for
// the call (e.g. a field of `self`). They return a new reference, or nullptr with an exception
// set; frames are wrapped as Frame objects of `state`.

// Waits up to `timeout` with the GIL released, in slices so that signal handlers run: a Frame,
// or None on timeout or once the channel is disconnected and empty. With a `link`, a control
// link found dead while the channel is empty raises CameraException with its cause.
PyObject* frame_channel_wait_for(const ModuleState& state, gige::FrameChannel& channel,
                                 Duration timeout, const genicam::LinkWatch* link = nullptr);
// The next queued Frame, or None; never waits.
PyObject* frame_channel_try_recv(const ModuleState& state, gige::FrameChannel& channel);
// Every frame queued at the moment of the call, as a list in arrival order; never waits.
PyObject* frame_channel_recv_all(const ModuleState& state, gige::FrameChannel& channel);
// Drops every queued frame (their buffers go home once nobody else holds them); None.
PyObject* frame_channel_clear(gige::FrameChannel& channel);
// Iteration: waits without limit, in 100 ms slices with the GIL released and signal handlers
// run in between. A Frame; nullptr with no exception set at the end of the stream
// (disconnected and empty: StopIteration); nullptr with the handler's exception on a signal.
// With a `link`, a dead control link ends the wait once the queued frames are taken, raising
// CameraException with its cause.
PyObject* frame_channel_next(const ModuleState& state, gige::FrameChannel& channel,
                             const genicam::LinkWatch* link = nullptr);

}  // namespace corvisk::py
