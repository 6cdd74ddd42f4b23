"""Link sharing (corvisk.share_link) end to end: two simulated cameras, each on its own loopback
address, get their shares of a link; the plan is read back from the devices and both streams
still deliver complete frames with the planned packet delay. A pair behind a veth adapter in
namespaces of the test's own shows the link speed taken from the adapter.
"""

import json
import math

import pytest

import corvisk
from corvisk.hostcheck import WIRE_FRAMING, frame_wire_bytes
from test_camera_connect import find_sim, needs_sim, sim, camera  # noqa: F401  (fixtures)

IPS = ("127.0.0.61", "127.0.0.62")


@pytest.fixture
def pair(camera):
    """Two connected simulated cameras: 640 x 480 at 30 frames/s, 320 x 240 at 20."""
    return [camera(IPS[0], "--frame-rate", "30"),
            camera(IPS[1], "--width", "320", "--height", "240", "--frame-rate", "20")]


def _check_plan(plan, link, headroom):
    budget = link * (1 - headroom)
    assert plan.budget == pytest.approx(budget)
    assert sum(c.bytes_per_s_after for c in plan) == pytest.approx(budget)
    for c in plan:
        demand = c.frame_rate_before * frame_wire_bytes(c.payload_size, c.packet_size)
        assert c.bytes_per_s_before == pytest.approx(demand)
        # Shares follow the demands, and a frame rate drops only as far as its share needs.
        assert c.bytes_per_s_after / budget == pytest.approx(demand / plan.demand)
        assert c.frame_rate_after == pytest.approx(
            c.frame_rate_before * min(1.0, c.bytes_per_s_after / demand))
        # The pause after each packet stretches its time on the wire to what the share allows.
        packet = c.packet_size + WIRE_FRAMING
        pause = packet / c.bytes_per_s_after - packet / link
        assert c.tick_frequency == 1_000_000_000
        assert c.delay_ticks == math.ceil(pause * c.tick_frequency)
        assert c.throughput_limit is None  # the simulated camera has none


@needs_sim
@pytest.mark.parametrize("link", [10e6, 1e9], ids=["oversubscribed", "room"])
def test_plan_is_written_to_the_devices_and_streams_stay_complete(pair, link):
    plan = corvisk.share_link(pair, link_bytes_per_s=link, headroom=0.1)
    _check_plan(plan, link, 0.1)
    assert (plan.demand > plan.budget) == (link == 10e6)
    for cam, c in zip(pair, plan):
        assert c.applied and c.ip == cam.device_info().ip
        assert cam.get_integer("GevSCPD") == c.delay_ticks
        assert cam.get_float("AcquisitionFrameRate") == pytest.approx(c.frame_rate_after, 1e-6)
        assert cam.get_integer("GevSCPSPacketSize") == c.packet_size
    acqs = [cam.start_acquisition() for cam in pair]
    try:
        for acq, c in zip(acqs, plan):
            frames = [acq.wait_for(5.0) for _ in range(3)]
            assert all(f is not None and f.is_complete for f in frames), frames
            assert acq.packet_size() == c.packet_size  # the size the delay was planned for
    finally:
        for acq in acqs:
            acq.stop()


@needs_sim
def test_plan_without_apply_leaves_the_devices_alone(pair):
    plan = corvisk.share_link(pair, 10e6, headroom=0.25, apply=False, negotiate=False)
    _check_plan(plan, 10e6, 0.25)
    assert [c.packet_size for c in plan] == [576, 576]  # the simulator's size at power-up
    assert not any(c.applied for c in plan)
    assert [cam.get_integer("GevSCPD") for cam in pair] == [0, 0]
    assert [cam.get_float("AcquisitionFrameRate") for cam in pair] == [30.0, 20.0]
    text = repr(plan)
    assert text.startswith("LinkPlan(link 10.0 MB/s, headroom 25%, budget 7.5 MB/s")
    for ip, c in zip(IPS, plan):
        assert f"  {ip}: " in text and f"delay {c.delay_ticks} ticks" in text
    assert len(plan) == 2 and plan[1] is plan.cameras[1]


@needs_sim
def test_free_running_camera_counts_as_filling_the_link(camera):
    free = camera(IPS[0], "--frame-rate", "0")
    fixed = camera(IPS[1], "--frame-rate", "30")
    plan = corvisk.share_link([free, fixed], 100e6, apply=False, negotiate=False)
    assert plan[0].frame_rate_before is None and plan[0].bytes_per_s_before == 100e6
    assert plan[0].bytes_per_s_after > plan[1].bytes_per_s_after > 0
    assert "free" in repr(plan)


@needs_sim
def test_throughput_limit_is_planned_written_and_streams_stay_complete(camera):
    limited = camera(IPS[0], "--throughput-limit", "100000000", "--frame-rate", "30")
    plain = camera(IPS[1], "--frame-rate", "30")
    plan = corvisk.share_link([limited, plain], 10e6, headroom=0.1)
    assert plan[0].throughput_limit == int(plan[0].bytes_per_s_after)
    assert plan[1].throughput_limit is None and not plain.has_feature("DeviceLinkThroughputLimit")
    assert limited.get_integer("DeviceLinkThroughputLimit") == plan[0].throughput_limit
    assert f"limit {plan[0].throughput_limit} B/s" in repr(plan)
    acqs = [cam.start_acquisition() for cam in (limited, plain)]
    try:
        for acq in acqs:
            frames = [acq.wait_for(5.0) for _ in range(3)]
            assert all(f is not None and f.is_complete for f in frames), frames
    finally:
        for acq in acqs:
            acq.stop()


@needs_sim
def test_simulated_camera_keeps_to_its_throughput_limit(camera):
    cam = camera(IPS[0], "--throughput-limit", "2000000")  # free running: frames back to back
    with cam.start_acquisition() as acq:
        frames = [acq.wait_for(5.0) for _ in range(4)]
    assert all(f is not None and f.is_complete for f in frames), frames
    # A 640 x 480 Mono8 frame takes at least 0.15 s at 2 MB/s: the device cannot start the next
    # one sooner (a lower bound only, whatever the host's load).
    gaps = [b.timestamp_ticks - a.timestamp_ticks for a, b in zip(frames, frames[1:])]
    assert min(gaps) >= 0.9 * 640 * 480 / 2e6 * 1e9, gaps


@needs_sim
def test_loopback_link_speed_is_unknown(pair):
    with pytest.raises(ValueError, match="link speed of lo is unknown; pass link_bytes_per_s"):
        corvisk.share_link(pair)


@pytest.mark.parametrize("cams, kwargs, error", [
    ([], {}, ValueError),
    ([object()], {"link_bytes_per_s": 0}, ValueError),
    ([object()], {"link_bytes_per_s": -5e6}, ValueError),
    ([object()], {"link_bytes_per_s": math.nan}, ValueError),
    ([object()], {"link_bytes_per_s": math.inf}, ValueError),
    ([object()], {"link_bytes_per_s": 1e6, "headroom": 1.0}, ValueError),
    ([object()], {"link_bytes_per_s": 1e6, "headroom": -0.1}, ValueError),
    ([object()], {"link_bytes_per_s": 1e6, "headroom": math.nan}, ValueError),
    ([object()], {"link_bytes_per_s": "fast"}, TypeError),
    ([object()], {"link_bytes_per_s": True}, TypeError),
])
def test_nonsense_is_refused_before_any_camera_is_touched(cams, kwargs, error):
    with pytest.raises(error):
        corvisk.share_link(cams, **kwargs)


# Runs in the client namespace: both cameras behind one veth adapter, the link from its speed.
VETH_CLIENT = """
import json, corvisk
cams = [corvisk.Camera(ip) for ip in {ips!r}]
for cam in cams:
    cam.connect()
plan = corvisk.share_link(cams)
print(json.dumps({{"link": plan.link_bytes_per_s,
                  "delays": [c.delay_ticks for c in plan],
                  "read": [cam.get_integer("GevSCPD") for cam in cams],
                  "sizes": [c.packet_size for c in plan],
                  "scps": [cam.get_integer("GevSCPSPacketSize") for cam in cams]}}))
"""


def test_link_speed_comes_from_the_adapter_both_cameras_are_behind(lab):
    if find_sim() is None:
        pytest.skip("corvisk-sim is not built")
    ips = ["10.62.0.2", "10.62.0.3"]
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.62.0.1/24", device, f"{ips[0]}/24")
    from netns import _ip
    _ip("-n", device.name, "addr", "add", f"{ips[1]}/24", "dev", "cvkb0")
    for n, ip in enumerate(ips):
        proc = lab.spawn(device, find_sim(), "--ip", ip, "--subnet", "255.255.255.0",
                         "--mac", f"02:00:5e:10:62:0{n}")
        assert proc.read_until(lambda lines: any("ready" in x for x in lines)), proc.lines
    r = client.python(VETH_CLIENT.format(ips=ips), timeout=60)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out["link"] == 10_000 * 1e6 / 8  # veth reports 10 Gb/s
    assert out["read"] == out["delays"] and out["scps"] == out["sizes"]
    assert out["delays"][0] > 0 and out["sizes"][0] > 576  # planned for the negotiated size
