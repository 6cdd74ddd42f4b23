"""Device events from Python against `corvisk-sim`: the message channel, event names and data
features from the description, lost acknowledges and repeated commands, a slow reader, Ctrl-C
and the end of the camera.

Each test starts its own simulated camera on its own loopback address (127.33.1.x).
"""

import os
import signal
import threading
import time

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim

SMALL = ("--width", "32", "--height", "16")
TEST_EVENT = 0x4FFF
EXPOSURE_END = 0x9001


def collect(channel, count, timeout=5.0):
    got, deadline = [], time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        ev = channel.wait_for(0.2)
        if ev is not None:
            got.append(ev)
    return got


def test_test_event_is_named_from_the_description(camera):
    cam = camera("127.33.1.1", *SMALL)
    with corvisk.events(cam) as camera_events:
        assert camera_events.names[EXPOSURE_END] == "ExposureEnd"
        cam.execute("TestEventGenerate")
        ev = camera_events.wait_for(2.0)
        assert ev is not None
        assert (ev.event_id, ev.name, ev.data, ev.features) == (TEST_EVENT, "Test", b"", {})
        assert ev.timestamp > 0
        assert camera_events.wait_for(0.05) is None
        stats = camera_events.stats()
    assert stats["events"] == 1 and stats["duplicates"] == 0 and stats["dropped"] == 0


def test_exposure_events_carry_data_features_per_frame(camera):
    cam = camera("127.33.1.2", *SMALL, "--frame-rate", "100")
    with corvisk.events(cam, enable=["ExposureStart", "ExposureEnd"]) as camera_events:
        acq = cam.start_acquisition(packet_size=1400)
        frames = [acq.wait_for(2.0) for _ in range(3)]
        got = collect(camera_events, 6)
        acq.stop()
    assert all(f is not None for f in frames)
    ends = [e for e in got if e.name == "ExposureEnd"]
    starts = [e for e in got if e.name == "ExposureStart"]
    assert len(ends) >= 3 and len(starts) >= 3
    for ev in ends:
        # The event's data fills the features on its event port.
        assert ev.features["EventExposureEndTimestamp"] == ev.timestamp
        assert ev.features["EventExposureEndFrameID"] == ev.block_id
        assert "EventExposureStartTimestamp" not in ev.features
    for ev in starts:
        assert ev.features == {"EventExposureStartTimestamp": ev.timestamp}
    # Closing switched the events off again.
    for name in ("ExposureStart", "ExposureEnd"):
        cam.set_enum("EventSelector", name)
        assert cam.get_enum("EventNotification") == "Off"


@pytest.mark.parametrize("ip, options, duplicates_at_least", [
    ("127.33.1.3", ("--event-ack-loss", "2"), 2),
    ("127.33.1.4", ("--event-duplicates",), 3),
])
def test_retransmissions_are_acknowledged_and_delivered_once(camera, ip, options,
                                                             duplicates_at_least):
    cam = camera(ip, *SMALL, *options)
    with corvisk.events(cam, ack_timeout=0.05) as camera_events:
        for _ in range(3):
            cam.execute("TestEventGenerate")
        got = collect(camera_events, 3)
        assert camera_events.wait_for(0.3) is None  # no repeat slips through late
        stats = camera_events.stats()
    assert [e.event_id for e in got] == [TEST_EVENT] * 3
    assert stats["events"] == 3
    assert stats["duplicates"] >= duplicates_at_least
    assert stats["commands"] == 3 + stats["duplicates"]


def test_a_reader_that_falls_behind_loses_counted_events(camera):
    cam = camera("127.33.1.5", *SMALL)
    with corvisk.events(cam, capacity=2) as camera_events:
        for _ in range(6):
            cam.execute("TestEventGenerate")
        deadline = time.monotonic() + 5
        while camera_events.stats()["commands"] < 6 and time.monotonic() < deadline:
            time.sleep(0.01)
        stats = camera_events.stats()
        assert (stats["events"], stats["dropped"]) == (2, 4)
        assert len(collect(camera_events, 2)) == 2


def test_ctrl_c_ends_iteration_and_disconnect_ends_it_too(camera):
    cam = camera("127.33.1.6", *SMALL)
    camera_events = corvisk.events(cam)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for _ in camera_events:
                pass
    finally:
        timer.cancel()
    ended = threading.Event()

    def iterate():
        for _ in camera_events:
            pass
        ended.set()

    t = threading.Thread(target=iterate)
    t.start()
    cam.disconnect()
    assert ended.wait(5.0)
    t.join()
    assert camera_events.wait_for(0.0) is None
    camera_events.close()
    camera_events.close()


@pytest.mark.parametrize("kwargs, error", [
    ({"enable": "ExposureEnd"}, TypeError),
    ({"capacity": 0}, ValueError),
    ({"capacity": 1.5}, TypeError),
    ({"ack_timeout": float("nan")}, ValueError),
    ({"retransmissions": -1}, ValueError),
])
def test_bad_arguments(camera, kwargs, error):
    cam = camera("127.33.1.7", *SMALL)
    with pytest.raises(error):
        corvisk.events(cam, **kwargs)
    with corvisk.events(cam) as camera_events:
        for timeout in (-1, float("nan"), float("inf")):
            with pytest.raises(ValueError):
                camera_events.wait_for(timeout)
        with pytest.raises(TypeError):
            camera_events.wait_for("1")


def test_events_need_a_connected_camera():
    with pytest.raises(TypeError):
        corvisk.events(object())
    with pytest.raises(corvisk.CameraError):
        corvisk.events(corvisk.Camera("127.33.1.8"))


def _workers():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended meanwhile
    return names.count("corvisk-gvmc")


def _await_workers(count, timeout=5.0):
    """The worker names itself once running: wait (with a deadline) until `count` are."""
    deadline = time.monotonic() + timeout
    while _workers() != count and time.monotonic() < deadline:
        time.sleep(0.005)
    return _workers()


def test_closing_or_dropping_a_channel_ends_its_worker(camera):
    import gc
    cam = camera("127.33.1.9", *SMALL)
    before = _workers()
    for _ in range(3):
        with corvisk.events(cam):
            assert _await_workers(before + 1) == before + 1
    dropped = corvisk.events(cam)
    del dropped
    gc.collect()
    assert _workers() == before
    # The device's message channel is free again: a new channel still receives.
    with corvisk.events(cam) as camera_events:
        cam.execute("TestEventGenerate")
        assert camera_events.wait_for(2.0) is not None
