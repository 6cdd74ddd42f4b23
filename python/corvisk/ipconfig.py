"""IP configuration of GigE Vision devices.

A camera on the wrong subnet answers discovery by broadcast but cannot be connected to.
``force_ip`` gives it a working address by MAC (until its next power-up); the persistent
configuration, kept by the camera across power cycles, is read and written on a connected
camera through its standard features.

    >>> dev = corvisk.find_devices()[0]
    >>> corvisk.force_ip(dev.mac, "192.168.1.20", "255.255.255.0", "0.0.0.0", adapter=dev.adapter)
    >>> cam = corvisk.Camera("192.168.1.20"); cam.connect()
    >>> corvisk.set_persistent_ip(cam, "192.168.1.20", "255.255.255.0", "0.0.0.0")
"""

from __future__ import annotations

import enum
import ipaddress
from dataclasses import dataclass
from typing import Optional

from . import _corvisk_ext
from ._corvisk_core import Camera


class IpConfigMode(enum.IntFlag):
    """The IP configuration procedures of a device, as bits of its configuration register."""

    PERSISTENT = 0x1
    DHCP = 0x2
    LINK_LOCAL = 0x4


@dataclass(frozen=True)
class DiscoveredDevice:
    """One discovery answer with the host adapter it arrived on."""

    mac: str
    ip: str
    subnet_mask: str
    gateway: str
    manufacturer: str
    model: str
    serial: str
    user_defined_name: str
    device_version: str
    ip_config_supported: IpConfigMode
    ip_config_current: IpConfigMode
    adapter: str  # interface name
    adapter_ip: str
    source: str  # "ip:port" the answer came from

    @property
    def reachable(self) -> bool:
        """True when the device's address is on the adapter's subnet under the device's mask."""
        net = ipaddress.IPv4Network(f"{self.ip}/{self.subnet_mask}", strict=False)
        return ipaddress.IPv4Address(self.adapter_ip) in net

    @classmethod
    def _from_native(cls, d: dict) -> "DiscoveredDevice":
        d = dict(d)
        d["ip_config_supported"] = IpConfigMode(d["ip_config_supported"] & 0x7)
        d["ip_config_current"] = IpConfigMode(d["ip_config_current"] & 0x7)
        return cls(**d)


@dataclass(frozen=True)
class PersistentIp:
    """The address a camera takes at power-up when persistent IP is enabled, and the enabled
    procedures (persistent, then DHCP, then link-local, in the order devices try them)."""

    ip: str
    subnet_mask: str
    gateway: str
    mode: IpConfigMode


def _mac_bytes(mac: str) -> bytes:
    parts = mac.replace("-", ":").split(":")
    try:
        raw = bytes(int(p, 16) for p in parts)
    except ValueError:
        raw = b""
    if len(parts) != 6 or len(raw) != 6 or any(len(p) not in (1, 2) for p in parts):
        raise ValueError(f"invalid MAC address {mac!r} (expected six hex bytes, e.g. "
                         "00:1a:2b:3c:4d:5e)")
    return raw


def _ipv4(value: str, what: str) -> ipaddress.IPv4Address:
    try:
        return ipaddress.IPv4Address(value)
    except (ipaddress.AddressValueError, ValueError):
        raise ValueError(f"invalid {what} {value!r} (expected a dotted quad)") from None


def _mask(value: str) -> ipaddress.IPv4Address:
    mask = _ipv4(value, "subnet mask")
    bits = int(mask)
    if bits & ((~bits & 0xFFFFFFFF) >> 1):  # ones must be contiguous from the top
        raise ValueError(f"invalid subnet mask {value!r} (not contiguous)")
    return mask


def _check_address(ip: ipaddress.IPv4Address, mask: ipaddress.IPv4Address) -> None:
    if ip.is_multicast or ip.is_loopback or int(ip) == 0xFFFFFFFF:
        raise ValueError(f"{ip} cannot be a device address")
    host = int(ip) & ~int(mask) & 0xFFFFFFFF
    if int(mask) not in (0, 0xFFFFFFFF, 0xFFFFFFFE) and host in (0, ~int(mask) & 0xFFFFFFFF):
        raise ValueError(f"{ip} is the network or broadcast address of its subnet")


def find_devices(timeout: float = 1.0, *, adapter: Optional[str] = None) -> list[DiscoveredDevice]:
    """Discovery like ``discover()``, but each answer keeps the adapter it arrived on, its
    source and the device's IP configuration bits. ``adapter`` (interface name or address)
    limits the run to one adapter."""
    found = _corvisk_ext.discover_devices(float(timeout), adapter or "")
    return [DiscoveredDevice._from_native(d) for d in found]


def force_ip(mac: str, ip: str, mask: str, gateway: str = "0.0.0.0", *,
             adapter: Optional[str] = None, timeout: float = 3.0) -> DiscoveredDevice:
    """Gives the device with this MAC address a new IP address, subnet mask and gateway until
    its next power-up (FORCEIP, broadcast on the adapter). Without ``adapter`` the device is
    first looked for by discovery and the adapter it answered on is used. Waits for the
    device's acknowledge, then for its discovery answer from the new address, which it
    returns. Raises CameraError when the device does not acknowledge, refuses, or is not found
    at the new address within ``timeout`` seconds; ValueError for malformed arguments. An ip
    of 0.0.0.0 asks the device to restart its address cycle (DHCP / link-local)."""
    mac_raw = _mac_bytes(mac)
    new_ip, new_mask, new_gw = _ipv4(ip, "IP address"), _mask(mask), _ipv4(gateway, "gateway")
    if int(new_ip) != 0:
        _check_address(new_ip, new_mask)
    if adapter is None:
        wanted = ":".join(f"{b:02x}" for b in mac_raw)
        seen = [d for d in find_devices(min(float(timeout), 1.0)) if d.mac == wanted]
        if not seen:
            from ._corvisk_core import CameraError
            raise CameraError(f"no device with MAC {wanted} answered discovery")
        adapter = seen[0].adapter
    found = _corvisk_ext.force_ip(mac_raw, new_ip.packed, new_mask.packed, new_gw.packed,
                                  adapter, float(timeout))
    return DiscoveredDevice._from_native(found)


_ADDRESS_FEATURES = ("GevPersistentIPAddress", "GevPersistentSubnetMask",
                     "GevPersistentDefaultGateway")
_MODE_FEATURES = ((IpConfigMode.PERSISTENT, "GevCurrentIPConfigurationPersistentIP"),
                  (IpConfigMode.DHCP, "GevCurrentIPConfigurationDHCP"),
                  (IpConfigMode.LINK_LOCAL, "GevCurrentIPConfigurationLLA"))


def _require(cam: Camera, names) -> None:
    missing = [n for n in names if not cam.has_feature(n)]
    if missing:
        raise ValueError("the camera's description lacks " + ", ".join(missing))


def persistent_ip(cam: Camera) -> PersistentIp:
    """The connected camera's persistent IP configuration and enabled procedures."""
    _require(cam, _ADDRESS_FEATURES)
    ip, mask, gw = (str(ipaddress.IPv4Address(cam.get_integer(n) & 0xFFFFFFFF))
                    for n in _ADDRESS_FEATURES)
    mode = IpConfigMode(0)
    for bit, name in _MODE_FEATURES:
        if cam.has_feature(name) and cam.get_boolean(name):
            mode |= bit
    return PersistentIp(ip, mask, gw, mode)


def set_persistent_ip(cam: Camera, ip: str, mask: str, gateway: str = "0.0.0.0", *,
                      mode: IpConfigMode = IpConfigMode.PERSISTENT | IpConfigMode.LINK_LOCAL
                      ) -> PersistentIp:
    """Stores the address the camera takes at its next power-up and enables the procedures in
    ``mode`` (those not in it are disabled; link-local stays on where the device forces it).
    Returns the configuration read back from the camera."""
    new_ip, new_mask, new_gw = _ipv4(ip, "IP address"), _mask(mask), _ipv4(gateway, "gateway")
    if IpConfigMode.PERSISTENT in mode:
        _check_address(new_ip, new_mask)
    _require(cam, _ADDRESS_FEATURES)
    for name, value in zip(_ADDRESS_FEATURES, (new_ip, new_mask, new_gw)):
        cam.set_integer(name, int(value))
    set_ip_config_mode(cam, mode)
    return persistent_ip(cam)


def set_ip_config_mode(cam: Camera, mode: IpConfigMode) -> None:
    """Enables exactly the procedures in ``mode`` on the connected camera."""
    mode = IpConfigMode(mode)
    _require(cam, [name for bit, name in _MODE_FEATURES if bit in mode])
    for bit, name in _MODE_FEATURES:
        if cam.has_feature(name) and (bit in mode) != cam.get_boolean(name):
            try:
                cam.set_boolean(name, bit in mode)
            except Exception:
                if bit is not IpConfigMode.LINK_LOCAL:  # often read-only: always on
                    raise
