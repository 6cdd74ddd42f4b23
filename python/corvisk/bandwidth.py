"""Several cameras streaming through one link: ``share_link(cams)`` gives each camera a share of
the link in proportion to what it sends and makes the device keep to it.

A camera's demand is its frame rate times what one frame takes on the wire (payload, packet
headers, Ethernet framing). The link minus the headroom is divided in proportion to the
demands. Each camera then paces its packets with an inter-packet delay (GevSCPD, in the
device's timestamp ticks) so that it sends no faster than its share, and writes its throughput
limit (DeviceLinkThroughputLimit) where it has one. When the demands together exceed the link,
the frame rates are lowered to what the shares carry; otherwise they stay.

The delay is computed for the packet size the camera's stream will use: before planning, a
snapshot session negotiates it (the connection remembers the result for its later streams).
Start the streams without ``packet_delay`` so the device keeps the planned delay, or pass
``packet_delay=plan[i].delay_ticks``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import List, Optional, Sequence

from .hostcheck import (FRAME_RATE_FEATURES, TICK_FEATURES, WIRE_FRAMING, frame_wire_bytes,
                        read_number)

__all__ = ["CameraShare", "LinkPlan", "share_link"]

_LIMIT_FEATURES = ("DeviceLinkThroughputLimit",)
_SETTABLE_RATE = ("AcquisitionFrameRate", "AcquisitionFrameRateAbs")


@dataclass(frozen=True)
class CameraShare:
    """One camera's part of a LinkPlan. Rates are bytes per second on the wire."""

    ip: str
    payload_size: int
    packet_size: int
    frame_rate_before: Optional[float]  # None: unknown (free running)
    frame_rate_after: Optional[float]
    bytes_per_s_before: float  # its demand; the whole link when its frame rate is unknown
    bytes_per_s_after: float  # its share
    tick_frequency: Optional[int]
    delay_ticks: Optional[int]  # GevSCPD; None when the camera has no tick frequency
    throughput_limit: Optional[int]  # DeviceLinkThroughputLimit, where the camera has one
    applied: bool = False


@dataclass(frozen=True)
class LinkPlan:
    """How the cameras share the link: one CameraShare per camera, in the order given."""

    link_bytes_per_s: float
    headroom: float
    cameras: List[CameraShare]

    @property
    def budget(self) -> float:
        return self.link_bytes_per_s * (1 - self.headroom)

    @property
    def demand(self) -> float:
        return sum(c.bytes_per_s_before for c in self.cameras)

    def __len__(self) -> int:
        return len(self.cameras)

    def __getitem__(self, index: int) -> CameraShare:
        return self.cameras[index]

    def __iter__(self):
        return iter(self.cameras)

    def __repr__(self) -> str:
        lines = [f"LinkPlan(link {self.link_bytes_per_s / 1e6:.1f} MB/s, headroom "
                 f"{self.headroom:.0%}, budget {self.budget / 1e6:.1f} MB/s, demand "
                 f"{self.demand / 1e6:.1f} MB/s)"]
        for c in self.cameras:
            fps = ("free" if c.frame_rate_before is None else
                   f"{c.frame_rate_before:.4g} -> {c.frame_rate_after:.4g} fps")
            limit = "" if c.throughput_limit is None else f", limit {c.throughput_limit} B/s"
            delay = "no delay" if c.delay_ticks is None else f"delay {c.delay_ticks} ticks"
            state = "applied" if c.applied else "planned"
            lines.append(f"  {c.ip}: {c.bytes_per_s_before / 1e6:.1f} -> "
                         f"{c.bytes_per_s_after / 1e6:.1f} MB/s, {fps}, packets of "
                         f"{c.packet_size} B, {delay}{limit} ({state})")
        return "\n".join(lines)


def _checked_link(link_bytes_per_s, headroom) -> tuple:
    for name, value in (("link_bytes_per_s", link_bytes_per_s), ("headroom", headroom)):
        if value is not None and (isinstance(value, bool) or
                                  not isinstance(value, (int, float))):
            raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if link_bytes_per_s is not None and not (math.isfinite(link_bytes_per_s) and
                                             link_bytes_per_s > 0):
        raise ValueError(f"link_bytes_per_s must be a positive finite number, got "
                         f"{link_bytes_per_s!r}")
    if not (math.isfinite(headroom) and 0 <= headroom < 1):
        raise ValueError(f"headroom must be at least 0 and below 1, got {headroom!r}")
    return link_bytes_per_s, float(headroom)


def _link_of(cams) -> float:
    """The link speed of the adapter all the cameras are routed through."""
    from .hostcheck import adapters, route_adapter

    names = {route_adapter(cam.device_info().ip) for cam in cams}
    if len(names) != 1 or None in names:
        raise ValueError(f"the cameras are reached through different adapters or none "
                         f"({sorted(map(str, names))}); pass link_bytes_per_s")
    (name,) = names
    adapter = next((a for a in adapters() if a.name == name), None)
    if adapter is None or adapter.link_bytes_per_s is None:
        raise ValueError(f"the link speed of {name} is unknown; pass link_bytes_per_s")
    return adapter.link_bytes_per_s


def _stream_packet_size(cam, negotiate: bool) -> int:
    """The packet size the camera's next stream uses (negotiated now when `negotiate`)."""
    import corvisk

    if negotiate:
        try:
            with cam.snapshot_session() as session:
                return session.packet_size()
        except (corvisk.CameraError, corvisk.GenicamError):
            pass  # streaming already, or no free channel: its current size is the one in use
    size = read_number(cam, ("GevSCPSPacketSize",))
    if not size or size <= 0:
        raise ValueError(f"camera {cam.device_info().ip} has no readable GevSCPSPacketSize")
    return int(size)


def _demand(cam, negotiate: bool, link: float) -> CameraShare:
    ip = cam.device_info().ip
    payload = read_number(cam, ("PayloadSize",))
    if not payload or payload <= 0:
        raise ValueError(f"camera {ip} has no readable PayloadSize")
    packet_size = _stream_packet_size(cam, negotiate)
    rate = read_number(cam, FRAME_RATE_FEATURES)
    rate = rate if rate and rate > 0 else None
    wire = frame_wire_bytes(int(payload), packet_size)
    ticks = read_number(cam, TICK_FEATURES)
    has_limit = any(cam.has_feature(n) for n in _LIMIT_FEATURES)
    return CameraShare(ip=ip, payload_size=int(payload), packet_size=packet_size,
                       frame_rate_before=rate, frame_rate_after=rate,
                       bytes_per_s_before=rate * wire if rate else link,
                       bytes_per_s_after=0.0,
                       tick_frequency=int(ticks) if ticks and ticks > 0 else None,
                       delay_ticks=None, throughput_limit=0 if has_limit else None)


def _shared(c: CameraShare, share: float, link: float) -> CameraShare:
    """`c` given `share` bytes per second of a `link`: its delay, limit and frame rate."""
    # A packet of packet_size bytes takes this long at the share; sent at line rate it takes
    # the second term, the rest is the pause the device inserts after it.
    wire_packet = c.packet_size + WIRE_FRAMING
    pause = wire_packet / share - wire_packet / link
    delay = None
    if c.tick_frequency:
        delay = max(0, math.ceil(pause * c.tick_frequency))
    after = c.frame_rate_before
    if after is not None and share < c.bytes_per_s_before:
        after = after * share / c.bytes_per_s_before
    limit = None if c.throughput_limit is None else int(share)
    return replace(c, bytes_per_s_after=share, delay_ticks=delay, throughput_limit=limit,
                   frame_rate_after=after)


def _write(cam, name: str, value, kind: str = "integer") -> None:
    if not cam.has_feature(name):
        return
    if kind == "integer":
        low, high = cam.integer_bounds(name)
        cam.set_integer(name, min(max(int(value), low), high))
    else:
        low, high = cam.float_bounds(name)
        cam.set_float(name, min(max(float(value), low), high))


def _apply(cam, c: CameraShare) -> CameraShare:
    if c.delay_ticks is not None:
        _write(cam, "GevSCPD", c.delay_ticks)
    if c.throughput_limit is not None:
        if cam.has_feature("DeviceLinkThroughputLimitMode"):
            cam.set_enum("DeviceLinkThroughputLimitMode", "On")
        _write(cam, "DeviceLinkThroughputLimit", c.throughput_limit)
    if c.frame_rate_after is not None and c.frame_rate_after < c.frame_rate_before:
        if cam.has_feature("AcquisitionFrameRateEnable"):
            cam.set_boolean("AcquisitionFrameRateEnable", True)
        name = next((n for n in _SETTABLE_RATE if cam.has_feature(n)), None)
        if name is not None:
            _write(cam, name, c.frame_rate_after, "float")
    return replace(c, applied=True)


def share_link(cams: Sequence, link_bytes_per_s: Optional[float] = None, headroom: float = 0.1,
               *, apply: bool = True, negotiate: bool = True) -> LinkPlan:
    """Shares one link between the connected cameras `cams`: each gets a part of the link
    minus `headroom` (a fraction) in proportion to its demand, kept by an inter-packet delay,
    a throughput limit where the camera has one, and a lower frame rate when the link is
    oversubscribed. `link_bytes_per_s` defaults to the link speed of the adapter the cameras are
    routed through. With `apply=False` nothing is written to the cameras. `negotiate=False`
    plans with each camera's current GevSCPSPacketSize instead of opening a snapshot session."""
    cams = list(cams)
    if not cams:
        raise ValueError("share_link needs at least one camera")
    link, headroom = _checked_link(link_bytes_per_s, headroom)
    if link is None:
        link = _link_of(cams)
    demands = [_demand(cam, negotiate, link) for cam in cams]
    total = sum(d.bytes_per_s_before for d in demands)
    budget = link * (1 - headroom)
    shares = [_shared(d, budget * d.bytes_per_s_before / total, link) for d in demands]
    if apply:
        shares = [_apply(cam, s) for cam, s in zip(cams, shares)]
    return LinkPlan(link_bytes_per_s=float(link), headroom=headroom, cameras=shares)
