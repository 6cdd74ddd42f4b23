"""Action commands: one datagram that triggers many cameras at once.

A camera executes an action when the command's device key equals its ``ActionDeviceKey`` and,
for one of its action signals, the group key equals that signal's ``ActionGroupKey`` and the
group mask shares a bit with its ``ActionGroupMask``. A camera whose ``TriggerSource`` is that
signal (``Action1`` ...) then captures a frame. With ``scheduled_time`` the cameras wait until
their timestamp counters reach that value, so cameras with synchronised clocks (PTP) expose
together whatever the network delays.

    >>> for cam in cams:
    ...     cam.set_integer("ActionDeviceKey", 0x1234)
    ...     cam.set_integer("ActionSelector", 0)
    ...     cam.set_integer("ActionGroupKey", 1); cam.set_integer("ActionGroupMask", 1)
    ...     cam.set_enum("TriggerMode", "On"); cam.set_enum("TriggerSource", "Action1")
    >>> corvisk.action(0x1234, 1, 1, adapter="eth1")
    [ActionAck(address='192.168.1.20', status=0), ActionAck(address='192.168.1.21', status=0)]
"""

from __future__ import annotations

import fcntl
import ipaddress
import math
import os
import select
import socket
import struct
import time
from typing import NamedTuple, Optional, Sequence, Union

GVCP_PORT = 3956
_ACTION_CMD = 0x0100
_ACTION_ACK = 0x0101
_FLAG_ACK = 0x01
_FLAG_SCHEDULED = 0x80

#: Acknowledge status of a scheduled action whose time had already passed: the device ran it
#: at once.
STATUS_ACTION_LATE = 0x8016
#: Acknowledge status of a device that has no reference time for scheduled actions.
STATUS_NO_REF_TIME = 0x8013

_SIOCGIFFLAGS = 0x8913
_SIOCGIFADDR = 0x8915
_SIOCGIFBRDADDR = 0x8919
_SIOCGIFNETMASK = 0x891B
_IFF_UP = 0x1
_IFF_BROADCAST = 0x2
_IFF_LOOPBACK = 0x8


class ActionAck(NamedTuple):
    """One device's answer to an action command."""

    address: str  # the device's IPv4 address
    status: int  # GVCP status: 0 executed or scheduled, STATUS_ACTION_LATE ...

    @property
    def ok(self) -> bool:
        """True when the device accepted the action (scheduled or executed)."""
        return self.status == 0


class Adapter(NamedTuple):
    """A host IPv4 interface that can broadcast (``broadcast``: its subnet's)."""

    name: str
    ip: str
    broadcast: str


def _ifreq(sock: socket.socket, request: int, name: str) -> bytes:
    return fcntl.ioctl(sock.fileno(), request, struct.pack("256s", name.encode()[:15]))


def adapters() -> list[Adapter]:
    """The host's interfaces that are up, not loopback, and have an IPv4 broadcast address."""
    found = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for _, name in socket.if_nameindex():
            try:
                flags = struct.unpack_from("H", _ifreq(s, _SIOCGIFFLAGS, name), 16)[0]
                if not flags & _IFF_UP or flags & _IFF_LOOPBACK or not flags & _IFF_BROADCAST:
                    continue
                ip = socket.inet_ntoa(_ifreq(s, _SIOCGIFADDR, name)[20:24])
                bcast = socket.inet_ntoa(_ifreq(s, _SIOCGIFBRDADDR, name)[20:24])
                mask = socket.inet_ntoa(_ifreq(s, _SIOCGIFNETMASK, name)[20:24])
            except OSError:
                continue  # no IPv4 address
            if bcast == "0.0.0.0":  # configured without one: the subnet's directed broadcast
                bcast = str(ipaddress.IPv4Network(f"{ip}/{mask}", strict=False).broadcast_address)
            found.append(Adapter(name, ip, bcast))
    return found


def _find_adapter(adapter: str) -> Adapter:
    for a in adapters():
        if adapter in (a.name, a.ip):
            return a
    raise ValueError(f"no IPv4 adapter named or addressed {adapter!r} that can broadcast")


def _key(value: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{what} {value} is out of range (0..0xFFFFFFFF)")
    return value


def _timeout(value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(value).__name__}")
    if math.isnan(value) or value < 0 or math.isinf(value):
        raise ValueError(f"timeout must be finite and not negative, got {value}")
    return float(value)


def _ipv4(value: str, what: str) -> str:
    try:
        return str(ipaddress.IPv4Address(value))
    except (ipaddress.AddressValueError, ValueError):
        raise ValueError(f"invalid {what} {value!r} (expected a dotted quad)") from None


def encode_action(device_key: int, group_key: int, group_mask: int, req_id: int,
                  scheduled_time: Optional[int] = None, ack: bool = True) -> bytes:
    """The ACTION_CMD datagram."""
    flags = (_FLAG_ACK if ack else 0) | (_FLAG_SCHEDULED if scheduled_time is not None else 0)
    payload = struct.pack(">III", device_key, group_key, group_mask)
    if scheduled_time is not None:
        payload += struct.pack(">Q", scheduled_time)
    return struct.pack(">BBHHH", 0x42, flags, _ACTION_CMD, len(payload), req_id) + payload


def _targets(destination: Union[str, Sequence[str], None],
             adapter: Optional[str]) -> list[tuple[str, str]]:
    """(local address to send from, destination address) pairs."""
    if destination is not None:
        wanted = [destination] if isinstance(destination, str) else list(destination)
        if not wanted:
            raise ValueError("destination is an empty list")
        local = _find_adapter(adapter).ip if adapter is not None else "0.0.0.0"
        return [(local, _ipv4(d, "destination")) for d in wanted]
    chosen = [_find_adapter(adapter)] if adapter is not None else adapters()
    if not chosen:
        raise ValueError("no IPv4 adapter that can broadcast; give destination=")
    # The limited broadcast leaves by the adapter whose address the socket is bound to, and
    # reaches every camera on that link whatever its subnet.
    return [(a.ip, "255.255.255.255") for a in chosen]


def _collect(socks: list[socket.socket], req_id: int, timeout: float) -> list[ActionAck]:
    answers: dict[str, ActionAck] = {}
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        # Short slices keep Ctrl-C prompt even where select is restarted after a signal.
        ready, _, _ = select.select(socks, [], [], min(remaining, 0.1))
        for s in ready:
            try:
                data, (host, _) = s.recvfrom(2048)
            except OSError:
                continue  # e.g. an ICMP unreachable from a unicast destination
            if len(data) < 8:
                continue
            status, code, _length, ack_id = struct.unpack_from(">HHHH", data)
            if code == _ACTION_ACK and ack_id == req_id and host not in answers:
                answers[host] = ActionAck(host, status)
    return sorted(answers.values(), key=lambda a: ipaddress.IPv4Address(a.address))


def action(device_key: int, group_key: int, group_mask: int, *,
           scheduled_time: Optional[int] = None,
           destination: Union[str, Sequence[str], None] = None,
           timeout: float = 0.5, adapter: Optional[str] = None,
           ack: bool = True) -> list[ActionAck]:
    """Sends an action command and returns the devices' acknowledges received within
    ``timeout`` seconds, sorted by address (an empty list when nobody answered: devices not
    addressed by the keys stay silent).

    ``destination`` is a device address (unicast), a list of them (one datagram each, all
    sent before any answer is awaited) or a broadcast address; by default the
    command goes to 255.255.255.255 on ``adapter`` (interface name or address), or on every
    adapter when that is None too. ``scheduled_time`` is the device time in ticks of each camera's
    timestamp counter at which to act. ``ack=False`` sends without asking for answers and
    returns at once."""
    keys = (_key(device_key, "device_key"), _key(group_key, "group_key"),
            _key(group_mask, "group_mask"))
    if scheduled_time is not None:
        if isinstance(scheduled_time, bool) or not isinstance(scheduled_time, int):
            raise TypeError("scheduled_time must be an int number of device ticks")
        if not 0 <= scheduled_time < 1 << 64:
            raise ValueError(f"scheduled_time {scheduled_time} is out of range (64 bits)")
    wait = _timeout(timeout)
    req_id = int.from_bytes(os.urandom(2), "big") or 1
    datagram = encode_action(*keys, req_id, scheduled_time, ack)
    socks = []
    try:
        for local, dest in _targets(destination, adapter):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            socks.append(s)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            s.bind((local, 0))
            s.sendto(datagram, (dest, GVCP_PORT))
        return _collect(socks, req_id, wait) if ack else []
    finally:
        for s in socks:
            s.close()

