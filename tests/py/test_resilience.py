"""Captures and connections when things go wrong, end to end against `corvisk-sim`: the device
dies or stops answering, the user presses Ctrl-C, another thread holds the camera for a long
snap, the description cannot be fetched, and the device comes back after a power cycle.

Each test starts its own simulated camera on its own loopback address (127.22.x.y).
"""

import os
import signal
import threading
import time

import pytest

import corvisk
from test_camera_connect import needs_sim, sim, wait_for  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim

LOST = "^device control was lost \\(heartbeat failed\\)$"
# A link that notices a dead device quickly: a heartbeat every 0.2 s, each read given up after
# 2 x 50 ms.
FAST_LINK = dict(heartbeat_timeout=0.6, gvcp_timeout=0.05, retries=1)
NO_FRAMES = ("--no-resend", "--drop-fraction", "1")


@pytest.fixture
def device(sim):
    """Factory: device(ip, *sim_options) -> a running SimProcess; every one stopped afterwards."""
    return sim


def kill(sim):
    """Power loss: the device vanishes without a word."""
    sim.proc.kill()
    sim.proc.wait()


def requests(cam):
    """Control requests sent so far, heartbeats aside."""
    s = cam.link_stats()
    return s.commands - s.heartbeats


def wait_for_request(cam, before):
    """Waits until a request beyond `before` went out (a snap's start command). A heartbeat
    in flight looks like one for a few microseconds, so the count must hold on two polls."""
    def sent():
        if requests(cam) <= before:
            return False
        time.sleep(0.005)
        return requests(cam) > before

    assert wait_for(sent)


def stop_process(proc):
    """SIGSTOP to `proc`, returning once every thread of it is stopped: the signal is
    asynchronous, and a thread the scheduler has not yet reached could still answer."""
    proc.send_signal(signal.SIGSTOP)
    tasks = f"/proc/{proc.pid}/task"

    def stopped():
        states = []
        for tid in os.listdir(tasks):
            with open(f"{tasks}/{tid}/stat") as f:
                states.append(f.read().rsplit(")", 1)[1].split()[0])
        return all(state in ("T", "t") for state in states)

    assert wait_for(stopped, timeout=10.0), "the simulated camera did not stop"


def interrupt_later(delay):
    """SIGINT to this process after `delay` seconds; returns the time it was sent (list)."""
    sent = []

    def fire():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    return timer, sent


# ---- control loss ends captures -----------------------------------------------------------

def test_killed_device_ends_iteration_after_the_queued_frames(device):
    sim = device("127.22.2.1", "--frame-rate", "50", "--width", "64", "--height", "48")
    cam = corvisk.Camera("127.22.2.1", **FAST_LINK)
    cam.connect()
    acq = cam.start_acquisition(n_buffers=8)
    assert wait_for(lambda: acq.stats().completed_frames >= 3)
    kill(sim)
    killed = time.monotonic()
    received = []
    with pytest.raises(corvisk.CameraError, match=LOST):
        for frame in acq:
            received.append(frame)
    assert time.monotonic() - killed < 0.6 + 0.5
    assert len(received) >= 3  # what had arrived is handed out before the error
    with pytest.raises(corvisk.CameraError, match=LOST):
        acq.wait_for(5.0)
    assert cam.is_connected() is False
    with pytest.raises(corvisk.CameraError):
        acq.stop()  # nothing reaches the device any more; the stream is closed all the same
    assert acq.is_stopped()


def test_wait_for_on_a_silent_device_raises_the_cause(device):
    device("127.22.2.2", "--frame-rate", "20", "--width", "64", "--height", "48", *NO_FRAMES,
           "--ccp-clear-after-ms", "1000")
    cam = corvisk.Camera("127.22.2.2", **FAST_LINK)
    cam.connect()
    acq = cam.start_acquisition()
    started = time.monotonic()
    with pytest.raises(corvisk.CameraError, match=LOST):
        acq.wait_for(30.0)
    assert time.monotonic() - started < 1.0 + 0.6 + 0.5
    with pytest.raises(corvisk.CameraError):
        acq.stop()  # the device refuses the stop of a controller it dropped
    assert acq.is_stopped()
    # Reconnecting on the same Camera works once the device grants control again.
    cam.connect()
    assert cam.is_connected() and cam.get_integer("Width") == 64


def test_killed_device_ends_a_session_snap(device):
    sim = device("127.22.2.3", "--width", "64", "--height", "48", *NO_FRAMES)
    cam = corvisk.Camera("127.22.2.3", **FAST_LINK)
    cam.connect()
    session = cam.snapshot_session()
    outcome = []

    def snap():
        try:
            session.snap(30.0)
        except Exception as e:  # noqa: BLE001 - the test inspects it
            outcome.append(e)

    before = requests(cam)
    worker = threading.Thread(target=snap)
    worker.start()
    wait_for_request(cam, before)  # the snap is waiting once its start command went out
    kill(sim)
    killed = time.monotonic()
    worker.join(5.0)
    assert not worker.is_alive()
    assert time.monotonic() - killed < 0.6 + 0.5
    assert isinstance(outcome[0], corvisk.CameraError)
    assert str(outcome[0]) == "device control was lost (heartbeat failed)"
    session.close()
    assert session.is_closed()


# ---- Ctrl-C ---------------------------------------------------------------------------------

def test_ctrl_c_ends_a_long_snap_and_restores_the_camera(device):
    device("127.22.3.1", "--width", "64", "--height", "48", *NO_FRAMES)
    cam = corvisk.Camera("127.22.3.1")
    cam.connect()
    timer, sent = interrupt_later(0.3)
    with pytest.raises(KeyboardInterrupt):
        cam.snap(30.0)
    assert time.monotonic() - sent[0] < 0.2
    timer.join()
    assert cam.get_enum("AcquisitionMode") == "Continuous"
    assert cam.get_integer("TLParamsLocked") == 0
    with pytest.raises(corvisk.GenicamError, match="snap timeout"):
        cam.snap(0.2)  # not busy: the interrupted snap let go of the camera


def test_ctrl_c_ends_a_session_snap_and_the_session_stays_usable(device):
    device("127.22.3.2", "--width", "64", "--height", "48", *NO_FRAMES)
    cam = corvisk.Camera("127.22.3.2")
    cam.connect()
    with cam.snapshot_session() as session:
        timer, sent = interrupt_later(0.3)
        with pytest.raises(KeyboardInterrupt):
            session.snap(30.0)
        assert time.monotonic() - sent[0] < 0.2
        timer.join()
        assert not session.is_closed()
        with pytest.raises(corvisk.GenicamError, match="snap timeout"):
            session.snap(0.2)
    assert cam.get_enum("AcquisitionMode") == "Continuous"


def test_ctrl_c_ends_a_feature_call_waiting_for_another_threads_snap(device):
    device("127.22.3.3", "--width", "64", "--height", "48", *NO_FRAMES)
    cam = corvisk.Camera("127.22.3.3")
    cam.connect()
    session = cam.snapshot_session()
    worker = threading.Thread(target=lambda: pytest.raises(corvisk.GenicamError, session.snap, 1.5))
    before = requests(cam)
    worker.start()
    wait_for_request(cam, before)
    timer, sent = interrupt_later(0.2)
    with pytest.raises(KeyboardInterrupt):
        cam.get_integer("Width")
    assert time.monotonic() - sent[0] < 0.2
    timer.join()
    worker.join()
    assert cam.get_integer("Width") == 64
    session.close()


@pytest.mark.parametrize("n, call", [
    (0, lambda cam: (cam.invalidate_caches(), cam.get_integer("Width"))),
    (1, lambda cam: cam.set_integer("Width", 32)),
    (2, lambda cam: (cam.invalidate_caches(), corvisk.describe(cam, "Width"))),  # the package's
])
def test_ctrl_c_ends_a_feature_call_to_a_device_that_stopped_answering(device, n, call):
    ip = f"127.22.3.{10 + n}"
    sim = device(ip, "--width", "64", "--height", "48")
    # Each request would wait 1 s per try, 5 tries: 5 s before AckTimeout.
    cam = corvisk.Camera(ip, gvcp_timeout=1.0, retries=4, heartbeat_timeout=5.0)
    cam.connect()
    stop_process(sim.proc)
    timer, sent = interrupt_later(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            call(cam)
        assert time.monotonic() - sent[0] < 0.2
    finally:
        timer.cancel()  # a call that failed otherwise must not leave the signal to a later test
        timer.join()
        sim.proc.send_signal(signal.SIGCONT)
    # The connection is intact and the next call is not refused as interrupted.
    assert cam.is_connected()
    assert cam.get_integer("Height") == 48
    cam.set_integer("Width", 48)
    assert cam.get_integer("Width") == 48
    cam.disconnect()


def test_ctrl_c_ends_a_connect_to_a_silent_device_and_releases_it(device):
    device("127.22.3.4", "--silent")
    cam = corvisk.Camera("127.22.3.4")
    timer, sent = interrupt_later(0.3)
    with pytest.raises(KeyboardInterrupt):
        cam.connect()  # would wait 3 s for "connect timed out"
    assert time.monotonic() - sent[0] < 0.2
    timer.join()
    assert cam.is_connected() is False

    # The abandoned connect finishes in the background and frees the camera.
    def idle():
        try:
            cam.disconnect()
            return True
        except ValueError:
            return False

    assert wait_for(idle, timeout=5.0)
    assert cam.is_connected() is False


# ---- reading state never waits for a snap ---------------------------------------------------

def test_state_queries_answer_during_another_threads_snap(device):
    device("127.22.4.1", "--width", "64", "--height", "48", *NO_FRAMES)
    cam = corvisk.Camera("127.22.4.1")
    cam.connect()
    session = cam.snapshot_session()
    worker = threading.Thread(target=lambda: pytest.raises(corvisk.GenicamError, session.snap, 1.5))
    before = requests(cam)
    worker.start()
    wait_for_request(cam, before)
    started = time.monotonic()
    assert repr(cam) == "Camera(127.22.4.1, connected=True)"
    assert cam.is_connected() is True
    assert cam.has_feature("Width") is True
    assert cam.has_feature("NoSuchFeature") is False
    assert repr(session) == "SnapshotSession(closed=False)"
    assert session.is_closed() is False
    assert session.stats().packets >= 0
    assert session.packet_size() > 0
    assert time.monotonic() - started < 0.5  # the snap itself holds the camera for 1.5 s
    assert worker.is_alive()
    worker.join()
    session.close()


# ---- a failed connect leaves nothing behind -------------------------------------------------

def test_connect_without_a_description_raises_and_releases_control(device):
    # Both URL registers refuse the memory read and the register read it falls back to.
    unreadable = ("--nak", "0x0084@0x0200=0x8001", "--nak", "0x0084@0x0400=0x8001",
                  "--nak", "0x0080@0x0200=0x8001", "--nak", "0x0080@0x0400=0x8001")
    device("127.22.5.1", *unreadable)
    cam = corvisk.Camera("127.22.5.1")
    with pytest.raises((corvisk.CameraError, corvisk.GenicamError)):
        cam.connect()
    assert cam.is_connected() is False
    assert repr(cam) == "Camera(127.22.5.1, connected=False)"
    assert cam.link_stats() is None
    # Control was released: an exclusive client is let in (and fails on the description too,
    # not on "device control is held by another application").
    other = corvisk.Camera("127.22.5.1", exclusive=True)
    with pytest.raises((corvisk.CameraError, corvisk.GenicamError)) as failed:
        other.connect()
    assert "held by another application" not in str(failed.value)


# ---- the device comes back ------------------------------------------------------------------

def test_reconnector_resumes_the_acquisition_after_a_power_cycle(device):
    options = ("--frame-rate", "50", "--width", "64", "--height", "48")
    sim = device("127.22.6.1", *options)
    cam = corvisk.Camera("127.22.6.1", **FAST_LINK)
    rec = corvisk.Reconnector(cam, retry_interval=0.05, n_buffers=4)
    frames = rec.frames(timeout=10.0)
    first = next(frames)
    assert first.is_complete and rec.reconnects == 0
    kill(sim)
    device("127.22.6.1", *options)  # powered up again
    after = [next(frames) for _ in range(3)]
    assert rec.reconnects == 1
    assert all(f.is_complete for f in after)
    assert cam.is_connected()
    rec.close()
    assert rec.acquisition is None
    # The camera is idle again: a one-shot snap is accepted.
    assert cam.snap(3.0).is_complete


def test_reconnector_gives_up_after_its_timeout(device):
    sim = device("127.22.6.2", "--frame-rate", "50", "--width", "64", "--height", "48")
    cam = corvisk.Camera("127.22.6.2", **FAST_LINK)
    with corvisk.Reconnector(cam, retry_interval=0.05) as rec:
        frames = rec.frames(timeout=0.8)
        next(frames)
        kill(sim)
        started = time.monotonic()
        with pytest.raises(corvisk.CameraError):
            for _ in frames:
                pass
        assert time.monotonic() - started < 0.8 + 3.0
