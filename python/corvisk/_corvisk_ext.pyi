"""Native support for the corvisk package beyond the core module."""

build_version: str

def discover_devices(timeout: float, adapter: str, /) -> list[dict[str, str | int]]:
    """Discovery answers as dicts, with the adapter each arrived on (adapter '' = every
    adapter)."""

def force_ip(mac: bytes, ip: bytes, subnet_mask: bytes, gateway: bytes, adapter: str,
             timeout: float, /) -> dict[str, str | int]:
    """FORCEIP on the adapter, then the device's answer from its new address as a dict."""

def stream_tuning(camera: object, /) -> tuple[int, int, int]:
    """The camera's (recv_buffer, recv_buffer_max, pool_memory_limit); 0 = automatic."""

def set_stream_tuning(camera: object, recv_buffer: int, recv_buffer_max: int,
                      pool_memory_limit: int, /) -> None:
    """Sets the stream settings later captures of the camera use (0 = automatic)."""

def stream_defaults() -> dict[str, int]:
    """What the automatic stream settings resolve to on this host."""

def granted_receive_buffer(requested: int, /) -> int:
    """The receive buffer the system grants a socket that asks for `requested` bytes."""
