"""Feature introspection from Python against `corvisk-sim`: types, texts, limits, access with
the lock predicate applied, enumeration entries, the category tree, and argument checking.

Each test starts its own simulated camera on its own loopback address (127.23.1.x).
"""

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim


@pytest.mark.parametrize("name, interface_type, access", [
    ("Width", "Integer", "RW"),
    ("ExposureTime", "Float", "RW"),
    ("Gain", "Float", "RW"),
    ("PixelFormat", "Enumeration", "RW"),
    ("AcquisitionStart", "Command", "WO"),
    ("Root", "Category", "RO"),
    ("WidthReg", "Integer", "RW"),
])
def test_interface_types_and_access(camera, name, interface_type, access):
    cam = camera("127.23.1.1")
    info = corvisk.describe(cam, name)
    assert isinstance(info, corvisk.FeatureInfo)
    assert (info.name, info.interface_type, info.access) == (name, interface_type, access)
    assert info.implemented and info.available


def test_texts_limits_and_entries(camera):
    cam = camera("127.23.1.2")
    width = corvisk.describe(cam, "Width")
    assert width.tooltip == "Width of the image in pixels"
    assert width.display_name == "Width"  # the name when the description gives none
    assert width.visibility == "Beginner"
    assert width.bounds == (16, cam.integer_bounds("Width")[1])
    assert width.increment == 4
    gain = corvisk.describe(cam, "Gain")
    assert gain.unit == "dB" and gain.bounds == (0.0, 48.0) and gain.increment is None
    pixel = corvisk.describe(cam, "PixelFormat")
    assert [e.name for e in pixel.entries] == cam.enum_entries("PixelFormat")
    assert pixel.entries[0] == corvisk.EnumEntryInfo("Mono8", "Mono8", 0x01080001, True, True)


def test_lock_predicate_makes_a_feature_read_only_while_it_holds(camera):
    cam = camera("127.23.1.3")
    assert not corvisk.describe(cam, "Width").locked
    cam.set_integer("TLParamsLocked", 1)
    locked = corvisk.describe(cam, "Width")
    assert locked.locked and locked.access == "RO"
    cam.set_integer("TLParamsLocked", 0)
    assert corvisk.describe(cam, "Width").access == "RW"


def test_feature_names_and_category_tree(camera):
    cam = camera("127.23.1.4")
    names = corvisk.feature_names(cam)
    assert "Width" in names and "Root" in names
    assert len(names) == len(set(names))
    assert not any(n.startswith("__anonymous_") for n in names)
    tree = corvisk.category_tree(cam)
    assert tree.name == "Root" and tree.features == []
    by_name = {c.name: c for c in tree.subcategories}
    assert "Width" in by_name["ImageFormatControl"].features
    assert corvisk.category_tree(cam, "NoSuchCategory") is None
    assert corvisk.selectors(cam) == {} or all(corvisk.selectors(cam).values())


def test_bad_arguments(camera):
    cam = camera("127.23.1.5")
    with pytest.raises(corvisk.GenicamError, match="^feature 'Nope' not found$"):
        corvisk.describe(cam, "Nope")
    with pytest.raises(TypeError, match="corvisk.Camera"):
        corvisk.describe(object(), "Width")
    with pytest.raises(TypeError):
        corvisk.feature_names("127.23.1.5")
    offline = corvisk.Camera("127.23.1.6")
    with pytest.raises(corvisk.CameraError):
        corvisk.describe(offline, "Width")
