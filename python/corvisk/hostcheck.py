"""Host diagnostics: ``check_host(cam=None)`` lists what on this host stands between a camera and
complete frames, each finding with its figures and the command that fixes it.

Without a camera it looks at the host as a whole: the socket receive-buffer ceiling
(``net.core.rmem_max``) against what corvisk's streams ask for, every adapter's state and MTU,
and reverse-path filtering per adapter. With a connected camera it adds the adapter that routes
to it: its MTU against the camera's packet size, its link speed against the camera's data rate,
and the receive buffer that camera's stream asks for.

Everything is read from /proc and /sys of the calling process's network namespace. Missing or
unreadable files (a virtual adapter without a link speed, a kernel without a sysctl) make a
figure "unknown", never an error.
"""

from __future__ import annotations

import ipaddress
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, List, Optional, Sequence

from . import _corvisk_ext

__all__ = ["Adapter", "Finding", "adapters", "check_host", "route_adapter"]

OK, WARN, ERROR = "ok", "warn", "error"

# The automatic stream receive buffer (the stream channel's sizing): room for two frames, each
# payload byte counted twice as the kernel accounts socket memory, at least 256 KiB, at most the
# camera's recv_buffer_max.
_RECV_BUFFER_FRAMES = 2
_KERNEL_ACCOUNTING = 2
_MIN_RECV_BUFFER = 256 * 1024

# Per stream packet: IPv4 (20) + UDP (8) + the stream header (8) inside the packet size, and
# Ethernet framing on the wire around it (preamble 8, header 14, FCS 4, inter-frame gap 12).
PACKET_HEADERS = 36
WIRE_FRAMING = 38
# A frame's leader and trailer packets besides its payload packets.
_LEADER_TRAILER = 2
JUMBO_MTU = 9000
# A camera using more than this share of its link leaves too little for resends and bursts.
_LINK_SHARE_WARN = 0.9

TICK_FEATURES = ("GevTimestampTickFrequency", "TimestampTickFrequency")
FRAME_RATE_FEATURES = ("AcquisitionResultingFrameRate", "ResultingFrameRate",
                       "AcquisitionFrameRate", "AcquisitionFrameRateAbs")


@dataclass(frozen=True)
class Finding:
    """One result of a host check: level "ok", "warn" or "error", the topic it is about, a
    message with the figures, and a command that fixes it ("" when nothing needs fixing)."""

    level: str
    topic: str
    message: str
    fix: str = ""

    def __str__(self) -> str:
        text = f"[{self.level}] {self.topic}: {self.message}"
        return f"{text}\n    fix: {self.fix}" if self.fix else text


@dataclass(frozen=True)
class Adapter:
    """A network adapter as /sys and /proc show it; None where a figure is unknown."""

    name: str
    up: bool
    operstate: str
    mtu: Optional[int]
    speed_mbps: Optional[int]  # link speed in Mb/s; None for virtual adapters and when down
    rp_filter: Optional[int]  # effective: the larger of the adapter's and "all"'s setting

    @property
    def link_bytes_per_s(self) -> Optional[float]:
        return None if self.speed_mbps is None else self.speed_mbps * 1e6 / 8


def _read(path: Path) -> Optional[str]:
    try:
        return path.read_text().strip()
    except (OSError, UnicodeDecodeError):
        return None


def _read_int(path: Path) -> Optional[int]:
    text = _read(path)
    try:
        return int(text) if text is not None else None
    except ValueError:
        return None


def _adapter(dev: Path, rp_all: Optional[int], conf: Path) -> Adapter:
    flags = _read(dev / "flags")
    try:
        up = bool(int(flags, 16) & 0x1) if flags else _read(dev / "operstate") == "up"
    except ValueError:
        up = False
    speed = _read_int(dev / "speed")  # reading fails (EINVAL) on adapters without a link
    rp = _read_int(conf / dev.name / "rp_filter")
    if rp is not None and rp_all is not None:
        rp = max(rp, rp_all)
    return Adapter(name=dev.name, up=up, operstate=_read(dev / "operstate") or "unknown",
                   mtu=_read_int(dev / "mtu"), speed_mbps=speed if speed and speed > 0 else None,
                   rp_filter=rp)


def adapters(*, sys_net: str = "/sys/class/net",
             ipv4_conf: str = "/proc/sys/net/ipv4/conf") -> List[Adapter]:
    """The adapters of this network namespace, sorted by name (none when /sys is unreadable)."""
    conf = Path(ipv4_conf)
    rp_all = _read_int(conf / "all" / "rp_filter")
    try:
        devices = sorted(p for p in Path(sys_net).iterdir() if (p / "mtu").exists())
    except OSError:
        return []
    return [_adapter(dev, rp_all, conf) for dev in devices]


def _local_addresses(fib_trie: Path) -> set:
    """This namespace's own IPv4 addresses (the LOCAL host entries of the routing trie)."""
    text = _read(fib_trie) or ""
    local, last = set(), None
    for line in text.splitlines():
        words = line.split()
        if len(words) == 2 and words[0].endswith("--"):
            last = words[1]
        elif "/32 host LOCAL" in line and last:
            local.add(last)
    return local


def _route_entries(route: Path) -> Iterable[tuple]:
    """(adapter, network, mask) of each line of the main routing table."""
    for line in (_read(route) or "").splitlines()[1:]:
        fields = line.split()
        if len(fields) < 8:
            continue
        try:
            # Addresses are the kernel's 32-bit words in host (little-endian) byte order.
            dest = int.from_bytes(bytes.fromhex(fields[1]), "little")
            mask = int.from_bytes(bytes.fromhex(fields[7]), "little")
        except ValueError:
            continue
        yield fields[0], dest, mask


def route_adapter(ip: str, *, proc_net: str = "/proc/net") -> Optional[str]:
    """The adapter the kernel sends packets for `ip` through, or None when no route leads there.

    Addresses of this host itself (loopback ones included) go through "lo"; otherwise the
    longest matching prefix of the main table wins."""
    address = ipaddress.IPv4Address(ip)
    if address.is_loopback or ip in _local_addresses(Path(proc_net) / "fib_trie"):
        return "lo"
    target, best, best_mask = int(address), None, -1
    for name, dest, mask in _route_entries(Path(proc_net) / "route"):
        if target & mask == dest and mask > best_mask:
            best, best_mask = name, mask
    return best


# ---- camera figures --------------------------------------------------------------------------

def read_number(cam, names: Sequence[str]) -> Optional[float]:
    """The first readable one of the features `names` as a number, None when none reads."""
    import corvisk

    for name in names:
        if not cam.has_feature(name):
            continue
        for getter in (cam.get_float, cam.get_integer):
            try:
                value = getter(name)
            except (corvisk.GenicamError, corvisk.CameraError):
                continue
            if math.isfinite(value):
                return value
    return None


def frame_wire_bytes(payload_size: int, packet_size: int) -> float:
    """Bytes one frame takes on an Ethernet link in packets of `packet_size` (IP packet) bytes."""
    per_packet = max(packet_size - PACKET_HEADERS, 1)
    packets = math.ceil(payload_size / per_packet) + _LEADER_TRAILER
    return payload_size + packets * (PACKET_HEADERS + WIRE_FRAMING)


def stream_receive_buffer(cam, payload_size: int) -> int:
    """The receive buffer a stream of `cam` asks for with frames of `payload_size` bytes."""
    fixed, auto_max, _ = _corvisk_ext.stream_tuning(cam)
    if fixed:
        return fixed
    auto_max = auto_max or _corvisk_ext.stream_defaults()["recv_buffer_max"]
    wanted = payload_size * _RECV_BUFFER_FRAMES * _KERNEL_ACCOUNTING
    return max(min(wanted, auto_max), min(_MIN_RECV_BUFFER, auto_max))


def _mib(n: float) -> str:
    return f"{n / 2**20:.1f} MiB"


def _rate(bytes_per_s: float) -> str:
    return f"{bytes_per_s / 1e6:.1f} MB/s ({bytes_per_s * 8 / 1e6:.0f} Mb/s)"


# ---- host-wide checks ------------------------------------------------------------------------

def _privileged_note(requested: int, rmem_max: int) -> str:
    granted = _corvisk_ext.granted_receive_buffer(requested)
    if granted >= requested > rmem_max:
        return " (this process may go beyond it, having CAP_NET_ADMIN; unprivileged ones cannot)"
    return ""


def _rmem_finding(rmem_max: Optional[int], requested: int, what: str,
                  topic: str = "receive buffer") -> Finding:
    if rmem_max is None:
        return Finding(OK, topic, "net.core.rmem_max is unreadable: the receive-buffer ceiling "
                       "is unknown")
    if rmem_max >= requested:
        return Finding(OK, topic, f"net.core.rmem_max is {rmem_max} bytes ({_mib(rmem_max)}), "
                       f"enough for the {requested} bytes {what}")
    return Finding(WARN, topic,
                   f"net.core.rmem_max is {rmem_max} bytes ({_mib(rmem_max)}), below the "
                   f"{requested} bytes ({_mib(requested)}) {what}: frames may lose packets "
                   f"under load{_privileged_note(requested, rmem_max)}",
                   f"sysctl -w net.core.rmem_max={requested}")


def _adapter_findings(adapter: Adapter) -> List[Finding]:
    topic = f"adapter {adapter.name}"
    if not adapter.up:
        return [Finding(WARN, topic, f"{adapter.name} is down (state {adapter.operstate}); "
                        "cameras behind it are unreachable",
                        f"ip link set dev {adapter.name} up")]
    speed = f"{adapter.speed_mbps} Mb/s" if adapter.speed_mbps else "link speed unknown"
    found = []
    if adapter.mtu is not None and adapter.mtu < JUMBO_MTU:
        found.append(Finding(WARN, topic, f"{adapter.name} is up ({speed}) with MTU "
                             f"{adapter.mtu}: no jumbo frames, so streams use packets of at "
                             f"most {adapter.mtu} bytes and many more of them",
                             f"ip link set dev {adapter.name} mtu {JUMBO_MTU}"))
    else:
        mtu = adapter.mtu if adapter.mtu is not None else "unknown"
        found.append(Finding(OK, topic, f"{adapter.name} is up ({speed}), MTU {mtu}"))
    if adapter.rp_filter == 1:
        found.append(Finding(WARN, f"rp_filter {adapter.name}",
                             f"strict reverse-path filtering (rp_filter=1) on {adapter.name} "
                             "drops the answers of a camera whose address is not routed "
                             "through it (a camera on the wrong subnet)",
                             # The kernel applies the larger of the adapter's and "all"'s
                             # value, so loose mode on the adapter alone is enough.
                             f"sysctl -w net.ipv4.conf.{adapter.name}.rp_filter=2"))
    return found


def _host_findings(rmem_max: Optional[int], recv_buffer_max: int,
                   found_adapters: Sequence[Adapter]) -> List[Finding]:
    largest = recv_buffer_max // (_RECV_BUFFER_FRAMES * _KERNEL_ACCOUNTING)
    findings = [_rmem_finding(rmem_max, recv_buffer_max,
                              f"a stream asks for with frames of {largest} bytes and more")]
    for adapter in found_adapters:
        if adapter.name != "lo":
            findings.extend(_adapter_findings(adapter))
    return findings


# ---- with a camera ---------------------------------------------------------------------------

def _camera_ip(cam) -> str:
    return cam.device_info().ip


def _packet_findings(adapter: Adapter, packet_size: Optional[float], largest: Optional[int],
                     ip: str) -> List[Finding]:
    topic = f"packet size {ip}"
    if adapter.mtu is None or packet_size is None:
        return [Finding(OK, topic, "the camera's packet size or the adapter's MTU is unknown")]
    packet_size = int(packet_size)
    if packet_size > adapter.mtu:
        return [Finding(ERROR, topic, f"the camera sends packets of {packet_size} bytes but "
                        f"{adapter.name} takes at most {adapter.mtu} (MTU): a stream with this "
                        "fixed packet size loses every packet",
                        f"ip link set dev {adapter.name} mtu {max(JUMBO_MTU, packet_size)}")]
    if largest is not None and largest > adapter.mtu and adapter.mtu < JUMBO_MTU:
        return [Finding(WARN, topic, f"the camera can send packets of up to {largest} bytes "
                        f"but {adapter.name} has MTU {adapter.mtu}: its streams are limited "
                        f"to {adapter.mtu}-byte packets (now {packet_size})",
                        f"ip link set dev {adapter.name} mtu {min(largest, JUMBO_MTU)}")]
    return [Finding(OK, topic, f"packets of {packet_size} bytes fit {adapter.name}'s MTU "
                    f"{adapter.mtu}")]


def _bandwidth_finding(adapter: Adapter, wire_rate: Optional[float], ip: str) -> Finding:
    topic = f"bandwidth {ip}"
    link = adapter.link_bytes_per_s
    if wire_rate is None:
        return Finding(OK, topic, "the camera's frame rate is unknown (free running?): its "
                       "data rate cannot be compared with the link")
    if link is None:
        return Finding(OK, topic, f"the camera sends {_rate(wire_rate)}; {adapter.name}'s link "
                       "speed is unknown")
    share = wire_rate / link
    text = (f"the camera sends {_rate(wire_rate)}, {share:.0%} of {adapter.name}'s "
            f"{adapter.speed_mbps} Mb/s link")
    if share > 1:
        return Finding(ERROR, topic, f"{text}: frames will break up",
                       f"lower AcquisitionFrameRate below {link / wire_rate:.3g} x the current "
                       "rate, or share the link: corvisk.share_link([cam])")
    if share > _LINK_SHARE_WARN:
        return Finding(WARN, topic, f"{text}: little room is left for resends",
                       "lower AcquisitionFrameRate or set a throughput limit with "
                       "corvisk.share_link([cam])")
    return Finding(OK, topic, text)


def _delay_finding(cam, adapter: Adapter, packet_size: Optional[float],
                   wire_rate: Optional[float], ip: str) -> Optional[Finding]:
    """What the camera's inter-packet delay (GevSCPD) allows against what its frames need;
    None without a delay."""
    delay = read_number(cam, ("GevSCPD",))
    if not delay or delay <= 0:
        return None
    topic = f"packet delay {ip}"
    ticks = read_number(cam, TICK_FEATURES)
    if not ticks or ticks <= 0 or not packet_size:
        return Finding(OK, topic, f"GevSCPD is {int(delay)} ticks; the camera's tick frequency "
                       "or packet size is unknown")
    packet = int(packet_size) + WIRE_FRAMING
    gap = delay / ticks
    link = adapter.link_bytes_per_s
    on_wire = packet / link if link else 0.0
    # Each packet takes its own time on the wire and then the delay.
    cap = packet / (gap + on_wire)
    text = (f"GevSCPD {int(delay)} ticks leaves {gap * 1e6:.3g} us after each packet: the camera "
            f"sends at most {_rate(cap)}")
    if wire_rate is None:
        return Finding(OK, topic, text)
    if wire_rate > cap:
        most = int(ticks * max(packet / wire_rate - on_wire, 0.0))
        return Finding(WARN, topic, f"{text}, less than the {_rate(wire_rate)} its frames need: "
                       "frames come slower than its frame rate, or the camera drops them",
                       f"set GevSCPD to at most {most} ticks, or plan the link again with "
                       "corvisk.share_link([cam])")
    return Finding(OK, topic, f"{text}, enough for the {_rate(wire_rate)} its frames need")


def _route_findings(adapter: Optional[Adapter], ip: str) -> List[Finding]:
    if adapter is None:
        return [Finding(ERROR, f"route {ip}", f"no adapter routes to {ip}",
                        "ip addr add ADDRESS/PREFIX dev ADAPTER  (an address on the camera's "
                        "subnet)")]
    if not adapter.up:
        return [Finding(ERROR, f"route {ip}", f"{ip} is routed through {adapter.name}, which is "
                        "down", f"ip link set dev {adapter.name} up")]
    return [Finding(OK, f"route {ip}", f"{ip} is reached through {adapter.name}")]


def _camera_findings(cam, rmem_max: Optional[int], found: Sequence[Adapter],
                     proc_net: str) -> List[Finding]:
    ip = _camera_ip(cam)
    name = route_adapter(ip, proc_net=proc_net)
    adapter = next((a for a in found if a.name == name), None)
    findings = _route_findings(adapter, ip)
    if adapter is None or not adapter.up:
        return findings
    payload = read_number(cam, ("PayloadSize",))
    packet_size = read_number(cam, ("GevSCPSPacketSize",))
    largest = _largest_packet_size(cam)
    if adapter.name != "lo":
        findings += _packet_findings(adapter, packet_size, largest, ip)
    rate = read_number(cam, FRAME_RATE_FEATURES)
    wire = None
    if payload and packet_size and rate and rate > 0:
        wire = rate * frame_wire_bytes(int(payload), int(packet_size))
    findings.append(_bandwidth_finding(adapter, wire, ip))
    delay = _delay_finding(cam, adapter, packet_size, wire, ip)
    if delay is not None:
        findings.append(delay)
    if payload:
        need = stream_receive_buffer(cam, int(payload))
        findings.append(_rmem_finding(rmem_max, need, f"a stream of {ip} asks for "
                                      f"({int(payload)}-byte frames)", f"receive buffer {ip}"))
    return findings


def _largest_packet_size(cam) -> Optional[int]:
    import corvisk

    try:
        return cam.integer_bounds("GevSCPSPacketSize")[1]
    except (corvisk.GenicamError, corvisk.CameraError):
        return None


def check_host(cam=None, *, _proc: str = "/proc", _sys: str = "/sys") -> List[Finding]:
    """Findings about this host (and the path to `cam`, a connected corvisk.Camera, if given):
    a list of Finding, errors and warnings with a command that fixes them."""
    rmem_max = _read_int(Path(_proc) / "sys/net/core/rmem_max")
    found = adapters(sys_net=os.path.join(_sys, "class/net"),
                     ipv4_conf=os.path.join(_proc, "sys/net/ipv4/conf"))
    auto_max = _corvisk_ext.stream_defaults()["recv_buffer_max"]
    findings = _host_findings(rmem_max, auto_max, found)
    if cam is not None:
        findings += _camera_findings(cam, rmem_max, found, os.path.join(_proc, "net"))
    return findings
