"""Stream settings from Python (corvisk.stream_config) against `corvisk-sim`: the receive
buffer the stream socket really gets, the pool memory limit refusing a capture at once with
its figures, argument validation and the warning about a system cap.

Each test starts its own simulated camera on its own loopback address (127.35.1.x).
"""

import re
import shutil
import subprocess
import time
import warnings

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim
SMALL = ("--width", "64", "--height", "48")


def socket_receive_buffer(local_addr):
    """The receive buffer (bytes usable, as SO_RCVBUF reports half of it) of the UDP socket
    bound to `local_addr`, read with `ss`."""
    out = subprocess.run(["ss", "-u", "-a", "-n", "-m", "src", local_addr],
                         capture_output=True, text=True, check=True).stdout
    sizes = re.findall(r"\brb(\d+)\b", out)
    assert len(sizes) == 1, out
    return int(sizes[0]) // 2


def test_the_defaults_resolve_to_figures(camera):
    cam = camera("127.35.1.1", *SMALL)
    settings = corvisk.stream_config(cam)
    assert settings.recv_buffer == 0
    assert settings.recv_buffer_max == 64 * 2**20
    assert settings.pool_memory_limit > 0
    assert (settings.resend_initial_delay, settings.resend_interval, settings.frame_timeout,
            settings.resend_ratio, settings.receive_moderation) == (0.001, 0.02, 0.1, 0.25, 50e-6)
    assert corvisk.stream_config(cam) == settings


@pytest.mark.skipif(shutil.which("ss") is None, reason="needs ss (iproute2)")
@pytest.mark.parametrize("tuning, expected", [
    (dict(recv_buffer=300_000), 300_000),
    # 64x48 frames: the automatic size is the floor, unless the ceiling is lower still.
    (dict(), 262_144),
    (dict(recv_buffer_max=200_000), 200_000),
])
def test_the_stream_socket_gets_the_receive_buffer_asked_for(camera, tuning, expected):
    cam = camera("127.35.1.2", *SMALL)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a capped system is checked below
        corvisk.stream_config(cam, **tuning)
    granted = corvisk._corvisk_ext.granted_receive_buffer(expected)
    with cam.start_acquisition(packet_size=1400) as acq:
        assert socket_receive_buffer(acq.local_addr()) == min(expected, granted)
        assert acq.wait_for(2.0) is not None
    # Back to automatic for the next capture of this camera.
    assert corvisk.stream_config(cam, recv_buffer=0, recv_buffer_max=0).recv_buffer == 0


def test_a_pool_above_the_limit_fails_at_once_with_the_figures(camera):
    cam = camera("127.35.1.3")  # 640x480 Mono8: 307200 bytes a frame
    assert corvisk.stream_config(cam, pool_memory_limit=500_000).pool_memory_limit == 500_000
    pattern = (r"frame pool of 2 buffers x 307200 bytes = 614400 bytes exceeds the pool "
               r"memory limit of 500000 bytes")
    for capture in (lambda: cam.snap(1.0, n_buffers=2),
                    lambda: cam.start_acquisition(n_buffers=2),
                    lambda: cam.snapshot_session(n_buffers=2)):
        started = time.monotonic()
        with pytest.raises(corvisk.CameraError, match=pattern):
            capture()
        assert time.monotonic() - started < 0.5
    # Within the limit the same camera captures, and the failures left it idle.
    assert cam.snap(2.0, n_buffers=1).is_complete
    assert corvisk.stream_config(cam, pool_memory_limit=0).pool_memory_limit > 500_000
    assert cam.snap(2.0, n_buffers=2).is_complete


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(recv_buffer=-1), ValueError, "recv_buffer must be between 0 and 2147483647 bytes"),
    (dict(recv_buffer=2**31), ValueError, "recv_buffer must be between"),
    (dict(recv_buffer=-5, pool_memory_limit=5), ValueError, "recv_buffer must be between"),
    (dict(pool_memory_limit=-1), ValueError, "pool_memory_limit must be between"),
    (dict(recv_buffer_max=-5), ValueError, "recv_buffer_max must be between"),
    (dict(pool_memory_limit=2**64), ValueError, "pool_memory_limit must be between"),
    (dict(recv_buffer=1.5), TypeError, "recv_buffer must be an int, not float"),
    (dict(pool_memory_limit=True), TypeError, "pool_memory_limit must be an int, not bool"),
    (dict(recv_buffer="1"), TypeError, "recv_buffer must be an int, not str"),
    (dict(resend_interval=0), ValueError,
     "resend_interval must be between 0.0005 and 10 seconds, got 0"),
    (dict(resend_initial_delay=-0.001), ValueError, "resend_initial_delay must be between 0 and"),
    (dict(frame_timeout=float("nan")), ValueError, "frame_timeout must be between"),
    (dict(frame_timeout=float("inf")), ValueError, "frame_timeout must be between"),
    (dict(frame_timeout=61), ValueError, "frame_timeout must be between 0.001 and 60 seconds"),
    (dict(resend_ratio=17), ValueError, "resend_ratio must be between 0 and 16, got 17"),
    (dict(resend_ratio=True), TypeError, "resend_ratio must be a number, not bool"),
    (dict(resend_interval="0.01"), TypeError, "resend_interval must be a number, not str"),
    (dict(receive_moderation=0.002), ValueError,
     "receive_moderation must be between 0 and 0.001 seconds, got 0.002"),
    (dict(receive_moderation=-1e-6), ValueError, "receive_moderation must be between"),
    # A bad timing next to a good buffer size changes neither.
    (dict(recv_buffer=1000, resend_ratio=-1), ValueError, "resend_ratio must be between"),
])
def test_bad_values_are_refused_and_change_nothing(camera, kwargs, error, message):
    cam = camera("127.35.1.4", *SMALL)
    before = corvisk.stream_config(cam, recv_buffer=400_000)
    with pytest.raises(error, match=re.escape(message)):
        corvisk.stream_config(cam, **kwargs)
    assert corvisk.stream_config(cam) == before


def test_timings_round_trip(camera):
    cam = camera("127.35.1.9", *SMALL)
    settings = corvisk.stream_config(cam, resend_initial_delay=0, resend_interval=0.002,
                                     frame_timeout=0.5, resend_ratio=2, receive_moderation=0)
    assert (settings.resend_initial_delay, settings.resend_interval, settings.frame_timeout,
            settings.resend_ratio, settings.receive_moderation) == (0.0, 0.002, 0.5, 2.0, 0.0)
    assert corvisk.stream_config(cam).resend_interval == 0.002


# A device that drops packet 3 of every frame and resends it when asked: the captures after
# stream_config follow its timings. No budget asks for nothing; a first request due only after
# the frame timeout is never sent, and the frame comes out incomplete at its timeout instead.
@pytest.mark.parametrize("timing, complete", [
    (dict(), True),
    (dict(resend_ratio=0), False),
    (dict(resend_initial_delay=5.0, frame_timeout=0.05), False),
])
def test_captures_follow_the_resend_timings(camera, timing, complete):
    cam = camera("127.35.1.10", *SMALL, "--frame-rate", "50", "--drop-packets", "0:3")
    corvisk.stream_config(cam, **timing)
    with cam.start_acquisition(packet_size=576) as acq:
        frames = [acq.wait_for(5.0) for _ in range(3)]
        stats = acq.stats()
    assert all(f is not None for f in frames)
    assert [f.is_complete for f in frames] == [complete] * 3, (frames, stats)
    assert (stats.resend_requests > 0) == complete


# The worker pausing between receives (at most 1 ms, up to 8 times a wake-up) or never: a fast
# stream into the smallest automatic receive buffer still comes whole, every frame, in order.
@pytest.mark.parametrize("moderation", [0, 50e-6, 0.001])
def test_every_frame_comes_whole_whatever_the_receive_moderation(camera, moderation):
    cam = camera("127.35.1.11", "--width", "320", "--height", "240", "--frame-rate", "400")
    corvisk.stream_config(cam, receive_moderation=moderation)
    seen = []
    with cam.start_acquisition(packet_size=1400) as acq:
        for _ in range(200):
            frame = acq.wait_for(5.0)  # each one let go at once, its buffer back in the pool
            seen.append(frame and (frame.frame_id, frame.is_complete))
        stats = acq.stats()
    first = seen[0][0] if seen[0] else 0
    assert seen == [(first + i, True) for i in range(200)], stats


def test_only_cameras_have_stream_settings():
    with pytest.raises(TypeError, match="expected a corvisk.Camera, got str"):
        corvisk.stream_config("127.35.1.5")


def test_settings_are_per_camera(camera):
    a = camera("127.35.1.6", *SMALL)
    b = corvisk.Camera("127.35.1.7")
    corvisk.stream_config(a, recv_buffer=500_000)
    assert corvisk.stream_config(b).recv_buffer == 0


def test_a_system_cap_warns_once_with_both_figures():
    cam = corvisk.Camera("127.35.1.8")
    # No system grants a 2 GiB socket buffer (Linux halves such a request at best).
    with pytest.warns(RuntimeWarning, match=r"caps socket receive buffers at \d+ bytes, below "
                                            r"the 2147483647 bytes asked for"):
        corvisk.stream_config(cam, recv_buffer=2**31 - 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        corvisk.stream_config(cam, recv_buffer=2**31 - 1)  # the same figures: no second warning
