"""Camera descriptions served by `corvisk-sim --description`, read from Python end to end.

The corpus test serves every real camera description of ../shared/descriptions (skipped when the
directory is absent) and reads every value feature with its typed getter. A failure the device's
values themselves cause (a division by zero, an enumeration value with no entry, a write-only
register, a feature not available or not implemented) is allowed; a failure of a kind the node
map is known to get wrong marks that description as an expected failure naming the kinds, so it
passes by itself once they are fixed; anything else fails. Run it alone with `-m corpus`; the
per-description table is printed at the end of the module. CORVISK_DESCRIPTIONS names another
directory of descriptions.

The simulated camera's own description, served the same way, proves the streaming path.
Each test gives its camera its own loopback address (127.24.x.y).
"""

import os
import re
import select
import subprocess
import time
import zipfile
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

import pytest

import corvisk
from test_camera_connect import ROOT, SIM, needs_sim

pytestmark = needs_sim

# CORVISK_DESCRIPTIONS points elsewhere, e.g. from a worktree that has no ../shared beside it.
CORPUS = Path(os.environ.get("CORVISK_DESCRIPTIONS", ROOT.parent / "shared" / "descriptions"))
DESCRIPTIONS = sorted(CORPUS.glob("*.xml")) + sorted(CORPUS.glob("*.zip")) if CORPUS.is_dir() else []

# Element kind -> the typed getter that reads its value.
GETTERS = {
    "Integer": "get_integer", "IntReg": "get_integer", "MaskedIntReg": "get_integer",
    "StructEntry": "get_integer", "IntSwissKnife": "get_integer", "IntConverter": "get_integer",
    "Float": "get_float", "FloatReg": "get_float", "SwissKnife": "get_float",
    "Converter": "get_float", "Boolean": "get_boolean", "Enumeration": "get_enum",
    "String": "get_string", "StringReg": "get_string",
}

# Failures the device's values cause: a real camera in that state answers the same way.
DEVICE_CAUSED = [
    ("division by zero", r"^formula in '[^']*': (division|remainder) by zero$"),
    ("enumeration value with no entry", r"^enumeration '[^']*' has no entry '-?\d+'$"),
    ("write-only register", r"is not accessible this way \(access mode\)$"),
    # A write-only word of the bootstrap map (the action device key, say) refuses reads,
    # alone or inside a register's range, although some descriptions call it RW.
    ("write-only register", r"^device answered command 0x008[04] with access denied \(0x8006\)$"),
    ("not available or not implemented", r"not (available|implemented)"),
    # A register whose pLength names a register holding a device value that is no length.
    ("register length from the device", r"^formula in '[^']*': unsupported register length \d+$"),
    # An address formula outside the selector range it covers gives a sentinel address.
    ("register address from the device",
     r"^formula in '[^']*': register at 0x[0-9a-f]+ \(\d+ bytes\) runs past the 32-bit address"),
    # Chunk and event data is not device memory: a camera read of it is refused by design.
    ("chunk or event data", r" is (chunk|event) data: read it from "),
]

# Node-map faults known and being fixed. A description with any of these (and nothing else)
# is an expected failure; as each fix lands its failures disappear and the description passes.
KNOWN_FAULTS = [
    ("int/float or node kind not readable by this getter", r"does not support this access$"),
    ("formula variable not bound (Constant/Expression)", r"unbound variable"),
    ("link to a node kind not built", r"^dangling reference"),
    ("address above 32 bits", r"beyond 32 bit"),
    ("formula not understood", r"^formula in '[^']*': (?!(division|remainder) by zero)"),
    ("circular reference", r"^circular reference"),
]

SUMMARY = []


def classify(message):
    """("allowed" | "known" | "other", category) for one failure message."""
    for category, pattern in DEVICE_CAUSED:
        if re.search(pattern, message):
            return "allowed", category
    for category, pattern in KNOWN_FAULTS:
        if re.search(pattern, message):
            return "known", category
    return "other", message


def value_features(path):
    """name -> getter for every value node of the description; the last of a name wins."""
    features = {}
    for _, element in ET.iterparse(path):
        kind = element.tag.rsplit("}", 1)[-1]
        name = element.get("Name")
        if name and kind in GETTERS:
            features[name] = GETTERS[kind]
    return features


class DescribedSim:
    """corvisk-sim serving one description; `ready` is its ready line."""

    def __init__(self, ip, description, *options):
        self.proc = subprocess.Popen(
            [SIM, "--ip", ip, "--frame-rate", "0", "--description", str(description), *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 20.0
        self.ready = ""
        while time.monotonic() < deadline and self.proc.poll() is None:
            if select.select([self.proc.stdout], [], [], 0.1)[0]:
                self.ready = self.proc.stdout.readline().strip()
                break
        if not self.ready.startswith(f"corvisk-sim ready on {ip}:"):
            self.stop()
            raise RuntimeError(f"corvisk-sim did not start: {self.ready!r} "
                               f"{self.proc.stderr.read()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def served():
    """Factory: served(ip, description, *options) -> (sim, connected Camera); both stopped."""
    opened = []

    def start(ip, description, *options):
        sim = DescribedSim(ip, description, *options)
        cam = corvisk.Camera(ip, gvcp_timeout=0.3, retries=2)
        opened.append((sim, cam))
        cam.connect()
        return sim, cam

    yield start
    for sim, cam in opened:
        cam.disconnect()
        sim.stop()


@pytest.fixture(scope="module")
def summary(request):
    """Collects one line per description and prints the table after the module."""
    yield SUMMARY
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if capture and reporter and SUMMARY:
        with capture.global_and_fixture_disabled():
            reporter.write_line("")
            reporter.write_line("corpus through corvisk-sim --description:")
            for line in SUMMARY:
                reporter.write_line("  " + line)


def read_all(cam, features):
    """Reads every feature; returns (read count, Counter of (verdict, category))."""
    read, failures = 0, Counter()
    for name, getter in features.items():
        try:
            getattr(cam, getter)(name)
            read += 1
        except (corvisk.CameraError, corvisk.GenicamError) as e:
            failures[classify(str(e))] += 1
    return read, failures


@pytest.mark.corpus
@pytest.mark.parametrize("index,path", list(enumerate(DESCRIPTIONS)),
                         ids=[p.name for p in DESCRIPTIONS])
def test_corpus_description_reads_through_the_simulated_camera(served, summary, index, path):
    features = value_features(path)
    sim, cam = served(f"127.24.{1 + index // 200}.{1 + index % 200}", path,
                      "--width", "64", "--height", "48")
    read, failures = read_all(cam, features)
    streaming = "control only"
    if sim.ready.endswith(", streaming"):
        # The camera streams with the described image features: one frame end to end.
        frame = cam.snap(5.0)
        assert frame.is_complete and (frame.width, frame.height) == (64, 48)
        assert frame.data() == diagonal_ramp(frame.frame_id, cam.get_integer("PayloadSize"))
        streaming = "streaming, snapped"
    by_verdict = Counter()
    for (verdict, _), n in failures.items():
        by_verdict[verdict] += n
    summary.append(f"{path.name}: {len(features)} features, {read} read, "
                   f"{by_verdict['allowed']} device-caused, {by_verdict['known']} known faults, "
                   f"{by_verdict['other']} other; {streaming}; "
                   + ", ".join(f"{c} x{n}" for (v, c), n in sorted(failures.items())
                               if v != "other"))
    assert read > 0
    other = {c: n for (v, c), n in failures.items() if v == "other"}
    assert not other, f"{path.name}: failures not caused by the device's values: {other}"
    known = sorted({c for (v, c) in failures if v == "known"})
    if known:
        pytest.xfail("node map: " + "; ".join(
            f"{c} x{sum(n for (v, k), n in failures.items() if k == c)}" for c in known))


@pytest.fixture(scope="module")
def own_description(tmp_path_factory):
    """The simulated camera's own description, as a file."""
    path = tmp_path_factory.mktemp("own") / "corvisk_sim.xml"
    path.write_bytes(subprocess.run([SIM, "--print-description"], check=True,
                                    capture_output=True).stdout)
    return path


def diagonal_ramp(block_id, size):
    return bytes((i + block_id) % 256 for i in range(size))


def test_own_description_served_as_a_description_streams(served, own_description):
    sim, cam = served("127.24.250.1", own_description, "--width", "64", "--height", "32",
                      "--pixel-format", "Mono16")
    assert sim.ready.endswith(", streaming"), sim.ready
    assert "corvisk_sim.xml" in sim.ready
    assert (cam.get_integer("Width"), cam.get_integer("Height")) == (64, 32)
    assert cam.get_enum("PixelFormat") == "Mono16"
    assert cam.get_integer("PayloadSize") == 64 * 32 * 2
    frame = cam.snap(5.0)
    assert frame.is_complete and (frame.width, frame.height) == (64, 32)
    assert frame.data() == diagonal_ramp(frame.frame_id, 64 * 32 * 2)
    # Written values persist and drive the stream: the next frame has the new geometry.
    cam.set_enum("PixelFormat", "Mono8")
    cam.set_integer("Width", 32)
    assert cam.get_integer("PayloadSize") == 32 * 32
    with cam.start_acquisition() as acq:
        frames = [acq.wait_for(5.0) for _ in range(3)]
    assert all(f.is_complete and f.data() == diagonal_ramp(f.frame_id, 32 * 32) for f in frames)
    assert cam.get_enum("AcquisitionMode") == "Continuous"


def test_zipped_description_is_served_and_streams(served, own_description, tmp_path):
    archive = tmp_path / "camera.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(own_description, "camera.xml")
    sim, cam = served("127.24.250.2", archive, "--width", "32", "--height", "16")
    assert "description camera.zip (" in sim.ready and sim.ready.endswith(", streaming")
    assert cam.get_integer("Width") == 32
    frame = cam.snap(5.0)
    assert frame.is_complete and frame.data() == diagonal_ramp(frame.frame_id, 32 * 16)


def test_description_without_plain_image_registers_serves_control_only(served, own_description,
                                                                        tmp_path):
    text = own_description.read_text()
    # Width's value becomes an in-memory constant: nothing the device could stream by.
    edited = tmp_path / "edited.xml"
    edited.write_text(text.replace("<pValue>WidthReg</pValue>", "<Value>128</Value>", 1))
    sim, cam = served("127.24.250.3", edited, "--seed", "5")
    assert sim.ready.endswith(", control only (Width: a Integer without a register)"), sim.ready
    assert cam.get_integer("Width") == 128
    # Sparse memory: described registers read seeded values and keep what is written.
    value = cam.get_integer("HeightReg")
    assert 0 <= value < 4
    cam.set_integer("HeightReg", 1234)
    assert cam.get_integer("HeightReg") == 1234
    with pytest.raises(corvisk.GenicamError, match="snap timeout"):
        cam.snap(0.3)


@pytest.mark.parametrize("content, error", [
    (b"<RegisterDescription><IntReg>", "XML: "),
    (b"PK\x03\x04 not really an archive", "archive: "),
    (None, "cannot open "),
])
def test_unusable_description_files_are_refused(tmp_path, content, error):
    path = tmp_path / "bad.xml"
    if content is not None:
        path.write_bytes(content)
    done = subprocess.run([SIM, "--ip", "127.24.250.4", "--description", str(path)],
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 2
    assert done.stderr.startswith(f"corvisk-sim: cannot serve description {path}: {error}")


A2A = CORPUS / "Basler-a2A2600-20gmBAS.xml"


@pytest.mark.skipif(not A2A.is_file(), reason="the Basler a2A description is not here")
def test_a_packet_size_described_at_a_register_of_the_cameras_own_follows_the_stream(served):
    # This camera keeps GevSCPSPacketSize at a vendor register, not the channel's SCPS.
    sim, cam = served("127.24.250.4", A2A)
    assert sim.ready.endswith(", streaming"), sim.ready
    with cam.snapshot_session(packet_size=1400) as session:
        assert session.snap(5.0).is_complete
        assert cam.get_integer("GevSCPSPacketSize") == 1400
    cam.set_integer("GevSCPSPacketSize", 1500)
    assert cam.get_integer("GevSCPSPacketSize") == 1500
