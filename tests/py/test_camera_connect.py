"""Camera construction and the control connection, end to end against `corvisk-sim`.

Each test that talks to a device starts its own simulated camera as a subprocess on its own
loopback address (127.0.6.x) and waits for its ready line.
"""

import inspect
import math
import os
import re
import select
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import corvisk

ROOT = Path(__file__).resolve().parents[2]


def find_sim():
    found = shutil.which("corvisk-sim")
    if found:
        return found
    for build in ("build/cmake", "build/py"):
        candidate = ROOT / build / "corvisk-sim"
        if candidate.exists():
            return str(candidate)
    return None


SIM = find_sim()
needs_sim = pytest.mark.skipif(SIM is None, reason="corvisk-sim is not built")


def wait_for(predicate, timeout=5.0, interval=0.005):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)
    return True


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


class SimProcess:
    """A corvisk-sim child process serving one address until stopped."""

    def __init__(self, ip, *options):
        self.ip = ip
        self.proc = subprocess.Popen(
            [SIM, "--ip", ip, "--frame-rate", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10.0
        line = ""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if ready:
                line = self.proc.stdout.readline()
                break
            if self.proc.poll() is not None:
                break
        if not line.startswith(f"corvisk-sim ready on {ip}:"):
            self.stop()
            raise RuntimeError(f"corvisk-sim did not start: {line!r} {self.proc.stderr.read()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def sim():
    """Factory: sim(ip, *options) starts a simulated camera, stopped after the test."""
    started = []

    def start(ip, *options):
        s = SimProcess(ip, *options)
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


@pytest.fixture
def camera(sim):
    """Factory: camera(ip, *sim_options) -> a connected Camera on its own simulator (short
    request timeouts: loopback answers at once); everything stopped afterwards."""
    opened = []

    def connect(ip, *options):
        sim(ip, *options)
        cam = corvisk.Camera(ip, gvcp_timeout=0.2, retries=2)
        cam.connect()
        opened.append(cam)
        return cam

    yield connect
    for cam in opened:
        cam.disconnect()


# Short timeouts keep the fault tests quick; faults still get every retry they need.
FAST = dict(gvcp_timeout=0.05, retries=2)


# ---- construction, no device -----------------------------------------------------------------

def test_construction_sends_nothing_and_reports_disconnected():
    cam = corvisk.Camera("10.0.0.2")
    assert cam.is_connected() is False
    assert repr(cam) == "Camera(10.0.0.2, connected=False)"
    assert cam.link_stats() is None
    with pytest.raises(corvisk.CameraError, match="^driver is not connected$"):
        cam.device_info()
    cam.disconnect()  # nothing to do
    assert repr(corvisk.Camera("::1")) == "Camera(::1, connected=False)"


def test_signatures_and_docstrings():
    assert str(inspect.signature(corvisk.Camera)) == (
        "(ip, *, gvcp_timeout=0.5, retries=4, heartbeat_timeout=3.0, exclusive=False, "
        "local_ip=None)")
    assert corvisk.Camera.__doc__ == (
        "A connected GenICam camera shared behind a mutex, so sessions and\n"
        "channels created from it stay valid while Python holds them.")
    signatures = {
        "connect": "($self)", "disconnect": "($self, deadline=0.5)",
        "is_connected": "($self)", "device_info": "($self)", "link_stats": "($self)",
    }
    for name, text in signatures.items():
        method = getattr(corvisk.Camera, name)
        assert method.__text_signature__ == text
        assert method.__doc__ is None
    assert corvisk.LinkStats.__doc__ == "Control-channel counters."
    with pytest.raises(TypeError):
        corvisk.LinkStats()


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(ip="192.168.1.300"), ValueError, 'invalid IP address: "192.168.1.300"'),
    (dict(ip="abc"), ValueError, 'invalid IP address: "abc"'),
    (dict(ip=" 10.0.0.2"), ValueError, 'invalid IP address: " 10.0.0.2"'),
    (dict(ip="10.0.0.2:3956"), ValueError, 'invalid IP address: "10.0.0.2:3956"'),
    (dict(ip='a"b\\c\n'), ValueError, 'invalid IP address: "a\\"b\\\\c\\n"'),
    (dict(ip="localhost"), ValueError, 'invalid IP address: "localhost"'),
    (dict(ip="10.0.0.2", local_ip="nope"), ValueError, 'invalid IP address: "nope"'),
    (dict(ip=b"10.0.0.2"), TypeError, "ip"),
    (dict(ip="10.0.0.2", local_ip=5), TypeError, "local_ip"),
    (dict(ip="10.0.0.2", retries=256), OverflowError, "retries"),
    (dict(ip="10.0.0.2", retries=-1), OverflowError, "retries"),
    (dict(ip="10.0.0.2", retries=2**70), OverflowError, "retries"),
    (dict(ip="10.0.0.2", retries=1.0), TypeError, "retries"),
    (dict(ip="10.0.0.2", exclusive=1), TypeError, "exclusive"),
    (dict(ip="10.0.0.2", exclusive=None), TypeError, "exclusive"),
    (dict(ip="10.0.0.2", gvcp_timeout="1"), TypeError, "gvcp_timeout"),
    (dict(ip="10.0.0.2", gvcp_timeout=math.nan), ValueError, "gvcp_timeout"),
    (dict(ip="10.0.0.2", gvcp_timeout=math.inf), ValueError, "gvcp_timeout"),
    (dict(ip="10.0.0.2", gvcp_timeout=-0.1), ValueError, "gvcp_timeout"),
    (dict(ip="10.0.0.2", gvcp_timeout=1e300), ValueError, "gvcp_timeout"),
    (dict(ip="10.0.0.2", heartbeat_timeout=math.nan), ValueError, "heartbeat_timeout"),
    (dict(ip="10.0.0.2", heartbeat_timeout=-1.0), ValueError, "heartbeat_timeout"),
    (dict(ip="10.0.0.2", heartbeat_timeout=math.inf), ValueError, "heartbeat_timeout"),
])
def test_constructor_rejects_bad_arguments(kwargs, error, message):
    with pytest.raises(error) as info:
        corvisk.Camera(**kwargs)
    assert message in str(info.value)


def test_constructor_accepts_its_documented_forms():
    corvisk.Camera("10.0.0.2", gvcp_timeout=1, retries=0, heartbeat_timeout=0, exclusive=True,
                   local_ip="127.0.0.1")
    corvisk.Camera("fe80::1", retries=255, heartbeat_timeout=1e9, local_ip=None)
    with pytest.raises(TypeError):
        corvisk.Camera("10.0.0.2", 0.5)  # everything but ip is keyword-only
    with pytest.raises(TypeError):
        corvisk.Camera()


@pytest.mark.parametrize("args, kwargs, error", [
    ((-1.0,), {}, ValueError), ((math.nan,), {}, ValueError), ((), {"deadline": math.inf},
                                                                ValueError),
    (("soon",), {}, TypeError), ((0.1, 0.2), {}, TypeError), ((), {"timeout": 1.0}, TypeError),
])
def test_disconnect_rejects_bad_deadlines(args, kwargs, error):
    with pytest.raises(error):
        corvisk.Camera("10.0.0.2").disconnect(*args, **kwargs)


# ---- against the simulated camera ------------------------------------------------------------

@needs_sim
def test_connect_identity_heartbeats_and_disconnect(sim):
    sim("127.0.6.60")
    # A heartbeat every 100 ms; the device itself drops a controller silent for 0.3 s.
    cam = corvisk.Camera("127.0.6.60", heartbeat_timeout=0.3)
    cam.connect()
    assert cam.is_connected() is True
    assert repr(cam) == "Camera(127.0.6.60, connected=True)"
    info = cam.device_info()
    assert (info.manufacturer, info.model, info.serial, info.ip, info.mac, info.subnet_mask) == (
        "Corvisk", "SimCam-1", "SIM00001", "127.0.6.60", "02:00:5e:10:00:01", "255.0.0.0")
    assert info.spec_version == (2, 0)
    assert repr(info) == "DeviceInfo(Corvisk SimCam-1 serial=SIM00001 ip=127.0.6.60)"
    assert cam.device_info() is not info  # a new copy each time

    first = cam.link_stats()
    assert isinstance(first, corvisk.LinkStats)
    assert wait_for(lambda: cam.link_stats().heartbeats >= first.heartbeats + 3)
    stats = cam.link_stats()
    names = ["commands", "acks", "retries", "timeouts", "naks", "pending_acks", "heartbeats",
             "events", "unsolicited"]
    assert all(type(getattr(stats, n)) is int for n in names)
    assert re.fullmatch(
        r"LinkStats \{ commands: \d+, acks: \d+, retries: 0, timeouts: 0, naks: 0, "
        r"pending_acks: 0, heartbeats: \d+, events: 0, unsolicited: 0 \}", repr(stats))
    with pytest.raises(AttributeError):
        stats.commands = 0
    cam.connect()  # already connected: a no-op
    cam.disconnect()
    assert cam.is_connected() is False
    assert cam.link_stats() is None
    with pytest.raises(corvisk.CameraError, match="^driver is not connected$"):
        cam.device_info()
    # Control was released: another host can take the device at once.
    other = corvisk.Camera("127.0.6.60", local_ip="127.0.6.160")
    other.connect()
    other.disconnect()


@needs_sim
def test_dead_device_times_out_and_leaves_no_thread(sim):
    sim("127.0.6.61", "--silent")
    cam = corvisk.Camera("127.0.6.61", **FAST)
    before = threads()
    started = time.monotonic()
    with pytest.raises(corvisk.CameraError, match="^connect timed out$"):
        cam.connect()
    assert time.monotonic() - started >= 0.15  # all three tries were waited for
    assert wait_for(lambda: threads() <= before)
    assert cam.is_connected() is False


@pytest.mark.parametrize("options, message", [
    (["--nak", "0x82@0xA00=0x8006"], "device control is held by another application"),
    (["--nak", "0x82@0xA00=0x8004"], "device control is held by another application"),
    (["--nak", "0x80@0x934=0x8001"],
     "device answered command 0x0080 with not implemented (0x8001)"),
    (["--nak", "0x82@0x938=0x8002"],
     "device answered command 0x0082 with invalid parameter (0x8002)"),
    (["--nak", "0x84@0xD8=0x8FFF"], None),  # a refused string just reads as empty
    # Answers from another address of the device are taken (test_control_wire.py); a device
    # that answers nothing times out.
    (["--silent"], "connect timed out"),
])
@needs_sim
def test_device_refusals(sim, options, message):
    sim("127.0.6.62", *options)
    cam = corvisk.Camera("127.0.6.62", **FAST)
    if message is None:
        cam.connect()
        assert cam.device_info().serial == ""
        assert cam.device_info().model == "SimCam-1"
        cam.disconnect()
    else:
        with pytest.raises(corvisk.CameraError) as info:
            cam.connect()
        assert str(info.value) == message
        assert cam.is_connected() is False
        assert cam.link_stats() is None


@needs_sim
def test_device_held_by_another_host(sim):
    sim("127.0.6.63")
    holder = corvisk.Camera("127.0.6.63", exclusive=True)
    holder.connect()
    intruder = corvisk.Camera("127.0.6.63", local_ip="127.0.6.163", **FAST)
    with pytest.raises(corvisk.CameraError,
                       match="^device control is held by another application$"):
        intruder.connect()
    holder.disconnect()
    intruder.connect()
    intruder.disconnect()


@needs_sim
def test_retries_and_late_answers_are_counted(sim):
    sim("127.0.6.64", "--ack-delay-ms", "80")
    # Every request is retransmitted once before its answer arrives; the answer to the
    # retransmission comes back late and matches nothing.
    cam = corvisk.Camera("127.0.6.64", gvcp_timeout=0.05, retries=4)
    cam.connect()
    assert wait_for(lambda: cam.link_stats().unsolicited >= 1)
    stats = cam.link_stats()
    assert stats.retries >= 1
    assert stats.timeouts == 0
    assert cam.device_info().serial == "SIM00001"
    cam.disconnect()


@needs_sim
def test_dropped_acknowledges_are_retried(sim):
    sim("127.0.6.65", "--drop-first-acks", "2")
    cam = corvisk.Camera("127.0.6.65", **FAST)
    cam.connect()
    assert cam.link_stats().retries == 2
    cam.disconnect()


@needs_sim
def test_pending_ack_longer_than_the_wait(sim):
    # The device keeps extending the deadline; the caller's own wait
    # (gvcp_timeout * (retries + 1) + 0.5 s) ends first.
    sim("127.0.6.66", "--pending-ack-ms", "3000", "--ack-delay-ms", "2500")
    cam = corvisk.Camera("127.0.6.66", gvcp_timeout=0.05, retries=0)
    started = time.monotonic()
    with pytest.raises(corvisk.CameraError, match="^connect timed out$"):
        cam.connect()
    assert 0.5 <= time.monotonic() - started < 2.5


@needs_sim
def test_control_cleared_by_the_device_then_reconnect(sim):
    sim("127.0.6.67", "--ccp-clear-after-ms", "1000")
    cam = corvisk.Camera("127.0.6.67", heartbeat_timeout=0.3)
    cam.connect()
    assert wait_for(lambda: not cam.is_connected())
    assert repr(cam) == "Camera(127.0.6.67, connected=False)"
    with pytest.raises(corvisk.CameraError,
                       match=r"^device control was lost \(heartbeat failed\)$"):
        cam.device_info()
    assert cam.link_stats().heartbeats >= 1  # the final counters stay readable
    cam.connect()  # a new connection replaces the dead one
    assert cam.device_info().model == "SimCam-1"
    cam.disconnect()


@needs_sim
def test_connect_releases_the_gil_and_holds_the_busy_slot(sim):
    sim("127.0.6.68", "--silent")
    cam = corvisk.Camera("127.0.6.68", gvcp_timeout=0.2, retries=0)  # 0.7 s until it fails
    errors = []
    ticks = []

    def connect():
        try:
            cam.connect()
        except corvisk.CameraError as e:
            errors.append(str(e))

    worker = threading.Thread(target=connect)
    worker.start()
    busy = None
    while worker.is_alive() and busy is None:
        ticks.append(1)  # this thread keeps running while connect() waits on the network
        try:
            cam.disconnect()
        except ValueError as e:
            busy = str(e)
        time.sleep(0.001)
    worker.join()
    assert busy == "camera is busy (a connect in progress); stop it first"
    assert errors == ["connect timed out"]
    assert len(ticks) >= 1
    cam.disconnect()  # the slot was released on failure


@needs_sim
def test_eight_threads_share_one_camera(sim):
    sim("127.0.6.69")
    cam = corvisk.Camera("127.0.6.69")
    outcomes = []
    barrier = threading.Barrier(8)

    def worker(n):
        barrier.wait()
        for _ in range(25):
            try:
                cam.connect()
                outcomes.append("connected")
            except ValueError as e:
                assert str(e) == "camera is busy (a connect in progress); stop it first"
                outcomes.append("busy")
            if cam.is_connected():
                info = cam.device_info()
                assert (info.serial, info.ip) == ("SIM00001", "127.0.6.69")
                assert cam.link_stats().commands >= 10

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert "connected" in outcomes
    assert len(outcomes) == 8 * 25
    assert cam.is_connected()
    cam.disconnect()


@needs_sim
def test_connect_disconnect_cycles_leave_nothing_behind(sim):
    sim("127.0.6.70")
    cam = corvisk.Camera("127.0.6.70")
    cam.connect()
    cam.disconnect()
    fds, tasks = open_fds(), threads()
    for _ in range(500):
        cam.connect()
        cam.disconnect()
    # A joined thread can linger in /proc for a moment: the counts must settle, not grow.
    assert wait_for(lambda: open_fds() <= fds and threads() <= tasks), (open_fds(), threads())


@needs_sim
def test_dropping_a_connected_camera_joins_its_worker(sim):
    sim("127.0.6.71")
    before = threads()
    cam = corvisk.Camera("127.0.6.71")
    cam.connect()
    assert cam.is_connected()
    del cam
    assert wait_for(lambda: threads() == before)


# A daemon thread still waiting inside a corvisk call when the program ends: Python stops such a
# thread when it asks for the interpreter lock back, which from C++ must not abort the process.
EXIT_WHILE_WAITING = r"""
import socket, sys, threading, time
import corvisk


class Linger:
    # Cleared with the module's globals once the interpreter is finalizing; sleeping releases
    # the interpreter lock, so the waiting thread's next slice asks for it back meanwhile.
    def __del__(self, sleep=time.sleep):
        sleep(0.5)


linger = Linger()

device = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
device.bind(("127.0.6.72", 3956))  # a device that hears the camera and never answers
device.settimeout(10)
cam = corvisk.Camera("127.0.6.72", gvcp_timeout=5.0, retries=1)
idle = corvisk.Camera("127.0.6.73")  # dropped by the exiting thread itself during finalization
threading.Thread(target=cam.connect, daemon=True).start()
device.recvfrom(2048)  # the connect has sent its first command: it is waiting now
print("waiting", flush=True)
sys.exit(0)
"""


def test_program_exits_cleanly_while_a_daemon_thread_waits_in_a_call():
    done = subprocess.run([sys.executable, "-c", EXIT_WHILE_WAITING], capture_output=True,
                          text=True, timeout=20)
    assert done.stdout == "waiting\n", done.stderr
    assert done.returncode == 0, done.stderr
    assert "terminate" not in done.stderr
