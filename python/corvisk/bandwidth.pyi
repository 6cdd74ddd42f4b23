from dataclasses import dataclass
from typing import Iterator, List, Optional, Sequence

from ._corvisk_core import Camera

@dataclass(frozen=True)
class CameraShare:
    ip: str
    payload_size: int
    packet_size: int
    frame_rate_before: Optional[float]
    frame_rate_after: Optional[float]
    bytes_per_s_before: float
    bytes_per_s_after: float
    tick_frequency: Optional[int]
    delay_ticks: Optional[int]
    throughput_limit: Optional[int]
    applied: bool = ...

@dataclass(frozen=True)
class LinkPlan:
    link_bytes_per_s: float
    headroom: float
    cameras: List[CameraShare]
    @property
    def budget(self) -> float: ...
    @property
    def demand(self) -> float: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> CameraShare: ...
    def __iter__(self) -> Iterator[CameraShare]: ...

def share_link(cams: Sequence[Camera], link_bytes_per_s: Optional[float] = ...,
               headroom: float = ..., *, apply: bool = ...,
               negotiate: bool = ...) -> LinkPlan: ...
