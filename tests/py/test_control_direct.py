"""Uncached feature reads go onto the wire from the caller's thread when the control worker is
idle. End to end against `corvisk-sim`: several Python threads reading beside the heartbeats over
a lossy, pending or slow link, and a device that dies under a read.

Each test starts its own simulated camera on its own loopback address (127.40.x.y).
"""

import threading

import pytest

import corvisk
from test_camera_connect import needs_sim, sim, wait_for  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim

LOST = "^device control was lost \\(heartbeat failed\\)$"


@pytest.mark.parametrize("n, options, counter", [
    (1, ("--drop-ack-fraction", "0.2"), "retries"),
    (2, ("--pending-ack-ms", "20"), "pending_acks"),
    (3, ("--ack-delay-ms", "3"), None),
], ids=["ack-loss", "pending", "slow"])
def test_reads_from_several_threads_beside_heartbeats(sim, n, options, counter):
    ip = f"127.40.2.{n}"
    sim(ip, "--width", "64", *options)
    # A heartbeat every 0.1 s, each try given up after 50 ms; retries enough that a run of lost
    # acknowledges (reproducible with the simulator's fixed seed) never exhausts them.
    cam = corvisk.Camera(ip, heartbeat_timeout=0.3, gvcp_timeout=0.05, retries=8)
    cam.connect()
    widths, failures = [], []

    def reader():
        for _ in range(40):
            try:
                cam.invalidate_caches()
                widths.append(cam.get_integer("Width"))
            except corvisk.CameraError as e:
                failures.append(e)

    threads = [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert widths == [64] * 120
    before = cam.link_stats().heartbeats
    assert wait_for(lambda: cam.link_stats().heartbeats >= before + 2)
    stats = cam.link_stats()
    if counter:
        assert getattr(stats, counter) > 0
    assert stats.timeouts == 0
    assert cam.is_connected()
    cam.disconnect()


def test_device_death_under_a_read_fails_it_and_then_loses_control(sim):
    device = sim("127.40.3.1")
    cam = corvisk.Camera("127.40.3.1", heartbeat_timeout=0.6, gvcp_timeout=0.05, retries=1)
    cam.connect()
    assert cam.get_integer("Width") > 0
    device.proc.kill()
    device.proc.wait()
    with pytest.raises(corvisk.CameraError):
        for _ in range(1000):  # the first read after the death fails
            cam.invalidate_caches()
            cam.get_integer("Width")
    assert wait_for(lambda: not cam.is_connected(), timeout=0.6 + 0.5)
    with pytest.raises(corvisk.CameraError, match=LOST):
        cam.get_integer("Width")
