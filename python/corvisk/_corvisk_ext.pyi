"""Native support for the corvisk package beyond the core module."""

build_version: str

def discover_devices(timeout: float, adapter: str, /) -> list[dict[str, str | int]]:
    """Discovery answers as dicts, with the adapter each arrived on (adapter '' = every
    adapter)."""

def force_ip(mac: bytes, ip: bytes, subnet_mask: bytes, gateway: bytes, adapter: str,
             timeout: float, /) -> dict[str, str | int]:
    """FORCEIP on the adapter, then the device's answer from its new address as a dict."""

def string_max_length(camera: object, name: str, /) -> int | None:
    """The byte capacity of a string feature's register, or None when it has none."""

def description_xml(camera: object, /) -> bytes:
    """The device description the connection fetched, as bytes (unzipped)."""
