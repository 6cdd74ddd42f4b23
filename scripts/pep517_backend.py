"""The package's build backend: drives CMake and writes the wheel itself, standard library only.

pip (or any PEP 517 front end) imports this module from the source tree (`backend-path` in
pyproject.toml), so `pip install .` needs no setuptools, no wheel package and no network.

What a wheel holds:
  corvisk/                 the Python package (python/corvisk) with its stubs
  corvisk/_corvisk_*.so    every CMake target named _corvisk_* (the extension modules), stripped
  corvisk/libcorvisk.so    the library they share (CMake target corvisk), stripped
  corvisk/bin/corvisk-sim  the simulated camera, stripped
  console commands         from [project.scripts]: `corvisk` and `corvisk-sim`

A user build configures its own tree, build/wheel-<python tag>, in Release mode with the tests
and -Werror off. Developers point CORVISK_CMAKE_BUILD_DIR at an existing, configured tree
(scripts/setup.sh does): it is then only built and its artifacts are packed as they are (not
stripped). CMAKE_BUILD_PARALLEL_LEVEL sets the build's parallelism (default: all cores).
"""

from __future__ import annotations

import base64
import hashlib
import io
import json
import os
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = "corvisk"
MODULE_PREFIX = "_corvisk_"
SIMULATOR = "corvisk-sim"
SHARED_LIBRARY = "corvisk"
SYSTEM_PACKAGES = "cmake g++ libfmt-dev libxml2-dev zlib1g-dev python3-dev"


class BuildError(RuntimeError):
    """A build step failed; the message says what to do."""


# ---- project metadata ------------------------------------------------------------------------

def _project() -> dict:
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def _dist_name(project: dict) -> str:
    return project["name"].replace("-", "_")


def _metadata(project: dict) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {project['version']}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {r}; extra == "{extra}"' for r in requirements]
    text = "\n".join(lines) + "\n"
    readme = project.get("readme")
    if readme:
        text += "Description-Content-Type: text/markdown\n\n" + (ROOT / readme).read_text()
    return text


def _entry_points(project: dict) -> str:
    scripts = project.get("scripts", {})
    if not scripts:
        return ""
    return "[console_scripts]\n" + "".join(f"{k} = {v}\n" for k, v in scripts.items())


def _tag() -> str:
    version = f"{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{version}-cp{version}{sys.abiflags}-{platform}"


# ---- CMake -----------------------------------------------------------------------------------

def _run(cmd: list[str], what: str) -> None:
    print("+", " ".join(cmd), flush=True)
    try:
        subprocess.run(cmd, check=True, stdout=sys.stderr)
    except FileNotFoundError:
        raise BuildError(f"{cmd[0]} not found: install the build tools first, e.g. "
                         f"`apt-get install {SYSTEM_PACKAGES}`") from None
    except subprocess.CalledProcessError as e:
        raise BuildError(f"{what} failed (exit status {e.returncode}); the output above says "
                         f"why. Missing libraries? `apt-get install {SYSTEM_PACKAGES}`") from None


def _configure(build_dir: Path) -> None:
    query = build_dir / ".cmake" / "api" / "v1" / "query" / "codemodel-v2"
    query.parent.mkdir(parents=True, exist_ok=True)
    query.touch()
    _run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
          "-DCORVISK_TESTS=OFF", "-DCORVISK_WERROR=OFF", "-DCORVISK_BENCH=OFF",
          "-DCORVISK_FUZZ=OFF", "-DCORVISK_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"],
         "configuring the C++ build")


def _codemodel_targets(build_dir: Path) -> dict[str, list[Path]]:
    """Target name -> artifact paths, from CMake's file-based API reply."""
    reply = build_dir / ".cmake" / "api" / "v1" / "reply"
    indexes = sorted(reply.glob("index-*.json"))
    if not indexes:
        raise BuildError(f"no CMake codemodel in {build_dir}: configure it again")
    index = json.loads(indexes[-1].read_text())
    codemodel = json.loads((reply / index["reply"]["codemodel-v2"]["jsonFile"]).read_text())
    targets = {}
    for entry in codemodel["configurations"][0]["targets"]:
        target = json.loads((reply / entry["jsonFile"]).read_text())
        targets[entry["name"]] = [build_dir / a["path"] for a in target.get("artifacts", [])]
    return targets


def _build(build_dir: Path, configure: bool) -> tuple[list[Path], Path]:
    """Builds the extension modules and the simulator; returns their files."""
    if configure:
        _configure(build_dir)
    elif not (build_dir / "CMakeCache.txt").exists():
        raise BuildError(f"CORVISK_CMAKE_BUILD_DIR={build_dir} is not a configured CMake tree")
    else:
        # Configure again with the codemodel query, so the target list below is current.
        query = build_dir / ".cmake" / "api" / "v1" / "query" / "codemodel-v2"
        query.parent.mkdir(parents=True, exist_ok=True)
        query.touch()
        _run(["cmake", str(build_dir)], "configuring the C++ build")
    targets = _codemodel_targets(build_dir)
    modules = sorted(name for name in targets if name.startswith(MODULE_PREFIX))
    if not modules or SIMULATOR not in targets or SHARED_LIBRARY not in targets:
        raise BuildError(f"the CMake tree {build_dir} has no extension modules or no "
                         f"{SIMULATOR}: is CORVISK_PYTHON off?")
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 2)
    _run(["cmake", "--build", str(build_dir), "-j", jobs, "--target", *modules, SIMULATOR],
         "building the extension modules")
    # The modules find the library they share in their own directory.
    files = [path for name in [*modules, SHARED_LIBRARY] for path in targets[name]]
    return files, targets[SIMULATOR][0]


def _strip(path: Path) -> None:
    strip = shutil.which("strip")
    if strip:
        subprocess.run([strip, "--strip-unneeded", str(path)], check=True)


# ---- wheel writing ---------------------------------------------------------------------------

class _Wheel:
    """A wheel archive being written, with its RECORD."""

    def __init__(self, path: Path):
        self.zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self.records: list[str] = []

    def add(self, name: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
        # Installers keep the permission bits only of entries marked as regular files.
        info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.records.append(f"{name},sha256={digest},{len(data)}")

    def close(self, record_name: str) -> None:
        self.records.append(f"{record_name},,")
        self.zip.writestr(zipfile.ZipInfo(record_name, date_time=(2020, 1, 1, 0, 0, 0)),
                          "\n".join(self.records) + "\n")
        self.zip.close()


def _package_files() -> list[Path]:
    source = ROOT / "python" / PACKAGE
    return sorted(p for p in source.rglob("*")
                  if p.is_file() and "__pycache__" not in p.parts
                  and (p.suffix in (".py", ".pyi") or p.name == "py.typed"))


def _dist_info_files(project: dict) -> dict[str, str]:
    files = {
        "METADATA": _metadata(project),
        "WHEEL": ("Wheel-Version: 1.0\nGenerator: corvisk pep517_backend\n"
                  f"Root-Is-Purelib: false\nTag: {_tag()}\n"),
    }
    entry_points = _entry_points(project)
    if entry_points:
        files["entry_points.txt"] = entry_points
    return files


# ---- PEP 517 hooks ---------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    dist_info = f"{_dist_name(project)}-{project['version']}.dist-info"
    target = Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    for name, text in _dist_info_files(project).items():
        (target / name).write_text(text)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    given = os.environ.get("CORVISK_CMAKE_BUILD_DIR")
    build_dir = Path(given) if given else ROOT / "build" / f"wheel-{sys.implementation.cache_tag}"
    try:
        modules, simulator = _build(build_dir.resolve(), configure=not given)
    except BuildError as e:
        print(f"\ncorvisk build failed: {e}\n", file=sys.stderr)
        raise
    name = f"{_dist_name(project)}-{project['version']}-{_tag()}.whl"
    wheel = _Wheel(Path(wheel_directory) / name)
    source = ROOT / "python"
    for path in _package_files():
        wheel.add(path.relative_to(source).as_posix(), path.read_bytes())
    staging = build_dir / "wheel-staging"
    staging.mkdir(parents=True, exist_ok=True)
    for built, dest, executable in ([(m, f"{PACKAGE}/{m.name}", False) for m in modules]
                                    + [(simulator, f"{PACKAGE}/bin/{SIMULATOR}", True)]):
        copy = staging / built.name
        shutil.copyfile(built, copy)
        if not given:
            _strip(copy)
        wheel.add(dest, copy.read_bytes(), executable=executable)
    dist_info = f"{_dist_name(project)}-{project['version']}.dist-info"
    for file_name, text in _dist_info_files(project).items():
        wheel.add(f"{dist_info}/{file_name}", text.encode())
    wheel.close(f"{dist_info}/RECORD")
    return name


SDIST_PARTS = ("CMakeLists.txt", "pyproject.toml", "README.md", ".clang-format", "src", "sim",
               "python", "scripts", "tests", "bench", "fuzz", "docs", "examples", ".ci")


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{_dist_name(project)}-{project['version']}"
    name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / name, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for part in SDIST_PARTS:
            path = ROOT / part
            if path.exists():
                tar.add(path, f"{base}/{part}",
                        filter=lambda t: None if "__pycache__" in t.name else t)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata(project).encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return name
