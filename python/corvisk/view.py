"""Live view in a web browser: ``python -m corvisk view IP`` or ``corvisk.view.serve(cam)``.

A small HTTP server from the standard library serves one page with the camera's live image,
its frame rate, data rate and stream counters, a histogram, and controls for the main features
(exposure, gain, region of interest, pixel format, trigger), built from what the camera's
description says about them. Nothing beyond the standard library is needed.

Threads: one stream thread takes frames from the acquisition and keeps the newest; the HTTP
server runs on its own thread and answers each connection on a thread of its own. A frame is
converted (RGB8 for colour formats, Mono8 for grey) and encoded as PNG only when a page asks
for it, at most once per frame and size, scaled down towards the size the page shows it at
(by whole factors, to at most ``max_width`` pixels). ``close()`` stops all of them and joins
them; nothing is left running.

Endpoints (all answers are ``Cache-Control: no-store``):

- ``GET /`` the page;
- ``GET /frame.png?after=SEQ&width=W`` the newest frame once it is newer than ``SEQ``,
  waiting up to 1 s for one (204 when none came), scaled down by a whole factor to at most
  ``max_width`` pixels, and further while it stays at least ``W`` (the width the page shows
  it at) wide; headers ``X-Frame-Seq`` (this
  server's running count) and ``X-Frame-Id`` (the device's block id);
- ``GET /state.json`` rates, counters, the newest frame's description and its histogram;
- ``GET /features.json`` the controls: type, access, value, limits, entries;
- ``POST /features`` with ``{"name": ..., "value": ...}`` (commands: no value) writes one
  feature; errors come back as ``{"error": ...}`` and never stop the stream. Features that
  change the image size or layout (Width, Height, PixelFormat; the offsets when locked) are
  written with the acquisition stopped, and the acquisition is started again afterwards,
  whether or not the write succeeded.

Requests other than GET and POST are refused, request bodies are bounded, JSON is checked,
and requests whose ``Host`` or ``Origin`` is not this server are refused, so other web pages
cannot reach the camera through the browser.
"""

from __future__ import annotations

import collections
import dataclasses
import http.server
import ipaddress
import json
import math
import socket
import struct
import threading
import time
import urllib.parse
import zlib
from typing import Any, Callable, Optional

from . import _corvisk_core as _core
from . import _corvisk_pixels as _px
from . import image as _image
from ._view_page import PAGE
from .introspection import FeatureInfo, describe

__all__ = ["ViewServer", "serve", "CONTROLS"]

# The features the page offers, in page order; each tuple lists the names cameras use for one
# control, the first present one wins (older cameras name exposure ExposureTimeAbs etc.).
CONTROLS: tuple[tuple[str, ...], ...] = (
    ("ExposureTime", "ExposureTimeAbs"),
    ("Gain", "GainRaw"),
    ("AcquisitionFrameRate", "AcquisitionFrameRateAbs"),
    ("Width",),
    ("Height",),
    ("OffsetX",),
    ("OffsetY",),
    ("PixelFormat",),
    ("TriggerSelector",),
    ("TriggerMode",),
    ("TriggerSource",),
    ("TriggerSoftware",),
)

# Writing these changes the payload's size and layout, which the receiver's buffers were made
# for: they are always written with the acquisition stopped. The offsets only when the running
# acquisition locks them.
RESIZING = frozenset(("Width", "Height", "PixelFormat"))
LAYOUT = RESIZING | {"OffsetX", "OffsetY"}

MAX_BODY = 16 * 1024  # bytes of a POST body; a feature write is a few dozen
MAX_STRING = 1024  # characters of a string feature value
FRAME_WAIT = 1.0  # seconds /frame.png waits for a newer frame
RATE_WINDOW = 2.0  # seconds of frames the rates are averaged over
RETRY_START = (1.0, 16.0)  # seconds before restarting a failed acquisition: first, at most

_CameraErrors = (_core.CameraError, _core.GenicamError)
_STATUS_NAMES = ("Complete", "MissingPackets", "Timeout", "Aborted", "WrongPacketId",
                 "PayloadUnsupported")
_STATS = ("packets", "bytes", "completed_frames", "failed_frames", "timed_out_frames",
          "aborted_frames", "missing_frames", "underruns", "missing_packets",
          "resend_requests", "resent_packets", "resend_ratio_reached", "resend_disabled",
          "duplicated_packets", "error_packets", "ignored_packets", "unsupported_frames",
          "size_mismatch_errors", "frames_dropped")


def _status_name(status: Any) -> str:
    for name in _STATUS_NAMES:
        if status == getattr(_core.FrameStatus, name):
            return name
    return str(int(status))


def _finite(x: Any) -> Any:
    """JSON has no infinities or NaN: those limits are sent as null (no limit)."""
    return x if not isinstance(x, float) or math.isfinite(x) else None


# ---- controls --------------------------------------------------------------------------------

def control_names(cam: Any) -> list[str]:
    """The control features this camera has, in page order (absent ones left out)."""
    names = []
    for choices in CONTROLS:
        for name in choices:
            if cam.has_feature(name):
                names.append(name)
                break
    return names


_READERS = {"Integer": "get_integer", "Float": "get_float", "Boolean": "get_boolean",
            "Enumeration": "get_enum", "String": "get_string"}


def _control(cam: Any, name: str) -> Optional[dict]:
    """What the page needs to draw one control, or None for a feature not implemented."""
    info = describe(cam, name)
    if not info.implemented or info.interface_type not in (*_READERS, "Command"):
        return None
    lo, hi = info.bounds if _bounds(info) else (None, None)
    c = {"name": name, "label": info.display_name or name, "type": info.interface_type,
         "access": info.access, "unit": info.unit, "tooltip": info.tooltip or info.description,
         "min": _finite(lo), "max": _finite(hi), "inc": _finite(info.increment),
         "entries": [e.name for e in info.entries if e.implemented and e.available],
         "writable": _writable(info), "value": None, "error": ""}
    if info.interface_type in _READERS and info.access in ("RO", "RW"):
        try:
            c["value"] = _finite(getattr(cam, _READERS[info.interface_type])(name))
        except _CameraErrors as e:
            c["error"] = str(e)
    return c


def _writable(info: FeatureInfo) -> bool:
    """Whether the page offers to write the feature: image layout features locked by the
    running acquisition count as writable, their writes stop it first."""
    return info.access in ("RW", "WO") or (info.name in LAYOUT and info.locked
                                           and info.access == "RO")


def _bounds(info: FeatureInfo) -> bool:
    """Whether the feature has limits to hold writes to: a device whose minimum exceeds its
    maximum tells nothing, and the device itself is left to judge the value."""
    return bool(info.bounds) and info.bounds[0] <= info.bounds[1]


class RequestError(Exception):
    """A request the server refuses: HTTP status and the message shown on the page."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def _bad(message: str) -> RequestError:
    return RequestError(400, message)


def _check_number(info: FeatureInfo, value: Any) -> Any:
    name, kind = info.name, info.interface_type
    integer = kind == "Integer"
    if isinstance(value, bool) or not isinstance(value, (int, float) if not integer else int):
        if integer and isinstance(value, float) and value.is_integer():
            value = int(value)  # JavaScript numbers: 640.0 is the integer 640
        else:
            raise _bad(f"{name} takes {'an integer' if integer else 'a number'}, "
                       f"not {json.dumps(value)}")
    if not integer and not math.isfinite(value):
        raise _bad(f"{name} takes a finite number, not {value}")
    if integer and not -(1 << 63) <= value < 1 << 63:
        raise _bad(f"{name} = {value} does not fit a 64-bit integer")
    if _bounds(info):
        lo, hi = info.bounds
        if not lo <= value <= hi:
            raise _bad(f"{name} = {value} is out of range: {name} takes {lo:g}..{hi:g}")
        if integer and info.increment and (value - lo) % info.increment:
            raise _bad(f"{name} = {value} is not a valid step: {name} takes {lo}..{hi} in "
                       f"steps of {info.increment}")
    return value if integer else float(value)


def _checked_value(info: FeatureInfo, request: dict) -> Any:
    """The request's value for this feature, or RequestError saying why it cannot be written."""
    name, kind = info.name, info.interface_type
    if info.access not in ("RW", "WO"):
        why = {"RO": "read-only", "NA": "not available now", "NI": "not implemented"}
        raise RequestError(409, f"{name} cannot be written: it is "
                                f"{why.get(info.access, info.access)}")
    value = request.get("value")
    if kind == "Command":
        if value not in (None, True):
            raise _bad(f"{name} is a command and takes no value")
        return None
    if kind in ("Integer", "Float"):
        return _check_number(info, value)
    if kind == "Boolean":
        if not isinstance(value, bool):
            raise _bad(f"{name} takes true or false, not {json.dumps(value)}")
        return value
    if not isinstance(value, str):
        raise _bad(f"{name} takes a string, not {json.dumps(value)}")
    if kind == "Enumeration":
        entries = [e.name for e in info.entries if e.implemented and e.available]
        if value not in entries:
            raise _bad(f"{name} has no entry {json.dumps(value)}; choose one of "
                       f"{', '.join(entries)}")
    elif len(value) > MAX_STRING:
        raise _bad(f"{name}: a string of {len(value)} characters is too long "
                   f"(at most {MAX_STRING})")
    return value


_WRITERS = {"Integer": "set_integer", "Float": "set_float", "Boolean": "set_boolean",
            "Enumeration": "set_enum", "String": "set_string"}


def _writer(cam: Any, info: FeatureInfo, value: Any) -> Callable[[], None]:
    if info.interface_type == "Command":
        return lambda: cam.execute(info.name)
    return lambda: getattr(cam, _WRITERS[info.interface_type])(info.name, value)


# ---- images ----------------------------------------------------------------------------------

def _pixels(frame: Any) -> tuple[bytearray, int, int, int]:
    """The frame as 8-bit grey (mono formats) or RGB (everything else): (data, w, h, channels).

    Raises ValueError for a format that cannot be shown."""
    img = _image._frame_image(frame, True)
    target = "Mono8" if img.info.kind == "mono" else "RGB8"
    h, w, c, _ = _px.target_shape(img.info.code, target, img.width, img.height)
    data = bytearray(h * w * c)
    _px.convert(img.buffer, img.info.code, img.width, img.height, img.stride, target, data)
    return data, w, h, c


def _numpy():
    """numpy when installed (faster scaling and histograms), else None: the standard library
    does the same work."""
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def scale_step(width: int, max_width: int, shown: Optional[int]) -> int:
    """The whole factor an image `width` pixels wide is scaled down by: to at most max_width
    pixels, and further while it stays at least as wide as it is `shown` (the browser scales
    the rest, so the view stays sharp)."""
    return max(1, -(-width // max_width), width // shown if shown else 1)


def _scaled(data: bytearray, w: int, h: int, c: int, step: int):
    """Every step-th pixel of every step-th line."""
    if step <= 1:
        return data, w, h
    out_w, out_h = -(-w // step), -(-h // step)
    np = _numpy()
    if np is not None:
        picked = np.frombuffer(data, np.uint8).reshape(h, w, c)[::step, ::step]
        return bytearray(picked.tobytes()), out_w, out_h
    line, out = w * c, bytearray()
    for y in range(0, h, step):
        row = data[y * line:(y + 1) * line]
        picked = bytearray(out_w * c)
        for i in range(c):
            picked[i::c] = row[i::c * step]
        out += picked
    return out, out_w, out_h


HISTOGRAM_SAMPLES = 1 << 18  # pixels counted per histogram: plenty for 256 bins


def histogram(data: Any, channels: int) -> list[list[int]]:
    """256 counts per channel of interleaved 8-bit samples; of every n-th pixel when there
    are more than HISTOGRAM_SAMPLES."""
    pixels = len(data) // channels
    step = max(1, -(-pixels // HISTOGRAM_SAMPLES))
    np = _numpy()
    if np is not None:
        arr = np.frombuffer(data, np.uint8, count=pixels * channels).reshape(pixels, channels)
        return [np.bincount(arr[::step, i], minlength=256).tolist() for i in range(channels)]
    out = []
    for i in range(channels):
        counts = collections.Counter(data[i::channels * step])
        out.append([counts.get(v, 0) for v in range(256)])
    return out


def png(data: Any, w: int, h: int, c: int) -> bytes:
    """A PNG of 8-bit grey (c = 1) or RGB (c = 3) pixels, compressed for speed over size: a
    live view encodes every frame it shows."""
    stride = w * c
    view = memoryview(data)
    lines = b"".join(b"\x00" + view[y * stride:(y + 1) * stride] for y in range(h))
    header = struct.pack(">IIBBBBB", w, h, 8, 0 if c == 1 else 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + b"".join((
        _image._png_chunk(b"IHDR", header), _image._png_chunk(b"IDAT", zlib.compress(lines, 1)),
        _image._png_chunk(b"IEND", b"")))


def _format_name(frame: Any) -> str:
    try:
        return _image._info(frame.pixel_format_code).name  # names every format we can show
    except ValueError:
        return frame.pixel_format


class _Rendered:
    """One frame ready for the page: its description and histogram, its pixels as 8-bit grey
    or RGB, and the PNG last asked for (at most one size is kept)."""

    def __init__(self, seq: int, frame: Any):
        self.seq, self.frame_id = seq, frame.frame_id
        self.info = {"seq": seq, "frame_id": frame.frame_id, "width": frame.width,
                     "height": frame.height, "pixel_format": _format_name(frame),
                     "status": _status_name(frame.status), "error": ""}
        self.histogram: dict = {"channels": [], "bins": []}
        self._pixels: Optional[tuple] = None
        self._png = (0, b"")
        try:
            self._pixels = _pixels(frame)
        except ValueError as e:
            self.info["error"] = f"cannot show this frame: {e}"
            return
        data, _, _, c = self._pixels
        self.histogram = {"channels": ["grey"] if c == 1 else ["red", "green", "blue"],
                          "bins": histogram(data, c)}

    def png(self, max_width: int, shown: Optional[int]) -> bytes:
        """The frame as PNG, scaled down (see scale_step); b"" when it cannot be shown.
        Callers serialise (the stream's render lock)."""
        if self._pixels is None:
            return b""
        data, w, h, c = self._pixels
        step = scale_step(w, max_width, shown)
        if self._png[0] != step:
            data, w, h = _scaled(data, w, h, c, step)
            self._png = (step, png(data, w, h, c))
        return self._png[1]


# ---- the stream ------------------------------------------------------------------------------

class _Stream:
    """The acquisition and its newest frame, shared by the stream thread and the HTTP threads.

    ``_lock`` guards the acquisition's life (start, stop, restart around a write); ``_cond``
    guards the newest frame and the counters and wakes the requests waiting for a frame.
    Lock order: ``_lock`` before ``_cond``; the stream thread never holds ``_lock`` while it
    waits for frames.
    """

    def __init__(self, cam: Any, n_buffers: int, max_width: int):
        self.cam, self.n_buffers, self.max_width = cam, n_buffers, max_width
        self._lock = threading.Lock()
        self._cond = threading.Condition()
        self._render_lock = threading.Lock()
        self._acq: Any = None
        self._error = ""
        self._closed = False
        self._seq = 0
        self.waiting = 0  # requests waiting for a newer frame
        self._frame: Any = None
        self._rendered: Optional[_Rendered] = None
        self._window: collections.deque = collections.deque()  # (time, bytes) of recent frames
        self._frames = self._incomplete = self._restarts = 0
        self._wake = threading.Event()
        self._retry = RETRY_START[0]  # doubles with each start that fails, up to the maximum
        self._thread = threading.Thread(target=self._run, name="corvisk-view-stream",
                                        daemon=True)

    def start(self) -> None:
        with self._lock:
            self._start_locked()
        self._thread.start()

    def _start_locked(self) -> None:
        try:
            self._acq = self.cam.start_acquisition(n_buffers=self.n_buffers)
            self._error = ""
            self._retry = RETRY_START[0]
        except (*_CameraErrors, ValueError) as e:
            self._acq = None
            self._error = f"acquisition did not start: {e}"

    def _stop_locked(self) -> None:
        acq, self._acq = self._acq, None
        if acq is not None:
            try:
                acq.stop()
            except _CameraErrors as e:
                self._error = f"acquisition did not stop cleanly: {e}"

    def restarted(self, write: Callable[[], None]) -> None:
        """Runs `write` with the acquisition stopped, then starts it again (also on failure)."""
        with self._lock:
            self._stop_locked()
            try:
                write()
            finally:
                if not self._closed:
                    self._start_locked()
                    self._restarts += 1
                    with self._cond:
                        self._window.clear()  # the rates start over with the new stream
        self._wake.set()

    def _run(self) -> None:
        while not self._closed:
            acq = self._acq
            if acq is None or acq.is_stopped():
                self._recover(acq)
                continue
            started = time.monotonic()
            try:
                frame = acq.wait_for(0.2)
            except (*_CameraErrors, ValueError) as e:
                self._error = f"stream failed: {e}"
                self._recover(acq)
                continue
            if frame is not None:
                self._publish(frame)
            elif time.monotonic() - started < 0.1:  # no wait: the stream has ended
                self._error = "the stream ended; starting it again"
                self._recover(acq)

    def _recover(self, seen: Any) -> None:
        """After a lost or failed acquisition: wait a moment, then start a new one (unless a
        write already has). The moment grows while starts keep failing."""
        self._wake.wait(self._retry)
        self._wake.clear()
        self._retry = min(2 * self._retry, RETRY_START[1])
        with self._lock:
            if self._closed or self._acq is not seen:
                return
            self._stop_locked()
            self._start_locked()

    def _publish(self, frame: Any) -> None:
        now = time.monotonic()
        with self._cond:
            self._seq += 1
            self._frame = frame
            self._frames += 1
            self._incomplete += not frame.is_complete
            self._window.append((now, frame.received_size))
            while self._window and self._window[0][0] < now - RATE_WINDOW:
                self._window.popleft()
            self._cond.notify_all()

    def newest(self, after: int, timeout: float,
               shown: Optional[int] = None) -> Optional[tuple[_Rendered, bytes]]:
        """The newest frame and its PNG for a page showing it `shown` pixels wide, once its
        sequence number is past `after`; None when no such frame came within `timeout`."""
        deadline = time.monotonic() + timeout
        with self._cond:
            self.waiting += 1
            try:
                while self._seq <= after and not self._closed:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return None
                    self._cond.wait(left)
            finally:
                self.waiting -= 1
            if self._seq <= after:
                return None
            seq, frame = self._seq, self._frame
        with self._render_lock:
            rendered = self._render_locked(seq, frame)
            return rendered, rendered.png(self.max_width, shown)

    def _render_locked(self, seq: int, frame: Any) -> _Rendered:
        # One conversion per frame, however many pages ask.
        if self._rendered is None or self._rendered.seq != seq:
            self._rendered = _Rendered(seq, frame)
        return self._rendered

    def _rates(self) -> tuple[float, float]:
        if len(self._window) < 2:
            return 0.0, 0.0
        span = self._window[-1][0] - self._window[0][0]
        if span <= 0:
            return 0.0, 0.0
        n = len(self._window) - 1  # frames completed after the first one in the window
        nbytes = sum(size for _, size in list(self._window)[1:])
        return n / span, nbytes / span / 1e6

    def state(self) -> dict:
        with self._cond:
            fps, mbps = self._rates()
            seq, frame = self._seq, self._frame
            out = {"frames": self._frames, "incomplete": self._incomplete,
                   "restarts": self._restarts, "fps": round(fps, 2), "mbps": round(mbps, 3)}
        acq = self._acq
        out["acquiring"] = acq is not None and not acq.is_stopped()
        out["error"] = self._error
        out["stats"] = None
        if out["acquiring"]:
            try:
                s = acq.stats()
                out["stats"] = {name: getattr(s, name) for name in _STATS}
            except ValueError:  # stopped in between
                pass
        rendered = None
        if frame is not None:
            with self._render_lock:
                rendered = self._render_locked(seq, frame)
        out["frame"] = rendered.info if rendered else None
        out["histogram"] = rendered.histogram if rendered else {"channels": [], "bins": []}
        return out

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._stop_locked()
        self._wake.set()
        with self._cond:
            self._cond.notify_all()
        if self._thread.is_alive():
            self._thread.join()
        with self._cond:
            self._frame = None  # its buffer goes back to the pool
        self._rendered = None


# ---- HTTP ------------------------------------------------------------------------------------

def _query_int(query: dict, key: str, default: int) -> int:
    text = query.get(key, [str(default)])[-1]
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise _bad(f"{key} must be a whole number, not {text!r}")
    return value


class _Handler(http.server.BaseHTTPRequestHandler):
    """One connection's requests. ``self.server.view`` is the ViewServer."""

    server_version = "corvisk-view"
    protocol_version = "HTTP/1.1"  # keep-alive: the page polls many times a second
    timeout = 30.0  # seconds an idle connection is kept

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002  (base signature)
        pass  # the console belongs to the command line's own output

    def _send(self, status: int, body: bytes, kind: str, headers: Optional[dict] = None):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, obj: Any) -> None:
        self._send(status, json.dumps(obj).encode(), "application/json")

    def _guarded(self, route: Callable[[], None]) -> None:
        try:
            if self.command == "POST":
                self._raw = self._read_body()  # read first: the connection stays in step
            self._check_origin()
            route()
        except RequestError as e:
            self.close_connection = self.close_connection or e.status in (411, 413)
            self._json(e.status, {"error": str(e)})
        except _CameraErrors as e:
            self._json(502, {"error": f"camera: {e}"})
        except (ConnectionError, socket.timeout):
            self.close_connection = True
        except (ValueError, TypeError, OverflowError) as e:  # refused by the core's checks
            self._json(400, {"error": str(e)})

    def _check_origin(self) -> None:
        view = self.server.view
        if not view.accepts_host(self.headers.get("Host", "")):
            raise RequestError(403, "unexpected Host header; open the page at " + view.url)
        origin = self.headers.get("Origin")
        if origin is not None and origin != "null" and not view.accepts_origin(origin):
            raise RequestError(403, f"requests from {origin} are not accepted")

    def do_GET(self) -> None:  # noqa: N802  (the base class's name)
        self._guarded(self._get)

    def do_POST(self) -> None:  # noqa: N802
        self._guarded(self._post)

    def _refuse(self) -> None:
        self.close_connection = True
        try:
            self._read_body()  # a small body is read so the answer is not cut by a reset
        except RequestError:
            pass
        self._send(405, b'{"error": "only GET and POST are served"}', "application/json",
                   {"Allow": "GET, POST"})

    do_HEAD = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = do_TRACE = do_CONNECT = _refuse

    def _get(self) -> None:
        url = urllib.parse.urlsplit(self.path)
        view = self.server.view
        if url.path == "/":
            self._send(200, PAGE.encode(), "text/html; charset=utf-8")
        elif url.path == "/frame.png":
            self._frame(urllib.parse.parse_qs(url.query))
        elif url.path == "/state.json":
            self._json(200, view.state())
        elif url.path == "/features.json":
            self._json(200, {"features": view.controls()})
        else:
            raise RequestError(404, f"no such page: {url.path}")

    def _frame(self, query: dict) -> None:
        after, width = (_query_int(query, key, default) for key, default in (("after", 0),
                                                                           ("width", 0)))
        if width and width < 16:
            raise _bad(f"width must be at least 16, not {width}")
        got = self.server.view.stream.newest(after, FRAME_WAIT, width or None)
        if got is None or not got[1]:
            self._send(204, b"", "image/png")
            return
        rendered, body = got
        self._send(200, body, "image/png",
                   {"X-Frame-Seq": str(rendered.seq), "X-Frame-Id": str(rendered.frame_id)})

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            raise RequestError(411, "send the body with a Content-Length")
        text = self.headers.get("Content-Length")
        if text is None:
            if self.command == "POST":
                raise RequestError(411, "a POST needs a Content-Length")
            return b""
        try:
            length = int(text)
        except ValueError:
            raise RequestError(400, f"Content-Length {text!r} is not a number") from None
        if length < 0 or length > MAX_BODY:
            if 0 < length <= 16 * MAX_BODY:
                self.rfile.read(length)  # drained, so the client reads the refusal
            raise RequestError(413, f"request body of {length} bytes is too large "
                                    f"(at most {MAX_BODY})")
        return self.rfile.read(length)

    def _body(self) -> Any:
        kind = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if kind != "application/json":
            raise RequestError(415, "send the body as application/json")
        try:
            return json.loads(self._raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            raise _bad(f"the body is not valid JSON: {e}") from None

    def _post(self) -> None:
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/features":
            raise RequestError(404, f"no such endpoint: {url.path}")
        request = self._body()
        if not isinstance(request, dict) or not isinstance(request.get("name"), str):
            raise _bad('send {"name": FEATURE, "value": VALUE}')
        unknown = set(request) - {"name", "value"}
        if unknown:
            raise _bad(f"unexpected keys: {', '.join(sorted(unknown))}")
        self._json(200, {"feature": self.server.view.write(request)})


class _Server(http.server.HTTPServer):
    """The HTTP server: one daemon thread per connection, each remembered so that close can end
    idle keep-alive connections and join every thread (the standard threading server does not
    join daemon threads)."""

    def __init__(self, address: tuple[str, int], view: "ViewServer"):
        self.view = view
        self._open: set = set()
        self._threads: list[threading.Thread] = []
        self._open_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        thread = threading.Thread(target=self._answer, args=(request, client_address),
                                  name="corvisk-view-request", daemon=True)
        with self._open_lock:
            self._open.add(request)
            self._threads = [t for t in self._threads if t.is_alive()]
            self._threads.append(thread)
        thread.start()

    def _answer(self, request: Any, client_address: Any) -> None:
        try:
            self.finish_request(request, client_address)
        except Exception:  # a browser that went away mid-answer; nothing to report
            pass
        finally:
            self.shutdown_request(request)

    def shutdown_request(self, request: Any) -> None:
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def close_all(self) -> None:
        """Ends every connection, joins their threads and closes the listening socket."""
        with self._open_lock:
            for request in self._open:
                try:
                    # Reading ends (an idle keep-alive wakes to end of file); an answer being
                    # written still reaches its client.
                    request.shutdown(socket.SHUT_RD)
                except OSError:
                    pass
            threads = list(self._threads)
        for thread in threads:
            thread.join()
        self.server_close()


# ---- the server ------------------------------------------------------------------------------

class ViewServer:
    """A running live view: open ``url`` in a browser; ``close()`` (or leaving a ``with`` block)
    stops the page, the acquisition and, when ``serve`` connected it, the camera."""

    def __init__(self, cam: Any, owns_camera: bool, port: int, bind: str, n_buffers: int,
                 max_width: int):
        self.camera = cam
        self._owns_camera = owns_camera
        self._closed = threading.Event()
        self._close_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self.stream = _Stream(cam, n_buffers, max_width)
        self._httpd = _Server((bind, port), self)
        host, self.port = self._httpd.server_address[:2]
        shown = "localhost" if ipaddress.ip_address(host).is_loopback else host
        self.url = f"http://{host}:{self.port}/"
        self._hosts = {f"{h}:{self.port}" for h in (host, shown, "localhost", "127.0.0.1")}
        self._any_host = ipaddress.ip_address(host).is_unspecified
        self.stream.start()
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.1,),
                                        name="corvisk-view-http", daemon=True)
        self._thread.start()

    def __repr__(self) -> str:
        return f"ViewServer({self.url}, {'closed' if self.closed else 'serving'})"

    def __enter__(self) -> "ViewServer":
        return self

    def __exit__(self, *_exc: Any) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until the server is closed or `timeout` seconds passed; True once closed."""
        return self._closed.wait(timeout)

    def accepts_host(self, host: str) -> bool:
        return self._any_host or host in self._hosts

    def accepts_origin(self, origin: str) -> bool:
        url = urllib.parse.urlsplit(origin)
        return url.scheme == "http" and self.accepts_host(url.netloc)

    def state(self) -> dict:
        """What the page shows: rates, counters, the newest frame and its histogram."""
        out = self.stream.state()
        d = self.camera.device_info()
        out["device"] = {"model": d.model, "manufacturer": d.manufacturer, "serial": d.serial,
                         "ip": d.ip}
        return out

    def controls(self) -> list[dict]:
        """The controls as the page draws them (features the camera lacks are left out)."""
        out = []
        for name in control_names(self.camera):
            c = _control(self.camera, name)
            if c is not None:
                out.append(c)
        return out

    def write(self, request: dict) -> dict:
        """Writes ``request["value"]`` to ``request["name"]`` (one of the controls) and returns
        that control as read back; RequestError when the request or the camera refuses."""
        name = request["name"]
        if name not in control_names(self.camera):
            raise RequestError(404, f"{name} is not one of this page's controls")
        with self._write_lock:  # one write (and restart) at a time
            try:
                info = describe(self.camera, name)
                if name in RESIZING or (name in LAYOUT and info.access not in ("RW", "WO")):
                    # Refuse what cannot be right before stopping anything; the access and the
                    # limits are checked again once the acquisition has let go of the lock.
                    _checked_value(dataclasses.replace(info, access="RW") if _writable(info)
                                   else info, request)
                    self.stream.restarted(lambda: self._checked_write(name, request))
                else:
                    self._checked_write(name, request)
            except _CameraErrors as e:
                raise RequestError(409, f"cannot set {name}: {e}") from None
            return _control(self.camera, name) or {}

    def _checked_write(self, name: str, request: dict) -> None:
        # Described right before the write: ROI features are read-only while the acquisition
        # holds the transport parameters locked, and their limits change with each other.
        info = describe(self.camera, name)
        _writer(self.camera, info, _checked_value(info, request))()

    def close(self) -> None:
        """Stops serving, ends every connection, stops the acquisition, and disconnects the
        camera when ``serve`` connected it. Idempotent; every thread is joined."""
        with self._close_lock:
            if self._closed.is_set():
                return
            self._httpd.shutdown()
            self._thread.join()
            self.stream.close()  # wakes requests waiting for a frame
            self._httpd.close_all()
            if self._owns_camera:
                self.camera.disconnect()
            self._closed.set()


def serve(cam_or_ip: Any, port: int = 0, *, bind: str = "127.0.0.1", n_buffers: int = 8,
          max_width: int = 1280) -> ViewServer:
    """Serves a live view of a camera on ``http://BIND:PORT/`` and returns the running server.

    ``cam_or_ip`` is a connected ``corvisk.Camera`` (left connected by ``close()``) or an IPv4
    address (connected here, disconnected by ``close()``). ``port`` 0 picks a free port
    (``.url`` tells which). ``bind`` is the address to listen on, loopback by default: any other
    lets every host that reaches it change the camera's settings. Images wider than
    ``max_width`` are scaled down by whole factors. ``n_buffers`` is the
    acquisition's buffer count.
    """
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be an integer 0..65535, not {port!r}")
    if isinstance(max_width, bool) or not isinstance(max_width, int) or max_width < 16:
        raise ValueError(f"max_width must be an integer of at least 16, not {max_width!r}")
    try:
        ipaddress.IPv4Address(bind)
    except ValueError:
        raise ValueError(f"bind must be an IPv4 address, not {bind!r}") from None
    owns = isinstance(cam_or_ip, str)
    cam = _core.Camera(cam_or_ip) if owns else cam_or_ip
    if owns:
        cam.connect()
    elif not cam.is_connected():
        raise ValueError("the camera is not connected; call connect() first or pass its address")
    try:
        return ViewServer(cam, owns, port, bind, n_buffers, max_width)
    except BaseException:
        if owns:
            cam.disconnect()
        raise


# ---- command line ----------------------------------------------------------------------------

SUMMARY = "serve a live view of a camera in the web browser (Ctrl-C stops it)"


def arguments(parser: Any) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("--port", type=int, default=8080,
                        help="HTTP port (default: 8080; 0 picks a free one)")
    parser.add_argument("--bind", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1, this host only)")
    parser.add_argument("--max-width", type=int, default=1280,
                        help="scale wider images down to this width (default: 1280)")


def run(args: Any, connect: Callable[[str], Any], out: Any = None) -> int:
    """The ``view`` command: connects with `connect(ip)`, serves until Ctrl-C (or SIGTERM),
    then stops everything."""
    import signal
    import sys

    out = out or sys.stdout
    if not ipaddress.ip_address(args.bind).is_loopback:
        print(f"warning: listening on {args.bind}: every host that reaches it can change the "
              "camera's settings", file=sys.stderr)
    cam = connect(args.ip)
    try:
        server = serve(cam, args.port, bind=args.bind, max_width=args.max_width)
    except OSError as e:
        cam.disconnect()
        raise ValueError(f"cannot listen on {args.bind}:{args.port}: {e.strerror or e}; "
                         "choose another --port") from None
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, signal.default_int_handler) if main else None
    try:
        print(f"live view of {args.ip} at {server.url} (Ctrl-C stops it)", file=out, flush=True)
        while not server.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        if main:
            signal.signal(signal.SIGTERM, previous)
        server.close()
        cam.disconnect()
    print("live view stopped", file=out, flush=True)
    return 0
