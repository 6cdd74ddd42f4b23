"""Device clocks: mapping frame timestamps to host time, and the PTP state a camera reports."""

import subprocess
import time

import pytest

import corvisk
from test_camera_connect import find_sim

pytestmark = pytest.mark.skipif(find_sim() is None, reason="corvisk-sim is not built")


@pytest.fixture(params=[False, True], ids=["free-running", "ptp"])
def sim(request):
    ip = "127.34.3.2" if request.param else "127.34.3.1"
    args = [find_sim(), "--ip", ip] + (["--ptp"] if request.param else [])
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    try:
        assert "ready" in proc.stdout.readline()
        cam = corvisk.Camera(ip)
        cam.connect()
        yield cam, request.param
        cam.disconnect()
    finally:
        proc.kill()
        proc.wait(timeout=10)
        proc.stdout.close()


def test_frame_timestamps_map_into_host_time_around_arrival(sim):
    cam, ptp = sim
    before = time.time_ns()
    clk = corvisk.clock(cam, samples=4)
    assert clk.tick_frequency == 1_000_000_000
    assert 0 < clk.uncertainty_ns < 100_000_000
    frame = cam.snap(5.0)
    host = clk.to_host_ns(frame.timestamp_ticks)
    assert before < host <= time.time_ns() + clk.uncertainty_ns
    assert abs(host - frame.system_timestamp_ns) < 50_000_000
    assert clk.to_device_ticks(clk.to_host_ns(12345678)) == 12345678
    # A PTP-synchronised camera counts host wall-clock time: no offset to speak of.
    assert (abs(clk.offset_ns) < 50_000_000) == ptp
    clk.resync()
    assert abs(clk.drift_ppm) < 10_000


def test_ptp_state_follows_the_enable_switch(sim):
    cam, ptp = sim
    if ptp:
        assert corvisk.clock(cam).ptp == corvisk.PtpState(True, "Slave", None)
        assert corvisk.ptp_state(cam).synchronised
    else:
        assert corvisk.ptp_state(cam) == corvisk.PtpState(False, "Disabled", None)
        cam.set_boolean("PtpEnable", True)  # no master on this link: it only listens
        assert corvisk.ptp_state(cam) == corvisk.PtpState(True, "Listening", None)
        assert not corvisk.ptp_state(cam).synchronised


def test_clock_needs_a_latch_and_sane_samples(sim):
    cam, _ = sim
    with pytest.raises(ValueError):
        corvisk.clock(cam, samples=0)
    with pytest.raises(TypeError):
        corvisk.clock(object())
