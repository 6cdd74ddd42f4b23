"""Type stubs for the compiled core of corvisk (grows with each class the core registers)."""

from typing import final

class CameraError(RuntimeError):
    """Raised when the transport link fails: connect/acknowledge timeout, I/O error, device NAK, lost control, or a malformed packet.

    At run time the class is named ``corvisk.CameraException``.
    """

class GenicamError(RuntimeError):
    """Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value out of range, or a broken device description.

    At run time the class is named ``corvisk.GenicamException``.
    """

@final
class Camera:
    """A connected GenICam camera shared behind a mutex, so sessions and
    channels created from it stay valid while Python holds them."""

    def __init__(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4,
                 heartbeat_timeout: float = 3.0, exclusive: bool = False,
                 local_ip: str | None = None) -> None:
        """Builds the connection settings; sends nothing until ``connect()``.

        ``ValueError`` for an unparsable address or a negative, NaN, infinite or too large
        timeout; ``OverflowError`` for ``retries`` outside 0..255; ``TypeError`` for a wrong
        type (``exclusive`` must be a bool).
        """
    def connect(self) -> None:
        """Takes control of the device and reads its identity (``CameraError`` on failure)."""
    def disconnect(self, deadline: float = 0.5) -> None:
        """Releases control and ends the connection; never fails."""
    def is_connected(self) -> bool:
        """``True`` while a connection exists and its control worker is alive."""
    def device_info(self) -> DeviceInfo:
        """The identity read at connect (``CameraError`` when not connected or control lost)."""
    def link_stats(self) -> LinkStats | None:
        """A snapshot of the control-channel counters, or ``None`` when not connected."""

@final
class LinkStats:
    """Control-channel counters."""

    @property
    def commands(self) -> int:
        """Transactions sent (first datagram)."""
    @property
    def acks(self) -> int:
        """Acknowledges matching the transaction in flight (PENDING_ACK excluded)."""
    @property
    def retries(self) -> int:
        """Retransmissions."""
    @property
    def timeouts(self) -> int:
        """Transactions abandoned after their last try."""
    @property
    def naks(self) -> int:
        """Acknowledges carrying an error status."""
    @property
    def pending_acks(self) -> int:
        """PENDING_ACKs received."""
    @property
    def heartbeats(self) -> int:
        """Heartbeats acknowledged with control granted."""
    @property
    def events(self) -> int:
        """Device events received."""
    @property
    def unsolicited(self) -> int:
        """Well-formed acknowledges that matched nothing in flight."""

@final
class DeviceInfo:
    """Identity and addressing of one GigE Vision device (read-only; made by the library)."""

    @property
    def ip(self) -> str:
        """Current IPv4 address, dotted quad (``"192.168.1.10"``)."""
    @property
    def mac(self) -> str:
        """MAC address, lower-case hex bytes joined by colons (``"00:1a:2b:3c:4d:5e"``)."""
    @property
    def model(self) -> str:
        """Model name."""
    @property
    def serial(self) -> str:
        """Serial number."""
    @property
    def gateway(self) -> str:
        """Current default gateway, dotted quad."""
    @property
    def subnet_mask(self) -> str:
        """Current subnet mask, dotted quad."""
    @property
    def manufacturer(self) -> str:
        """Manufacturer name."""
    @property
    def spec_version(self) -> tuple[int, int]:
        """GigE Vision version the device implements, as ``(major, minor)``."""
    @property
    def device_version(self) -> str:
        """Device version text."""
    @property
    def manufacturer_info(self) -> str:
        """Manufacturer-specific information."""
    @property
    def user_defined_name(self) -> str:
        """User-defined device name."""

def discover(timeout: float = 1.0) -> list[DeviceInfo]:
    """Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and
    return the devices that answer within `timeout` seconds.

    Raises ``ValueError`` for a negative, NaN, infinite or too large timeout, and
    ``CameraError`` when no adapter can be used or a socket fails.
    """
