"""Keeping a continuous acquisition going while the device comes and goes."""

from __future__ import annotations

import time
from typing import Any, Iterator, Optional

from ._corvisk_core import Acquisition, Camera, CameraError, Frame, GenicamError

__all__ = ["Reconnector"]

# How long one wait for a frame lasts before the deadline is checked again.
_SLICE = 0.5


class Reconnector:
    """Runs a continuous acquisition on ``camera`` and re-establishes it whenever the device
    is lost: a power cycle, a cable pulled, control taken away.

    ``frames()`` yields the acquisition's frames. When the link fails (the acquisition raises
    ``CameraError``), the frames already received are handed out first; then the broken
    acquisition is stopped, and every ``retry_interval`` seconds the camera is connected again
    and a new acquisition started with the same ``acquisition_options`` (the keyword arguments
    of ``Camera.start_acquisition``) until it works. Each re-establishment adds one to
    ``reconnects``. Ctrl-C interrupts every wait.

    Use as a context manager, or call ``close()``, to stop the acquisition at the end::

        with corvisk.Reconnector(camera, n_buffers=16) as rec:
            for frame in rec.frames():
                process(frame)
    """

    def __init__(self, camera: Camera, *, retry_interval: float = 0.5,
                 **acquisition_options: Any) -> None:
        if not retry_interval >= 0:
            raise ValueError("retry_interval must not be negative")
        self.camera = camera
        self.retry_interval = float(retry_interval)
        self.acquisition_options = acquisition_options
        #: How often the acquisition was re-established after it had been running.
        self.reconnects = 0
        #: The running acquisition, or None between a loss and its re-establishment.
        self.acquisition: Optional[Acquisition] = None
        #: The error of the last failed attempt, or of the last loss.
        self.last_error: Optional[Exception] = None
        self._established = False

    def frames(self, timeout: Optional[float] = None) -> Iterator[Frame]:
        """Yields frames for ever, or until ``timeout`` seconds pass without one (losses and
        reconnects included). Then it raises the last connection error if the link was down,
        or simply ends if the stream was only quiet."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self.acquisition is None and not self._establish(deadline):
                if self.last_error is not None:
                    raise self.last_error
                return
            frame = self._next(deadline)
            if frame is not None:
                if timeout is not None:
                    deadline = time.monotonic() + timeout
                yield frame
            elif self.acquisition is not None and _passed(deadline):
                return

    def close(self) -> None:
        """Stops the acquisition (if one is running). Idempotent."""
        self._drop()

    def __enter__(self) -> "Reconnector":
        return self

    def __exit__(self, *_args: Any) -> bool:
        self.close()
        return False

    def __repr__(self) -> str:
        return f"Reconnector({self.camera!r}, running={self.acquisition is not None}, " \
               f"reconnects={self.reconnects})"

    # ---- internals ------------------------------------------------------------------------

    def _next(self, deadline: Optional[float]) -> Optional[Frame]:
        """One wait for a frame; a lost link drops the acquisition and returns None."""
        wait = _SLICE if deadline is None else max(0.0, min(_SLICE, deadline - time.monotonic()))
        try:
            return self.acquisition.wait_for(wait)
        except CameraError as lost:
            self.last_error = lost
            self._drop()
            return None

    def _establish(self, deadline: Optional[float]) -> bool:
        """Connects and starts an acquisition, retrying until the deadline; True once running."""
        while True:
            try:
                self.camera.connect()  # a no-op on a live link; replaces a dead one
                self.acquisition = self.camera.start_acquisition(**self.acquisition_options)
            except (CameraError, GenicamError) as failed:
                self.last_error = failed
            else:
                if self._established:
                    self.reconnects += 1
                self._established = True
                self.last_error = None
                return True
            if _passed(deadline):
                return False
            time.sleep(self.retry_interval)

    def _drop(self) -> None:
        acquisition, self.acquisition = self.acquisition, None
        if acquisition is not None:
            try:
                acquisition.stop()
            except (CameraError, GenicamError):
                pass  # the device is gone; the stream is closed all the same


def _passed(deadline: Optional[float]) -> bool:
    return deadline is not None and time.monotonic() >= deadline
