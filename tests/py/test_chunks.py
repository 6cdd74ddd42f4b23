"""Chunk data from Python against `corvisk-sim`: ChunkModeActive / ChunkSelector / ChunkEnable,
the chunk features read from each frame, the image part alone for as_array, and hostile
layouts given as bytes.

Each test starts its own simulated camera on its own loopback address (127.33.2.x).
"""

import struct

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim

SMALL = ("--width", "32", "--height", "16", "--pattern", "FrameCounter")
IDS = {"Timestamp": 0x10000001, "ExposureTime": 0x10000002, "FrameID": 0x10000003,
       "LineStatusAll": 0x10000004, "Gain": 0x10000005}


def test_frames_without_chunk_mode_have_none(camera):
    cam = camera("127.33.2.1", *SMALL)
    frame = cam.snap(packet_size=1400)
    assert corvisk.chunk_layout(frame) == []
    assert corvisk.chunks(frame, cam) == {}
    assert corvisk.as_array(frame).shape == (16, 32)


def test_chunk_features_follow_the_camera_and_the_image_stays_alone(camera):
    np = pytest.importorskip("numpy")
    cam = camera("127.33.2.2", *SMALL)
    plain = corvisk.as_array(cam.snap(packet_size=1400), copy=True)
    cam.set_float("ExposureTime", 2500.0)
    cam.set_boolean("ChunkModeActive", True)
    assert cam.get_integer("PayloadSize") == 32 * 16 + 8 + 3 * 8 + 2 * 4 + 5 * 8
    with cam.start_acquisition(packet_size=1400) as acq:
        frames = [acq.wait_for(2.0) for _ in range(2)]
    for frame in frames:
        assert frame is not None and frame.is_complete
        layout = corvisk.chunk_layout(frame)
        assert [c[0] for c in layout] == [1, *IDS.values()]
        assert layout[0][1:] == (0, 32 * 16)
        values = corvisk.chunks(frame, cam)
        assert values["ChunkFrameID"] == frame.frame_id
        assert values["ChunkTimestamp"] == frame.timestamp_ticks
        assert values["ChunkExposureTime"] == 2500.0
        assert values["ChunkLineStatusAll"] == 5
        assert isinstance(values["ChunkGain"], float)
        image = corvisk.as_array(frame)
        assert image.shape == (16, 32)  # the chunk trailer is not pixels
        assert image.dtype == np.uint8
    assert plain.shape == (16, 32)
    # A chunk switched off is absent from the frame and from the features.
    cam.set_enum("ChunkSelector", "Gain")
    cam.set_boolean("ChunkEnable", False)
    frame = cam.snap(packet_size=1400)
    assert "ChunkGain" not in corvisk.chunks(frame, cam)
    assert IDS["Gain"] not in [c[0] for c in corvisk.chunk_layout(frame)]


def chunk(data, cid):
    return data + struct.pack(">II", cid, len(data))


@pytest.mark.parametrize("payload", [
    b"\x01\x02\x03",                                   # a trailer fragment
    struct.pack(">II", 7, 100),                        # a length past the start
    b"\x00" * 5 + chunk(b"abcd", 2),                   # leftover bytes before the first chunk
    struct.pack(">II", 7, 0xFFFFFFFF),                 # an absurd length
])
def test_hostile_layouts_are_value_errors(payload):
    with pytest.raises(ValueError, match="malformed chunk layout"):
        corvisk.chunk_layout(payload)


def test_layouts_given_as_bytes():
    payload = chunk(b"img!", 1) + chunk(b"", 9) + chunk(struct.pack(">Q", 42), IDS["FrameID"])
    assert corvisk.chunk_layout(payload) == [(1, 0, 4), (9, 12, 0), (IDS["FrameID"], 20, 8)]
    assert corvisk.chunk_layout(b"") == []
    with pytest.raises(TypeError):
        corvisk.chunk_layout(42)
