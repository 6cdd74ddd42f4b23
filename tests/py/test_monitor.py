"""Multicast streams and monitor connections.

On loopback: a Monitor beside the controlling Camera reads features and registers, refuses
writes and leaves control where it is. In namespaces joined by a veth pair (multicast needs a
real link): one controller streams to a group and two monitor processes receive every frame.
"""

import json
import subprocess
import sys

import pytest

import corvisk
from netns import Process
from test_camera_connect import find_sim

pytestmark = pytest.mark.skipif(find_sim() is None, reason="corvisk-sim is not built")

GROUP = "239.34.1.1"


@pytest.fixture
def sim():
    proc = subprocess.Popen([find_sim(), "--ip", "127.34.2.1"], stdout=subprocess.PIPE, text=True)
    try:
        assert "ready" in proc.stdout.readline()
        yield "127.34.2.1"
    finally:
        proc.kill()
        proc.wait(timeout=10)
        proc.stdout.close()


def test_monitor_reads_beside_the_controller_and_refuses_writes(sim):
    cam = corvisk.Camera(sim)
    cam.connect()
    try:
        with corvisk.Monitor(sim) as mon:
            assert mon.get_integer("Width") == cam.get_integer("Width")
            assert mon.get_enum("PixelFormat") == cam.get_enum("PixelFormat")
            assert mon.get_string("DeviceVendorName") == "Corvisk"
            assert mon.has_feature("Width") and not mon.has_feature("NoSuchFeature")
            assert mon.read_register(0x0A00) & 0x2  # the controller holds CCP, not us
            for write in (lambda: mon.set_integer("Width", 320),
                          lambda: mon.execute("AcquisitionStart"),
                          lambda: mon.set_enum("PixelFormat", "Mono16")):
                with pytest.raises(corvisk.CameraError, match="monitor access is read-only"):
                    write()
            with pytest.raises(corvisk.CameraError, match="stream channel is closed"):
                mon.receive()
        # The monitor's disconnect released nothing: the controller still controls.
        cam.set_integer("Width", 320)
        assert cam.get_integer("Width") == 320
    finally:
        cam.disconnect()


def test_monitor_refuses_a_unicast_stream(sim):
    cam = corvisk.Camera(sim)
    cam.connect()
    try:
        with cam.start_acquisition(), corvisk.Monitor(sim) as mon:
            with pytest.raises(corvisk.CameraError, match="not to a multicast group"):
                mon.receive()
    finally:
        cam.disconnect()


def test_multicast_acquisition_of_a_busy_camera_is_refused_before_anything_is_sent(sim):
    cam = corvisk.Camera(sim)
    cam.connect()
    try:
        with cam.start_acquisition():
            port = cam.get_integer("GevSCPHostPort")
            with pytest.raises(ValueError, match=r"busy \(an acquisition in progress\)"):
                corvisk.multicast_acquisition(cam, GROUP)
            assert cam.get_integer("GevSCPHostPort") == port
    finally:
        cam.disconnect()


def test_monitor_of_no_camera_fails_to_connect():
    mon = corvisk.Monitor("127.34.2.9", gvcp_timeout=0.05, retries=1)
    with pytest.raises(corvisk.CameraError):
        mon.connect()


@pytest.mark.parametrize("group", ["10.0.0.1", "224.0.0.5", "240.0.0.1", "239.1.2", "x"])
def test_bad_groups_are_refused(group):
    with pytest.raises(ValueError):
        corvisk.monitor.check_group(group)


@pytest.mark.parametrize("ttl, error", [(0, ValueError), (256, ValueError), (1.0, TypeError)])
def test_bad_ttl_is_refused_before_anything_is_sent(sim, ttl, error):
    cam = corvisk.Camera(sim)
    cam.connect()
    try:
        with pytest.raises(error):
            corvisk.multicast_acquisition(cam, GROUP, ttl=ttl)
        assert cam.get_integer("GevSCPHostPort") == 0
    finally:
        cam.disconnect()


# The controller: arms software triggers, streams to the group, then fires one trigger per
# line "go" read from stdin and reports the frames it received itself.
CONTROLLER = """
import json, sys, corvisk
cam = corvisk.Camera("10.34.1.2")
cam.connect()
cam.set_enum("TriggerMode", "On")
cam.set_enum("TriggerSource", "Software")
stream = corvisk.multicast_acquisition(cam, {group!r}, ttl=2)
try:
    cam.snap(timeout=1.0)
    print("busy none", flush=True)
except ValueError as e:
    print("busy", e, flush=True)
print("ready", cam.get_integer("StreamChannelMulticastTTL"), flush=True)
got = []
for line in sys.stdin:
    if line.strip() != "go":
        break
    cam.execute("TriggerSoftware")
    f = stream.wait_for(3.0)
    got.append(None if f is None else [f.frame_id, f.is_complete, sum(f.data) & 0xFFFFFFFF])
    print("frame", json.dumps(got[-1]), flush=True)
stream.stop()
with cam.start_acquisition():  # stop() gave the camera back
    pass
print("done", json.dumps(got), flush=True)
"""

# A monitor: receives the group until it has `count` frames (or 15 s pass) and prints them.
MONITOR = """
import json, time, corvisk
mon = corvisk.Monitor("10.34.1.2")
mon.connect()
frames = mon.receive()
print("ready", frames.group, frames.port, flush=True)
got, deadline = [], time.monotonic() + 15
while len(got) < {count} and time.monotonic() < deadline:
    f = frames.wait_for(0.5)
    if f is not None:
        got.append([f.frame_id, f.is_complete, sum(f.data) & 0xFFFFFFFF])
stats = frames.stats()
frames.stop()
print("done", json.dumps({{"frames": got, "resend_requests": stats["resend_requests"]}}),
      flush=True)
"""


def _spawn(lab, ns, code, stdin=False):
    popen = subprocess.Popen(ns.exec_args(sys.executable, "-c", code), stdout=subprocess.PIPE,
                             stdin=subprocess.PIPE if stdin else None, text=True)
    proc = Process(popen)
    lab.processes.append(proc)
    return proc


def _last(proc, word, timeout=20.0):
    assert proc.read_until(lambda lines: any(x.startswith(word) for x in lines), timeout), \
        proc.lines
    return next(x for x in reversed(proc.lines) if x.startswith(word))


def test_controller_and_two_monitors_receive_every_frame(lab):
    host, device = lab.namespace(), lab.namespace()
    lab.link(host, "10.34.1.1/24", device, "10.34.1.2/24")
    sim = lab.spawn(device, find_sim(), "--ip", "10.34.1.2", "--subnet", "255.255.255.0",
                    "--width", "320", "--height", "240")
    assert sim.read_until(lambda lines: any("ready" in x for x in lines)), sim.lines
    count = 5
    controller = _spawn(lab, host, CONTROLLER.format(group=GROUP), stdin=True)
    assert _last(controller, "ready") == "ready 2"
    # The group's stream holds the camera like the core's captures do.
    assert _last(controller, "busy") == \
        "busy camera is busy (a multicast acquisition in progress); stop it first"
    monitors = [_spawn(lab, host, MONITOR.format(count=count)) for _ in range(2)]
    for mon in monitors:
        assert _last(mon, "ready").split()[1] == GROUP
    for n in range(count):
        controller.popen.stdin.write("go\n")
        controller.popen.stdin.flush()
        # One trigger at a time: the next goes once the controller holds this frame.
        assert controller.read_until(lambda lines: sum(x.startswith("frame") for x in lines)
                                     > n, 10), controller.lines
    controller.popen.stdin.close()
    sent = json.loads(_last(controller, "done")[5:])
    assert len(sent) == count and all(f is not None and f[1] for f in sent)
    assert len({f[0] for f in sent}) == count
    for mon in monitors:
        seen = json.loads(_last(mon, "done")[5:])
        assert seen["frames"] == sent  # the same frames, ids and bytes, all complete
        assert seen["resend_requests"] == 0  # a monitor never asks for packets by default

