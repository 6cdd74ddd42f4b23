"""Multicast streaming and monitor access.

The controlling application sends a camera's stream to a multicast group; any number of other
applications, on the same host or the subnet, receive it as monitors. A ``Monitor`` reads the
camera's registers and features without claiming control (the controller keeps it), so it
cannot change anything: every write raises ``CameraError``.

    >>> stream = corvisk.multicast_acquisition(cam, "239.192.0.1", ttl=2)   # controller
    >>> mon = corvisk.Monitor("192.168.1.20"); mon.connect()                # other process
    >>> frames = mon.receive()
    >>> frame = frames.wait_for(1.0)
"""

from __future__ import annotations

import ipaddress
import socket
from dataclasses import dataclass
from typing import Iterator, Optional

from . import _corvisk_ext
from ._corvisk_core import Camera, CameraError

_SCP, _SCPS, _SCDA, _STRIDE = 0x0D00, 0x0D04, 0x0D18, 0x40
_TICK_HIGH, _TICK_LOW = 0x093C, 0x0940
_TTL_FEATURES = ("StreamChannelMulticastTTL", "GevSCMulticastTTL")
_INTEGER, _FLOAT, _BOOLEAN, _STRING, _ENUM = range(5)


def check_group(group: str) -> str:
    """The group in canonical form; ValueError unless it is an IPv4 multicast address outside
    the local network control block (224.0.0.0/24, reserved for routing protocols)."""
    try:
        addr = ipaddress.IPv4Address(group)
    except (ipaddress.AddressValueError, ValueError):
        raise ValueError(f"invalid multicast group {group!r} (expected a dotted quad)") from None
    if not addr.is_multicast:
        raise ValueError(f"{addr} is not a multicast address (224.0.0.0 to 239.255.255.255)")
    if addr in ipaddress.IPv4Network("224.0.0.0/24"):
        raise ValueError(f"{addr} is in 224.0.0.0/24, reserved for local network control")
    return str(addr)


def _check_ttl(ttl: int) -> int:
    if isinstance(ttl, bool) or not isinstance(ttl, int):
        raise TypeError(f"ttl must be an int, not {type(ttl).__name__}")
    if not 1 <= ttl <= 255:
        raise ValueError(f"ttl {ttl} is out of range (1..255)")
    return ttl


def _channel_reg(base: int, channel: int) -> int:
    if isinstance(channel, bool) or not isinstance(channel, int) or not 0 <= channel < 512:
        raise ValueError(f"invalid stream channel {channel!r}")
    return base + _STRIDE * channel


def _route_source(device_ip: str) -> str:
    """The local address the host reaches the device from (no datagram is sent)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.connect((device_ip, 3956))
        return s.getsockname()[0]


@dataclass(frozen=True)
class MulticastFrame:
    """One frame received from a multicast group (a copy of its payload)."""

    frame_id: int
    status: str  # "Complete", "MissingPackets", "Timeout" ...
    pixel_format_code: int
    width: int
    height: int
    x_offset: int
    timestamp_ticks: int
    timestamp_ns: int
    system_timestamp_ns: int
    data: bytes

    @property
    def is_complete(self) -> bool:
        return self.status == "Complete"


class MulticastStream:
    """Frames of one stream channel sent to a multicast group, received on this host."""

    def __init__(self, receiver, group: str, on_stop=None) -> None:
        self._receiver = receiver
        self.group = group
        self._on_stop = on_stop

    @property
    def port(self) -> int:
        """The UDP port the group's packets arrive on (the channel's SCP port)."""
        return self._receiver.port()

    def wait_for(self, timeout: float = 1.0) -> Optional[MulticastFrame]:
        """The next frame, or None when none came within ``timeout`` seconds."""
        t = self._receiver.wait_for(float(timeout))
        return None if t is None else MulticastFrame(*t)

    def stats(self) -> dict:
        """The stream counters (packets, completed_frames, missing_packets ...)."""
        return self._receiver.stats()

    def stop(self) -> None:
        """Stops receiving (and, for the controller's stream, the camera). Idempotent."""
        on_stop, self._on_stop = self._on_stop, None
        try:
            if on_stop is not None:
                on_stop()
        finally:
            self._receiver.close()

    def __iter__(self) -> Iterator[MulticastFrame]:
        while True:
            frame = self.wait_for(0.5)
            if frame is not None:
                yield frame

    def __enter__(self) -> "MulticastStream":
        return self

    def __exit__(self, *_exc) -> bool:
        self.stop()
        return False


def multicast_acquisition(cam: Camera, group: str, *, ttl: int = 1, channel: int = 0,
                          packet_size: int = 1500, n_buffers: int = 8, resend: bool = True
                          ) -> MulticastStream:
    """Starts the connected (controlled) camera streaming channel ``channel`` to ``group``
    with ``ttl`` hops, and receives it here as well. The camera must not be acquiring
    otherwise; ``stop()`` stops it and closes the channel. Monitors receive the same frames
    with ``Monitor.receive()``."""
    group = check_group(group)
    _check_ttl(ttl)
    ttl_feature = next((n for n in _TTL_FEATURES if cam.has_feature(n)), None)
    if ttl_feature is None and ttl != 1:
        raise ValueError("the camera's description has no multicast TTL feature")
    # Held until stop(): the stream channel is this stream's, so a snap or another
    # acquisition on the camera is refused meanwhile, as for the core's own captures.
    claim = _corvisk_ext.CameraClaim(cam)
    try:
        return _start_multicast(cam, claim, group, ttl_feature, ttl, channel, packet_size,
                                n_buffers, resend)
    except BaseException:
        claim.release()
        raise


def _start_multicast(cam: Camera, claim, group: str, ttl_feature: Optional[str], ttl: int,
                     channel: int, packet_size: int, n_buffers: int, resend: bool
                     ) -> MulticastStream:
    device_ip = cam.device_info().ip
    payload = cam.get_integer("PayloadSize")
    tick = cam.get_integer("GevTimestampTickFrequency") \
        if cam.has_feature("GevTimestampTickFrequency") else 0
    receiver = _corvisk_ext.MulticastReceiver(group, 0, _route_source(device_ip), device_ip,
                                              payload, packet_size, tick, resend, n_buffers)
    try:
        if ttl_feature is not None:
            cam.set_integer(ttl_feature, ttl)
        cam.set_integer("GevSCDA", int(ipaddress.IPv4Address(group)))
        cam.set_integer("GevSCPSPacketSize", packet_size)
        cam.set_integer("GevSCPHostPort", receiver.port())
        cam.set_integer("TLParamsLocked", 1)
        cam.execute("AcquisitionStart")
    except BaseException:
        receiver.close()
        raise

    def stop_camera() -> None:
        try:
            cam.execute("AcquisitionStop")
            cam.set_integer("TLParamsLocked", 0)
        finally:
            try:
                cam.set_integer("GevSCPHostPort", 0)
            finally:
                claim.release()

    return MulticastStream(receiver, group, stop_camera)


class Monitor:
    """A read-only connection to a camera another application controls."""

    def __init__(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4,
                 local_ip: Optional[str] = None) -> None:
        self.ip = str(ipaddress.IPv4Address(ip))
        self._conn = _corvisk_ext.MonitorConnection(self.ip, float(gvcp_timeout), int(retries),
                                                    local_ip or "")

    def connect(self) -> None:
        """Reads the device's identity and description; claims no control."""
        self._conn.connect()

    def disconnect(self) -> None:
        self._conn.disconnect()

    def is_connected(self) -> bool:
        return self._conn.is_connected()

    def __enter__(self) -> "Monitor":
        self.connect()
        return self

    def __exit__(self, *_exc) -> bool:
        self.disconnect()
        return False

    def get_integer(self, name: str) -> int:
        return self._conn.get(name, _INTEGER)

    def get_float(self, name: str) -> float:
        return self._conn.get(name, _FLOAT)

    def get_boolean(self, name: str) -> bool:
        return self._conn.get(name, _BOOLEAN)

    def get_string(self, name: str) -> str:
        return self._conn.get(name, _STRING)

    def get_enum(self, name: str) -> str:
        return self._conn.get(name, _ENUM)

    def has_feature(self, name: str) -> bool:
        return self._conn.has_feature(name)

    def read_register(self, address: int) -> int:
        """One 32-bit bootstrap or device register."""
        return self._conn.read_register(address)

    def _refuse(self, name: str, *_args) -> None:
        raise CameraError(f"monitor access is read-only: '{name}' cannot be changed without "
                          "control of the camera")

    set_integer = set_float = set_boolean = set_string = set_enum = execute = _refuse

    def stream_destination(self, channel: int = 0) -> tuple[str, int]:
        """Where stream channel ``channel`` sends: (SCDA address, SCP port; 0 = closed)."""
        scda = self.read_register(_channel_reg(_SCDA, channel))
        port = self.read_register(_channel_reg(_SCP, channel)) & 0xFFFF
        return str(ipaddress.IPv4Address(scda)), port

    def receive(self, *, channel: int = 0, n_buffers: int = 8,
                resend: bool = False) -> MulticastStream:
        """Joins the group the controller streams channel ``channel`` to, on the adapter the
        camera is reached by, and receives its frames. No resend requests unless ``resend``
        (the packets a monitor asks for go to every receiver of the group)."""
        dest, port = self.stream_destination(channel)
        if port == 0:
            raise CameraError("stream channel is closed: nobody streams from the camera")
        if not ipaddress.IPv4Address(dest).is_multicast:
            raise CameraError(f"the camera streams to {dest}, not to a multicast group; a "
                              "monitor receives only multicast streams")
        packet_size = self.read_register(_channel_reg(_SCPS, channel)) & 0xFFFF
        payload = self.get_integer("PayloadSize")
        tick = (self.read_register(_TICK_HIGH) << 32) | self.read_register(_TICK_LOW)
        receiver = _corvisk_ext.MulticastReceiver(dest, port, _route_source(self.ip), self.ip,
                                                  payload, packet_size, tick, resend,
                                                  n_buffers)
        return MulticastStream(receiver, dest)
