"""Chunk and event data features against `corvisk-sim`: refused when read from the camera (their
bytes are not device memory) with a message saying where to read them, still read from frames
and events, the same for a real description served by the simulator, and registers whose pPort
names no port read from the device as before.

Each test gives its camera its own loopback address (127.43.x.y).
"""

import subprocess
import time

import pytest

import corvisk
from corvisk import _corvisk_ext
from test_camera_connect import ROOT, SIM, camera, needs_sim, sim  # noqa: F401  (fixtures)
from test_corpus import CORPUS, served  # noqa: F401  (fixture)

pytestmark = needs_sim

SMALL = ("--width", "32", "--height", "16")
CHUNK = "{} is chunk data: read it from a frame with corvisk.chunks(frame, cam)"
EVENT = "{} is event data: read it from an event's features with corvisk.events(cam)"


@pytest.mark.parametrize("getter, name, message", [
    ("get_integer", "ChunkTimestamp", CHUNK),
    ("get_integer", "ChunkTimestampReg", CHUNK),
    ("get_float", "ChunkExposureTime", CHUNK),
    ("get_float", "ChunkGain", CHUNK),
    ("get_integer", "ChunkFrameID", CHUNK),
    ("get_integer", "EventExposureEndTimestamp", EVENT),
    ("get_integer", "EventExposureEndFrameID", EVENT),
])
def test_camera_reads_of_data_features_are_refused(camera, getter, name, message):
    cam = camera("127.43.1.1", *SMALL)
    cam.set_boolean("ChunkModeActive", True)
    with pytest.raises(corvisk.GenicamError) as e:
        getattr(cam, getter)(name)
    assert str(e.value) == message.format(name)
    # The device features around them still read and write.
    assert cam.get_boolean("ChunkModeActive") is True


def test_chunks_and_event_features_still_read_from_their_data(camera):
    cam = camera("127.43.1.2", *SMALL, "--frame-rate", "100")
    cam.set_boolean("ChunkModeActive", True)
    with corvisk.events(cam, enable=["ExposureEnd"]) as camera_events:
        with cam.start_acquisition(packet_size=1400) as acq:
            frames = [acq.wait_for(2.0) for _ in range(2)]
        ev, deadline = None, time.monotonic() + 5.0
        while ev is None and time.monotonic() < deadline:
            ev = camera_events.wait_for(0.2)
    for frame in frames:
        values = corvisk.chunks(frame, cam)
        assert values["ChunkTimestamp"] == frame.timestamp_ticks
        assert values["ChunkFrameID"] == frame.frame_id
    assert ev is not None and ev.name == "ExposureEnd"
    assert ev.features["EventExposureEndTimestamp"] == ev.timestamp
    with pytest.raises(corvisk.GenicamError, match="is chunk data"):
        cam.get_integer("ChunkTimestamp")


# The corpus beside the repository, or beside the worktrees when this is one of them.
BASLER = next((d / "Basler-acA1300-60gm.xml"
               for d in (CORPUS, ROOT.parent.parent / "shared" / "descriptions")
               if (d / "Basler-acA1300-60gm.xml").is_file()), CORPUS / "Basler-acA1300-60gm.xml")


@pytest.mark.skipif(not BASLER.is_file(), reason="no ../shared/descriptions beside the repository")
def test_real_description_chunk_and_event_features_are_refused(served):
    _, cam = served("127.43.2.1", BASLER)
    with pytest.raises(corvisk.GenicamError) as e:
        cam.get_integer("ChunkTimestamp")
    assert str(e.value) == CHUNK.format("ChunkTimestamp")
    with pytest.raises(corvisk.GenicamError) as e:
        cam.get_integer("ChunkWidth")
    assert str(e.value) == CHUNK.format("ChunkWidth")
    chunk_features = [n for names in _corvisk_ext.chunk_data_features(cam).values() for n in names]
    event_features = [n for names in _corvisk_ext.event_data_features(cam).values() for n in names]
    assert "ChunkTimestamp" in chunk_features and "ChunkWidth" in chunk_features
    assert len(event_features) >= 18
    for name in event_features[:5]:
        with pytest.raises(corvisk.GenicamError, match="is event data"):
            cam.get_integer(name)
    assert cam.get_integer("Width") > 0


def test_registers_whose_port_is_unknown_or_no_port_read_the_device(served, tmp_path):
    own = subprocess.run([SIM, "--print-description"], check=True, capture_output=True).stdout
    text = own.decode()
    assert text.count("<pPort>Device</pPort>") > 10
    # Width's register names a port that does not exist; Height's names a feature.
    width = text.index("<pPort>Device</pPort>", text.index('Name="WidthReg"'))
    height = text.index("<pPort>Device</pPort>", text.index('Name="HeightReg"'))
    for at, port in sorted([(width, "Nowhere"), (height, "Width")], reverse=True):
        text = text[:at] + f"<pPort>{port}</pPort>" + text[at + len("<pPort>Device</pPort>"):]
    path = tmp_path / "odd_ports.xml"
    path.write_text(text)
    _, cam = served("127.43.3.1", path, "--width", "48", "--height", "24")
    assert (cam.get_integer("Width"), cam.get_integer("Height")) == (48, 24)
    cam.set_integer("Width", 32)
    assert cam.get_integer("Width") == 32
