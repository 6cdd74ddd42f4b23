from dataclasses import dataclass
from typing import Optional

from ._corvisk_core import Camera

@dataclass(frozen=True)
class StreamSettings:
    recv_buffer: int
    recv_buffer_max: int
    pool_memory_limit: int
    resend_initial_delay: float
    resend_interval: float
    frame_timeout: float
    resend_ratio: float
    receive_moderation: float

def stream_config(camera: Camera, *, recv_buffer: Optional[int] = ...,
                  recv_buffer_max: Optional[int] = ...,
                  pool_memory_limit: Optional[int] = ...,
                  resend_initial_delay: Optional[float] = ...,
                  resend_interval: Optional[float] = ...,
                  frame_timeout: Optional[float] = ...,
                  resend_ratio: Optional[float] = ...,
                  receive_moderation: Optional[float] = ...) -> StreamSettings: ...
