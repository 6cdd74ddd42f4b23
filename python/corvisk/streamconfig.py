"""Stream settings of a camera beyond the capture methods' keyword arguments.

``stream_config(cam)`` returns the settings every later ``snap``, ``start_acquisition`` and
``snapshot_session`` of that camera uses; keywords change them first:

- ``recv_buffer``: the stream socket's receive buffer in bytes; 0 sizes it from the frame
  (room for two frames as the kernel accounts them, at least 256 KiB).
- ``recv_buffer_max``: the ceiling of that automatic size; 0 restores the default (64 MiB).
- ``pool_memory_limit``: the memory the frame pool (n_buffers x PayloadSize) may take; a
  larger pool is refused before the camera is touched. 0 restores the default (a quarter of
  the host's physical memory).

and how lost packets are asked for again (durations in seconds):

- ``resend_initial_delay``: how long a packet must be missing before it is first asked for
  (default 1 ms; packets that only arrive out of order are not requested within it).
- ``resend_interval``: how often a packet still missing is asked for again, and how long a
  frame may go quiet before it is searched for holes (default 20 ms). A device whose resends
  arrive within a millisecond or two, streaming faster than its frames can wait, recovers more
  frames with a shorter interval.
- ``frame_timeout``: how long a frame may receive no packet before it is delivered incomplete
  (default 100 ms).
- ``resend_ratio``: each frame's budget of re-requests, as a fraction of its packets (default
  0.25; 0 asks for no packet again). A lost packet's first request is not counted.

and how the stream worker waits for packets:

- ``receive_moderation``: while a frame streams in about as fast as the worker reads it, the
  worker pauses this long each time it has emptied the socket, so that one receive takes a
  batch of packets instead of being woken for every one or two (default 50 us, at most 1 ms;
  0 never pauses; a stream the kernel hands over coalesced never pauses either). A frame may be
  delivered up to this much (plus the system's timer slack) later; at 150,000 packets a second
  and more the stream's CPU falls by 40-50 %.

When the system caps socket receive buffers below the size asked for (``net.core.rmem_max``;
a process with CAP_NET_ADMIN may exceed it), a RuntimeWarning names both figures, once per
figure pair.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Optional, Set, Tuple

from . import _corvisk_ext

__all__ = ["StreamSettings", "stream_config"]

# SO_RCVBUF is a C int.
_MAX_RECV_BUFFER = 2**31 - 1
_MAX_U64 = 2**64 - 1
_warned: Set[Tuple[int, int]] = set()


@dataclass(frozen=True)
class StreamSettings:
    """A camera's stream settings, with the automatic ones resolved to their figures."""

    recv_buffer: int  # 0 = sized from the frame, up to recv_buffer_max
    recv_buffer_max: int
    pool_memory_limit: int
    resend_initial_delay: float  # seconds
    resend_interval: float  # seconds
    frame_timeout: float  # seconds
    resend_ratio: float
    receive_moderation: float  # seconds


def _checked(name: str, value: object, maximum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= maximum:
        raise ValueError(f"{name} must be between 0 and {maximum} bytes, got {value}")
    return value


def _checked_timing(name: str, value: object, limits: Tuple[float, float]) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    low, high = limits
    unit = "" if name == "resend_ratio" else " seconds"
    if not low <= value <= high:  # also refuses NaN
        raise ValueError(f"{name} must be between {low:g} and {high:g}{unit}, got {value!r}")
    return float(value)


def _warn_if_capped(requested: int) -> None:
    granted = _corvisk_ext.granted_receive_buffer(requested)
    if granted == 0 or granted >= requested or (requested, granted) in _warned:
        return
    _warned.add((requested, granted))
    warnings.warn(
        f"the system caps socket receive buffers at {granted} bytes, below the {requested} "
        "bytes asked for; raise net.core.rmem_max (or run with CAP_NET_ADMIN) or frames may "
        "lose packets",
        RuntimeWarning,
        stacklevel=3,
    )


_TIMINGS = ("resend_initial_delay", "resend_interval", "frame_timeout", "resend_ratio",
            "receive_moderation")


def stream_config(camera, *, recv_buffer: Optional[int] = None,
                  recv_buffer_max: Optional[int] = None,
                  pool_memory_limit: Optional[int] = None,
                  resend_initial_delay: Optional[float] = None,
                  resend_interval: Optional[float] = None,
                  frame_timeout: Optional[float] = None,
                  resend_ratio: Optional[float] = None,
                  receive_moderation: Optional[float] = None) -> StreamSettings:
    """The camera's stream settings, after applying the keywords given (None keeps one)."""
    current = list(_corvisk_ext.stream_tuning(camera))
    timing = list(_corvisk_ext.stream_timing(camera))
    defaults = _corvisk_ext.stream_defaults()
    changes = ((0, "recv_buffer", recv_buffer, _MAX_RECV_BUFFER),
               (1, "recv_buffer_max", recv_buffer_max, _MAX_RECV_BUFFER),
               (2, "pool_memory_limit", pool_memory_limit, _MAX_U64))
    for index, name, value, maximum in changes:
        if value is not None:
            current[index] = _checked(name, value, maximum)
    given = (resend_initial_delay, resend_interval, frame_timeout, resend_ratio,
             receive_moderation)
    for index, (name, value) in enumerate(zip(_TIMINGS, given)):
        if value is not None:
            timing[index] = _checked_timing(name, value, defaults["timing_limits"][name])
    _corvisk_ext.set_stream_tuning(camera, *current)
    _corvisk_ext.set_stream_timing(camera, *timing)
    for index in (0, 1):
        if changes[index][2]:
            _warn_if_capped(current[index])
    return StreamSettings(
        recv_buffer=current[0],
        recv_buffer_max=current[1] or defaults["recv_buffer_max"],
        pool_memory_limit=current[2] or defaults["pool_memory_limit"],
        resend_initial_delay=timing[0],
        resend_interval=timing[1],
        frame_timeout=timing[2],
        resend_ratio=timing[3],
        receive_moderation=timing[4],
    )
