"""The binding helpers of src/py (error conversion, timeout parsing, sliced waits, GIL-aware
locking, PyRef), driven through a small test-only extension built against the library."""

import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest

import corvisk

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("CORVISK_CMAKE_BUILD_DIR", ROOT / "build" / "cmake"))


@pytest.fixture(scope="session")
def helpers_path(tmp_path_factory):
    library = BUILD / "libcorvisk_core.a"
    if not library.exists() or shutil.which("g++") is None:
        pytest.skip(f"needs g++ and the library build tree ({library})")
    out = tmp_path_factory.mktemp("ext") / ("_cvk_helpers" + sysconfig.get_config_var("EXT_SUFFIX"))
    cmd = ["g++", "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
           f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}",
           str(Path(__file__).with_name("helpers_ext.cpp")), str(ROOT / "src" / "py" / "convert.cpp"),
           str(library), "-lfmt", "-o", str(out)]
    subprocess.run(cmd, check=True, timeout=300)
    return out


@pytest.fixture(scope="session")
def helpers(helpers_path):
    spec = importlib.util.spec_from_file_location("_cvk_helpers", helpers_path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("case,cls,message", [
    ("camera-status", corvisk.CameraError,
     "device answered command 0x0084 with access denied (0x8006)"),
    ("camera-lost", corvisk.CameraError, "device control was lost (heartbeat failed)"),
    # A feature operation failing underneath in the transport is a CameraError, unchanged.
    ("transport-lost", corvisk.CameraError, "device control was lost (heartbeat failed)"),
    ("feature", corvisk.GenicamError, "feature 'Width' not found"),
    ("bad-utf8", corvisk.GenicamError, "feature 'W\ufffd' not found"),
])
def test_library_errors_become_module_exceptions(helpers, case, cls, message):
    with pytest.raises(RuntimeError) as info:
        helpers.raise_error(case)
    assert type(info.value) is cls
    assert info.value.args == (message,)


@pytest.mark.parametrize("value,ns", [(0, 0), (0.0, 0), (-0.0, 0), (1, 10**9), (True, 10**9),
                                      (0.25, 250_000_000), (1e9, 10**18)])
def test_timeout_conversion(helpers, value, ns):
    assert helpers.parse(value) == ns


def test_timeout_via_dunder_float(helpers):
    class Seconds:
        def __float__(self):
            return 2.5

    assert helpers.parse(Seconds()) == 2_500_000_000


@pytest.mark.parametrize("kind,value,expected", [
    ("u8", 0, 0), ("u8", 255, 255), ("u8", True, 1), ("u16", 65535, 65535),
    ("u32", 2**32 - 1, 2**32 - 1), ("usize", 2**64 - 1, 2**64 - 1),
    ("opt_u16", None, None), ("opt_u16", 1500, 1500),
    ("i64", -2**63, -2**63), ("i64", 2**63 - 1, 2**63 - 1),
    ("bool", True, True), ("bool", False, False),
    ("str", "Width", "Width"), ("str", "Gain\u00e9", "Gain\u00e9"),
])
def test_argument_conversions(helpers, kind, value, expected):
    assert helpers.convert(kind, value) == expected


@pytest.mark.parametrize("kind,value,error,message", [
    ("u8", 256, OverflowError, "argument 'retries' must be in range 0..255"),
    ("u8", -1, OverflowError, "argument 'retries' must be in range 0..255"),
    ("u16", 65536, OverflowError, "argument 'channel' must be in range 0..65535"),
    ("u32", 2**32, OverflowError, "argument 'packet_delay' must be in range 0..4294967295"),
    ("usize", 2**64, OverflowError, "argument 'n_buffers' must be in range"),
    ("opt_u16", -5, OverflowError, "argument 'packet_size' must be in range 0..65535"),
    ("i64", 2**63, OverflowError, "argument 'value' must be in range"),
    ("u8", 1.0, TypeError, "argument 'retries' must be int, not float"),
    ("i64", "3", TypeError, "argument 'value' must be int, not str"),
    ("bool", 1, TypeError, "argument 'exclusive' must be bool, not int"),
    ("str", b"Width", TypeError, "argument 'name' must be str, not bytes"),
    ("str", "\ud800", UnicodeEncodeError, ""),
])
def test_argument_conversion_errors(helpers, kind, value, error, message):
    with pytest.raises(error) as info:
        helpers.convert(kind, value)
    assert message in str(info.value)


def test_sliced_wait_outcomes(helpers):
    assert helpers.wait(5.0, 0.05)[0] == "ready"
    outcome, slices = helpers.wait(0.35, 100.0)
    assert outcome == "timeout"
    assert slices >= 4  # 100 ms slices, recomputed from the deadline
    assert helpers.wait(0.0, 100.0) == ("timeout", 1)  # a zero timeout still polls once


def test_sliced_wait_lets_signals_interrupt(helpers):
    class Interrupted(Exception):
        pass

    def on_alarm(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.15)
        start = time.monotonic()
        with pytest.raises(Interrupted):
            helpers.wait(30.0, 100.0)
        assert time.monotonic() - start < 5.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_sliced_wait_releases_the_gil(helpers):
    ticks = []
    done = threading.Event()

    def spin():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=spin)
    t.start()
    try:
        before = len(ticks)
        helpers.wait(0.3, 100.0)
        assert len(ticks) - before > 10
    finally:
        done.set()
        t.join()


# Run in a child interpreter: a broken lock helper would deadlock, and the child has a timeout.
LOCK_PROBE = """
import importlib.util, sys, threading, time
spec = importlib.util.spec_from_file_location("_cvk_helpers", sys.argv[1])
h = importlib.util.module_from_spec(spec); spec.loader.exec_module(h)
holder = threading.Thread(target=h.hold, args=(20.0,)); holder.start()
deadline = time.monotonic() + 10
while h.try_lock_for(0.0):                                        # until the holder has it
    assert time.monotonic() < deadline, "holder never took the mutex"
start = time.monotonic()
print(h.try_lock_for(0.1), round(time.monotonic() - start, 2))   # gives up
def release_once_lock_waits():  # needs the GIL, so lock() must wait without it
    while h.lock_waiters() == 0:
        time.sleep(0.001)
    h.release()
releaser = threading.Thread(target=release_once_lock_waits); releaser.start()
print(h.lock())                                                   # waits for the holder
holder.join(); releaser.join()
print(h.try_lock_for(0.1))                                        # free now
"""


def test_gil_aware_locking(helpers_path):
    r = subprocess.run([sys.executable, "-c", LOCK_PROBE, str(helpers_path)], capture_output=True,
                       text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    first, second, third = r.stdout.splitlines()
    gave_up, waited = first.split()
    assert gave_up == "False" and 0.09 <= float(waited) < 1.0
    assert second == "True" and third == "True"


def test_pyref_reference_counting(helpers):
    obj = object()
    assert helpers.refs(obj) == (1, 2, 1, 1, 0)


def test_cxx_exception_becomes_system_error(helpers):
    with pytest.raises(SystemError, match="corvisk internal error: bug"):
        helpers.cxx_throw()
