"""The module surface: registration, exception classes, DeviceInfo, discover() arguments, CLI.

Nothing here sends a packet: every discover() call below fails argument checking first
(discovery proper runs only inside network namespaces, see test_discovery.py).
"""

import ast
import importlib.util
import inspect
import math
import os
import struct
import subprocess
import sys
import tomllib
import zlib
from pathlib import Path

import pytest

import corvisk
from corvisk import _corvisk_core as core

ROOT = Path(__file__).resolve().parents[2]

# Every attribute the core registers, in registration order.
REGISTRATION_ORDER = [
    "CameraError", "GenicamError", "Camera", "SnapshotSession", "Acquisition", "Frame",
    "FrameChannel", "FrameStatus", "AccessMode", "StreamStats", "LinkStats", "DeviceInfo",
    "discover",
]


def public_names(module):
    return [name for name in vars(module) if not name.startswith("_")]


def test_registers_table_attributes_in_order_and_nothing_else():
    names = public_names(core)
    assert {"CameraError", "GenicamError", "DeviceInfo", "discover"} <= set(names)
    assert names == [n for n in REGISTRATION_ORDER if n in names]


def test_core_module_has_empty_docstring():
    assert core.__doc__ == ""


def test_package_reexports_core_and_version():
    for name in public_names(core):
        assert getattr(corvisk, name) is getattr(core, name)
    assert set(public_names(core)) | {"__version__"} <= set(corvisk.__all__)
    # Anything else the package exports is its own (python/corvisk), never the core's.
    extras = set(corvisk.__all__) - set(public_names(core)) - {"__version__"}
    assert all(getattr(corvisk, name).__module__.startswith("corvisk.") for name in extras)
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert corvisk.__version__ == pyproject["project"]["version"]


def test_stubs_cover_exactly_the_core():
    tree = ast.parse((ROOT / "python" / "corvisk" / "_corvisk_core.pyi").read_text())
    stubbed = {node.name for node in tree.body
               if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    assert stubbed == set(public_names(core))
    device_info = next(n for n in tree.body if getattr(n, "name", "") == "DeviceInfo")
    assert [f.name for f in device_info.body if isinstance(f, ast.FunctionDef)] == \
        DEVICE_INFO_PROPERTIES


EXCEPTIONS = [
    ("CameraError", "CameraException",
     "Raised when the transport link fails: connect/acknowledge timeout, I/O error, device "
     "NAK, lost control, or a malformed packet."),
    ("GenicamError", "GenicamException",
     "Raised by the GenICam feature layer: unknown feature, wrong type or access mode, value "
     "out of range, or a broken device description."),
]


@pytest.mark.parametrize("attribute,name,doc", EXCEPTIONS)
def test_exception_classes(attribute, name, doc):
    cls = getattr(core, attribute)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "corvisk"
    assert cls.__doc__ == doc
    assert issubclass(cls, RuntimeError)
    with pytest.raises(RuntimeError, match="boom"):
        raise cls("boom")


def test_exception_classes_are_distinct():
    assert core.CameraError is not core.GenicamError
    assert not issubclass(core.CameraError, core.GenicamError)
    assert not issubclass(core.GenicamError, core.CameraError)


DEVICE_INFO_PROPERTIES = [
    "ip", "mac", "model", "serial", "gateway", "subnet_mask", "manufacturer", "spec_version",
    "device_version", "manufacturer_info", "user_defined_name",
]


def test_device_info_is_a_read_only_library_made_class():
    cls = core.DeviceInfo
    assert cls.__module__ == "corvisk" and cls.__name__ == "DeviceInfo"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.ip = "x"  # immutable type
    props = [n for n, v in vars(cls).items() if isinstance(v, type(cls.ip))]
    assert props == DEVICE_INFO_PROPERTIES
    assert "__dict__" not in vars(cls)  # no instance dict to add attributes to


def test_discover_signature_and_docstring():
    assert core.discover.__text_signature__ == "(timeout=1.0)"
    assert core.discover.__doc__ == (
        "Broadcast a GigE Vision discovery beacon on every Up IPv4 adapter and\n"
        "return the devices that answer within `timeout` seconds.")
    params = inspect.signature(core.discover).parameters
    assert list(params) == ["timeout"]
    assert params["timeout"].default == 1.0
    assert params["timeout"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("timeout,message", [
    (-1, "timeout must not be negative"),
    (-1e-9, "timeout must not be negative"),
    (-math.inf, "timeout must not be negative"),
    (math.nan, "timeout must not be NaN"),
    (math.inf, "timeout must be finite"),
    (1e9 + 1, "timeout must be at most 1000000000 seconds"),
    pytest.param(10**400, "timeout must be at most 1000000000 seconds", id="int-beyond-float"),
])
def test_discover_rejects_bad_timeouts(timeout, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        core.discover(timeout)
    with pytest.raises(ValueError, match=f"^{message}$"):
        core.discover(timeout=timeout)


@pytest.mark.parametrize("timeout", ["1.0", None, [], b"1", 1j])
def test_discover_rejects_non_numbers(timeout):
    with pytest.raises(TypeError, match="discover\\(\\) argument 'timeout' must be a real number"):
        core.discover(timeout)


@pytest.mark.parametrize("args,kwargs", [((1.0, 2.0), {}), ((), {"tmo": 1.0}),
                                         ((1.0,), {"timeout": 1.0})])
def test_discover_rejects_bad_argument_lists(args, kwargs):
    with pytest.raises(TypeError):
        core.discover(*args, **kwargs)


def test_second_module_instance_has_its_own_state():
    spec = importlib.util.find_spec("corvisk._corvisk_core")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert public_names(other) == public_names(core)
    for name in ("CameraError", "GenicamError", "DeviceInfo"):
        assert getattr(other, name) is not getattr(core, name)
    with pytest.raises(ValueError):
        other.discover(-1)


def test_module_loads_in_a_subinterpreter():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    sub = interpreters.create()
    try:
        interpreters.run_string(sub, (
            "import corvisk\n"
            "assert corvisk.CameraError.__module__ == 'corvisk'\n"
            "try:\n"
            "    corvisk.discover(-1)\n"
            "except ValueError as e:\n"
            "    assert str(e) == 'timeout must not be negative'\n"
            "else:\n"
            "    raise AssertionError('no ValueError')\n"))
    finally:
        interpreters.destroy(sub)


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "corvisk", *args], capture_output=True,
                          text=True, timeout=60)


def test_cli_demo_snaps_a_png_and_streams(tmp_path):
    from test_camera_connect import SIM
    if SIM is None:
        pytest.skip("corvisk-sim is not built")
    png = tmp_path / "demo.png"
    env = dict(os.environ, PATH=f"{os.path.dirname(SIM)}:{os.environ.get('PATH', '')}")
    r = subprocess.run([sys.executable, "-m", "corvisk", "demo", "--ip", "127.0.12.50",
                        "--seconds", "1", "-o", str(png)],
                       capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    assert f"corvisk {corvisk.__version__}" in r.stdout
    assert "device: Corvisk SimCam-1" in r.stdout
    assert f"wrote {png}" in r.stdout
    assert "frames/s" in r.stdout and "MB/s" in r.stdout
    assert r.stdout.rstrip().endswith("simulated camera stopped")
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    assert (width, height, depth, colour) == (640, 480, 8, 0)
    at = data.index(b"IDAT")
    (length,) = struct.unpack(">I", data[at - 4:at])
    pixels = zlib.decompress(data[at + 4:at + 4 + length])
    assert pixels[1:641] == bytes((i + pixels[1]) % 256 for i in range(640))  # the ramp


def test_cli_reports_bad_timeout_without_traceback():
    r = run_cli("discover", "--timeout", "-1")
    assert r.returncode == 1
    assert r.stderr.strip() == "error: timeout must not be negative"


def test_cli_help_lists_commands():
    r = run_cli("--help")
    assert r.returncode == 0
    assert "demo" in r.stdout and "discover" in r.stdout
