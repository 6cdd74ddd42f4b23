"""Frames as arrays, conversions and image files, against `corvisk-sim` streaming every pixel
format with its ChannelRamps pattern (each colour channel its own ramp, see sim/pixel_pattern.hpp).

The expected images are computed here from the pattern's formulas with numpy, so a wrong bit
order, channel order or Bayer phase anywhere between the simulator and the converters shows.
Each test's camera has its own loopback address (127.25.x.y).
"""

import os
import subprocess
import sys
import threading

import pytest

import corvisk
from corvisk import _corvisk_pixels
from test_camera_connect import SIM as SIM_PROGRAM, SimProcess, needs_sim

np = pytest.importorskip("numpy")
pytestmark = needs_sim

W, H = 37, 23  # odd on purpose
ALL_FORMATS = _corvisk_pixels.format_names()
# Colour at (x, y) of a mosaic, indexed [(y & 1) * 2 + (x & 1)]: 0 red, 1 green, 2 blue.
CFA = {"RG": (0, 1, 1, 2), "GR": (1, 0, 2, 1), "GB": (1, 2, 0, 1), "BG": (2, 1, 1, 0)}


def info(name):
    n, code, kind, bits, bpp, channels, packed = _corvisk_pixels.format_info(name)
    return kind, bits, channels


# ---- the pattern, from its documented formulas ------------------------------------------------

def coords(w, h, ox, oy):
    X = np.arange(w, dtype=np.int64)[None, :] + ox + np.zeros((h, 1), np.int64)
    Y = np.arange(h, dtype=np.int64)[:, None] + oy + np.zeros((1, w), np.int64)
    return X, Y


def channel8(c, X, Y):
    return [(2 * X + Y + 16), (X + 2 * Y + 32), (200 - X - Y), (128 + X - Y)][c] & 0xFF


def sample(c, X, Y, bits):
    low = bits - 8
    return (channel8(c, X, Y) << low) | ((X + 3 * Y + c) & ((1 << low) - 1))


def phase_of(name):
    return name[5:7]


def mosaic(name, w, h, ox=0, oy=0):
    X, Y = coords(w, h, ox, oy)
    _, bits, _ = info(name)
    colour = np.array(CFA[phase_of(name)])[(np.arange(h)[:, None] & 1) * 2
                                            + (np.arange(w)[None, :] & 1)]
    planes = np.stack([sample(c, X, Y, bits) for c in range(3)])
    return np.take_along_axis(planes, colour[None], 0)[0], colour


def bilinear(m, colour):
    """Bilinear demosaic, mirrored edges, rounded half up: the rule convert() states."""
    p = np.pad(m.astype(np.int64), 1, mode="reflect")
    c = p[1:-1, 1:-1]
    up, dn, lf, rt = p[:-2, 1:-1], p[2:, 1:-1], p[1:-1, :-2], p[1:-1, 2:]
    diag = (p[:-2, :-2] + p[:-2, 2:] + p[2:, :-2] + p[2:, 2:] + 2) >> 2
    cross = (up + dn + lf + rt + 2) >> 2
    horiz, vert = (lf + rt + 1) >> 1, (up + dn + 1) >> 1
    red_line = np.zeros_like(colour, bool)
    red_line[:] = (colour == 0).any(axis=1, keepdims=True)
    green = colour == 1
    out = []
    for want, other in ((0, 2), (2, 0)):
        mine_line = red_line if want == 0 else ~red_line
        out.append(np.where(colour == want, c, np.where(colour == other, diag,
                                                        np.where(mine_line, horiz, vert))))
    return np.stack([out[0], np.where(green, c, cross), out[1]], axis=-1)


def ycbcr_reference(name, w, h):
    X, Y = coords(w, h, 0, 0)
    Xp = X - (np.arange(w)[None, :] & 1)
    yv = ((X + 2 * Y + 16) & 0xFF).astype(float)
    cb = ((96 + Xp + Y) & 0xFF).astype(float) - 128
    cr = ((160 + 2 * Xp - Y) & 0xFF).astype(float) - 128
    if w % 2:
        cr[:, -1] = 0  # the last pixel of an odd line has no Cr
    if "601" in name:
        ys = 1.164383 * (yv - 16)
        rgb = (ys + 1.596027 * cr, ys - 0.391762 * cb - 0.812968 * cr, ys + 2.017232 * cb)
    else:
        rgb = (yv + 1.402 * cr, yv - 0.344136 * cb - 0.714136 * cr, yv + 1.772 * cb)
    return np.clip(np.stack(rgb, axis=-1), 0, 255)


# ---- the camera -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def cam():
    sim = SimProcess("127.25.0.1", "--width", str(W), "--height", str(H), "--pattern",
                     "ChannelRamps")
    camera = corvisk.Camera("127.25.0.1", gvcp_timeout=0.2, retries=2)
    try:
        camera.connect()
        yield camera
    finally:
        camera.disconnect()
        sim.stop()


def snap(cam, name):
    cam.set_enum("PixelFormat", name)
    frame = cam.snap(5.0)
    assert frame.is_complete, frame
    assert frame.pixel_format_code == _corvisk_pixels.format_info(name)[1]
    return frame


def test_every_format_is_in_the_simulators_description(cam):
    described = set(cam.enum_entries("PixelFormat")) if hasattr(cam, "enum_entries") else None
    for name in ALL_FORMATS:
        cam.set_enum("PixelFormat", name)
        assert cam.get_enum("PixelFormat") == name
    if described is not None:
        assert described >= set(ALL_FORMATS)


@pytest.mark.parametrize("name", [n for n in ALL_FORMATS if info(n)[0] == "mono"])
def test_mono_formats(cam, name):
    frame = snap(cam, name)
    _, bits, _ = info(name)
    X, Y = coords(W, H, 0, 0)
    expected = sample(1, X, Y, bits)
    arr = corvisk.as_array(frame)
    assert arr.shape == (H, W) and arr.dtype == (np.uint8 if bits == 8 else np.uint16)
    assert np.array_equal(arr, expected)
    unpacked = not name.endswith(("p", "Packed"))
    assert np.shares_memory(arr, np.frombuffer(frame, np.uint8)) == unpacked
    assert not arr.flags.writeable or not unpacked
    assert np.array_equal(corvisk.convert(frame, "Mono16"), expected << (16 - bits))
    assert np.array_equal(corvisk.convert(frame, "Mono8"), expected >> (bits - 8))
    assert np.array_equal(corvisk.convert(frame, "RGB8"),
                          np.repeat((expected >> (bits - 8))[..., None], 3, axis=-1))


@pytest.mark.parametrize("name", [n for n in ALL_FORMATS if info(n)[0] == "bayer"])
def test_bayer_formats(cam, name):
    frame = snap(cam, name)
    _, bits, _ = info(name)
    m, colour = mosaic(name, W, H)
    arr = corvisk.as_array(frame)
    assert arr.shape == (H, W)
    assert np.array_equal(arr, m)
    ref = bilinear(m, colour)
    assert np.array_equal(corvisk.convert(frame, "RGB16"), ref << (16 - bits))
    rgb8 = corvisk.convert(frame, "RGB8")
    assert np.array_equal(rgb8, ref >> (bits - 8))
    assert np.array_equal(corvisk.convert(frame, "BGR8"), rgb8[..., ::-1])
    # Inside the image every channel is its ramp again: a phase error swaps red and blue here.
    X, Y = coords(W, H, 0, 0)
    truth = np.stack([channel8(c, X, Y) for c in range(3)], axis=-1)
    inner = (slice(1, -1), slice(1, -1))
    assert np.abs(rgb8[inner].astype(int) - truth[inner]).max() <= 1
    # The unpacked mosaic converts the same way from an array.
    assert np.array_equal(corvisk.convert(arr, "RGB8", source_format=name), rgb8)


@pytest.mark.parametrize("name", [n for n in ALL_FORMATS if info(n)[0] == "rgb"])
def test_rgb_formats(cam, name):
    frame = snap(cam, name)
    _, _, channels = info(name)
    X, Y = coords(W, H, 0, 0)
    order = [2, 1, 0, 3] if name.startswith("BGR") else [0, 1, 2, 3]
    expected = np.stack([channel8(c, X, Y) for c in order[:channels]], axis=-1)
    arr = corvisk.as_array(frame)
    assert arr.shape == (H, W, channels) and np.array_equal(arr, expected)
    assert np.shares_memory(arr, np.frombuffer(frame, np.uint8))
    rgb = np.stack([channel8(c, X, Y) for c in range(3)], axis=-1)
    assert np.array_equal(corvisk.convert(frame, "RGB8"), rgb)
    assert np.array_equal(corvisk.convert(frame, "BGR8"), rgb[..., ::-1])
    luma = (77 * rgb[..., 0] + 150 * rgb[..., 1] + 29 * rgb[..., 2] + 128) >> 8
    assert np.array_equal(corvisk.convert(frame, "Mono8"), luma)


@pytest.mark.parametrize("name", [n for n in ALL_FORMATS if info(n)[0] == "yuv422"])
def test_ycbcr_formats(cam, name):
    frame = snap(cam, name)
    with pytest.raises(ValueError, match=name):
        corvisk.as_array(frame)
    rgb = corvisk.convert(frame, "RGB8")
    assert np.abs(rgb.astype(float) - ycbcr_reference(name, W, H)).max() <= 1.0
    assert np.array_equal(corvisk.convert(frame, "BGR8"), rgb[..., ::-1])


def test_offsets_move_the_pattern_not_the_layout(cam):
    cam.set_integer("OffsetX", 8)
    cam.set_integer("OffsetY", 6)
    try:
        for name in ("BayerGR12p", "RGB8", "Mono10Packed"):
            frame = snap(cam, name)
            assert (frame.x_offset, frame.y_offset) == (8, 6)
            kind, bits, _ = info(name)
            X, Y = coords(W, H, 8, 6)
            if kind == "bayer":
                expected, _ = mosaic(name, W, H, 8, 6)
            elif kind == "rgb":
                expected = np.stack([channel8(c, X, Y) for c in range(3)], axis=-1)
            else:
                expected = sample(1, X, Y, bits)
            assert np.array_equal(corvisk.as_array(frame), expected)
    finally:
        cam.set_integer("OffsetX", 0)
        cam.set_integer("OffsetY", 0)


# ---- out= and refusals ------------------------------------------------------------------------

def test_out_is_filled_in_place_and_checked(cam):
    frame = snap(cam, "BayerBG8")
    out = np.zeros((H, W, 3), np.uint8)
    assert corvisk.convert(frame, "RGB8", out=out) is out
    assert np.array_equal(out, corvisk.convert(frame, "RGB8"))
    bad = [np.zeros((H, W, 3), np.uint16), np.zeros((H, W), np.uint8),
           np.zeros((W, H, 3), np.uint8), np.zeros((H, W, 3), np.uint8)[:, ::-1],
           bytearray(H * W * 3)]
    for wrong in bad:
        with pytest.raises(ValueError, match="out must be"):
            corvisk.convert(frame, "RGB8", out=wrong)
    with pytest.raises(ValueError, match="conversion target"):
        corvisk.convert(frame, "HSV8")
    with pytest.raises(ValueError, match="source_format"):
        corvisk.convert(np.zeros((4, 4), np.float32), "RGB8")
    with pytest.raises(ValueError, match="BayerRG12"):
        corvisk.convert(np.zeros((4, 4), np.uint8), "RGB8", source_format="BayerRG12")


def test_incomplete_frames_are_refused_unless_allowed():
    # Packet 2 of every frame never arrives and is not resent.
    sim = SimProcess("127.25.0.2", "--width", "64", "--height", "48", "--pattern",
                     "ChannelRamps", "--drop-packets", "0:2", "--no-resend")
    cam = corvisk.Camera("127.25.0.2", gvcp_timeout=0.2, retries=2)
    try:
        cam.connect()
        cam.set_enum("PixelFormat", "Mono12p")
        frame = cam.snap(5.0, packet_size=576)
    finally:
        cam.disconnect()
        sim.stop()
    assert not frame.is_complete
    for call in (lambda: corvisk.as_array(frame), lambda: corvisk.convert(frame, "Mono8"),
                 lambda: corvisk.save(frame, "/tmp/never-written.png")):
        with pytest.raises(ValueError, match="incomplete"):
            call()
    assert not os.path.exists("/tmp/never-written.png")
    arr = corvisk.as_array(frame, allow_incomplete=True)
    X, Y = coords(64, 48, 0, 0)
    expected = sample(1, X, Y, 12)
    # The first packet's samples arrived; what lies past the hole is not checked.
    assert np.array_equal(arr[0, :32], expected[0, :32])


def test_unsupported_pixel_format_is_named():
    sim = SimProcess("127.25.0.3", "--width", "16", "--height", "4")
    cam = corvisk.Camera("127.25.0.3", gvcp_timeout=0.2, retries=2)
    try:
        cam.connect()
        frame = cam.snap(5.0)
    finally:
        cam.disconnect()
        sim.stop()
    # A Mono8 frame reinterpreted is fine; an unknown code is named in the error.
    assert corvisk.as_array(frame).shape == (4, 16)
    with pytest.raises(ValueError, match="0x01080002"):
        _corvisk_pixels.format_info(0x01080002)


# ---- files ------------------------------------------------------------------------------------

@pytest.mark.parametrize("suffix", [".png", ".tif"])
@pytest.mark.parametrize("name,mode", [("Mono8", "L"), ("Mono12p", "I"),
                                        ("BayerRG8", "RGB"), ("YCbCr422_8", "RGB"),
                                        ("BGRa8", "RGB")])
def test_image_files_round_trip_through_pil(cam, tmp_path, name, mode, suffix):
    image = pytest.importorskip("PIL.Image")
    frame = snap(cam, name)
    path = tmp_path / f"frame{suffix}"
    corvisk.save(frame, path)
    with image.open(path) as im:
        assert im.size == (W, H)
        assert im.mode.startswith(mode)
        decoded = np.array(im)
    kind, bits, _ = info(name)
    target = ("Mono16" if bits > 8 else "Mono8") if kind == "mono" else "RGB8"
    assert np.array_equal(decoded, corvisk.convert(frame, target))


def test_sixteen_bit_rgb_files(cam, tmp_path):
    image = pytest.importorskip("PIL.Image")
    frame = snap(cam, "BayerGB12")
    rgb16 = corvisk.convert(frame, "RGB16")
    for suffix in (".png", ".tif"):
        corvisk.save(frame, tmp_path / f"f{suffix}")
        with image.open(tmp_path / f"f{suffix}") as im:
            # PIL reads 16-bit RGB as 8-bit RGB: it shows the top byte of each sample.
            assert im.size == (W, H)
            assert np.array_equal(np.array(im.convert("RGB")), rgb16 >> 8)
    png = (tmp_path / "f.png").read_bytes()
    assert png[24:26] == bytes([16, 2]) and b"sBIT\x0c\x0c\x0c" in png


def test_npy_and_raw_files(cam, tmp_path):
    frame = snap(cam, "BayerRG10p")
    corvisk.save(frame, tmp_path / "f.npy")
    assert np.array_equal(np.load(tmp_path / "f.npy"), corvisk.as_array(frame))
    corvisk.save(frame, tmp_path / "f.raw")
    assert (tmp_path / "f.raw").read_bytes() == frame.data()
    corvisk.save(corvisk.convert(frame, "RGB8"), tmp_path / "a.png")
    with pytest.raises(ValueError, match="suffix"):
        corvisk.save(frame, tmp_path / "f.jpg")
    assert not (tmp_path / "f.jpg").exists()


# ---- threads ----------------------------------------------------------------------------------

def test_a_held_frame_stays_valid_while_converted_on_another_thread():
    sim = SimProcess("127.25.0.4", "--width", "256", "--height", "64")  # moving diagonal ramp
    cam = corvisk.Camera("127.25.0.4", gvcp_timeout=0.2, retries=2)
    try:
        cam.connect()
        cam.set_enum("PixelFormat", "BayerRG8")
        with cam.start_acquisition(n_buffers=2) as acq:
            held = acq.wait_for(5.0)
            assert held is not None and held.is_complete
            first = corvisk.convert(held, "RGB8")
            results, errors = [], []

            def work():
                try:
                    for _ in range(30):
                        results.append(corvisk.convert(held, "RGB8"))
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(e)

            worker = threading.Thread(target=work)
            worker.start()
            others = 0
            while worker.is_alive() or others < 10:
                frame = acq.wait_for(5.0)
                assert frame is not None
                others += 1
                del frame
            worker.join()
    finally:
        cam.disconnect()
        sim.stop()
    assert not errors
    assert len(results) == 30 and all(np.array_equal(r, first) for r in results)


# ---- without numpy ----------------------------------------------------------------------------

NO_NUMPY = "import sys; sys.modules['numpy'] = None\n"


def test_package_cli_and_save_work_without_numpy(tmp_path):
    sim = SimProcess("127.25.0.5", "--width", "32", "--height", "8", "--pixel-format",
                     "BayerGB12p", "--pattern", "ChannelRamps")
    env = dict(os.environ)
    try:
        script = NO_NUMPY + (
            "import corvisk, runpy\n"
            "try:\n"
            "    corvisk.as_array(None)\n"
            "except ImportError as e:\n"
            "    print('ImportError:', e)\n"
            "sys.argv = ['corvisk', 'snap', '127.25.0.5', '-o', sys.argv[1]]\n"
            "runpy.run_module('corvisk', run_name='__main__')\n")
        out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "snap.png")],
                             capture_output=True, text=True, timeout=60, env=env)
    finally:
        sim.stop()
    assert "ImportError: corvisk.as_array needs numpy" in out.stdout
    assert "python3-numpy" in out.stdout
    assert out.returncode == 0, out.stderr
    image = pytest.importorskip("PIL.Image")
    with image.open(tmp_path / "snap.png") as im:
        assert im.size == (32, 8) and im.mode == "RGB"


# ---- layouts a frame may carry ----------------------------------------------------------------

class FakeFrame(bytes):
    """A payload with a frame's attributes, for layouts the simulator does not stream."""
    status = corvisk.FrameStatus.Complete
    is_complete = True
    frame_id = 7
    x_offset = y_offset = 0

    def data(self):
        return bytes(self)


def fake(payload, name, width, height, **extra):
    frame = FakeFrame(payload)
    frame.pixel_format, frame.pixel_format_code = name, _corvisk_pixels.format_info(name)[1]
    frame.width, frame.height = width, height
    for key, value in extra.items():
        setattr(frame, key, value)
    return frame


@pytest.mark.parametrize("name,dtype", [("Mono8", np.uint8), ("Mono12", np.uint16),
                                        ("RGB8", np.uint8)])
@pytest.mark.parametrize("padding_attribute", [True, False])
def test_padded_lines_are_skipped(name, dtype, padding_attribute):
    _, _, channels = info(name)
    width, height, pad = 5, 3, 6
    image = np.arange(height * width * channels, dtype=dtype).reshape(height, width, channels)
    lines = [image[y].tobytes() + b"\xee" * pad for y in range(height)]
    extra = {"padding_x": pad} if padding_attribute else {}
    frame = fake(b"".join(lines), name, width, height, **extra)
    arr = corvisk.as_array(frame)
    assert np.array_equal(arr, image if channels > 1 else image[..., 0])
    assert np.shares_memory(arr, np.frombuffer(frame, np.uint8))
    assert np.array_equal(corvisk.convert(frame, "Mono16").shape, (height, width))


def test_simulator_lists_every_format():
    out = subprocess.run([SIM_PROGRAM, "--help"], capture_output=True, text=True, timeout=30)
    listed = set(out.stdout.split("Pixel formats")[1].split())
    assert set(ALL_FORMATS) <= listed
