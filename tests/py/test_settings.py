"""Settings files and user sets against corvisk-sim: the round trip in both file forms, the
retry that settles dependency order, per-entry reports, malformed files, the simulator's user
sets, and the round trip on real camera descriptions served by `corvisk-sim --description`
(skipped when ../shared/descriptions is absent).

Each test serves its own simulated camera on 127.30.2.x.
"""

import json

import pytest

import corvisk
from corvisk.settings import collect_settings, read_settings
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)
from test_corpus import CORPUS, DescribedSim

pytestmark = needs_sim


# Three vendors, each with selectors whose features are saved once per selector value.
REAL = ["AVT_Manta_G125C.xml", "FLIR_A35.xml", "ViewWorks_VNP604.xml"]


@pytest.fixture
def camera(sim):
    opened = []

    def connect(ip, *options):
        sim(ip, *options)
        cam = corvisk.Camera(ip)
        cam.connect()
        opened.append(cam)
        return cam

    yield connect
    for cam in opened:
        cam.disconnect()


CONFIGURED = {"Width": 600, "OffsetX": 40, "ExposureTime": 1234.5, "ReverseX": True,
              "PixelFormat": "Mono16", "DeviceUserID": "cam\t7\\x", "Gain": 12.5}


def str_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def configure(cam, values):
    f = corvisk.features(cam)
    for name, value in values.items():
        f[name].value = value


@pytest.mark.parametrize("suffix", [".json", ".txt", ".pfs"])
def test_round_trip_settles_dependency_order(camera, tmp_path, suffix):
    cam = camera("127.30.2.1")
    configure(cam, CONFIGURED)
    path = tmp_path / f"cam{suffix}"
    saved = corvisk.save_settings(cam, path)
    assert saved.ok, saved.failed
    names = [n for n, _ in saved.applied]
    assert names.index("Width") < names.index("OffsetX")  # category order
    assert not [n for n in names if n.startswith(("Gev", "TL", "UserSet"))]
    assert "DeviceVendorName" not in names and "PayloadSize" not in names  # read-only
    if suffix == ".json":
        document = json.loads(path.read_text())
        assert (document["format"], document["version"]) == ("corvisk-settings", 1)
        assert document["device"] == "Corvisk SimCam-1 serial=SIM00001"
    else:
        assert path.read_text().startswith("# corvisk-settings 1\n")
    # The text form gives every value back as text, strings unescaped.
    as_text = {".json": lambda v: v, ".txt": str_text, ".pfs": str_text}[suffix]
    assert read_settings(path) == [(n, as_text(v)) for n, v in saved.applied]
    # Width 600 does not fit beside OffsetX 1600: the first pass fails it, the retry (after
    # OffsetX = 40) applies it.
    configure(cam, {"Width": 320, "OffsetX": 1600, "ExposureTime": 99.0, "ReverseX": False,
                    "PixelFormat": "Mono8", "DeviceUserID": "other", "Gain": 0.0})
    loaded = corvisk.load_settings(cam, path)
    assert loaded.ok, loaded.failed
    f = corvisk.features(cam)
    assert {n: f[n].value for n in CONFIGURED} == CONFIGURED
    assert collect_settings(cam).applied == saved.applied


def test_load_reports_each_bad_entry_and_applies_the_rest(camera, tmp_path):
    cam = camera("127.30.2.2")
    path = tmp_path / "bad.txt"
    path.write_text("# hand-written\n"
                    "Nope\t1\n"
                    "Width\tabc\n"
                    "Width\t5000\n"
                    "GevSCPSPacketSize\t1500\n"
                    "DeviceVendorName\tX\n"
                    "PixelFormat\tMono13\n"
                    "\n"
                    "ExposureTime\t2500.5\n"
                    "ReverseY\tyes\n")
    result = corvisk.load_settings(cam, path)
    assert result.applied == [("ExposureTime", "2500.5"), ("ReverseY", "yes")]
    reasons = {(n, v): why for n, v, why in result.failed}
    assert reasons == {
        ("Nope", "1"): "feature 'Nope' not found",
        ("Width", "abc"): "'abc' is not an integer",
        ("Width", "5000"): "cannot set Width to 5000: above the maximum 2048; Width takes "
                           "16..2048 in steps of 4",
        ("GevSCPSPacketSize", "1500"): "skipped: a transport or control feature",
        ("DeviceVendorName", "X"): "cannot set DeviceVendorName to 'X': it is read-only",
        ("PixelFormat", "Mono13"): reasons[("PixelFormat", "Mono13")],
    }
    assert "has no entry 'Mono13'; choose one of Mono8" in reasons[("PixelFormat", "Mono13")]
    assert cam.get_float("ExposureTime") == 2500.5 and cam.get_boolean("ReverseY") is True


@pytest.mark.parametrize("name, content, message", [
    ("a.txt", "Width 640\n", r"a.txt line 1: expected Name<TAB>Value"),
    ("b.txt", "Width\tx\\q\n", r"b.txt line 1: bad escape"),
    ("c.json", "{not json", r"c.json: not valid JSON"),
    ("d.json", "[1, 2]", r"d.json: expected an object with a \"features\" list"),
    ("e.json", '{"features": [{"name": "Width", "value": [1]}]}',
     r"e.json: features\[0\] is not an object"),
])
def test_malformed_files_raise(camera, tmp_path, name, content, message):
    cam = camera("127.30.2.3")
    path = tmp_path / name
    path.write_text(content)
    with pytest.raises(ValueError, match=message):
        corvisk.load_settings(cam, path)
    with pytest.raises(OSError):
        corvisk.load_settings(cam, tmp_path / "missing.json")
    assert cam.get_integer("Width") == 640


def test_user_sets_on_the_simulator(camera):
    cam = camera("127.30.2.4")
    assert corvisk.user_sets(cam) == ["Default", "UserSet1"]
    assert corvisk.user_set_default(cam) == "Default"
    configure(cam, {"Width": 320, "ExposureTime": 2000.0})
    corvisk.user_set_save(cam, "UserSet1")
    corvisk.user_set_load(cam, "Default")
    assert (cam.get_integer("Width"), cam.get_float("ExposureTime")) == (640, 10000.0)
    corvisk.user_set_load(cam, "UserSet1")
    assert (cam.get_integer("Width"), cam.get_float("ExposureTime")) == (320, 2000.0)
    with pytest.raises((corvisk.CameraError, corvisk.GenicamError)):
        corvisk.user_set_save(cam, "Default")  # the factory set is read-only
    with pytest.raises(ValueError, match="has no entry 'UserSet9'"):
        corvisk.user_set_load(cam, "UserSet9")
    assert corvisk.user_set_default(cam, "UserSet1") == "UserSet1"
    with cam.start_acquisition():
        with pytest.raises((corvisk.CameraError, corvisk.GenicamError)):
            corvisk.user_set_load(cam, "Default")  # not while streaming
    assert cam.get_integer("Width") == 320


@pytest.mark.parametrize("index, description", list(enumerate(REAL)))
def test_round_trip_on_a_real_description(tmp_path, index, description):
    path = CORPUS / description
    if not path.exists():
        pytest.skip(f"{path} not present")
    ip = f"127.30.2.{20 + index}"
    served = DescribedSim(ip, path)
    cam = corvisk.Camera(ip, gvcp_timeout=0.3, retries=2)
    try:
        cam.connect()
        saved = corvisk.save_settings(cam, tmp_path / "real.txt")
        names = [n for n, _ in saved.applied]
        assert len(set(names)) > 10
        assert not [n for n in names if n.startswith(("Gev", "TL", "UserSet"))]
        # Selectors iterated: some feature is saved once per selector value.
        assert len(names) > len(set(names))
        changed = change_some(cam, saved.applied)
        assert len(changed) >= 3, "too few saved features could be changed"
        loaded = corvisk.load_settings(cam, tmp_path / "real.txt")
        f = corvisk.features(cam)
        assert {n: f[n].value for n in changed} == changed
        assert not {n for n, _, _ in loaded.failed} & set(changed)
        assert all(why for _, _, why in loaded.failed)
    finally:
        cam.disconnect()
        served.stop()


def change_some(cam, entries, wanted=8):
    """Writes a different valid value into up to `wanted` plain (unselected) saved features whose
    saved value the camera takes (the simulator's memory holds arbitrary values, some outside
    the limits it reports); returns {name: saved value}."""
    f = corvisk.features(cam)
    chooser = corvisk.selectors(cam)
    selected = {n for names in chooser.values() for n in names}
    errors = (ValueError, TypeError, corvisk.CameraError, corvisk.GenicamError)
    changed = {}
    for name, value in entries:
        if name in selected or name in chooser or name in changed or len(changed) >= wanted:
            continue
        feature = f[name]
        try:
            feature.value = value  # restorable at all?
        except errors:
            continue
        candidates = {"Boolean": lambda: [not value],
                      "Integer": lambda: [feature.min, feature.max],
                      "Float": lambda: [feature.min, feature.max],
                      "Enumeration": lambda: feature.entries}.get(feature.type, lambda: [])()
        for other in candidates:
            if other is None or other == value:
                continue
            try:
                feature.value = other
            except errors:
                continue
            changed[name] = value
            break
    return changed
