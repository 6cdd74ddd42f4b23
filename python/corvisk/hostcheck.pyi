from dataclasses import dataclass
from typing import List, Literal, Optional, Sequence

from ._corvisk_core import Camera

PACKET_HEADERS: int
WIRE_FRAMING: int
JUMBO_MTU: int
FRAME_RATE_FEATURES: tuple[str, ...]
TICK_FEATURES: tuple[str, ...]

@dataclass(frozen=True)
class Finding:
    level: Literal["ok", "warn", "error"]
    topic: str
    message: str
    fix: str = ...

@dataclass(frozen=True)
class Adapter:
    name: str
    up: bool
    operstate: str
    mtu: Optional[int]
    speed_mbps: Optional[int]
    rp_filter: Optional[int]
    @property
    def link_bytes_per_s(self) -> Optional[float]: ...

def adapters(*, sys_net: str = ..., ipv4_conf: str = ...) -> List[Adapter]: ...
def route_adapter(ip: str, *, proc_net: str = ...) -> Optional[str]: ...
def read_number(cam: Camera, names: Sequence[str]) -> Optional[float]: ...
def frame_wire_bytes(payload_size: int, packet_size: int) -> float: ...
def stream_receive_buffer(cam: Camera, payload_size: int) -> int: ...
def check_host(cam: Optional[Camera] = ...) -> List[Finding]: ...
