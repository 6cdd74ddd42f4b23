"""asyncio front end: frames and snaps awaited without blocking the event loop.

    async with corvisk.aio.frames(acq) as frames:
        async for frame in frames:
            ...
    frame = await corvisk.aio.snap(cam, 2.0)

Threading. The library's waits block a thread (with the interpreter lock released), so every
wait runs on a worker thread and the event loop only awaits its result:

- ``frames(source)`` owns one worker thread ("corvisk-aio-frames"), started on the first
  ``__anext__`` and ended by ``aclose()`` (or leaving ``async with``, or the end of the
  stream). Each ``__anext__`` asks that thread for one frame; it waits on the source in slices
  of 50 ms, so a cancelled ``__anext__`` returns at once and the thread is idle again within
  50 ms. A frame that arrives for a cancelled request is kept and handed to the next
  ``__anext__``: cancelling loses no frame and leaves the acquisition running and usable
  (iterate again, call ``wait_for``, or ``stop()`` it). The iterator holds at most one frame,
  so it never keeps the stream's buffers from the pool.
- ``snap(cam_or_session, timeout)`` runs the blocking ``snap`` on the event loop's default
  executor. Cancelling the await returns at once; the snap itself cannot be interrupted and
  finishes on its thread within ``timeout`` (the camera stays busy with "a snap" until then,
  and its frame is discarded).

Frames, acquisitions and cameras may be used from the loop's thread and the worker threads
alike: the library's objects are thread-safe.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import math
import threading
import time
from typing import Any, Optional

__all__ = ["frames", "snap", "FrameIterator"]

_SLICE = 0.05  # seconds per wait on the source: how long a cancelled request keeps the thread


class FrameIterator:
    """The async iterator returned by ``frames()``."""

    def __init__(self, source: Any, timeout: Optional[float]):
        if not callable(getattr(source, "wait_for", None)):
            raise TypeError(f"aio.frames takes an Acquisition or a FrameChannel, not "
                            f"{type(source).__name__}")
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(
                timeout, (int, float)) or not math.isfinite(timeout) or timeout <= 0):
            raise ValueError(f"timeout must be a positive number of seconds or None, not "
                             f"{timeout!r}")
        self._source = source
        self._timeout = timeout
        self._executor: Optional[concurrent.futures.ThreadPoolExecutor] = None
        self._inflight: Optional[asyncio.Future] = None
        self._cancel = threading.Event()  # set: the request in flight is no longer wanted
        self._kept: Optional[Any] = None  # a frame whose request was cancelled
        self._ended = False
        self._closed = False

    @staticmethod
    def _wait_one(source: Any, timeout: Optional[float],
                  cancel: threading.Event) -> tuple[str, Any]:
        """Worker thread: the next frame, or why there is none ("ended", "timeout",
        "cancelled"). It holds no reference to the iterator, so a forgotten iterator is
        collected and its __del__ releases the thread."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not cancel.is_set():
            begun = time.monotonic()
            frame = source.wait_for(_SLICE)
            if frame is not None:
                return "frame", frame
            if time.monotonic() - begun < _SLICE / 2:
                return "ended", None  # an empty answer without waiting: the stream has ended
            if deadline is not None and time.monotonic() >= deadline:
                return "timeout", None
        return "cancelled", None

    def __aiter__(self) -> "FrameIterator":
        return self

    async def __anext__(self) -> Any:
        if self._closed or self._ended:
            raise StopAsyncIteration
        await self._finish_cancelled()
        if self._kept is not None:
            frame, self._kept = self._kept, None
            return frame
        if self._executor is None:
            self._executor = concurrent.futures.ThreadPoolExecutor(
                1, thread_name_prefix="corvisk-aio-frames")
        cancel = self._cancel = threading.Event()
        future = asyncio.wrap_future(self._executor.submit(self._wait_one, self._source, self._timeout, cancel))
        try:
            # Shielded: cancelling the caller must not cancel the request, whose frame (if it
            # finds one) is kept for the next call.
            kind, frame = await asyncio.shield(future)
        except asyncio.CancelledError:
            cancel.set()
            self._inflight = future
            raise
        if kind == "frame":
            return frame
        if kind == "timeout":
            raise TimeoutError(f"no frame arrived within {self._timeout:g} s")
        self._ended = True
        self._shutdown()
        raise StopAsyncIteration

    async def _finish_cancelled(self) -> None:
        """Waits out a cancelled request (at most one slice) and keeps a frame it found.
        Shielded, so cancelling this wait leaves the request to the next call."""
        if self._inflight is not None:
            kind, frame = await asyncio.shield(self._inflight)
            self._inflight = None
            if kind == "frame":
                self._kept = frame

    def _shutdown(self) -> None:
        self._cancel.set()
        if self._executor is not None:
            self._executor.shutdown(wait=False)
            self._executor = None

    async def aclose(self) -> None:
        """Stops the worker thread (within one 50 ms slice) and drops a kept frame."""
        self._closed = True
        self._shutdown()
        await self._finish_cancelled()
        self._kept = None

    def __del__(self) -> None:
        # A loop left with `break` never calls aclose(): release the worker thread anyway
        # (interpreter exit joins executor threads).
        cancel = getattr(self, "_cancel", None)
        if cancel is not None:
            cancel.set()

    async def __aenter__(self) -> "FrameIterator":
        return self

    async def __aexit__(self, *_exc: object) -> bool:
        await self.aclose()
        return False


def frames(source: Any, *, timeout: Optional[float] = None) -> FrameIterator:
    """``async for frame in frames(acquisition)``: the frames of an ``Acquisition`` (its
    built-in subscription) or of a ``FrameChannel``, waited for on a worker thread.

    Ends when the stream has ended and every queued frame is taken. ``timeout``: seconds
    without a frame after which ``__anext__`` raises TimeoutError (None waits for ever).
    """
    return FrameIterator(source, timeout)


async def snap(camera: Any, timeout: float = 5.0, **options: Any) -> Any:
    """``await snap(cam)``: ``cam.snap(timeout, **options)`` (or a ``SnapshotSession``'s
    ``snap(timeout)``) on the loop's default executor; raises what ``snap`` raises."""
    if not callable(getattr(camera, "snap", None)):
        raise TypeError(f"aio.snap takes a Camera or a SnapshotSession, not "
                        f"{type(camera).__name__}")
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, functools.partial(camera.snap, timeout, **options))
