"""Recording a stream to disk: ``corvisk.Recorder``.

    with cam.start_acquisition(n_buffers=16) as acq, corvisk.Recorder(acq, "out", "raw") as rec:
        time.sleep(10)
    print(rec.written, rec.dropped)

Two threads of the recorder's own do the work, so the caller and the stream never wait on
the disk:

- the *reader* waits for frames on the source (the acquisition's built-in subscription, or a
  ``FrameChannel`` passed instead) with the interpreter lock released, copies each frame's
  payload out of its pool buffer and hands the copy to a bounded queue. The copy is what keeps
  the acquisition fed: a frame held by Python keeps its buffer out of the stream's pool, so a
  queue of held frames would starve the camera of buffers as soon as the disk fell behind. A
  full queue drops the frame (counted in ``dropped`` and listed in the index); the reader never
  blocks on it.
- the *writer* takes copies off the queue and writes one file per frame (``frame_000000.tiff``
  and so on, in the chosen format), so memory stays bounded at ``queue`` frames.

``stop()`` (or ``close()``, or leaving the ``with`` block) stops the reader, lets the writer
finish every queued frame, joins both threads and writes ``index.json``: one entry per frame
received (file name or ``null`` when dropped, frame id, timestamps, status, size and format),
the counts, and the stream's counters. The first error on the writer (an unwritable file, a
full disk) ends the writing and is raised by ``stop()``; later frames are counted as dropped.
"""

from __future__ import annotations

import json
import os
import queue as _queue
import tempfile
import threading
import time
import weakref
from pathlib import Path
from typing import Any, Optional

from .image import _numpy, _Raster, as_array, save, tiff_header

__all__ = ["Recorder", "FORMATS"]

FORMATS = ("tiff", "png", "npy", "raw")
_SUFFIX = {"tiff": ".tiff", "png": ".png", "npy": ".npy", "raw": ".raw"}
_WAIT = 0.1  # seconds per wait on the source: how soon the reader sees a stop
_STATS = ("completed_frames", "failed_frames", "frames_dropped", "underruns", "missing_frames",
          "missing_packets", "resend_requests", "resent_packets")


_LIVE: "weakref.WeakSet[Recorder]" = weakref.WeakSet()


def _stop_all_at_exit() -> None:
    """A recorder still running when the program ends would keep it waiting for its threads
    for ever; stop each one (which also writes its index) before the interpreter joins them."""
    for rec in list(_LIVE):
        try:
            rec.stop()
        except BaseException:  # noqa: BLE001  (nobody is left to tell)
            pass


# Runs before the interpreter waits for non-daemon threads (what atexit cannot do).
getattr(threading, "_register_atexit", lambda f: None)(_stop_all_at_exit)


class _FrameCopy(bytes):
    """A frame's payload copied out of its pool buffer, with the frame's attributes.

    Being ``bytes`` it exports the buffer the image writers read, so ``save`` and ``as_array``
    take it as they take a ``Frame``."""

    def data(self) -> bytes:
        return bytes(self)


def _copy(frame: Any) -> _FrameCopy:
    copy = _FrameCopy(memoryview(frame))
    for name in ("status", "is_complete", "frame_id", "width", "height", "x_offset", "y_offset",
                 "pixel_format", "pixel_format_code", "bits_per_pixel", "timestamp_ns",
                 "timestamp_ticks", "system_timestamp_ns", "received_size"):
        setattr(copy, name, getattr(frame, name))
    padding = getattr(frame, "padding_x", None)
    if padding is not None:
        copy.padding_x = padding
    return copy


_MONO8 = 0x01080001


def _plain_mono8(copy: _FrameCopy) -> bool:
    """Mono8 with exactly one byte per pixel: its TIFF strip is the payload as it is."""
    return (copy.pixel_format_code == _MONO8 and len(copy) == copy.width * copy.height
            and not getattr(copy, "padding_x", 0))


def _write_file(path: Path, parts: list) -> None:
    """Writes the parts to a new file with os.writev: no copies, the interpreter lock
    released during the system calls."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        views = [memoryview(p).cast("B") for p in parts]
        while views:
            n = os.writev(fd, views)
            while views and n >= len(views[0]):
                n -= len(views[0])
                views.pop(0)
            if views:
                views[0] = views[0][n:]
    finally:
        os.close(fd)


def _status_name(status: Any) -> str:
    return repr(status).rpartition(".")[2]


def _entry(frame: Any, file: Optional[str]) -> dict:
    return {"file": file, "frame_id": frame.frame_id, "status": _status_name(frame.status),
            "timestamp_ns": frame.timestamp_ns, "timestamp_ticks": frame.timestamp_ticks,
            "system_timestamp_ns": frame.system_timestamp_ns, "width": frame.width,
            "height": frame.height, "pixel_format": frame.pixel_format,
            "received_size": frame.received_size}


def _check_directory(directory: Path, overwrite: bool) -> None:
    """Creates the directory and proves a file can be made in it, so an unwritable target
    fails here, in the caller's thread, rather than later on the writer."""
    try:
        directory.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=directory, prefix=".corvisk-probe-"):
            pass
    except OSError as e:
        raise OSError(e.errno, f"cannot record into {str(directory)!r}: "
                               f"{e.strerror or e}") from None
    if not overwrite and (directory / "index.json").exists():
        raise FileExistsError(f"{str(directory)!r} already holds a recording (index.json); "
                              "choose another directory or pass overwrite=True")


class Recorder:
    """Writes the frames of an acquisition to ``directory`` on background threads.

    ``source``: an ``Acquisition`` (its built-in subscription is read, so nothing else should
    read it meanwhile) or a ``FrameChannel`` from ``acquisition.subscribe()``. ``format``:
    ``"tiff"``, ``"png"``, ``"npy"`` (needs numpy) or ``"raw"`` (the payload as received).
    ``queue``: frames held in memory waiting for the disk, at most (each a copy of the
    payload). ``incomplete``: also write frames that lost packets (their status is in the
    index either way). ``overwrite``: allow a directory that already holds an index.
    ``max_frames``: take this many frames, then stop reading (``done()`` turns true).
    """

    def __init__(self, source: Any, directory: Any, format: str = "tiff", *, queue: int = 32,
                 incomplete: bool = True, overwrite: bool = False,
                 max_frames: Optional[int] = None):
        if format not in FORMATS:
            raise ValueError(f"unknown recording format {format!r}; use one of "
                             f"{', '.join(FORMATS)}")
        if isinstance(queue, bool) or not isinstance(queue, int) or queue < 1:
            raise ValueError(f"queue must be a positive number of frames, not {queue!r}")
        if max_frames is not None and (isinstance(max_frames, bool) or not isinstance(
                max_frames, int) or max_frames < 1):
            raise ValueError(f"max_frames must be a positive number of frames or None, not "
                             f"{max_frames!r}")
        if not callable(getattr(source, "wait_for", None)):
            raise TypeError(f"Recorder records an Acquisition or a FrameChannel, not "
                            f"{type(source).__name__}")
        if format == "npy":
            _numpy("Recorder")  # fail now, saying how to install it, not on the writer
        self.directory = Path(directory)
        self.format = format
        _check_directory(self.directory, overwrite)
        self._source = source
        self._incomplete = incomplete
        self._max_frames = max_frames
        self._queue: _queue.Queue = _queue.Queue(queue)
        self._entries: list[dict] = []
        self._lock = threading.Lock()  # guards _entries, _error and the counters
        self._error: Optional[BaseException] = None
        self._stopping = threading.Event()
        self._stopped = False
        self._received = self._written = self._dropped = self._skipped = 0
        self._bytes = 0
        self._stats_start = self._stream_stats()
        self._stats_end: Optional[dict] = None
        self._started = time.monotonic()
        self._elapsed: Optional[float] = None
        self._writer = threading.Thread(target=self._write_loop, name="corvisk-record-writer")
        self._reader = threading.Thread(target=self._read_loop, name="corvisk-record-reader")
        self._writer.start()
        self._reader.start()
        _LIVE.add(self)

    # ---- counters ----------------------------------------------------------------------------

    @property
    def received(self) -> int:
        """Frames taken from the source."""
        return self._received

    @property
    def written(self) -> int:
        """Frames written to files."""
        return self._written

    @property
    def dropped(self) -> int:
        """Frames received but not written: the queue was full, or writing had failed."""
        return self._dropped

    @property
    def skipped(self) -> int:
        """Incomplete frames left out because ``incomplete`` is false."""
        return self._skipped

    @property
    def bytes_written(self) -> int:
        """Payload bytes of the frames written."""
        return self._bytes

    @property
    def queued(self) -> int:
        """Frames waiting for the disk right now."""
        return self._queue.qsize()

    @property
    def error(self) -> Optional[BaseException]:
        """The error that ended the writing, or None."""
        return self._error

    @property
    def elapsed(self) -> float:
        """Seconds from start to stop (or to now while running)."""
        return self._elapsed if self._elapsed is not None else time.monotonic() - self._started

    def is_stopped(self) -> bool:
        return self._stopped

    def done(self) -> bool:
        """True once nothing more will be read: max_frames taken, or the stream ended."""
        return not self._reader.is_alive()

    def __repr__(self) -> str:
        state = "stopped" if self._stopped else "running"
        return (f"Recorder({str(self.directory)!r}, {self.format}, {state}, "
                f"written={self._written}, dropped={self._dropped})")

    # ---- threads -----------------------------------------------------------------------------

    def _take(self, frame: Any, block: bool) -> None:
        """Queues a copy of `frame` for the writer, or counts it dropped."""
        self._received += 1
        if not frame.is_complete and not self._incomplete:
            with self._lock:
                self._skipped += 1
                self._entries.append(_entry(frame, None))
            return
        if self._error is None:
            copy = _copy(frame)
            del frame  # the pool buffer goes home now; the copy waits for the disk
            try:
                self._queue.put(copy, block=block)
                return
            except _queue.Full:
                frame = copy
        with self._lock:
            self._dropped += 1
            self._entries.append(_entry(frame, None))

    def _read_loop(self) -> None:
        try:
            counted = time.monotonic()
            while not self._stopping.is_set():
                if self._max_frames is not None and self._received >= self._max_frames:
                    self._stats_end = self._stream_stats() or self._stats_end
                    return
                begun = time.monotonic()
                frame = self._source.wait_for(_WAIT)
                if frame is not None:
                    self._take(frame, block=False)
                elif time.monotonic() - begun < _WAIT / 2:
                    break  # an empty answer without waiting: the stream has ended
                if begun - counted >= 0.5:  # the counters as of the last sight of the stream
                    self._stats_end = self._stream_stats() or self._stats_end
                    counted = begun
            # Frames that reached the source before the stop are still recorded; the writer
            # is draining, so waiting for room here is short.
            for frame in self._source.recv_all():
                self._take(frame, block=True)
            self._stats_end = self._stream_stats() or self._stats_end
        except BaseException as e:  # noqa: BLE001  (surfaces at stop)
            self._fail(e)
        finally:
            self._queue.put(None)

    def _fail(self, error: BaseException) -> None:
        with self._lock:
            if self._error is None:
                self._error = error

    def _write_loop(self) -> None:
        seq = 0
        suffix = _SUFFIX[self.format]
        while (copy := self._queue.get()) is not None:
            name = f"frame_{seq:06d}{suffix}"
            written = False
            if self._error is None:
                try:
                    self._write(copy, self.directory / name)
                    written = True
                    seq += 1
                except BaseException as e:  # noqa: BLE001  (surfaces at stop)
                    self._fail(e)
            with self._lock:
                self._entries.append(_entry(copy, name if written else None))
                if written:
                    self._written += 1
                    self._bytes += len(copy)
                else:
                    self._dropped += 1

    def _write(self, copy: _FrameCopy, path: Path) -> None:
        if self.format == "raw":
            _write_file(path, [copy])
        elif self.format == "tiff" and _plain_mono8(copy):
            # The common case without conversions: header and payload straight from the copy.
            header = tiff_header(_Raster(None, copy.width, copy.height, 1, 8, 8), len(copy))
            _write_file(path, [header, copy])
        elif self.format == "npy":
            with open(path, "wb") as f:
                _numpy("Recorder").save(f, as_array(copy, allow_incomplete=True))
        else:
            save(copy, path, allow_incomplete=True)

    # ---- stopping ----------------------------------------------------------------------------

    def _stream_stats(self) -> Optional[dict]:
        stats = getattr(self._source, "stats", None)
        try:
            s = stats() if stats else None
        except ValueError:  # the acquisition is stopped
            return None
        return None if s is None else {name: getattr(s, name) for name in _STATS}

    def stop(self) -> None:
        """Stops reading, writes every queued frame, joins the threads and writes the index.
        Idempotent. Raises the error that ended the writing, if any."""
        if not self._stopped:
            self._stopping.set()
            for thread in (self._reader, self._writer):
                while thread.is_alive():
                    thread.join(_WAIT)  # in slices, so Ctrl-C still interrupts
            self._stopped = True
            _LIVE.discard(self)
            self._elapsed = time.monotonic() - self._started
            self._write_index()
        if self._error is not None:
            raise self._error

    close = stop

    @property
    def stream_stats(self) -> Optional[dict]:
        """The stream's counters over the recording (completed_frames, frames_dropped,
        underruns, ...; for every subscriber of the stream), as last seen by the reader; None
        for a source without counters."""
        end, start = self._stats_end, self._stats_start
        if end is None or start is None:
            return None
        return {k: end[k] - start[k] for k in _STATS}

    def _index(self) -> dict:
        stream = self.stream_stats
        with self._lock:
            entries = sorted(self._entries, key=lambda e: e["system_timestamp_ns"])
            return {"format": self.format, "seconds": round(self.elapsed, 6),
                    "received": self._received, "written": self._written,
                    "dropped": self._dropped, "skipped": self._skipped,
                    "bytes": self._bytes, "stream": stream,
                    "error": None if self._error is None else str(self._error),
                    "frames": entries}

    def _write_index(self) -> None:
        path = self.directory / "index.json"
        part = path.with_name(".index.json.part")
        try:
            with open(part, "w") as f:
                json.dump(self._index(), f, indent=1)
                f.write("\n")
            os.replace(part, path)
        except OSError as e:
            self._fail(e)

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, exc_type, exc, tb) -> bool:
        if exc is None:
            self.stop()
            return False
        try:
            self.stop()
        except BaseException as e:  # noqa: BLE001  (the block's own exception goes first)
            exc.add_note(f"the recorder also failed: {e}")
        return False
