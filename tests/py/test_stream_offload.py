"""Coalesced stream bursts seen from Python against `corvisk-sim --gso`: in order, with extended
ids, duplicated, reordered and interleaved runs the kernel hands over several datagrams as
one, the receiver places their segments straight into the frame (or moves or copies those
that missed their place), and every frame is exactly the image.

Each test starts its own simulated camera on its own loopback address (127.42.3.x).
"""

import itertools

import pytest

from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim

WIDTH, HEIGHT = 640, 480


def expected(frame_id):
    return bytes((i + frame_id) % 256 for i in range(WIDTH * HEIGHT))


FAULTS = {
    "in-order": [],
    "extended-ids": ["--extended-ids"],
    "duplicated": ["--duplicate-fraction", "0.05"],
    "reordered": ["--reorder-window", "8"],
    "interleaved": ["--interleave"],
}
CASES = [(f"127.42.3.{n + 1}", name, size)
         for n, (size, name) in enumerate(itertools.product((1400, 8000), FAULTS))]


@pytest.mark.parametrize("address, name, packet_size", CASES,
                         ids=[f"{name}-{size}" for _, name, size in CASES])
def test_coalesced_bursts_give_exact_frames(camera, address, name, packet_size):
    faults = FAULTS[name]
    # At a rate the receiver keeps up with: this is about placement, not about overload.
    cam = camera(address, "--gso", "--frame-rate", "100", "--width", str(WIDTH), "--height",
                 str(HEIGHT), *faults)
    with cam.start_acquisition(packet_size=packet_size) as acq:
        frames = [acq.wait_for(3.0) for _ in range(8)]
        stats = acq.stats()
    assert all(f is not None and f.is_complete for f in frames), stats
    for f in frames:
        assert f.data() == expected(f.frame_id), f"frame {f.frame_id} differs from the image"
    assert stats.failed_frames == 0
