"""Frames as images: arrays, conversions and image files.

``as_array(frame)`` gives the frame's pixels as a numpy array of their natural shape and dtype,
sharing the frame's memory where the layout allows it; ``convert(frame, "RGB8")`` turns any
supported pixel format into RGB8, BGR8, Mono8, Mono16 or RGB16 in native code; ``save(frame,
path)`` writes a PNG, TIFF, .npy or raw file chosen by the path's suffix.

Layout rules:

- 16-bit samples are little-endian; 10/12/14-bit samples sit in the low bits of 16-bit words.
  Packed formats (``Mono12p``, ``BayerRG10Packed``, ...) are unpacked to uint16.
- A Bayer format names the colours of the first pixels of the image as transmitted (RG: red at
  (0, 0)); ``x_offset``/``y_offset`` say where that image sits on the sensor and do not move it.
- Lines padded by the device are skipped: the pitch comes from the frame's ``padding_x`` when it
  has one, otherwise from the payload length (payload ÷ height when that exceeds the image).
- Demosaicing is bilinear (each missing colour is the mean of its nearest 2 or 4 samples in the
  3 × 3 neighbourhood, edges mirrored). YCbCr uses BT.601: full range for YUV422_8 and YCbCr422_8
  and their UYVY forms, studio range for the YCbCr601 formats; luma is 0.299 R + 0.587 G +
  0.114 B. Mono16 and RGB16 are shifted to span 16 bits (a 12-bit 4095 becomes 65520).

numpy is optional: ``save`` writes PNG, TIFF and raw files without it; ``as_array``,
``convert`` and ``.npy`` files need it and raise ImportError saying how to install it.
"""

from __future__ import annotations

import array
import struct
import sys
import zlib
from pathlib import Path
from typing import Any, NamedTuple, Optional

from . import _corvisk_ext
from . import _corvisk_pixels as _px

__all__ = ["as_array", "convert", "save", "pixel_formats"]

TARGETS = ("RGB8", "BGR8", "Mono8", "Mono16", "RGB16")


def _numpy(what: str):
    try:
        import numpy
    except ImportError as e:
        raise ImportError(
            f"corvisk.{what} needs numpy, which is not installed: install it with "
            "'apt install python3-numpy' (Debian/Ubuntu) or 'pip install numpy'") from e
    return numpy


def pixel_formats() -> tuple[str, ...]:
    """Names of every pixel format as_array, convert and save understand."""
    return _px.format_names()


class _Info(NamedTuple):
    name: str
    code: int
    kind: str
    sample_bits: int
    bits_per_pixel: int
    channels: int
    packed: bool


def _info(fmt: Any) -> _Info:
    return _Info(*_px.format_info(fmt))


class _Image(NamedTuple):
    """A frame's pixel bytes with the layout the native converters need."""
    buffer: Any  # the Frame itself (zero-copy) or a zero-extended copy of a short payload
    info: _Info
    width: int
    height: int
    stride: int  # bytes between line starts; 0 = no padding


def _is_frame(obj: Any) -> bool:
    return hasattr(obj, "pixel_format_code") and hasattr(obj, "is_complete")


def _frame_image(frame: Any, allow_incomplete: bool) -> _Image:
    if not frame.is_complete and not allow_incomplete:
        raise ValueError(f"frame {frame.frame_id} is incomplete ({frame.status!r}); pass "
                         "allow_incomplete=True to use it with its holes")
    try:
        info = _info(frame.pixel_format_code)
    except ValueError:
        raise ValueError(f"pixel format {frame.pixel_format} is not supported; supported are "
                         f"{', '.join(pixel_formats())}") from None
    width, height = frame.width, frame.height
    if width == 0 or height == 0:
        raise ValueError(f"frame {frame.frame_id} has no image size ({width}x{height} "
                         f"{frame.pixel_format})")
    line = (width * info.bits_per_pixel + 7) // 8
    payload = memoryview(frame)
    image_size = _corvisk_ext.image_size(frame)
    if image_size is not None:  # a frame with chunks: its image is the first chunk
        payload = payload[:image_size]
    size = len(payload)
    stride = 0
    padding_x = getattr(frame, "padding_x", None)
    if padding_x:
        stride = line + padding_x
    elif padding_x is None and not info.packed and size > line * height:
        # Padding after each line: the pitch is what the payload holds per line (any
        # padding after the last line is smaller than the height and rounds away).
        stride = size // height
    need = (stride * (height - 1) + line) if stride else (width * height * info.bits_per_pixel
                                                         + 7) // 8
    if size >= need:
        return _Image(frame, info, width, height, stride)
    if frame.is_complete:
        raise ValueError(f"frame {frame.frame_id} holds {size} bytes, too few for a "
                         f"{width}x{height} {info.name} image ({need} bytes)")
    padded = bytearray(need)  # the part that never arrived reads as zeros
    padded[:size] = payload
    return _Image(padded, info, width, height, stride)


def _array_image(np, arr: Any, source_format: Optional[str]) -> _Image:
    arr = np.asarray(arr)
    if source_format is None:
        guesses = {(2, "uint8"): "Mono8", (2, "uint16"): "Mono16"}
        if arr.ndim == 3 and arr.dtype == np.uint8 and arr.shape[2] in (3, 4):
            source_format = "RGB8" if arr.shape[2] == 3 else "RGBa8"
        else:
            source_format = guesses.get((arr.ndim, arr.dtype.name))
        if source_format is None:
            raise ValueError(f"cannot tell the pixel format of a {arr.dtype} array of shape "
                             f"{arr.shape}; pass source_format=")
    info = _info(source_format)
    if info.packed:  # arrays hold unpacked samples: BayerRG12p arrays are BayerRG12
        info = _info(info.name.replace("Packed", "").removesuffix("p"))
    channels = {"mono": 1, "bayer": 1, "yuv422": 2}.get(info.kind, info.channels)
    dtype = np.dtype(np.uint8) if info.sample_bits == 8 else np.dtype("<u2")
    hw = tuple(arr.shape[:2]) if arr.ndim >= 2 else (0, 0)
    expected = hw if channels == 1 else hw + (channels,)
    if arr.shape != expected or arr.dtype.kind != "u" or arr.dtype.itemsize != dtype.itemsize:
        layout = "(height, width)" if channels == 1 else f"(height, width, {channels})"
        raise ValueError(f"a {info.name} array must be {dtype} of shape {layout}, not "
                         f"{arr.dtype} of shape {arr.shape}")
    arr = arr.astype(dtype, copy=False)
    arr = np.ascontiguousarray(arr)
    return _Image(arr, info, arr.shape[1], arr.shape[0], 0)


def _source(src: Any, allow_incomplete: bool, source_format: Optional[str], what: str) -> _Image:
    if _is_frame(src):
        if source_format is not None:
            raise ValueError("source_format is for arrays; a frame carries its own")
        return _frame_image(src, allow_incomplete)
    return _array_image(_numpy(what), src, source_format)


def as_array(frame: Any, copy: bool = False, *, allow_incomplete: bool = False):
    """The frame's pixels as a numpy array of their natural shape and dtype.

    (H, W) uint8 or uint16 for mono and raw Bayer, (H, W, 3) for RGB8/BGR8, (H, W, 4) for
    RGBa8/BGRa8, in the channel order of the format. 8- and 16-bit unpacked formats are a
    read-only view of the frame's buffer (no copy; the frame stays alive with the array) unless
    ``copy`` is true; packed formats are unpacked into a new uint16 array. 4:2:2 YCbCr has no
    such form: use ``convert(frame, "RGB8")``. Raises ValueError for an unsupported format, and
    for an incomplete frame unless ``allow_incomplete`` (its holes hold stale data, or zeros
    where the payload stops short).
    """
    np = _numpy("as_array")
    if not _is_frame(frame):
        arr = np.asarray(frame)
        return arr.copy() if copy else arr
    img = _frame_image(frame, allow_incomplete)
    h, w, c, sb = _px.target_shape(img.info.code, "Unpacked", img.width, img.height)
    shape = (h, w) if c == 1 else (h, w, c)
    dtype = np.uint8 if sb == 1 else np.dtype("<u2")
    if img.info.packed:
        out = np.empty(shape, dtype)
        _px.convert(img.buffer, img.info.code, w, h, img.stride, "Unpacked", out)
        return out
    stride = img.stride or w * c * sb
    view = np.ndarray(shape, dtype, buffer=img.buffer,
                      strides=(stride, c * sb) if c == 1 else (stride, c * sb, sb))
    return view.copy() if copy else view


def _check_out(np, out: Any, shape: tuple[int, ...], dtype: Any) -> None:
    if not isinstance(out, np.ndarray):
        raise ValueError(f"out must be a numpy array, not {type(out).__name__}")
    if out.shape != shape or out.dtype != dtype:
        raise ValueError(f"out must be {np.dtype(dtype)} of shape {shape}, not {out.dtype} of "
                         f"shape {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out must be a writable C-contiguous array")


def convert(src: Any, target: str, *, out: Any = None, source_format: Optional[str] = None,
            allow_incomplete: bool = False):
    """Converts a frame (or an array) into ``target``: "RGB8", "BGR8", "Mono8", "Mono16" or
    "RGB16"; returns the new array, or ``out`` filled in place.

    Bayer mosaics are demosaiced bilinearly, YCbCr is turned into RGB with BT.601, colour to
    Mono with BT.601 luma; the rules are in this module's documentation. An array source's
    format is ``source_format`` or guessed from its shape and dtype ((H, W) uint8 Mono8, uint16
    Mono16, (H, W, 3) uint8 RGB8, (H, W, 4) uint8 RGBa8); raw Bayer arrays need it given.
    ``out`` must be a writable C-contiguous array of the target's shape and dtype, else
    ValueError. Runs in native code with the interpreter lock released.
    """
    np = _numpy("convert")
    if target not in TARGETS:
        raise ValueError(f"unsupported conversion target {target!r}; choose one of "
                         f"{', '.join(TARGETS)}")
    img = _source(src, allow_incomplete, source_format, "convert")
    h, w, c, sb = _px.target_shape(img.info.code, target, img.width, img.height)
    shape = (h, w) if c == 1 else (h, w, c)
    dtype = np.uint8 if sb == 1 else np.dtype(np.uint16)
    if out is None:
        out = np.empty(shape, dtype)
    else:
        _check_out(np, out, shape, dtype)
    _px.convert(img.buffer, img.info.code, img.width, img.height, img.stride, target, out)
    return out


# ---- files -----------------------------------------------------------------------------------

class _Raster(NamedTuple):
    """Interleaved samples ready for a file: 1 or 3 channels of 8 or 16 bits, host order."""
    data: Any
    width: int
    height: int
    channels: int
    depth: int
    significant: int  # bits that carry information (PNG sBIT); == depth when all do


def _frame_raster(frame: Any, allow_incomplete: bool) -> _Raster:
    img = _frame_image(frame, allow_incomplete)
    colour = img.info.kind != "mono"
    wide = img.info.kind in ("mono", "bayer") and img.info.sample_bits > 8
    target = ("RGB16" if wide else "RGB8") if colour else ("Mono16" if wide else "Mono8")
    h, w, c, sb = _px.target_shape(img.info.code, target, img.width, img.height)
    data = bytearray(h * w * c * sb)
    _px.convert(img.buffer, img.info.code, img.width, img.height, img.stride, target, data)
    bits = img.info.sample_bits if img.info.kind in ("mono", "bayer") else 8
    return _Raster(data, w, h, c, 16 if wide else 8, bits)


def _array_raster(np, arr: Any) -> _Raster:
    arr = np.asarray(arr)
    if arr.ndim == 3 and arr.shape[2] == 1:
        arr = arr[:, :, 0]
    if arr.dtype not in (np.uint8, np.uint16) or not (
            arr.ndim == 2 or (arr.ndim == 3 and arr.shape[2] == 3)):
        raise ValueError(f"image files take (H, W) or (H, W, 3) arrays of uint8 or uint16, not "
                         f"{arr.dtype} of shape {arr.shape}; convert(..., 'RGB8') first")
    depth = arr.dtype.itemsize * 8
    data = np.ascontiguousarray(arr, dtype=arr.dtype.newbyteorder("="))
    return _Raster(memoryview(data).cast("B"), arr.shape[1], arr.shape[0],
                   1 if arr.ndim == 2 else 3, depth, depth)


def _big_endian_words(data: Any) -> bytes:
    words = array.array("H")
    words.frombytes(bytes(data))
    if sys.byteorder == "little":
        words.byteswap()
    return words.tobytes()


def _little_endian_words(data: Any) -> bytes:
    words = array.array("H")
    words.frombytes(bytes(data))
    if sys.byteorder == "big":
        words.byteswap()
    return words.tobytes()


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I",
                                                                   zlib.crc32(kind + body))


def png_bytes(r: _Raster) -> bytes:
    """A PNG file of the raster: grey or RGB, 8 or 16 bits, with an sBIT chunk when fewer bits
    are significant (samples were shifted up from that many)."""
    data = _big_endian_words(r.data) if r.depth == 16 else bytes(r.data)
    stride = r.width * r.channels * r.depth // 8
    lines = bytearray()
    for y in range(r.height):
        lines += b"\x00"  # filter type None
        lines += data[y * stride:(y + 1) * stride]
    header = struct.pack(">IIBBBBB", r.width, r.height, r.depth, 0 if r.channels == 1 else 2,
                         0, 0, 0)
    chunks = [_png_chunk(b"IHDR", header)]
    if r.significant < r.depth:
        chunks.append(_png_chunk(b"sBIT", bytes([r.significant] * r.channels)))
    chunks += [_png_chunk(b"IDAT", zlib.compress(bytes(lines), 6)), _png_chunk(b"IEND", b"")]
    return b"\x89PNG\r\n\x1a\n" + b"".join(chunks)


def tiff_bytes(r: _Raster) -> bytes:
    """An uncompressed baseline TIFF of the raster (little-endian, one strip)."""
    data = _little_endian_words(r.data) if r.depth == 16 else bytes(r.data)
    return tiff_header(r, len(data)) + data


def tiff_header(r: _Raster, nbytes: int) -> bytes:
    """Everything of tiff_bytes' file before the strip of `nbytes` pixel bytes (r.data is not
    read), for writers that send the pixels from their own buffer."""
    n_tags = 12
    ifd_end = 8 + 2 + n_tags * 12 + 4
    bits_at = ifd_end  # three SHORTs when RGB
    res_at = bits_at + 8  # two RATIONALs
    data_at = res_at + 16
    bits_value = (struct.pack("<HH", r.depth, 0) if r.channels == 1
                  else struct.pack("<I", bits_at))
    tags = [
        (256, 4, 1, struct.pack("<I", r.width)),
        (257, 4, 1, struct.pack("<I", r.height)),
        (258, 3, r.channels, bits_value),
        (259, 3, 1, struct.pack("<HH", 1, 0)),  # no compression
        (262, 3, 1, struct.pack("<HH", 1 if r.channels == 1 else 2, 0)),  # black is 0 / RGB
        (273, 4, 1, struct.pack("<I", data_at)),
        (277, 3, 1, struct.pack("<HH", r.channels, 0)),
        (278, 4, 1, struct.pack("<I", r.height)),
        (279, 4, 1, struct.pack("<I", nbytes)),
        (282, 5, 1, struct.pack("<I", res_at)),
        (283, 5, 1, struct.pack("<I", res_at + 8)),
        (296, 3, 1, struct.pack("<HH", 1, 0)),  # no resolution unit
    ]
    assert len(tags) == n_tags
    out = bytearray(b"II*\x00" + struct.pack("<I", 8) + struct.pack("<H", n_tags))
    for tag, kind, count, value in tags:
        out += struct.pack("<HHI", tag, kind, count) + value
    out += struct.pack("<I", 0)  # no further image
    out += struct.pack("<HHHH", r.depth, r.depth, r.depth, 0)
    out += struct.pack("<IIII", 72, 1, 72, 1)
    return bytes(out)


_SUFFIXES = (".png", ".tif", ".tiff", ".npy", ".raw")


def save(src: Any, path: Any, *, allow_incomplete: bool = False) -> None:
    """Writes a frame (or an array) to ``path``, the file format chosen by its suffix.

    ``.png`` and ``.tif``/``.tiff``: grey for mono formats, RGB for everything else (Bayer
    demosaiced, YCbCr converted), 16 bits per sample for samples wider than 8 bits (shifted up,
    with the significant bits recorded in PNG's sBIT chunk). ``.npy``: the ``as_array`` array
    (needs numpy). ``.raw``: the frame's payload bytes as received, or the array's bytes. Any
    other suffix raises ValueError before anything is written.
    """
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in _SUFFIXES:
        raise ValueError(f"cannot tell the image file format of {str(p)!r} from its suffix; "
                         f"use one of {', '.join(_SUFFIXES)}")
    frame = _is_frame(src)
    if suffix == ".raw":
        if frame:
            _frame_image(src, allow_incomplete)  # the same checks as every other file type
            p.write_bytes(src.data())
        else:
            p.write_bytes(_numpy("save").ascontiguousarray(src).tobytes())
        return
    if suffix == ".npy":
        np = _numpy("save")
        arr = as_array(src, copy=True, allow_incomplete=allow_incomplete) if frame else src
        np.save(p, arr)
        return
    raster = _frame_raster(src, allow_incomplete) if frame else _array_raster(_numpy("save"),
                                                                              src)
    p.write_bytes(png_bytes(raster) if suffix == ".png" else tiff_bytes(raster))
