"""Native support for the corvisk package beyond the core module."""

from typing import Any

build_version: str

def discover_devices(timeout: float, adapter: str, /) -> list[dict[str, str | int]]:
    """Discovery answers as dicts, with the adapter each arrived on (adapter '' = every
    adapter)."""

def force_ip(mac: bytes, ip: bytes, subnet_mask: bytes, gateway: bytes, adapter: str,
             timeout: float, /) -> dict[str, str | int]:
    """FORCEIP on the adapter, then the device's answer from its new address as a dict."""

class EventChannel:
    """A message channel receiving one camera's device events."""
    def wait(self, timeout: float | None, /) -> tuple[int, int, int, int, int, bytes, int] | None | bool: ...
    def stats(self) -> dict[str, int]: ...
    def close(self) -> None: ...
    def local_port(self) -> int: ...

def open_events(camera: object, capacity: int, ack_timeout_ms: int, retransmissions: int,
                /) -> EventChannel:
    """Opens the camera's message channel."""

def event_names(camera: object, /) -> dict[int, str]:
    """Event id -> name, from the camera's description."""

def event_data_features(camera: object, /) -> dict[int, list[str]]:
    """Event id -> names of the features its data fills."""

def read_event_features(camera: object, event_id: int, data: bytes, names: list[str],
                        /) -> dict[str, int | float | bool | str]:
    """The named features read from one event's data."""

def chunk_layout(frame: object, /) -> list[tuple[int, int, int]]:
    """(chunk id, offset, length) of each chunk of the payload."""

def image_size(frame: object, /) -> int | None:
    """The image section's length of a frame with chunks, else None."""

def chunk_data_features(camera: object, /) -> dict[int, list[str]]:
    """Chunk id -> names of the features its data fills."""

def read_chunk_features(camera: object, frame: object, names: list[str],
                        /) -> dict[str, int | float | bool | str]:
    """The named chunk features of a frame."""

def string_max_length(camera: object, name: str, /) -> int | None:
    """The byte capacity of a string feature's register, or None when it has none."""

def description_xml(camera: object, /) -> bytes:
    """The device description the connection fetched, as bytes (unzipped)."""

class MonitorConnection:
    """A read-only connection that claims no control (corvisk.Monitor wraps it)."""

    def __init__(self, ip: str, gvcp_timeout: float, retries: int, local_ip: str, /) -> None: ...
    def connect(self) -> None: ...
    def disconnect(self) -> None: ...
    def is_connected(self) -> bool: ...
    def get(self, name: str, kind: int, /) -> int | float | bool | str:
        """kind: 0 integer, 1 float, 2 boolean, 3 string, 4 enumeration entry."""
    def has_feature(self, name: str, /) -> bool: ...
    def read_register(self, address: int, /) -> int: ...

class MulticastReceiver:
    """Receives a stream channel sent to a multicast group (corvisk.MulticastStream wraps it)."""

    def __init__(self, group: str, port: int, adapter_ip: str, device_ip: str,
                 payload_size: int, packet_size: int, tick_frequency: int, resend: bool,
                 n_buffers: int, /) -> None: ...
    def wait_for(self, timeout: float, /) -> tuple[int, str, int, int, int, int, int, int, int,
                                                   bytes] | None:
        """(frame_id, status, pixel_format, width, height, x_offset, timestamp_ticks,
        timestamp_ns, system_timestamp_ns, data), or None on timeout or after close()."""
    def port(self) -> int: ...
    def stats(self) -> dict[str, int]: ...
    def close(self) -> None: ...

class CameraClaim:
    """Holds a Camera busy for a multicast acquisition (a snap or another acquisition is
    refused with ValueError) until released."""

    def __init__(self, camera: object) -> None: ...
    def release(self) -> None: ...

class LogTap:
    """Collects the library's log records of at least ``level`` (0 trace, 1 debug, 2 warning,
    3 error) in a queue of ``capacity`` (corvisk.enable_logging wraps it). One tap is
    installed at a time: a newer one replaces it."""

    def __init__(self, level: int, capacity: int) -> None: ...
    def take(self, timeout: float, /) -> list[tuple[int, str, str, dict[str, str]]] | None:
        """(level, target, message, fields) records, waiting up to ``timeout`` for the first;
        [] on timeout; None once closed or replaced and drained."""
    def dropped(self) -> int: ...
    def close(self) -> None: ...

def stream_tuning(camera: object, /) -> tuple[int, int, int]:
    """The camera's (recv_buffer, recv_buffer_max, pool_memory_limit); 0 = automatic."""

def set_stream_tuning(camera: object, recv_buffer: int, recv_buffer_max: int,
                      pool_memory_limit: int, /) -> None:
    """Sets the stream settings later captures of the camera use (0 = automatic)."""

def stream_timing(camera: object, /) -> tuple[float, float, float, float, float]:
    """The camera's (resend_initial_delay, resend_interval, frame_timeout, resend_ratio,
    receive_moderation), the durations in seconds."""

def set_stream_timing(camera: object, resend_initial_delay: float, resend_interval: float,
                      frame_timeout: float, resend_ratio: float, receive_moderation: float,
                      /) -> None:
    """Sets the resend timings and receive moderation later captures of the camera use."""

def stream_defaults() -> dict[str, Any]:
    """What the automatic stream settings resolve to on this host."""

def granted_receive_buffer(requested: int, /) -> int:
    """The receive buffer the system grants a socket that asks for `requested` bytes."""

def register_length(camera: object, name: str, /) -> int:
    """The byte length of a register feature in device memory."""

def read_register(camera: object, name: str, count: int, /) -> bytes:
    """The first `count` bytes of a register feature, read from the device (never from the
    cache)."""

def write_register(camera: object, name: str, data: bytes, /) -> None:
    """Writes `data` at the start of a register feature."""

def command_done(camera: object, name: str, /) -> bool:
    """Whether a command has finished on the device (its register no longer reads back the
    value that started it)."""
