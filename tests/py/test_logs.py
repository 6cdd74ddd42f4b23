"""The library's log records in Python's logging: records of the core's connect and of its
stream worker reach the corvisk.* loggers with their fields, levels filter, the queue is
bounded, nothing is left running, and CORVISK_LOG works from the environment."""

import logging
import os
import subprocess
import sys
import threading
import time

import pytest

import corvisk
from corvisk import _corvisk_ext
from test_camera_connect import find_sim

pytestmark = pytest.mark.skipif(find_sim() is None, reason="corvisk-sim is not built")

IP = "127.44.0.1"


@pytest.fixture(scope="module")
def sim():
    proc = subprocess.Popen([find_sim(), "--ip", IP], stdout=subprocess.PIPE, text=True)
    try:
        assert "ready" in proc.stdout.readline()
        yield IP
    finally:
        proc.kill()
        proc.wait(timeout=10)
        proc.stdout.close()


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []
        self.mu = threading.Lock()

    def emit(self, record):
        with self.mu:
            self.records.append(record)


@pytest.fixture
def collected():
    handler = Collect()
    logger = logging.getLogger("corvisk")
    saved = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.NOTSET)
    try:
        yield handler
    finally:
        corvisk.disable_logging()
        logger.removeHandler(handler)
        logger.setLevel(saved)


def connect_and_snap(ip):
    cam = corvisk.Camera(ip)
    cam.connect()
    try:
        assert cam.snap(timeout=2.0).is_complete
    finally:
        cam.disconnect()


def test_records_of_the_core_and_its_workers_reach_python_loggers(sim, collected):
    corvisk.enable_logging(logging.DEBUG)
    assert logging.getLogger("corvisk").level == logging.DEBUG  # set, since it had none
    connect_and_snap(sim)
    corvisk.disable_logging()  # logs everything still queued before it returns
    by_name = {}
    for r in collected.records:
        by_name.setdefault(r.name, []).append(r)
    connected = [r for r in by_name["corvisk.gige"] if r.getMessage().startswith("connected")]
    assert connected and connected[0].levelno == logging.DEBUG
    assert connected[0].corvisk_fields["addr"] == f"{IP}:3956"
    assert f"addr={IP}:3956" in connected[0].getMessage()
    # The stream worker runs on its own thread, in code the core module reached.
    assert "corvisk.gige.stream.runner" in by_name
    assert all(r.levelno >= logging.DEBUG for r in collected.records)


def test_an_application_holding_every_frame_buffer_is_warned_once(sim, collected):
    corvisk.enable_logging(logging.WARNING)
    cam = corvisk.Camera(sim)
    cam.connect()
    try:
        with cam.start_acquisition(n_buffers=2) as acq:
            held = [acq.wait_for(2.0) for _ in range(2)]
            assert all(f is not None for f in held)
            deadline = time.monotonic() + 5.0
            while acq.stats().underruns < 3 and time.monotonic() < deadline:
                acq.wait_for(0.05)  # nothing can come: both buffers are held here
            assert acq.stats().underruns >= 3
    finally:
        cam.disconnect()
    corvisk.disable_logging()
    warned = [r for r in collected.records if "no free frame buffer" in r.getMessage()]
    assert len(warned) == 1, [r.getMessage() for r in warned]
    assert warned[0].levelno == logging.WARNING
    assert "all 2 are held by the application" in warned[0].getMessage()
    assert warned[0].corvisk_fields["n_buffers"] == "2"


@pytest.mark.parametrize("level, lowest", [("trace", corvisk.TRACE), (logging.WARNING,
                                                                         logging.WARNING)])
def test_the_level_decides_what_is_passed_on(sim, collected, level, lowest):
    corvisk.enable_logging(level)
    connect_and_snap(sim)
    corvisk.disable_logging()
    levels = {r.levelno for r in collected.records}
    assert all(n >= lowest for n in levels)
    if lowest == corvisk.TRACE:  # every register write is a trace record
        assert corvisk.TRACE in levels
        assert logging.getLevelName(corvisk.TRACE) == "TRACE"


def test_enabling_again_replaces_and_disabling_leaves_nothing_running(sim, collected):
    corvisk.enable_logging("debug")
    corvisk.enable_logging("trace")
    assert sum(t.name == "corvisk-log" for t in threading.enumerate()) == 1
    corvisk.disable_logging()
    corvisk.disable_logging()
    assert not any(t.name == "corvisk-log" for t in threading.enumerate())
    count = len(collected.records)
    connect_and_snap(sim)  # no sink installed: nothing is queued or logged
    assert len(collected.records) == count


def test_the_queue_is_bounded_and_counts_what_it_dropped(sim):
    tap = _corvisk_ext.LogTap(0, 2)
    try:
        connect_and_snap(sim)  # dozens of records while nobody takes any
        assert len(tap.take(0.0)) == 2
        assert tap.dropped() > 0
    finally:
        tap.close()
    assert tap.take(0.0) is None  # closed and drained
    assert tap.dropped() > 0  # still readable after close


def test_a_newer_tap_keeps_the_library_sink_when_an_older_one_closes(sim):
    old = _corvisk_ext.LogTap(0, 1000)
    new = _corvisk_ext.LogTap(0, 1000)
    old.close()  # must not remove the newer tap's sink
    try:
        connect_and_snap(sim)
        assert old.take(0.0) is None
        assert new.take(0.0)
    finally:
        new.close()


@pytest.mark.parametrize("level, error", [("loud", ValueError), (-1, ValueError),
                                          (1.5, TypeError), (True, TypeError)])
def test_bad_levels_are_refused(level, error):
    with pytest.raises(error):
        corvisk.enable_logging(level)
    assert not any(t.name == "corvisk-log" for t in threading.enumerate())


@pytest.mark.parametrize("args", [(4, 10), (-1, 10), (0, 0)])
def test_bad_taps_are_refused(args):
    with pytest.raises(ValueError):
        _corvisk_ext.LogTap(*args)


@pytest.mark.parametrize("timeout", [-1.0, float("nan"), float("inf")])
def test_bad_take_timeouts_are_refused(timeout):
    tap = _corvisk_ext.LogTap(3, 10)
    try:
        with pytest.raises(ValueError):
            tap.take(timeout)
    finally:
        tap.close()


@pytest.mark.parametrize("value, expected", [("debug", "DEBUG corvisk.gige: connected [addr="),
                                             ("loud", "CORVISK_LOG ignored")])
def test_corvisk_log_from_the_environment(sim, value, expected):
    code = ("import corvisk\n"
            f"c = corvisk.Camera({sim!r})\n"
            "c.connect()\n"
            "c.disconnect()\n")
    env = dict(os.environ, CORVISK_LOG=value)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    assert expected in done.stderr
