"""Packet-size negotiation seen from Python against `corvisk-sim`: the size found once per
connection and reused by later captures, and a path too small for any stream packet failing
the capture with the figures instead of streaming frames that all lose their packets.

Each test starts its own simulated camera on its own loopback address (127.35.3.x).
"""

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim


def test_a_path_below_the_smallest_packet_size_fails_the_capture(camera):
    cam = camera("127.35.3.1", "--mtu", "500", "--width", "64", "--height", "48")
    message = (r"the network path from the device carries stream packets of at most 496 bytes, "
               r"below the smallest usable size of 560 bytes; raise the path's MTU")
    for capture in (lambda: cam.snap(1.0), cam.start_acquisition, cam.snapshot_session):
        with pytest.raises(corvisk.CameraError, match=message):
            capture()
    # A fixed size the path carries still streams, and the failures left the camera idle.
    assert cam.snap(2.0, packet_size=496).is_complete
    assert cam.get_integer("TLParamsLocked") == 0


def test_the_size_found_is_kept_for_the_connection(camera):
    cam = camera("127.35.3.2", "--mtu", "1500", "--width", "64", "--height", "48")
    with cam.snapshot_session() as session:
        assert session.packet_size() == 1488
        assert session.snap(2.0).is_complete
    assert cam.snap(2.0).is_complete
    # A fixed size changes SCPS; the next negotiated capture searches again and finds the same.
    assert cam.snap(2.0, packet_size=1000).is_complete
    with cam.start_acquisition() as acq:
        assert acq.packet_size() == 1488
        assert acq.wait_for(2.0) is not None
    cam.disconnect()
    cam.connect()
    with cam.snapshot_session() as session:
        assert session.packet_size() == 1488


# The first probe, of the largest size, waits only a multiple of its acknowledge's round trip;
# a device whose test packets come 15 ms after the acknowledge misses it, and the probes after it
# wait the full time: a 9000-byte path still finds its size, a jumbo one at most one step short.
@pytest.mark.parametrize("n, mtu, sizes", [(13, "9000", {8992}), (14, "9200", {9136, 9152}),
                                          (15, "1500", {1488})])
def test_a_device_with_slow_test_packets_still_finds_its_size(camera, n, mtu, sizes):
    cam = camera(f"127.35.3.{n}", "--mtu", mtu, "--test-packet-delay-ms", "15",
                 "--width", "64", "--height", "48")
    with cam.snapshot_session() as session:
        assert session.packet_size() in sizes
        assert session.snap(2.0).is_complete


def test_a_device_sending_segmented_bursts_streams_exact_frames(camera):
    # --gso: the simulated camera sends runs of packets as one segmented send, so the stream
    # socket (with UDP GRO where the kernel has it) receives them coalesced.
    cam = camera("127.35.3.3", "--gso", "--width", "320", "--height", "240")
    with cam.start_acquisition(packet_size=1400) as acq:
        frames = [acq.wait_for(2.0) for _ in range(5)]
        stats = acq.stats()
    assert all(f is not None and f.is_complete for f in frames)
    for f in frames:
        assert f.data() == bytes((i + f.frame_id) % 256 for i in range(320 * 240))
    assert stats.failed_frames == 0
