"""Action commands end to end: two simulated cameras in one namespace, triggered by broadcast.

The client namespace configures both cameras (device key, group key and mask, TriggerSource
Action1) and sends the actions; its script prints what came back as JSON. Nothing leaves the
namespaces.
"""

import json

import pytest

from netns import NetnsLab, _ip, netns_unavailable_reason
from test_camera_connect import find_sim

CAMERAS = ["10.34.0.2", "10.34.0.3"]
ADAPTER = "10.34.0.1"

# Runs in the client namespace; every step's acknowledges and frames go into one JSON record.
CLIENT = """
import json, time, corvisk
cams = [corvisk.Camera(ip) for ip in {ips!r}]
for cam in cams:
    cam.connect()
    cam.set_integer("ActionDeviceKey", 0x1234)
    cam.set_integer("ActionSelector", 0)
    cam.set_integer("ActionGroupKey", 7)
    cam.set_integer("ActionGroupMask", 0b101)
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", "Action1")
clocks = [corvisk.clock(cam) for cam in cams]
acqs = [cam.start_acquisition() for cam in cams]
out = {{"ptp": [c.ptp.synchronised for c in clocks]}}

def step(name, **kw):
    sent = time.time_ns()
    acks = corvisk.action(kw.pop("device_key", 0x1234), 7, kw.pop("mask", 0b100), timeout=0.5,
                          **kw)
    frames = {{}}
    for ip, acq in zip({ips!r}, acqs):
        f = acq.wait_for(3.0 if any(a.address == ip for a in acks) else 0.3)
        if f is not None:
            frames[ip] = [f.timestamp_ticks, f.is_complete]
    extra = [acq.wait_for(0.2) for acq in acqs]
    out[name] = {{"acks": [[a.address, a.status] for a in acks], "frames": frames,
                 "sent": sent, "extra": sum(e is not None for e in extra)}}

step("scheduled", adapter={adapter!r},
     scheduled_time=clocks[0].to_device_ticks(time.time_ns() + 200_000_000))
step("now", adapter={adapter!r})
step("late", adapter={adapter!r}, scheduled_time=1)
step("other_key", adapter={adapter!r}, device_key=0x4321)
step("other_group", adapter={adapter!r}, mask=0b010)
step("unicast", destination={ips!r}[1])
step("list", destination={ips!r})
out["silent_bad_ack"] = corvisk.action(0x1234, 7, 0b100, destination="10.34.0.9", timeout=0.2)
for acq in acqs:
    acq.stop()
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def run():
    reason = netns_unavailable_reason()
    if reason:
        pytest.skip(reason)
    if find_sim() is None:
        pytest.skip("corvisk-sim is not built")
    lab = NetnsLab()
    try:
        client, device = lab.namespace(), lab.namespace()
        lab.link(client, f"{ADAPTER}/24", device, f"{CAMERAS[0]}/24")
        _ip("-n", device.name, "addr", "add", f"{CAMERAS[1]}/24", "dev", "cvkb0")
        for n, ip in enumerate(CAMERAS):
            sim = lab.spawn(device, find_sim(), "--ip", ip, "--subnet", "255.255.255.0",
                            "--ptp", "--serial", f"ACT-{n}", "--mac", f"02:00:5e:10:34:0{n}")
            assert sim.read_until(lambda lines: any("ready" in x for x in lines)), sim.lines
        r = client.python(CLIENT.format(ips=CAMERAS, adapter=ADAPTER), timeout=60)
        assert r.returncode == 0, r.stderr
        yield json.loads(r.stdout)
    finally:
        lab.close()


def test_cameras_report_ptp_lock(run):
    assert run["ptp"] == [True, True]


def test_one_scheduled_broadcast_gives_one_frame_per_camera_within_a_millisecond(run):
    step = run["scheduled"]
    assert step["acks"] == [[ip, 0] for ip in CAMERAS]
    assert sorted(step["frames"]) == CAMERAS
    (a, ok_a), (b, ok_b) = step["frames"].values()
    assert ok_a and ok_b
    assert abs(a - b) < 1_000_000
    assert step["extra"] == 0


def test_immediate_broadcast_triggers_both_on_arrival(run):
    step = run["now"]
    assert step["acks"] == [[ip, 0] for ip in CAMERAS]
    assert sorted(step["frames"]) == CAMERAS
    for ticks, _ in step["frames"].values():
        # PTP time is the host's wall clock: the frame was exposed after the send.
        assert ticks >= step["sent"]
    assert step["extra"] == 0


def test_late_scheduled_action_runs_at_once_and_says_so(run):
    step = run["late"]
    assert step["acks"] == [[ip, 0x8016] for ip in CAMERAS]
    assert sorted(step["frames"]) == CAMERAS


@pytest.mark.parametrize("name", ["other_key", "other_group"])
def test_action_for_others_gets_no_answer_and_no_frame(run, name):
    assert run[name]["acks"] == []
    assert run[name]["frames"] == {}


def test_unicast_action_reaches_one_camera(run):
    step = run["unicast"]
    assert step["acks"] == [[CAMERAS[1], 0]]
    assert list(step["frames"]) == [CAMERAS[1]]


def test_unicast_to_a_list_reaches_each_camera(run):
    step = run["list"]
    assert step["acks"] == [[ip, 0] for ip in CAMERAS]
    assert sorted(step["frames"]) == CAMERAS


def test_nobody_there_is_an_empty_list(run):
    assert run["silent_bad_ack"] == []


@pytest.mark.parametrize("kwargs, error", [
    (dict(device_key=-1), ValueError),
    (dict(group_key=1 << 32), ValueError),
    (dict(group_mask="1"), TypeError),
    (dict(timeout=float("nan")), ValueError),
    (dict(timeout=-1.0), ValueError),
    (dict(scheduled_time=-5), ValueError),
    (dict(scheduled_time=1.5), TypeError),
    (dict(destination="10.34.0.300"), ValueError),
    (dict(destination=[]), ValueError),
    (dict(adapter="no-such-adapter0"), ValueError),
])
def test_bad_arguments_are_refused_before_sending(kwargs, error):
    import corvisk
    args = dict(device_key=1, group_key=2, group_mask=3)
    args.update(kwargs)
    keys = [args.pop(k) for k in ("device_key", "group_key", "group_mask")]
    with pytest.raises(error):
        corvisk.action(*keys, **args)


def test_action_datagram_layout():
    from corvisk.actions import encode_action
    assert encode_action(0x01020304, 5, 6, 0x0A0B) == bytes.fromhex(
        "42 01 0100 000c 0a0b 01020304 00000005 00000006")
    assert encode_action(1, 2, 3, 9, scheduled_time=0x1122334455667788, ack=False) == \
        bytes.fromhex("42 80 0100 0014 0009 00000001 00000002 00000003 1122334455667788")
