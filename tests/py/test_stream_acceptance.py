"""What the stream receiver accepts from a device, end to end against `corvisk-sim`: heavy
random loss, payload packets numbered past the trailer, device flag bits in the payload
type, and packets of other formats sent ahead of a frame's leader. Every frame whose packets all arrive (the simulator's resends are not lost) is delivered
complete and exact.

Each test starts its own simulated camera on its own loopback address (127.41.3.x).
"""

import pytest

import corvisk
from test_camera_connect import SimProcess, needs_sim

pytestmark = needs_sim

IMAGE = ("--width", "320", "--height", "240", "--frame-rate", "100")
FRAMES = 12


def ramp(frame_id, size):
    """The simulator's default pattern: byte i of block b is (i + b) mod 256."""
    return bytes((i + frame_id) % 256 for i in range(size))


@pytest.mark.parametrize("ip, options, counter, least", [
    ("127.41.3.1", ("--drop-fraction", "0.3"), "resent_packets", FRAMES * 10),
    ("127.41.3.2", ("--drop-fraction", "0.2", "--reorder-window", "8",
                    "--duplicate-fraction", "0.1"), "resent_packets", FRAMES * 5),
    ("127.41.3.3", ("--stray-packets", "1"), "ignored_packets", FRAMES),
    ("127.41.3.4", ("--wrong-id-fraction", "0.1"), "ignored_packets", FRAMES),
    ("127.41.3.5", ("--payload-type-flags", "0x8000"), "completed_frames", FRAMES),
    ("127.41.3.6", ("--stray-format", "4@0"), "ignored_packets", FRAMES),
    ("127.41.3.7", ("--stray-format", "7@0", "--drop-packets", "0:0"), "resent_packets", FRAMES),
], ids=["30% loss", "loss reorder duplicates", "stray ids", "wrong ids", "flag bits",
        "all-in before leader", "unknown format before lost leader"])
def test_every_frame_whose_packets_arrive_is_complete(ip, options, counter, least):
    sim = SimProcess(ip, *IMAGE, *options)
    cam = corvisk.Camera(ip, gvcp_timeout=0.2, retries=2)
    try:
        cam.connect()
        with cam.start_acquisition(packet_size=1400, n_buffers=32) as acq:
            for _ in range(FRAMES):
                frame = acq.wait_for(5.0)
                assert frame is not None
                assert frame.status == corvisk.FrameStatus.Complete
                assert frame.data() == ramp(frame.frame_id, 320 * 240)
            stats = acq.stats()
        assert stats.failed_frames == 0
        assert getattr(stats, counter) >= least
    finally:
        cam.disconnect()
        sim.stop()
