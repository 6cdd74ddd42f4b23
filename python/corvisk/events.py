"""Device events: a camera's message channel as a channel of :class:`Event` records.

``camera_events = corvisk.events(cam, enable=["ExposureEnd"])`` opens the camera's message
channel (and switches the named events on through ``EventSelector``/``EventNotification``);
iterate it (``for ev in camera_events``) or call ``wait_for(timeout)``. Each event carries its
id, its name from the camera's description, the device timestamp, stream channel and block id,
its raw data, and the features the description fills from that data (``ev.features``, e.g.
``EventExposureEndTimestamp``; read from the camera itself, such a feature raises GenicamError,
since its bytes come with the event, not from camera memory). The channel never holds up the
camera: a reader that falls behind loses events from a bounded queue, counted in
``stats()["dropped"]``. Closing the channel (or leaving its ``with`` block) switches the events
it enabled off and stops it; disconnecting the camera ends an iteration.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, Iterable, Iterator, List, Optional, Union

from . import _corvisk_ext

__all__ = ["Event", "Events", "events"]

FeatureValue = Union[int, float, bool, str]


@dataclass(frozen=True)
class Event:
    """One device event."""

    event_id: int
    name: Optional[str]
    timestamp: int
    stream_channel: int
    block_id: int
    data: bytes = b""
    features: Dict[str, FeatureValue] = field(default_factory=dict)
    received_ns: int = 0


class Events:
    """The message channel of one connected camera. Create it with :func:`events`."""

    def __init__(self, camera, *, enable: Iterable[str] = (), capacity: int = 256,
                 ack_timeout: float = 0.1, retransmissions: int = 3) -> None:
        if isinstance(enable, str):
            raise TypeError("enable must be a sequence of event names, not a str")
        if not isinstance(capacity, int) or isinstance(capacity, bool):
            raise TypeError("capacity must be an int")
        if not (isinstance(ack_timeout, (int, float)) and math.isfinite(ack_timeout)
                and 0 < ack_timeout <= 65.535):
            raise ValueError("ack_timeout must be between 0 and 65.535 seconds")
        if not isinstance(retransmissions, int) or not 0 <= retransmissions <= 255:
            raise ValueError("retransmissions must be an int between 0 and 255")
        self._camera = camera
        self._names: Dict[int, str] = _corvisk_ext.event_names(camera)
        self._data_features: Dict[int, List[str]] = _corvisk_ext.event_data_features(camera)
        self._channel = _corvisk_ext.open_events(camera, capacity, round(ack_timeout * 1000),
                                                 retransmissions)
        self._enabled: List[str] = []
        try:
            for name in enable:
                camera.set_enum("EventSelector", name)
                camera.set_enum("EventNotification", "On")
                self._enabled.append(name)
        except BaseException:
            self.close()
            raise

    @property
    def names(self) -> Dict[int, str]:
        """Event id -> name, as the camera's description gives them."""
        return dict(self._names)

    def _event(self, raw) -> Event:
        _command, event_id, channel, block_id, timestamp, data, received_ns = raw
        features: Dict[str, FeatureValue] = {}
        wanted = self._data_features.get(event_id)
        if wanted and data:
            try:
                features = _corvisk_ext.read_event_features(self._camera, event_id, data, wanted)
            except Exception:  # the camera went away meanwhile: the event itself stands
                features = {}
        return Event(event_id, self._names.get(event_id), timestamp, channel, block_id, data,
                     features, received_ns)

    def wait_for(self, timeout: float = 1.0) -> Optional[Event]:
        """The next event, or None when none arrives within `timeout` seconds or the channel
        has ended (closed, or the camera disconnected)."""
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError("timeout must be a number of seconds")
        if not (timeout >= 0 and math.isfinite(timeout)):
            raise ValueError("timeout must be a non-negative number of seconds")
        raw = self._channel.wait(float(timeout))
        return self._event(raw) if raw else None

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        raw = self._channel.wait(None)
        if not raw:
            raise StopIteration
        return self._event(raw)

    def stats(self) -> Dict[str, int]:
        """Counters: commands (received, repeats included), events (delivered), duplicates,
        dropped (queue full), malformed, ack_failures."""
        return self._channel.stats()

    def close(self) -> None:
        """Switches off the events this channel enabled, then stops it. Idempotent."""
        enabled, self._enabled = self._enabled, []
        for name in enabled:
            try:
                self._camera.set_enum("EventSelector", name)
                self._camera.set_enum("EventNotification", "Off")
            except Exception:  # a camera gone away has nothing left to switch off
                break
        self._channel.close()

    def __enter__(self) -> "Events":
        return self

    def __exit__(self, *_exc: object) -> bool:
        self.close()
        return False


def events(camera, *, enable: Iterable[str] = (), capacity: int = 256,
           ack_timeout: float = 0.1, retransmissions: int = 3) -> Events:
    """Opens the message channel of a connected camera; see :class:`Events`."""
    return Events(camera, enable=enable, capacity=capacity, ack_timeout=ack_timeout,
                  retransmissions=retransmissions)
