"""Type stubs for the compiled core of corvisk."""

from collections.abc import Iterator
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
    channels created from it stay valid while Python holds them.

    Device work runs with the interpreter lock released. Capture activities
    (`snap`, `start_acquisition`, `snapshot_session`) and `connect` /
    `disconnect` claim the camera: a second one raises ``ValueError``
    "camera is busy (... in progress); stop it first". Feature reads and writes
    never claim it and work while an acquisition runs.
    """

    def __init__(self, ip: str, *, gvcp_timeout: float = 0.5, retries: int = 4,
                 heartbeat_timeout: float = 3.0, exclusive: bool = False,
                 local_ip: str | None = None) -> None:
        """No network traffic; ``ValueError`` for an unparsable address."""
    def connect(self) -> None:
        """Take control of the device and load its feature description."""
    def disconnect(self, deadline: float = 0.5) -> None:
        """Release control of the device; never fails."""
    def is_connected(self) -> bool:
        """`True` while a control connection exists and is alive."""
    def device_info(self) -> DeviceInfo:
        """The identity read at connect."""
    def link_stats(self) -> LinkStats | None:
        """Control-channel counters, or `None` when not connected."""
    def get_integer(self, name: str) -> int:
        """Read an integer feature."""
    def set_integer(self, name: str, value: int) -> None:
        """Write an integer feature."""
    def get_float(self, name: str) -> float:
        """Read a float feature."""
    def set_float(self, name: str, value: float) -> None:
        """Write a float feature."""
    def get_boolean(self, name: str) -> bool:
        """Read a boolean feature."""
    def set_boolean(self, name: str, value: bool) -> None:
        """Write a boolean feature."""
    def get_string(self, name: str) -> str:
        """Read a string feature (an enumeration gives its current entry)."""
    def set_string(self, name: str, value: str) -> None:
        """Write a string feature."""
    def get_enum(self, name: str) -> str:
        """The current entry name of an enumeration."""
    def set_enum(self, name: str, entry: str) -> None:
        """Select an enumeration entry by name."""
    def enum_entries(self, name: str) -> list[str]:
        """The entry names of an enumeration."""
    def execute(self, name: str) -> None:
        """Execute a command feature."""
    def integer_bounds(self, name: str) -> tuple[int, int]:
        """(minimum, maximum) of an integer feature."""
    def float_bounds(self, name: str) -> tuple[float, float]:
        """(minimum, maximum) of a float feature."""
    def integer_increment(self, name: str) -> int:
        """The increment of an integer feature."""
    def access_mode(self, name: str) -> AccessMode:
        """The feature's current access mode."""
    def has_feature(self, name: str) -> bool:
        """`False` when not connected or the name does not resolve."""
    def feature_names(self) -> list[str]:
        """Every node name of the feature description."""
    def invalidate_caches(self) -> None:
        """Forget cached register contents; the next reads go to the device."""
    def snap(self, timeout: float = 5.0, *, channel: int = 0, n_buffers: int = 8,
             packet_size: int | None = None, packet_delay: int | None = None,
             resend: bool = True) -> Frame:
        """Open a stream channel, capture one frame within `timeout` seconds and
        restore the camera. The frame is returned whatever its status;
        ``GenicamError`` "no frame arrived within the snap timeout" when none came."""
    def start_acquisition(self, *, channel: int = 0, n_buffers: int = 8,
                          packet_size: int | None = None, packet_delay: int | None = None,
                          resend: bool = True) -> Acquisition:
        """Start continuous streaming; the camera is busy until the acquisition stops."""
    def snapshot_session(self, *, channel: int = 0, n_buffers: int = 8,
                         packet_size: int | None = None, packet_delay: int | None = None,
                         resend: bool = True) -> SnapshotSession:
        """Keep a stream channel open for repeated single-frame snaps."""

@final
class SnapshotSession:
    """An open stream channel dedicated to on-demand single-frame capture; the
    camera transmits only while a `snap()` is in flight. Use as a context
    manager or call `close()` to restore the camera's acquisition mode.
    """

    def snap(self, timeout: float = 5.0) -> Frame:
        """Capture one frame; frames that arrived between snaps are discarded.
        ``ValueError`` "snapshot session is closed" after `close()`."""
    def close(self) -> None:
        """Restore `AcquisitionMode`, unlock transport parameters, and close the
        stream channel. Idempotent."""
    def stats(self) -> StreamStats:
        """Counters of the session's stream."""
    def packet_size(self) -> int:
        """The stream channel's packet size."""
    def is_closed(self) -> bool:
        """`True` once closed."""
    def __enter__(self) -> SnapshotSession: ...
    def __exit__(self, *_args: object) -> bool: ...

@final
class Acquisition:
    """A running continuous acquisition. The built-in subscription is created
    before the camera starts, so even the first frame is delivered. Use as a
    context manager or call `stop()`; buffered frames stay readable after.
    """

    def stop(self) -> None:
        """Stop the camera, unlock transport parameters, and close the stream
        channel. Idempotent; frames already buffered stay readable."""
    def wait_for(self, timeout: float = 1.0) -> Frame | None:
        """The next frame of the built-in subscription, or `None` on timeout or
        once the stream has ended and the queue is empty."""
    def try_recv(self) -> Frame | None:
        """The next queued frame, or `None` (never waits)."""
    def recv_all(self) -> list[Frame]:
        """Every frame queued right now, oldest first (never waits)."""
    def clear(self) -> None:
        """Discard every queued frame."""
    def subscribe(self, capacity: int = 16) -> FrameChannel:
        """An additional subscription with its own buffer; unlike the built-in
        one it only sees frames completed after this call."""
    def stats(self) -> StreamStats:
        """Stream counters; ``ValueError`` "acquisition is stopped" after stop."""
    def packet_size(self) -> int:
        """The stream's packet size; ``ValueError`` after stop."""
    def local_addr(self) -> str:
        """The stream socket's address as "ip:port"; ``ValueError`` after stop."""
    def is_stopped(self) -> bool:
        """`True` once stopped."""
    def __enter__(self) -> Acquisition: ...
    def __exit__(self, *_args: object) -> bool: ...
    def __iter__(self) -> Iterator[Frame]: ...
    def __next__(self) -> Frame: ...

@final
class Frame:
    """One captured frame. The pixel payload is copied out by `data()`.

    Read-only and made by the library. Besides ``data()``, a frame exports its payload through
    the buffer protocol: a read-only, one-dimensional view of unsigned bytes (format ``"B"``)
    over the same bytes ``data()`` would copy, without copying them::

        pixels = numpy.frombuffer(frame, dtype=numpy.uint8).reshape(frame.height, frame.width)
        view = memoryview(frame)

    While any such view exists the frame's pool buffer stays out of the stream's pool (the
    receiver counts underruns once every buffer is held); it returns when the last view and
    the frame object are gone. Copy (``data()``, ``numpy.array(view)``) to keep pixels longer.
    """

    @property
    def status(self) -> FrameStatus:
        """How the frame ended."""
    @property
    def is_complete(self) -> bool:
        """`True` when every packet of the frame arrived."""
    @property
    def frame_id(self) -> int:
        """GVSP block id."""
    @property
    def width(self) -> int:
        """Image width in pixels, from the leader (0 without one)."""
    @property
    def height(self) -> int:
        """Image height in pixels, from the leader (0 without one)."""
    @property
    def x_offset(self) -> int:
        """Horizontal offset of the region of interest, from the leader."""
    @property
    def y_offset(self) -> int:
        """Vertical offset of the region of interest, from the leader."""
    @property
    def pixel_format(self) -> str:
        """Pixel format name (e.g. `"Mono8"`), or the raw GigE Vision code in
        hex for formats without a known name."""
    @property
    def pixel_format_code(self) -> int:
        """The raw 32-bit GigE Vision pixel format code."""
    @property
    def bits_per_pixel(self) -> int:
        """Bits per pixel: bits 16..23 of the pixel format code."""
    @property
    def timestamp_ns(self) -> int:
        """Device timestamp in nanoseconds (the host time when the tick rate is unknown)."""
    @property
    def timestamp_ticks(self) -> int:
        """Raw device timestamp from the leader, in device ticks."""
    @property
    def system_timestamp_ns(self) -> int:
        """Host wall-clock time at leader arrival, nanoseconds since the UNIX epoch."""
    @property
    def received_size(self) -> int:
        """Payload bytes received."""
    def data(self) -> bytes:
        """The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete
        frame the holes read as stale buffer content — check `status` first."""
    def __buffer__(self, flags: int, /) -> memoryview:
        """Read-only, zero-copy view of the payload (see the class docstring)."""

@final
class FrameChannel:
    """A clone-able receiver for completed frames. Each subscription has its own
    bounded buffer; when it is full new frames are dropped for that
    subscriber and counted in [`StreamStats::frames_dropped`].

    Iterating waits for each next frame (with the interpreter lock released, Ctrl-C
    interrupts) and ends once the stream has stopped and the queued frames are taken.
    """

    def wait_for(self, timeout: float) -> Frame | None:
        """Wait up to `timeout` seconds for the next frame; `None` on timeout or
        once the stream has ended and the channel is empty.

        Raises ``ValueError`` for a negative, NaN, infinite or too large timeout.
        """
    def try_recv(self) -> Frame | None:
        """The next queued frame, or `None` if there is none (never waits)."""
    def recv_all(self) -> list[Frame]:
        """Every frame queued right now, oldest first, as a list (never waits)."""
    def clear(self) -> None:
        """Discard every queued frame."""
    def __iter__(self) -> Iterator[Frame]: ...
    def __next__(self) -> Frame: ...

@final
class FrameStatus:
    """How a frame ended.

    Equal (``==``) to its integer value, hashed like it, and convertible with ``int()``;
    ordering comparisons are not supported.
    """

    Complete: FrameStatus
    MissingPackets: FrameStatus
    Timeout: FrameStatus
    Aborted: FrameStatus
    WrongPacketId: FrameStatus
    PayloadUnsupported: FrameStatus
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class AccessMode:
    """How a feature may be accessed right now: read-only, write-only or read-write."""

    RO: AccessMode
    WO: AccessMode
    RW: AccessMode
    def __int__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class StreamStats:
    """Stream receiver counters, all monotonic since stream open.

    A snapshot: it does not change after it is taken. Two snapshots compare equal when every
    counter is equal.
    """

    @property
    def packets(self) -> int:
        """Datagrams received from the device."""
    @property
    def bytes(self) -> int:
        """Total length of those datagrams."""
    @property
    def completed_frames(self) -> int:
        """Frames closed complete."""
    @property
    def failed_frames(self) -> int:
        """Frames closed with any status other than complete or aborted."""
    @property
    def timed_out_frames(self) -> int:
        """Frames closed because no packet arrived within the frame timeout."""
    @property
    def aborted_frames(self) -> int:
        """Frames in progress when the stream shut down."""
    @property
    def missing_frames(self) -> int:
        """Block ids the device skipped."""
    @property
    def underruns(self) -> int:
        """New frames that found no free buffer (all held by consumers)."""
    @property
    def missing_packets(self) -> int:
        """Packets missing from failed frames, after their contiguous prefix."""
    @property
    def resend_requests(self) -> int:
        """Packets asked for again."""
    @property
    def resent_packets(self) -> int:
        """Requested packets that arrived."""
    @property
    def resend_ratio_reached(self) -> int:
        """Frames that exhausted their resend budget."""
    @property
    def resend_disabled(self) -> int:
        """Packets whose status told the receiver to stop requesting resends."""
    @property
    def duplicated_packets(self) -> int:
        """Packets received twice."""
    @property
    def error_packets(self) -> int:
        """Packets with an error status."""
    @property
    def ignored_packets(self) -> int:
        """Datagrams too short, late, of unsupported frames, or of unsupported formats."""
    @property
    def unsupported_frames(self) -> int:
        """Frames that could not be handled (format, payload type or packet size)."""
    @property
    def size_mismatch_errors(self) -> int:
        """Payload packets other than the last that would overrun the buffer."""
    @property
    def frames_dropped(self) -> int:
        """Completed frames a subscriber could not take (its channel was full)."""

@final
class LinkStats:
    """Control-channel counters."""

    @property
    def commands(self) -> int: ...
    @property
    def acks(self) -> int: ...
    @property
    def retries(self) -> int: ...
    @property
    def timeouts(self) -> int: ...
    @property
    def naks(self) -> int: ...
    @property
    def pending_acks(self) -> int: ...
    @property
    def heartbeats(self) -> int: ...
    @property
    def events(self) -> int: ...
    @property
    def unsolicited(self) -> int: ...

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
