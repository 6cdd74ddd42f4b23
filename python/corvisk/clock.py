"""Device time to host time: comparing the timestamps of frames from different cameras.

Each camera stamps its frames with its own counter (ticks since power-up, or PTP time when the
camera is PTP-synchronised). ``clock(cam)`` latches the counter a few times, pairs each latched
value with the host wall-clock time halfway through the latch's round trip, and keeps the pair
with the shortest round trip: the mapping is then off by at most half that round trip
(``uncertainty_ns``) plus the drift since the sync. ``resync()`` measures again and, from the
two syncs, the counter's drift against the host clock, which later conversions correct.

    >>> clk = corvisk.clock(cam)
    >>> clk.to_host_ns(frame.timestamp_ticks)   # host wall-clock ns, like system_timestamp_ns
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Optional

from ._corvisk_core import Camera

_LATCH = ("GevTimestampControlLatch", "TimestampLatch")
_VALUE = ("GevTimestampValue", "TimestampLatchValue")
_FREQUENCY = ("GevTimestampTickFrequency",)
_PTP_ENABLE = ("PtpEnable", "GevIEEE1588")
_PTP_STATUS = ("PtpStatus", "GevIEEE1588Status")
_PTP_DATASET_LATCH = ("PtpDataSetLatch",)
_PTP_OFFSET = ("PtpOffsetFromMaster",)


@dataclass(frozen=True)
class PtpState:
    """What the camera reports of its PTP (IEEE 1588) clock synchronisation."""

    enabled: bool
    status: Optional[str]  # e.g. "Slave", "Master", "Listening"; None when not described
    offset_from_master_ns: Optional[int]

    @property
    def synchronised(self) -> bool:
        """True when the camera follows a PTP master (its timestamps are PTP time)."""
        return self.enabled and self.status == "Slave"


def _first(cam: Camera, names) -> Optional[str]:
    return next((n for n in names if cam.has_feature(n)), None)


def ptp_state(cam: Camera) -> Optional[PtpState]:
    """The camera's PTP state, or None when its description has no PTP features."""
    enable = _first(cam, _PTP_ENABLE)
    if enable is None:
        return None
    status = _first(cam, _PTP_STATUS)
    offset = None
    latch, offset_name = _first(cam, _PTP_DATASET_LATCH), _first(cam, _PTP_OFFSET)
    if offset_name is not None:
        if latch is not None:
            cam.execute(latch)
        offset = cam.get_integer(offset_name)
    return PtpState(cam.get_boolean(enable), cam.get_enum(status) if status else None, offset)


class DeviceClock:
    """The mapping between one camera's timestamp counter and the host's wall clock."""

    def __init__(self, cam: Camera, samples: int = 8) -> None:
        if not isinstance(cam, Camera):
            raise TypeError(f"expected a corvisk.Camera, got {type(cam).__name__}")
        if isinstance(samples, bool) or not isinstance(samples, int) or samples < 1:
            raise ValueError(f"samples must be a positive int, got {samples!r}")
        self._cam = cam
        self._samples = samples
        self._latch = _first(cam, _LATCH)
        self._value = _first(cam, _VALUE)
        if self._latch is None or self._value is None:
            raise ValueError("the camera's description has no timestamp latch "
                             "(GevTimestampControlLatch / TimestampLatch and its value)")
        freq = _first(cam, _FREQUENCY)
        # Without a tick-frequency feature the timestamp counts nanoseconds.
        self.tick_frequency = cam.get_integer(freq) if freq else 1_000_000_000
        if self.tick_frequency <= 0:
            raise ValueError(f"the camera reports a tick frequency of {self.tick_frequency}")
        self.drift_ppm = 0.0
        self._previous: Optional[tuple[int, int]] = None
        self.resync()

    def _sample(self) -> tuple[int, int, int]:
        t0 = time.time_ns()
        self._cam.execute(self._latch)
        t1 = time.time_ns()
        return t1 - t0, (t0 + t1) // 2, self._cam.get_integer(self._value)

    def resync(self) -> None:
        """Measures the mapping again; the drift follows from the previous sync."""
        round_trip, host, ticks = min(self._sample() for _ in range(self._samples))
        if self._previous is not None:
            prev_host, prev_ticks = self._previous
            elapsed = host - prev_host
            if elapsed > 0:
                device = (ticks - prev_ticks) * 1e9 / self.tick_frequency
                self.drift_ppm = (device - elapsed) / elapsed * 1e6
        self._previous = (host, ticks)
        self.host_ns = host
        self.device_ticks = ticks
        self.uncertainty_ns = (round_trip + 1) // 2
        self.ptp = ptp_state(self._cam)

    @property
    def offset_ns(self) -> int:
        """Host wall-clock time minus device time (in ns) at the last sync."""
        return self.host_ns - self.device_ticks * 1_000_000_000 // self.tick_frequency

    def to_host_ns(self, device_ticks: int) -> int:
        """Host wall-clock ns (like ``Frame.system_timestamp_ns``) at a device time in ticks."""
        # Integer arithmetic: PTP counters are near 2**61, beyond a float's exact range.
        f = self.tick_frequency
        device_ns = ((device_ticks - self.device_ticks) * 2_000_000_000 + f) // (2 * f)
        correction = round(device_ns * self.drift_ppm / (1e6 + self.drift_ppm))
        return self.host_ns + device_ns - correction

    def to_device_ticks(self, host_ns: int) -> int:
        """The device time in ticks at a host wall-clock time (e.g. to schedule an action)."""
        elapsed = host_ns - self.host_ns
        device_ns = elapsed + round(elapsed * self.drift_ppm / 1e6)
        return self.device_ticks + (device_ns * self.tick_frequency * 2 + 1_000_000_000) // \
            2_000_000_000

    def __repr__(self) -> str:
        return (f"DeviceClock(tick_frequency={self.tick_frequency}, offset_ns={self.offset_ns}, "
                f"uncertainty_ns={self.uncertainty_ns}, drift_ppm={self.drift_ppm:.3f})")


def clock(cam: Camera, *, samples: int = 8) -> DeviceClock:
    """Synchronises a mapping of the connected camera's timestamps to host time."""
    return DeviceClock(cam, samples)
