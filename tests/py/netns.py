"""Network-namespace fixtures for tests that broadcast: discovery never touches real adapters.

A test asks `NetnsLab` for namespaces and veth links between them; everything it made is
deleted at teardown. The discovery responder is started by `start_discovery_responder`, the
one place to change when a fuller simulated device takes its job.
"""

from __future__ import annotations

import ipaddress
import itertools
import os
import select
import shutil
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESPONDER = HERE / "gvcp_responder.py"
_run_ids = itertools.count()


def _ip(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=10, check=check)


def netns_unavailable_reason() -> str | None:
    """Why namespaces cannot be used here, or None when `ip netns add` works."""
    if shutil.which("ip") is None:
        return "iproute2 'ip' not installed"
    probe = f"cvkprobe{os.getpid()}"
    r = _ip("netns", "add", probe, check=False)
    if r.returncode != 0:
        return f"ip netns add not permitted: {r.stderr.strip()}"
    _ip("netns", "del", probe, check=False)
    return None


@dataclass
class Netns:
    name: str

    def exec_args(self, *cmd: str) -> list[str]:
        return ["ip", "netns", "exec", self.name, *cmd]

    def python(self, code: str, timeout: float = 30.0) -> subprocess.CompletedProcess:
        """Runs `code` with this interpreter (and its installed corvisk) inside the namespace."""
        return subprocess.run(self.exec_args(sys.executable, "-c", code), capture_output=True,
                              text=True, timeout=timeout)


@dataclass
class Process:
    """A child process with line-wise stdout reading under a deadline."""

    popen: subprocess.Popen
    lines: list[str] = field(default_factory=list)
    partial: str = ""  # the start of a line not yet ended

    def read_until(self, predicate, timeout: float = 10.0) -> bool:
        """Reads lines until predicate(lines) holds; False when the deadline passes first.

        Reads the pipe's descriptor itself: select() knows nothing of lines a buffered
        readline() has already pulled in, so two lines written together would leave the second
        unseen until the deadline."""
        deadline = time.monotonic() + timeout
        fd = self.popen.stdout.fileno()
        while not predicate(self.lines):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            ready, _, _ = select.select([fd], [], [], remaining)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:  # it has exited and everything it wrote is taken
                if self.partial:
                    self.lines.append(self.partial.strip())
                    self.partial = ""
                return predicate(self.lines)
            *complete, self.partial = (self.partial + chunk.decode(errors="replace")).split("\n")
            self.lines.extend(line.strip() for line in complete)
        return True

    def stop(self) -> None:
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait(timeout=10)
        self.popen.stdout.close()


class NetnsLab:
    """Creates namespaces and links for one test and removes all of them in `close()`."""

    def __init__(self) -> None:
        self.prefix = f"cvk{os.getpid()}t{next(_run_ids)}"
        self.namespaces: list[Netns] = []
        self.processes: list[Process] = []
        self._links = itertools.count()

    def namespace(self) -> Netns:
        ns = Netns(f"{self.prefix}n{len(self.namespaces)}")
        _ip("netns", "add", ns.name)
        self.namespaces.append(ns)
        return ns

    def link(self, a: Netns, a_cidr: str, b: Netns, b_cidr: str) -> None:
        """A veth pair from a to b with these addresses (e.g. "10.231.0.1/24"), both up."""
        n = next(self._links)
        a_dev, b_dev = f"cvka{n}", f"cvkb{n}"
        _ip("link", "add", a_dev, "netns", a.name, "type", "veth", "peer", "name", b_dev,
            "netns", b.name)
        for ns, dev, cidr in ((a, a_dev, a_cidr), (b, b_dev, b_cidr)):
            _ip("-n", ns.name, "addr", "add", cidr, "dev", dev)
            _ip("-n", ns.name, "link", "set", dev, "up")
        for ns, dev in ((a, a_dev), (b, b_dev)):
            self._wait_link_up(ns, dev)

    @staticmethod
    def _wait_link_up(ns: Netns, dev: str, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while "state UP" not in _ip("-n", ns.name, "-o", "link", "show", "dev", dev).stdout:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{dev} in {ns.name} did not come up")
            time.sleep(0.01)

    def spawn(self, ns: Netns, *cmd: str) -> Process:
        popen = subprocess.Popen(ns.exec_args(*cmd), stdout=subprocess.PIPE, text=True)
        proc = Process(popen)
        self.processes.append(proc)
        return proc

    def close(self) -> None:
        for proc in self.processes:
            proc.stop()
        for ns in self.namespaces:
            _ip("netns", "del", ns.name, check=False)


@dataclass
class DeviceRecord:
    """The fields of a 248-byte DISCOVERY_ACK payload (bootstrap registers 0x0000-0x00F7)."""

    spec_major: int = 2
    spec_minor: int = 1
    device_mode: int = 0x80000000
    mac: str = "00:1a:2b:3c:4d:5e"
    ip_config_supported: int = 0x00000007
    ip_config_current: int = 0x00000004
    ip: str = "10.231.0.2"
    subnet_mask: str = "255.255.255.0"
    gateway: str = "10.231.0.254"
    manufacturer: str = "VendorX"
    model: str = "CamModel"
    device_version: str = "1.2.3"
    manufacturer_info: str = "made for tests"
    serial: str = "S123"
    user_defined_name: str = "bench"

    def encode(self) -> bytes:
        def text(value: str, width: int) -> bytes:
            raw = value.encode()
            assert len(raw) <= width
            return raw.ljust(width, b"\0")

        def addr(value: str) -> bytes:
            return ipaddress.IPv4Address(value).packed

        out = struct.pack(">HHI", self.spec_major, self.spec_minor, self.device_mode)
        out += b"\0\0" + bytes.fromhex(self.mac.replace(":", ""))
        out += struct.pack(">II", self.ip_config_supported, self.ip_config_current)
        out += bytes(12) + addr(self.ip) + bytes(12) + addr(self.subnet_mask)
        out += bytes(12) + addr(self.gateway)
        out += text(self.manufacturer, 32) + text(self.model, 32)
        out += text(self.device_version, 32) + text(self.manufacturer_info, 48)
        out += text(self.serial, 16) + text(self.user_defined_name, 16)
        assert len(out) == 248
        return out


def start_discovery_responder(lab: NetnsLab, ns: Netns, payload: bytes, *, status: int = 0,
                              ack: int = 0x0003) -> Process:
    """Starts a device answering discovery in `ns`; returns once it is listening."""
    proc = lab.spawn(ns, sys.executable, str(RESPONDER), payload.hex(), "--status",
                     hex(status), "--ack", hex(ack))
    if not proc.read_until(lambda lines: "ready" in lines):
        raise RuntimeError(f"discovery responder in {ns.name} did not start: {proc.lines}")
    return proc


def answered_sources(proc: Process) -> set[str]:
    return {line.split()[1] for line in proc.lines if line.startswith("answered ")}

