"""The feature facade (corvisk.features) against corvisk-sim: typed values, live limits, and
checked writes that refuse bad values with messages naming the feature, the value and what it
takes, before anything reaches the device.

Each test serves its own simulated camera on 127.30.1.x.
"""

import math

import pytest

import corvisk
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim


@pytest.fixture
def camera(sim):
    """Factory: camera(ip, *options) -> a connected Camera on its own simulator."""
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


def test_mapping_in_category_order(camera):
    cam = camera("127.30.1.1")
    f = corvisk.features(cam)
    names = list(f)
    assert len(f) == len(names) == len(set(names))
    # Category order: DeviceControl's features, then ImageFormatControl's, ...
    assert names.index("DeviceVendorName") < names.index("Width") < names.index("ExposureTime")
    assert names.index("Width") < names.index("Height") < names.index("PixelFormat")
    assert "ImageFormatControl" not in names  # categories are not features
    assert "Width" in f and "Nope" not in f and 3 not in f
    assert "WidthReg" in f  # helpers outside the tree can still be looked up
    with pytest.raises(KeyError, match="feature 'Nope' not found"):
        f["Nope"]
    assert f.get("Nope") is None and f.get("Width").name == "Width"
    assert [n for n, _ in f.items()] == names


@pytest.mark.parametrize("name, type_, value_type, unit", [
    ("Width", "Integer", int, ""),
    ("ExposureTime", "Float", float, "us"),
    ("ReverseX", "Boolean", bool, ""),
    ("PixelFormat", "Enumeration", str, ""),
    ("DeviceUserID", "String", str, ""),
    ("DeviceTemperature", "Float", float, "C"),
])
def test_typed_values_and_metadata(camera, name, type_, value_type, unit):
    cam = camera("127.30.1.2")
    feature = corvisk.features(cam)[name]
    assert feature.type == type_ and feature.unit == unit
    assert type(feature.value) is value_type
    assert feature.available and not feature.locked
    assert feature.access in ("RO", "RW")
    assert name in repr(feature) and type_ in repr(feature)


def test_limits_entries_description_and_category(camera):
    cam = camera("127.30.1.3")
    f = corvisk.features(cam)
    width = f["Width"]
    assert (width.min, width.max, width.inc) == (16, 2048, 4)
    assert width.description == "Width of the image in pixels"
    assert width.category == "ImageFormatControl"
    assert "Mono8" in f["PixelFormat"].entries
    assert f["ExposureTime"].min == 10.0 and f["ExposureTime"].inc is None
    assert f["AcquisitionStart"].type == "Command"
    # Limits are read live: Width's maximum follows OffsetX.
    f["Width"].value = 1024
    f["OffsetX"].value = 512
    assert f["Width"].max == 2048 - 512
    assert f["OffsetX"].max == 2048 - 1024


def test_writes_reach_the_device_and_read_back(camera):
    cam = camera("127.30.1.4")
    f = corvisk.features(cam)
    f["Width"].value = 320
    f["ExposureTime"].value = 1500  # an int is a fine float
    f["ReverseX"].value = True
    f["PixelFormat"].value = "Mono16"
    f["DeviceUserID"].value = "bench-3"
    assert (cam.get_integer("Width"), cam.get_float("ExposureTime")) == (320, 1500.0)
    assert cam.get_boolean("ReverseX") is True
    assert (cam.get_enum("PixelFormat"), cam.get_string("DeviceUserID")) == ("Mono16", "bench-3")
    f["AcquisitionStop"].execute()


def short_id(value):
    return repr(value)[:24] if isinstance(value, (str, float)) else None


@pytest.mark.parametrize("name, value, error, message", [
    ("Width", 5000, ValueError,
     "cannot set Width to 5000: above the maximum 2048; Width takes 16..2048 in steps of 4"),
    ("Width", 8, ValueError,
     "cannot set Width to 8: below the minimum 16; Width takes 16..2048 in steps of 4"),
    ("Width", 322, ValueError, "cannot set Width to 322: not on the increment (nearest 320 or "
                               "324); Width takes 16..2048 in steps of 4"),
    ("Width", True, TypeError,
     "cannot set Width to True: Width is an Integer feature and takes an int, not bool"),
    ("Width", 320.0, TypeError,
     "cannot set Width to 320.0: Width is an Integer feature and takes an int, not float"),
    ("ExposureTime", math.nan, ValueError,
     "cannot set ExposureTime to nan: not a finite number; ExposureTime takes "
     "10.0..1000000.0 us"),
    ("ExposureTime", math.inf, ValueError, "cannot set ExposureTime to inf: not a finite number"),
    ("ExposureTime", 1e300, ValueError,
     "cannot set ExposureTime to 1e+300: above the maximum 1000000.0"),
    ("ExposureTime", "fast", TypeError,
     "cannot set ExposureTime to 'fast': ExposureTime is a Float feature and takes a float, "
     "not str"),
    ("ReverseX", 1, TypeError, "cannot set ReverseX to 1: ReverseX is a Boolean feature and "
                               "takes a bool (True or False), not int"),
    ("PixelFormat", "Mono13", ValueError, "cannot set PixelFormat to Mono13: enumeration "
                                          "'PixelFormat' has no entry 'Mono13'; choose one of "
                                          "Mono8, "),
    ("PixelFormat", 17301505, TypeError, "cannot set PixelFormat to 17301505: PixelFormat is an "
                                         "Enumeration feature and takes an entry name (str)"),
    ("DeviceUserID", "x" * (1 << 20), ValueError,
     "1048576 bytes do not fit: DeviceUserID holds at most 16 bytes (UTF-8)"),
    ("DeviceUserID", "é" * 9, ValueError, "18 bytes do not fit"),
    ("DeviceUserID", "a\0b", ValueError, "NUL character"),
    ("DeviceVendorName", "Other", ValueError,
     "cannot set DeviceVendorName to 'Other': it is read-only"),
    ("AcquisitionStart", 1, TypeError, "AcquisitionStart is a Command and takes no value; "
                                       "call execute()"),
], ids=short_id)
def test_checked_writes_refuse_and_leave_the_device_alone(camera, name, value, error, message):
    cam = camera("127.30.1.5")
    feature = corvisk.features(cam)[name]
    before = feature.value if feature.readable else None
    with pytest.raises(error) as raised:
        feature.value = value
    text = str(raised.value)
    assert message in text, text
    if len(repr(value)) > 200:
        assert len(text) < 300  # a huge value is shown shortened
    if before is not None:
        assert feature.value == before


def test_locked_and_unavailable_features(camera):
    cam = camera("127.30.1.6")
    f = corvisk.features(cam)
    with cam.start_acquisition():
        assert f["Width"].locked
        with pytest.raises(ValueError, match="^cannot set Width to 320: it is locked now"):
            f["Width"].value = 320
        f["ExposureTime"].value = 2000.0  # not locked: still written
    assert not f["Width"].locked
    f["Width"].value = 320
    with pytest.raises(TypeError, match="is a Command and has no value; call execute"):
        f["AcquisitionStart"].value
    with pytest.raises(TypeError, match="^Width is an Integer, not a Command; set its value"):
        f["Width"].execute()


def test_core_setters_stay_unchecked(camera):
    cam = camera("127.30.1.7")
    cam.set_float("ExposureTime", 5e6)  # beyond the description's maximum: the device takes it
    assert cam.get_float("ExposureTime") == 5e6
    assert corvisk.features(cam)["ExposureTime"].value == 5e6


def test_string_capacity_and_description_helpers(camera):
    cam = camera("127.30.1.8")
    from corvisk import _corvisk_ext
    assert _corvisk_ext.string_max_length(cam, "DeviceUserID") == 16
    assert _corvisk_ext.string_max_length(cam, "Width") is None
    with pytest.raises(corvisk.GenicamError, match="feature 'Nope' not found"):
        _corvisk_ext.string_max_length(cam, "Nope")
    xml = _corvisk_ext.description_xml(cam)
    assert xml.startswith(b"<?xml") and b"RegisterDescription" in xml
    offline = corvisk.Camera("127.30.1.9")
    with pytest.raises(corvisk.CameraError, match="not connected"):
        _corvisk_ext.description_xml(offline)
