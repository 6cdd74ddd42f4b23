"""Capture from Python against `corvisk-sim`: one-shot snaps, snapshot sessions and continuous
acquisitions, with refused commands, lost frames, concurrent use and Ctrl-C.

Each test starts its own simulated camera on its own loopback address (127.0.12.x).
"""

import gc
import math
import os
import signal
import threading
import time

import pytest

import corvisk
from test_camera_connect import SimProcess, needs_sim

pytestmark = needs_sim
_RUNNING = {}  # address -> the SimProcess serving it, for the tests that signal the device

SMALL = ("--width", "64", "--height", "48")
# AcquisitionStart (register 0x1002C) answered with "access denied".
REFUSE_START = ("--nak", "0x0082@0x1002C=0x8006")
LOSE_EVERY_PACKET = ("--drop-fraction", "1", "--no-resend")
BUSY = r"^camera is busy \({} in progress\); stop it first$"


@pytest.fixture
def camera():
    """Factory: camera(ip, *sim_options) -> a connected Camera; everything stopped afterwards."""
    opened = []

    def start(ip, *options):
        sim = SimProcess(ip, *options)
        _RUNNING[ip] = sim
        cam = corvisk.Camera(ip, gvcp_timeout=0.2, retries=2)
        opened.append((sim, cam))
        cam.connect()
        return cam

    yield start
    for sim, cam in opened:
        cam.disconnect()
        sim.stop()
        _RUNNING.pop(sim.ip, None)


def _sim_pid(ip):
    return _RUNNING[ip].proc.pid


def diagonal_ramp(frame_id, size):
    """The simulator's default pattern: byte i of block b is (i + b) mod 256."""
    return bytes((i + frame_id) % 256 for i in range(size))


def assert_idle_and_restored(cam, mode="Continuous"):
    assert cam.get_enum("AcquisitionMode") == mode
    assert cam.get_integer("TLParamsLocked") == 0


# ---- one-shot snap ---------------------------------------------------------------------------

def test_snap_returns_the_test_pattern_and_restores_the_camera(camera):
    cam = camera("127.0.12.1")
    frame = cam.snap()
    assert frame.is_complete and frame.status == corvisk.FrameStatus.Complete
    assert (frame.width, frame.height, frame.pixel_format) == (640, 480, "Mono8")
    view = memoryview(frame)
    assert view.nbytes == 640 * 480 == frame.received_size
    assert view.tobytes() == diagonal_ramp(frame.frame_id, 640 * 480)
    assert frame.data() == view.tobytes()
    assert_idle_and_restored(cam)
    assert cam.snap(1.0, packet_size=1400, resend=False).is_complete


@pytest.mark.parametrize("timeout", [-1.0, math.nan, math.inf, -math.inf])
def test_bad_timeouts_are_value_errors_and_leave_the_camera_idle(camera, timeout):
    cam = camera("127.0.12.2", *SMALL)
    with pytest.raises(ValueError, match="timeout"):
        cam.snap(timeout)
    with cam.snapshot_session() as session:
        with pytest.raises(ValueError, match="timeout"):
            session.snap(timeout)
    with cam.start_acquisition() as acq:
        with pytest.raises(ValueError, match="timeout"):
            acq.wait_for(timeout)
    assert cam.snap(2.0).is_complete


@pytest.mark.parametrize("kwargs, error", [
    (dict(channel=65536), OverflowError),
    (dict(n_buffers=-1), OverflowError),
    (dict(packet_size=1.5), TypeError),
    (dict(resend=1), TypeError),
    (dict(bogus=1), TypeError),
])
def test_bad_capture_arguments(camera, kwargs, error):
    cam = camera("127.0.12.3", *SMALL)
    with pytest.raises(error):
        cam.snap(**kwargs)
    with pytest.raises(error):
        cam.start_acquisition(**kwargs)
    with pytest.raises(TypeError):
        cam.start_acquisition(1.0)  # keyword-only
    assert cam.snap().is_complete  # nothing was claimed


def test_snap_timeout_stops_and_leaves_the_camera_idle(camera):
    cam = camera("127.0.12.4", *SMALL, *LOSE_EVERY_PACKET)
    for _ in range(2):  # the second snap is accepted: nothing stayed busy
        with pytest.raises(corvisk.GenicamError,
                           match="^no frame arrived within the snap timeout$"):
            cam.snap(0.2, packet_size=1400)
        assert_idle_and_restored(cam)


def test_refused_acquisition_start(camera):
    cam = camera("127.0.12.5", *SMALL, *REFUSE_START)
    with pytest.raises(corvisk.CameraError, match="access denied"):
        cam.snap(1.0)
    assert_idle_and_restored(cam)
    with pytest.raises(corvisk.CameraError, match="access denied"):
        cam.start_acquisition()
    assert_idle_and_restored(cam)
    with cam.snapshot_session() as session:
        with pytest.raises(corvisk.CameraError, match="access denied"):
            session.snap(1.0)
        assert not session.is_closed()  # a refused start leaves the session usable
    assert_idle_and_restored(cam)


def test_two_threads_snapping_at_once(camera):
    cam = camera("127.0.12.6", *SMALL, *LOSE_EVERY_PACKET)
    barrier = threading.Barrier(2)
    outcomes = []

    def snap():
        barrier.wait()
        try:
            cam.snap(1.0, packet_size=1400)
        except Exception as e:  # noqa: BLE001 - the outcome is what is checked
            outcomes.append(e)

    threads = [threading.Thread(target=snap) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=10)
    kinds = sorted(type(e).__name__ for e in outcomes)
    assert kinds == ["GenicamException", "ValueError"]
    busy = next(e for e in outcomes if isinstance(e, ValueError))
    assert str(busy) == "camera is busy (a snap in progress); stop it first"


# ---- snapshot session ------------------------------------------------------------------------

def test_snapshot_session_lifecycle(camera):
    cam = camera("127.0.12.7", *SMALL)
    session = cam.snapshot_session(packet_size=1400)
    assert repr(session) == "SnapshotSession(closed=False)"
    assert cam.get_enum("AcquisitionMode") == "SingleFrame"
    assert cam.get_integer("TLParamsLocked") == 1
    assert session.packet_size() == 1400
    with pytest.raises(ValueError, match=BUSY.format("a snapshot session")):
        cam.start_acquisition()
    ids = []
    for _ in range(3):
        frame = session.snap(2.0)
        assert frame.is_complete
        assert frame.data() == diagonal_ramp(frame.frame_id, 64 * 48)
        ids.append(frame.frame_id)
    assert ids == sorted(set(ids))
    assert session.stats().completed_frames >= 3
    session.close()
    session.close()
    assert session.is_closed() and repr(session) == "SnapshotSession(closed=True)"
    for method in (session.snap, session.stats, session.packet_size):
        with pytest.raises(ValueError, match="^snapshot session is closed$"):
            method()
    assert_idle_and_restored(cam)
    cam.start_acquisition().stop()  # the camera is free again


def test_snapshot_session_context_restores_on_error(camera):
    cam = camera("127.0.12.8", *SMALL)
    with pytest.raises(KeyError):
        with cam.snapshot_session() as session:
            session.snap(2.0)
            raise KeyError("boom")
    assert session.is_closed()
    assert_idle_and_restored(cam)


# ---- acquisition -----------------------------------------------------------------------------

def test_acquisition_started_and_stopped_many_times(camera):
    cam = camera("127.0.12.9", *SMALL, "--frame-rate", "500")
    for _ in range(15):
        acq = cam.start_acquisition(packet_size=1400)
        frame = acq.wait_for(2.0)
        assert frame is not None and frame.is_complete
        assert frame.data() == diagonal_ramp(frame.frame_id, 64 * 48)
        acq.stop()
    assert_idle_and_restored(cam)


def test_acquisition_stop_twice_and_frames_after_stop(camera):
    cam = camera("127.0.12.10", *SMALL, "--frame-rate", "500")
    acq = cam.start_acquisition(n_buffers=16)
    assert repr(acq) == "Acquisition(stopped=False)"
    ip, port = acq.local_addr().rsplit(":", 1)
    assert ip == "127.0.0.1" or ip.startswith("127.") and int(port) > 0
    assert acq.packet_size() > 0 and acq.stats().packets >= 0
    extra = acq.subscribe(4)
    assert acq.wait_for(2.0) is not None
    with pytest.raises(ValueError, match=BUSY.format("an acquisition")):
        cam.snap()
    with pytest.raises(ValueError, match=BUSY.format("an acquisition")):
        cam.disconnect()
    assert cam.get_integer("Width") == 64  # features work meanwhile
    assert acq.stop() is None
    assert acq.stop() is None
    assert acq.is_stopped() and repr(acq) == "Acquisition(stopped=True)"
    for method in (acq.stats, acq.packet_size, acq.local_addr, acq.subscribe):
        with pytest.raises(ValueError, match="^acquisition is stopped$"):
            method()
    rest = list(acq)  # what was queued, then the end of the stream
    assert all(isinstance(f, corvisk.Frame) for f in rest)
    assert acq.try_recv() is None and acq.wait_for(0.1) is None
    list(extra)  # ends too
    assert_idle_and_restored(cam)


def test_acquisition_context_manager_stops_on_error(camera):
    cam = camera("127.0.12.11", *SMALL, "--frame-rate", "200")
    with pytest.raises(KeyError):
        with cam.start_acquisition() as acq:
            next(acq)
            raise KeyError("boom")
    assert acq.is_stopped()
    assert_idle_and_restored(cam)


def test_feature_reads_while_acquiring_from_another_thread(camera):
    cam = camera("127.0.12.12", *SMALL, "--frame-rate", "1000")
    reads = []
    stop = threading.Event()

    def read():
        while not stop.is_set():
            reads.append(cam.get_integer("Height"))

    with cam.start_acquisition() as acq:
        reader = threading.Thread(target=read)
        reader.start()
        frames = 0
        for frame in acq:
            frames += frame.is_complete
            if frames >= 50 and len(reads) >= 5:
                break
        stop.set()
        reader.join(timeout=10)
    assert set(reads) == {48}


def test_ctrl_c_interrupts_iteration(camera):
    cam = camera("127.0.12.13", *SMALL, *LOSE_EVERY_PACKET)
    acq = cam.start_acquisition(packet_size=1400)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in acq:
                pass
    finally:
        timer.cancel()
    acq.stop()
    assert_idle_and_restored(cam)


def test_collected_acquisition_stops_the_camera(camera):
    cam = camera("127.0.12.14", *SMALL, "--frame-rate", "200")
    acq = cam.start_acquisition()
    assert acq.wait_for(2.0) is not None
    del acq
    gc.collect()
    assert_idle_and_restored(cam)
    cam.snap(2.0)  # the busy slot was released


# ---- faults during an acquisition ------------------------------------------------------------

def test_control_lost_during_acquisition_gives_errors_not_hangs(camera):
    cam = camera("127.0.12.15", *SMALL, "--frame-rate", "200")
    acq = cam.start_acquisition()
    assert acq.wait_for(2.0) is not None
    os.kill(_sim_pid("127.0.12.15"), signal.SIGKILL)
    acq.clear()
    started = time.monotonic()
    with pytest.raises(corvisk.CameraError):
        acq.stop()
    assert time.monotonic() - started < 10
    assert acq.is_stopped()
    assert all(isinstance(f, corvisk.Frame) for f in acq)  # drains, then ends
    with pytest.raises(corvisk.CameraError):
        cam.get_integer("Width")
    with pytest.raises(corvisk.CameraError):  # not busy: the stop released the camera
        cam.snap(0.5)


def test_collected_acquisition_while_another_thread_holds_the_camera(camera):
    """Dropping an Acquisition while a feature read on a frozen device holds the camera must
    neither deadlock nor keep the camera busy."""
    cam = camera("127.0.12.16", *SMALL, "--frame-rate", "100")
    acq = cam.start_acquisition()
    assert acq.wait_for(2.0) is not None
    pid = _sim_pid("127.0.12.16")
    os.kill(pid, signal.SIGSTOP)  # every command now waits for its acknowledge timeout
    reading = threading.Event()

    def read():
        reading.set()
        for _ in range(2):
            try:
                cam.get_integer("Width")
            except corvisk.CameraError:
                pass

    try:
        cam.invalidate_caches()
        reader = threading.Thread(target=read)
        reader.start()
        reading.wait(5)
        started = time.monotonic()
        del acq
        gc.collect()
        assert time.monotonic() - started < 5  # bounded, whichever path the drop took
        reader.join(timeout=20)
        assert not reader.is_alive()
    finally:
        os.kill(pid, signal.SIGCONT)
    with pytest.raises(ValueError, match="timeout"):  # parsed before any claim
        cam.snap(-1)
    # The busy slot is free again: a new capture is accepted (it may fail on the device side
    # if the heartbeat expired while the device was frozen, but never as busy).
    try:
        cam.start_acquisition().stop()
    except (corvisk.CameraError, corvisk.GenicamError):
        pass


@pytest.mark.parametrize("options, prepare, mode_during, mode_after", [
    ((), "SingleFrame", "SingleFrame", "SingleFrame"),  # left alone, never restored
    (("--nak", "0x0082@0x10024=0x8006"), None, "Continuous", "Continuous"),  # unwritable
])
def test_snapshot_session_by_acquisition_mode(camera, options, prepare, mode_during,
                                              mode_after):
    cam = camera("127.0.12.17", *SMALL, "--frame-rate", "200", *options)
    if prepare:
        cam.set_enum("AcquisitionMode", prepare)
    with cam.snapshot_session() as session:
        assert cam.get_enum("AcquisitionMode") == mode_during
        for _ in range(3):
            assert session.snap(2.0).is_complete
    assert_idle_and_restored(cam, mode_after)


def test_camera_without_acquisition_mode_still_snaps(camera):
    cam = camera("127.0.12.18", *SMALL, "--frame-rate", "200", "--no-acquisition-mode")
    assert not cam.has_feature("AcquisitionMode")
    with cam.snapshot_session() as session:
        for _ in range(3):
            assert session.snap(2.0).is_complete
    assert cam.snap(2.0).is_complete
    assert cam.get_integer("TLParamsLocked") == 0
