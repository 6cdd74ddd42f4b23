"""The package as a user installs it: `pip install --no-index .` into a bare virtual environment
(no system site packages, so no numpy, setuptools or wheel), then the console commands.

Slow (the package builds its own C++ tree from scratch): run with `-m slow`, or
CORVISK_SLOW_TESTS=1 scripts/test.sh.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytestmark = pytest.mark.slow

needs_tools = pytest.mark.skipif(
    shutil.which("cmake") is None or shutil.which("g++") is None,
    reason="needs cmake and g++")


def run(*cmd, timeout=120, **kwargs):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    base = Path("/usr/bin/python3") if Path("/usr/bin/python3").exists() else Path(sys.executable)
    home = tmp_path_factory.mktemp("venv") / "env"
    r = run(base, "-m", "venv", home)
    if r.returncode != 0:
        pytest.skip(f"cannot create a virtual environment: {r.stderr.strip()}")
    # A clean environment: none of the developer's build settings leak into the user build.
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("CORVISK_", "PYTHON", "PIP_"))}
    r = run(home / "bin" / "python", "-m", "pip", "install", "--no-index",
            "--disable-pip-version-check", ROOT, timeout=3000, env=env)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    (package,) = (home / "lib").glob("python3*/site-packages/corvisk")
    return home, package


def user_env(home: Path) -> dict:
    """No build tree and no venv on PATH: what a user's shell might have."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("CORVISK_", "PYTHON"))}
    env["PATH"] = "/usr/bin:/bin"
    return env


@needs_tools
def test_install_ships_modules_simulator_and_commands(venv):
    home, package = venv
    modules = {p.name.split(".")[0] for p in package.glob("*.so")}
    assert {"_corvisk_core", "_corvisk_ext", "libcorvisk"} <= modules
    assert all(m.startswith("_corvisk_") for m in modules - {"libcorvisk"})
    if shutil.which("readelf"):  # one library copy, found beside the modules wherever installed
        for module in package.glob("_corvisk_*.so"):
            dynamic = run("readelf", "-d", module).stdout
            assert "[libcorvisk.so]" in dynamic and "[$ORIGIN]" in dynamic, module
    assert os.access(package / "bin" / "corvisk-sim", os.X_OK)
    (dist_info,) = package.parent.glob("corvisk-*.dist-info")
    entry_points = (dist_info / "entry_points.txt").read_text()
    assert "corvisk = corvisk.__main__:main" in entry_points
    assert "corvisk-sim = corvisk._sim:main" in entry_points
    assert (home / "bin" / "corvisk").exists() and (home / "bin" / "corvisk-sim").exists()
    if shutil.which("readelf"):  # stripped: no symbol table, no debug information
        for binary in [*package.glob("*.so"), package / "bin" / "corvisk-sim"]:
            sections = run("readelf", "-S", "-W", binary).stdout
            assert ".symtab" not in sections and ".debug_info" not in sections, binary


@needs_tools
def test_demo_runs_from_the_bare_environment_without_numpy(venv, tmp_path):
    home, _ = venv
    python = home / "bin" / "python"
    assert run(python, "-c", "import numpy").returncode != 0  # the demo must not need it
    png = tmp_path / "demo.png"
    r = run(home / "bin" / "corvisk", "demo", "--ip", "127.26.0.2", "--seconds", "1", "-o", png,
            env=user_env(home), cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "device: Corvisk SimCam-1" in r.stdout
    assert r.stdout.rstrip().endswith("simulated camera stopped")
    assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    version = run(python, "-c", "import corvisk; print(corvisk.__version__)").stdout.strip()
    assert f"corvisk {version}" in r.stdout


@needs_tools
def test_simulator_command_runs_the_bundled_binary(venv):
    home, _ = venv
    r = run(home / "bin" / "corvisk-sim", "--help", env=user_env(home))
    assert r.returncode == 0, r.stderr
    assert "--help" in r.stdout + r.stderr
    r = run(home / "bin" / "corvisk-sim", "--no-such-option", env=user_env(home))
    assert r.returncode != 0
    assert "unknown option --no-such-option" in r.stderr
