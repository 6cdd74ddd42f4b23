"""Feature access from Python against `corvisk-sim`: every feature type, bounds, increments,
access modes, enumerations, commands, caching and the description in every form it is served.

Each test starts its own simulated camera on its own loopback address (127.0.10.x).
"""

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)

pytestmark = needs_sim


def test_features_need_a_connection():
    cam = corvisk.Camera("127.0.10.1")
    with pytest.raises(corvisk.CameraError, match="^driver is not connected$"):
        cam.get_integer("Width")
    with pytest.raises(corvisk.GenicamError,
                       match=r"^device description: feature model not loaded$"):
        cam.feature_names()
    with pytest.raises(corvisk.CameraError, match="^driver is not connected$"):
        cam.invalidate_caches()
    assert cam.has_feature("Width") is False


@pytest.mark.parametrize("ip,form", [
    ("127.0.10.2", "plain"),
    ("127.0.10.3", "zip-stored"),
    ("127.0.10.4", "zip-deflated"),
    ("127.0.10.5", "second-url"),
])
def test_description_loads_in_every_form(camera, ip, form):
    cam = camera(ip, "--xml", form)
    names = cam.feature_names()
    for name in ("Width", "Height", "PixelFormat", "PayloadSize", "AcquisitionMode",
                 "AcquisitionStart", "TLParamsLocked", "ExposureTime", "Gain"):
        assert name in names
        assert cam.has_feature(name)
    assert not cam.has_feature("NoSuchFeature")


def test_every_feature_type_reads_and_writes(camera):
    cam = camera("127.0.10.6")
    lo, hi = cam.integer_bounds("Width")
    inc = cam.integer_increment("Width")
    assert lo <= cam.get_integer("Width") <= hi and inc >= 1
    cam.set_integer("Width", lo + 10 * inc)
    assert cam.get_integer("Width") == lo + 10 * inc
    # PayloadSize is a formula over Width, Height and the pixel size: it follows the write.
    assert cam.get_integer("PayloadSize") == cam.get_integer("Width") * cam.get_integer("Height")

    flo, fhi = cam.float_bounds("ExposureTime")
    cam.set_float("ExposureTime", (flo + fhi) / 2)
    assert cam.get_float("ExposureTime") == pytest.approx((flo + fhi) / 2, rel=1e-6)

    entries = cam.enum_entries("PixelFormat")
    assert {"Mono8", "Mono16", "RGB8", "BayerRG8"} <= set(entries)
    cam.set_enum("PixelFormat", "Mono16")
    assert cam.get_enum("PixelFormat") == "Mono16"
    assert cam.get_string("PixelFormat") == "Mono16"
    assert cam.get_integer("PayloadSize") == 2 * cam.get_integer("Width") * cam.get_integer("Height")

    assert cam.get_boolean("ReverseX") is False
    cam.set_boolean("ReverseX", True)
    assert cam.get_boolean("ReverseX") is True

    cam.set_string("DeviceUserID", "bench-3")
    assert cam.get_string("DeviceUserID") == "bench-3"
    assert cam.get_string("DeviceModelName") == "SimCam-1"
    assert cam.access_mode("DeviceModelName") == corvisk.AccessMode.RO
    assert cam.access_mode("Width") == corvisk.AccessMode.RW


@pytest.mark.parametrize("call,args,error,message", [
    ("get_integer", ("Nope",), corvisk.GenicamError, "feature 'Nope' not found"),
    ("set_enum", ("PixelFormat", "Mono9"), corvisk.GenicamError,
     "enumeration 'PixelFormat' has no entry 'Mono9'"),
    ("set_integer", ("Width", 1 << 63), OverflowError, None),
    ("set_integer", ("Width", 1.5), TypeError, None),
    ("set_boolean", ("ReverseX", 1), TypeError, None),
    ("get_float", ("PixelFormat",), corvisk.GenicamError,
     "node 'PixelFormat' does not support this access"),
    ("get_integer", (5,), TypeError, None),
])
def test_misuse_raises_clear_errors(camera, call, args, error, message):
    cam = camera("127.0.10.7")
    with pytest.raises(error) as info:
        getattr(cam, call)(*args)
    if message is not None:
        assert str(info.value) == message


def test_locked_transport_parameters_refuse_a_width_change(camera):
    cam = camera("127.0.10.8")
    width = cam.get_integer("Width")
    cam.set_integer("TLParamsLocked", 1)
    with pytest.raises(corvisk.CameraError, match=r"^device answered command 0x0082 with"):
        cam.set_integer("Width", width + cam.integer_increment("Width"))
    cam.set_integer("TLParamsLocked", 0)
    cam.set_integer("Width", width + cam.integer_increment("Width"))
    assert cam.get_integer("Width") == width + cam.integer_increment("Width")


def test_cached_reads_send_no_command_until_invalidated(camera):
    cam = camera("127.0.10.9")
    cam.get_integer("Height")
    before = cam.link_stats().commands
    for _ in range(5):
        cam.get_integer("Height")
    assert cam.link_stats().commands == before
    cam.invalidate_caches()
    cam.get_integer("Height")
    assert cam.link_stats().commands > before


def test_commands_change_the_device(camera):
    cam = camera("127.0.10.10")
    cam.set_enum("AcquisitionMode", "Continuous")
    cam.execute("AcquisitionStart")
    cam.execute("AcquisitionStop")
    assert cam.get_enum("AcquisitionMode") == "Continuous"


def test_access_mode_values():
    assert int(corvisk.AccessMode.RO) == 0
    assert int(corvisk.AccessMode.WO) == 1 and corvisk.AccessMode.WO == 1
    assert int(corvisk.AccessMode.RW) == 2
    assert corvisk.AccessMode.RW != corvisk.AccessMode.RO
    assert repr(corvisk.AccessMode.RW) == "AccessMode.RW"
    with pytest.raises(TypeError):
        corvisk.AccessMode.RO < corvisk.AccessMode.RW  # noqa: B015
    assert hash(corvisk.AccessMode.RW) == hash(2)


def test_eight_threads_each_get_their_own_answers(camera):
    import threading

    cam = camera("127.0.10.11")
    expected = {name: cam.get_string(name) for name in
                ("DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceSerialNumber")}
    height = cam.get_integer("Height")
    wlo, _ = cam.integer_bounds("Width")
    winc = cam.integer_increment("Width")
    glo, ghi = cam.float_bounds("Gain")
    errors = []

    def reader(name):
        for _ in range(40):
            cam.invalidate_caches()
            if cam.get_string(name) != expected[name]:
                errors.append(name)

    def writer(n):
        for i in range(40):
            if n == 0:
                value = wlo + (i % 8) * winc
                cam.set_integer("Width", value)
                ok = cam.get_integer("Width") == value
            elif n == 1:
                value = glo + (ghi - glo) * (i % 5) / 5
                cam.set_float("Gain", value)
                ok = cam.get_float("Gain") == pytest.approx(value, rel=1e-6, abs=1e-6)
            elif n == 2:
                cam.set_string("DeviceUserID", f"t{i}")
                ok = cam.get_string("DeviceUserID") == f"t{i}"
            else:
                ok = cam.get_integer("Height") == height
            if not ok:
                errors.append(f"writer {n} round {i}")

    threads = [threading.Thread(target=reader, args=(name,)) for name in expected]
    threads += [threading.Thread(target=writer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive()
    assert errors == []
