"""Frame, FrameStatus, StreamStats and FrameChannel, fed by the real stream receiver.

A test-only extension (stream_ext.cpp, built against the library's build tree) runs the
receiver on a loopback socket and returns the core's FrameChannel and StreamStats objects; the
tests play the camera with a plain UDP socket and hand-built GVSP datagrams.
"""

import ctypes
import gc
import importlib.util
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import sysconfig
import threading
import time
import weakref
from pathlib import Path

import pytest

import corvisk
from corvisk import FrameStatus

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("CORVISK_CMAKE_BUILD_DIR", ROOT / "build" / "cmake"))

RECEIVER_IP = "127.0.7.1"
DEVICE_IP = "127.0.7.2"
OVERHEAD = 36  # IP + UDP + GVSP header bytes of a standard packet
MONO8 = 0x01080001


@pytest.fixture(scope="session")
def stream_ext(tmp_path_factory):
    library = BUILD / "libcorvisk_core.a"
    if not library.exists() or shutil.which("g++") is None:
        pytest.skip(f"needs g++ and the library build tree ({library})")
    out = tmp_path_factory.mktemp("ext") / ("_cvk_stream" + sysconfig.get_config_var("EXT_SUFFIX"))
    py_src = ROOT / "src" / "py"
    sources = [Path(__file__).with_name("stream_ext.cpp")] + [
        py_src / f"{name}.cpp"
        for name in ("frame_channel", "frame", "frame_status", "int_enum", "stream_stats",
                     "convert", "method")]
    cmd = ["g++", "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
           f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}",
           *map(str, sources), str(library), "-lfmt", "-lpthread", "-o", str(out),
           # e.g. "-fsanitize=address,undefined" when the build tree is a sanitizer build
           *os.environ.get("CORVISK_TEST_EXT_FLAGS", "").split()]
    subprocess.run(cmd, check=True, timeout=600)
    spec = importlib.util.spec_from_file_location("_cvk_stream", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def wait_until(predicate, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


class Camera:
    """Plays the device: sends GVSP frames from DEVICE_IP to a running stream receiver."""

    def __init__(self, ext, payload_size, packet_size=OVERHEAD + 1000, n_buffers=8,
                 frame_timeout=0.1):
        self.ext = ext
        self.payload_size = payload_size
        self.per_packet = packet_size - OVERHEAD
        self.receiver, port = ext.start(RECEIVER_IP, DEVICE_IP, payload_size, packet_size,
                                        n_buffers, frame_timeout)
        self.dest = (RECEIVER_IP, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((DEVICE_IP, 0))
        self.sent = 0

    def close(self):
        self.sock.close()
        self.ext.stop(self.receiver)

    def subscribe(self, capacity=8):
        return self.ext.subscribe(self.receiver, capacity)

    def stats(self):
        return self.ext.stats(self.receiver)

    def stop(self):
        self.ext.stop(self.receiver)

    def send(self, block, fmt, packet_id, payload=b""):
        header = struct.pack(">HHB", 0, block & 0xFFFF, fmt) + packet_id.to_bytes(3, "big")
        self.sock.sendto(header + payload, self.dest)
        self.sent += 1
        if self.sent % 64 == 0:  # keep well inside the socket's receive buffer
            wait_until(lambda: self.stats().packets >= self.sent - 64, what="receiver to drain")

    def frame(self, block, data, width, height, pixel_format=MONO8, ticks=0, skip=(),
              trailer=True):
        """Leader, payload packets 1..n (minus `skip`), trailer."""
        leader = struct.pack(">HHQIIIIIHH", 0, 1, ticks, pixel_format, width, height, 3, 4, 0, 0)
        self.send(block, 1, 0, leader)
        chunks = [data[i:i + self.per_packet] for i in range(0, len(data), self.per_packet)]
        for i, chunk in enumerate(chunks, start=1):
            if i not in skip:
                self.send(block, 3, i, chunk)
        if trailer:
            self.send(block, 2, len(chunks) + 1, struct.pack(">HHI", 0, 1, height))

    def wait_stats(self, field, value):
        wait_until(lambda: getattr(self.stats(), field) >= value, what=f"{field} >= {value}")


def pattern(n, seed=0):
    return bytes((i * 7 + seed) % 251 for i in range(n))


@pytest.fixture
def small(stream_ext):
    """64x16 Mono8 frames (1024 bytes) in 256-byte packets: 4 payload packets each."""
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256)
    yield cam
    cam.close()


def send_small(cam, block, seed=0):
    data = pattern(1024, seed)
    cam.frame(block, data, 64, 16)
    return data


# --- Frame -----------------------------------------------------------------------------------

def test_complete_mono8_frame(stream_ext):
    cam = Camera(stream_ext, 640 * 480, packet_size=OVERHEAD + 8000)
    try:
        ch = cam.subscribe()
        data = pattern(640 * 480)
        before = time.time_ns()
        cam.frame(7, data, 640, 480, ticks=123456789)
        frame = ch.wait_for(5.0)
        assert frame is not None
        assert frame.status is FrameStatus.Complete and frame.status == FrameStatus.Complete
        assert frame.is_complete is True
        assert (frame.frame_id, frame.width, frame.height) == (7, 640, 480)
        assert (frame.x_offset, frame.y_offset) == (3, 4)
        assert frame.pixel_format == "Mono8"
        assert frame.pixel_format_code == MONO8
        assert frame.bits_per_pixel == 8
        assert frame.timestamp_ticks == 123456789
        # The tick rate is unknown here, so the device time falls back to the host's.
        assert frame.timestamp_ns == frame.system_timestamp_ns
        assert before <= frame.system_timestamp_ns <= time.time_ns()
        assert frame.received_size == 307200
        assert frame.data() == data
        assert repr(frame) == "Frame(id=7, Complete, 640x480 Mono8, 307200 bytes)"
    finally:
        cam.close()


def test_incomplete_frame_data_ends_at_the_last_byte_received(small):
    ch = small.subscribe()
    data = pattern(1024)
    small.frame(3, data, 64, 16, skip={3, 4})
    frame = ch.wait_for(5.0)  # closes on the frame timeout: nothing newer arrives
    assert frame.status is FrameStatus.Timeout
    assert frame.is_complete is False
    assert frame.received_size == 512
    assert frame.data() == data[:512]
    assert len(memoryview(frame)) == 512
    assert repr(frame) == "Frame(id=3, Timeout, 64x16 Mono8, 512 bytes)"


def test_frame_without_payload_has_empty_data_and_view(small):
    ch = small.subscribe()
    small.frame(4, b"", 64, 16)  # leader and trailer only
    frame = ch.wait_for(5.0)
    assert (frame.frame_id, frame.received_size, frame.data()) == (4, 0, b"")
    view = memoryview(frame)
    assert (view.nbytes, view.tobytes(), view.readonly) == (0, b"", True)
    np = pytest.importorskip("numpy")
    assert np.frombuffer(frame, dtype=np.uint8).size == 0


def test_unknown_pixel_format_shows_its_code(small):
    ch = small.subscribe()
    small.frame(1, pattern(1024), 32, 16, pixel_format=0x0210001F)
    frame = ch.wait_for(5.0)
    assert frame.pixel_format == "0x0210001f"
    assert frame.pixel_format_code == 34603039
    assert frame.bits_per_pixel == 16
    assert repr(frame) == "Frame(id=1, Complete, 32x16 0x0210001f, 1024 bytes)"


FRAME_ATTRIBUTES = [
    "status", "is_complete", "frame_id", "width", "height", "x_offset", "y_offset",
    "pixel_format", "pixel_format_code", "bits_per_pixel", "timestamp_ns", "timestamp_ticks",
    "system_timestamp_ns", "received_size",
]


def test_frame_class_surface():
    cls = corvisk.Frame
    assert cls.__module__ == "corvisk" and cls.__name__ == "Frame"
    assert cls.__doc__ == "One captured frame. The pixel payload is copied out by `data()`."
    props = [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert props == FRAME_ATTRIBUTES
    assert cls.is_complete.__doc__ == "`True` when every packet of the frame arrived."
    assert cls.pixel_format.__doc__ == (
        'Pixel format name (e.g. `"Mono8"`), or the raw GigE Vision code in\n'
        "hex for formats without a known name.")
    assert cls.pixel_format_code.__doc__ == "The raw 32-bit GigE Vision pixel format code."
    assert cls.data.__text_signature__ == "($self)"
    assert cls.data.__doc__ == (
        "The payload bytes (e.g. for `numpy.frombuffer`). For an incomplete\n"
        "frame the holes read as stale buffer content \u2014 check `status` first.")
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.width = 1


def test_frame_attributes_are_read_only(small):
    ch = small.subscribe()
    send_small(small, 1)
    frame = ch.wait_for(5.0)
    for name in FRAME_ATTRIBUTES:
        with pytest.raises(AttributeError):
            setattr(frame, name, 0)
    with pytest.raises(AttributeError):
        frame.extra = 1


# --- Buffer protocol -------------------------------------------------------------------------

def test_buffer_view_is_read_only_bytes_without_copy(small):
    ch = small.subscribe()
    data = send_small(small, 1)
    frame = ch.wait_for(5.0)
    view = memoryview(frame)
    assert (view.readonly, view.format, view.itemsize, view.ndim) == (True, "B", 1, 1)
    assert view.shape == (1024,) and view.nbytes == len(frame.data())
    assert view.tobytes() == data
    with pytest.raises(TypeError):
        view[0] = 1
    with pytest.raises((TypeError, BufferError)):
        (ctypes.c_char * 1024).from_buffer(frame)  # asks for a writable buffer
    again = memoryview(frame)
    assert again.tobytes() == view.tobytes()
    view.release()
    again.release()


def test_numpy_views_share_the_pool_buffer(small):
    np = pytest.importorskip("numpy")
    ch = small.subscribe()
    data = send_small(small, 1)
    frame = ch.wait_for(5.0)
    a = np.frombuffer(frame, dtype=np.uint8)
    b = np.frombuffer(frame, dtype=np.uint8)
    assert np.shares_memory(a, b)
    assert not np.shares_memory(a, np.frombuffer(frame.data(), dtype=np.uint8))
    assert a.tobytes() == data
    assert a.flags.writeable is False
    with pytest.raises(ValueError):
        a[0] = 1
    assert a.reshape(frame.height, frame.width).shape == (16, 64)


def test_held_view_keeps_the_buffer_out_of_the_pool(stream_ext):
    np = pytest.importorskip("numpy")
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256, n_buffers=1)
    try:
        ch = cam.subscribe()
        send_small(cam, 1)
        frame = ch.wait_for(5.0)
        held = np.frombuffer(frame, dtype=np.uint8)
        ref = weakref.ref(frame)
        del frame
        assert ref() is not None  # the array's buffer export keeps the frame alive

        send_small(cam, 2)  # the only buffer is held: this frame cannot be assembled
        cam.wait_stats("underruns", 1)
        assert ch.try_recv() is None

        del held
        gc.collect()
        assert ref() is None
        data = send_small(cam, 3, seed=3)
        frame = ch.wait_for(5.0)
        assert (frame.frame_id, frame.status, frame.data()) == (3, FrameStatus.Complete, data)
    finally:
        cam.close()


def test_released_memoryview_returns_the_buffer(stream_ext):
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256, n_buffers=1)
    try:
        ch = cam.subscribe()
        send_small(cam, 1)
        view = memoryview(ch.wait_for(5.0))
        send_small(cam, 2)
        cam.wait_stats("underruns", 1)
        view.release()
        send_small(cam, 3)
        assert ch.wait_for(5.0).frame_id == 3
    finally:
        cam.close()


# --- FrameStatus -----------------------------------------------------------------------------

STATUSES = ["Complete", "MissingPackets", "Timeout", "Aborted", "WrongPacketId",
            "PayloadUnsupported"]


@pytest.mark.parametrize("value,name", list(enumerate(STATUSES)))
def test_frame_status_values(value, name):
    status = getattr(FrameStatus, name)
    assert type(status) is FrameStatus
    assert int(status) == value
    assert repr(status) == f"FrameStatus.{name}"
    assert status == value and value == status and not status != value
    assert hash(status) == hash(value)
    assert {value: name}[status] == name  # usable where the int is a key


@pytest.mark.parametrize("expr,expected", [
    (lambda: FrameStatus.Timeout == 2, True),
    (lambda: FrameStatus.Timeout != 2, False),
    (lambda: FrameStatus.Timeout == FrameStatus.Aborted, False),
    (lambda: FrameStatus.Timeout != FrameStatus.Aborted, True),
    (lambda: FrameStatus.Timeout == FrameStatus.Timeout, True),
    (lambda: FrameStatus.Timeout == 2.0, False),  # only ints compare by value
    (lambda: FrameStatus.Timeout == "Timeout", False),
    (lambda: FrameStatus.Timeout == 2**70, False),
    (lambda: FrameStatus.Timeout is FrameStatus.Timeout, True),
])
def test_frame_status_equality(expr, expected):
    assert expr() is expected


@pytest.mark.parametrize("op", [
    lambda: FrameStatus.Timeout < 3, lambda: FrameStatus.Timeout <= 2,
    lambda: FrameStatus.Timeout > FrameStatus.Complete, lambda: 3 >= FrameStatus.Timeout,
])
def test_frame_status_has_no_ordering(op):
    with pytest.raises(TypeError):
        op()


def test_frame_status_class_is_closed():
    assert FrameStatus.__doc__ == "How a frame ended."
    with pytest.raises(TypeError):
        FrameStatus()
    with pytest.raises(TypeError):
        FrameStatus.Timeout = FrameStatus.Complete
    assert FrameStatus.Timeout == 2  # unchanged


# --- StreamStats -----------------------------------------------------------------------------

STATS_FIELDS = [
    "packets", "bytes", "completed_frames", "failed_frames", "timed_out_frames",
    "aborted_frames", "missing_frames", "underruns", "missing_packets", "resend_requests",
    "resent_packets", "resend_ratio_reached", "resend_disabled", "duplicated_packets",
    "error_packets", "ignored_packets", "unsupported_frames", "size_mismatch_errors",
    "frames_dropped",
]


def test_stream_stats_class_surface():
    cls = corvisk.StreamStats
    assert cls.__doc__ == "Stream receiver counters, all monotonic since stream open."
    assert [n for n in vars(cls) if n in STATS_FIELDS] == STATS_FIELDS
    assert cls.frames_dropped.__doc__ == (
        "Completed frames a subscriber could not take (its channel was full).")
    assert all(getattr(cls, n).__doc__ is None for n in STATS_FIELDS[:-1])
    with pytest.raises(TypeError):
        cls()


def test_stream_stats_snapshots(small):
    first, second = small.stats(), small.stats()
    assert first == second and not first != second and hash(first) == hash(second)
    assert first is not second
    assert repr(first) == "StreamStats { " + ", ".join(f"{n}: 0" for n in STATS_FIELDS) + " }"
    with pytest.raises(TypeError):
        first < second

    ch = small.subscribe(capacity=1)  # never read: every frame after the first is dropped
    for block in (1, 2, 3):
        send_small(small, block)
    small.wait_stats("completed_frames", 3)
    after = small.stats()
    assert after != first and first.packets == 0  # a snapshot does not change
    assert (after.packets, after.completed_frames, after.frames_dropped) == (18, 3, 2)
    assert after.bytes == 3 * (8 + 36 + 4 * (8 + 256) + 8 + 8)
    values = dict(re.findall(r"(\w+): (\d+)", repr(after)))
    assert list(values) == STATS_FIELDS
    assert all(int(values[n]) == getattr(after, n) for n in STATS_FIELDS)
    with pytest.raises(AttributeError):
        after.packets = 0
    assert ch.try_recv().frame_id == 1


# --- FrameChannel ----------------------------------------------------------------------------

def test_frame_channel_class_surface():
    cls = corvisk.FrameChannel
    assert cls.__doc__ == (
        "A clone-able receiver for completed frames. Each subscription has its own\n"
        "bounded buffer; when it is full new frames are dropped for that\n"
        "subscriber and counted in [`StreamStats::frames_dropped`].")
    signatures = {name: getattr(cls, name).__text_signature__
                  for name in ("wait_for", "try_recv", "recv_all", "clear")}
    assert signatures == {"wait_for": "($self, timeout)", "try_recv": "($self)",
                          "recv_all": "($self)", "clear": "($self)"}
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("timeout,message", [
    (-1, "timeout must not be negative"),
    (-1e-9, "timeout must not be negative"),
    (math.nan, "timeout must not be NaN"),
    (math.inf, "timeout must be finite"),
    (1e9 + 1, "timeout must be at most 1000000000 seconds"),
    (10**400, "timeout must be at most 1000000000 seconds"),
])
def test_wait_for_rejects_bad_timeouts(small, timeout, message):
    ch = small.subscribe()
    with pytest.raises(ValueError, match=f"^{message}$"):
        ch.wait_for(timeout)
    with pytest.raises(ValueError, match=f"^{message}$"):
        ch.wait_for(timeout=timeout)


@pytest.mark.parametrize("args,kwargs,error", [
    ((), {}, TypeError), (("1",), {}, TypeError), ((None,), {}, TypeError),
    ((1.0, 2.0), {}, TypeError), ((), {"tmo": 1.0}, TypeError),
])
def test_wait_for_rejects_bad_arguments(small, args, kwargs, error):
    with pytest.raises(error):
        small.subscribe().wait_for(*args, **kwargs)


def test_wait_for_times_out_with_none(small):
    ch = small.subscribe()
    start = time.monotonic()
    assert ch.wait_for(0.25) is None
    assert 0.25 <= time.monotonic() - start < 2.0
    assert ch.wait_for(0) is None


def test_wait_for_releases_the_gil(small):
    ch = small.subscribe()
    counted = []

    def count():
        n = 0
        end = time.monotonic() + 0.2
        while time.monotonic() < end:
            n += 1
        counted.append(n)

    t = threading.Thread(target=count)
    t.start()
    assert ch.wait_for(0.3) is None
    t.join()
    assert counted[0] > 1000


def test_try_recv_recv_all_and_clear(small):
    ch, other = small.subscribe(), small.subscribe()
    assert ch.try_recv() is None and ch.recv_all() == []
    sent = {block: send_small(small, block, seed=block) for block in (1, 2, 3)}
    small.wait_stats("completed_frames", 3)
    frames = other.recv_all()
    assert [f.frame_id for f in frames] == [1, 2, 3]
    assert [f.data() for f in frames] == [sent[1], sent[2], sent[3]]
    assert other.recv_all() == []
    first = ch.try_recv()
    assert first.frame_id == 1 and first.data() == sent[1]
    assert ch.clear() is None
    assert ch.try_recv() is None
    assert first.data() == sent[1]  # frames already taken stay valid


def test_iteration_ends_after_the_stream_stops(small):
    ch = small.subscribe()
    assert iter(ch) is ch
    sent = [send_small(small, block, seed=block) for block in (1, 2)]
    small.wait_stats("completed_frames", 2)
    small.frame(3, pattern(1024), 64, 16, skip={2, 3, 4}, trailer=False)  # still in flight
    small.wait_stats("packets", 14)
    small.stop()
    frames = list(ch)
    assert [f.frame_id for f in frames] == [1, 2, 3]
    assert [f.data() for f in frames[:2]] == sent
    assert frames[2].status is FrameStatus.Aborted
    assert small.stats().aborted_frames == 1
    start = time.monotonic()
    assert ch.wait_for(10.0) is None  # disconnected: no waiting out the timeout
    assert time.monotonic() - start < 1.0
    with pytest.raises(StopIteration):
        next(ch)
    assert small.subscribe().try_recv() is None  # subscribing to a stopped stream


def test_ctrl_c_interrupts_iteration(small):
    ch = small.subscribe()
    started, done = threading.Event(), threading.Event()
    main = threading.main_thread().ident
    assert threading.get_ident() == main
    interrupts = []

    def on_sigint(signum, frame):
        # Like the default handler, but only once: the repeats still in flight must not
        # interrupt the test after the iteration has been stopped.
        if not interrupts:
            interrupts.append(time.monotonic())
            raise KeyboardInterrupt

    def interrupt():
        started.wait(5.0)
        while not done.wait(0.05):  # repeat: the first one may land before the wait began
            signal.pthread_kill(main, signal.SIGINT)

    previous = signal.signal(signal.SIGINT, on_sigint)
    t = threading.Thread(target=interrupt)
    try:
        t.start()
        begin = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            started.set()
            for _ in ch:
                pass
        elapsed = time.monotonic() - begin
    finally:
        done.set()
        t.join()
        signal.signal(signal.SIGINT, previous)
    assert elapsed < 2.0
    assert ch.try_recv() is None  # the channel is still usable afterwards


def test_frames_outlive_their_stream(stream_ext):
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256)
    ch = cam.subscribe()
    data = send_small(cam, 1)
    frame = ch.wait_for(5.0)
    view = memoryview(frame)
    cam.close()
    del cam, ch
    gc.collect()
    assert frame.data() == data and view.tobytes() == data
    ref = weakref.ref(frame)
    del frame
    view.release()
    assert ref() is None


def test_dropped_channel_releases_its_queued_frames(stream_ext):
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256, n_buffers=2)
    try:
        ch = cam.subscribe()
        send_small(cam, 1)
        send_small(cam, 2)
        cam.wait_stats("completed_frames", 2)  # both buffers now wait in ch's queue
        ref = weakref.ref(ch)
        del ch
        gc.collect()
        assert ref() is None
        other = cam.subscribe()
        data = send_small(cam, 3, seed=3)
        frame = other.wait_for(5.0)
        assert (frame.frame_id, frame.data()) == (3, data)
        assert cam.stats().underruns == 0 and cam.stats().frames_dropped == 0
    finally:
        cam.close()


def test_frames_cycle_through_a_small_pool_without_leaks(stream_ext):
    """Every path that hands out a frame drops its reference again: with two buffers, a leaked
    reference anywhere would starve the pool and show up as underruns."""
    np = pytest.importorskip("numpy")
    cam = Camera(stream_ext, 1024, packet_size=OVERHEAD + 256, n_buffers=2)
    try:
        ch = cam.subscribe()
        status_refs = sys.getrefcount(FrameStatus.Complete)
        for block in range(1, 41):
            data = send_small(cam, block, seed=block)
            take = [ch.wait_for, lambda _: next(ch), lambda _: ch.recv_all()[0]][block % 3]
            if block % 3 == 2:
                cam.wait_stats("completed_frames", block)
            frame = take(5.0)
            if not (frame.status == FrameStatus.Complete and frame.is_complete):  # no temporaries
                pytest.fail(f"{frame!r} incomplete")
            assert np.frombuffer(frame, dtype=np.uint8).tobytes() == data
            assert bytes(memoryview(frame)) == frame.data()
            del frame
        status_refs_after = sys.getrefcount(FrameStatus.Complete)
        stats = cam.stats()
        assert (stats.completed_frames, stats.underruns, stats.frames_dropped) == (40, 0, 0)
        assert status_refs_after == status_refs
    finally:
        cam.close()


def test_module_instance_with_its_status_values_is_collected():
    # The FrameStatus instances live in their type's dict and refer to their type: a cycle the
    # collector must be able to break when a module instance goes away.
    spec = importlib.util.find_spec("corvisk._corvisk_core")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.FrameStatus.Timeout == 2 and other.FrameStatus is not FrameStatus
    refs = [weakref.ref(obj) for obj in (other, other.FrameStatus, other.Frame,
                                          other.FrameChannel, other.StreamStats)]
    del other
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)
