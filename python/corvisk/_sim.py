"""The ``corvisk-sim`` console command: runs the simulated camera shipped inside the package."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path
from typing import Optional

NAME = "corvisk-sim"


def bundled() -> Optional[str]:
    """The simulator binary shipped in the package, or None (e.g. a source checkout)."""
    path = Path(__file__).resolve().parent / "bin" / NAME
    return str(path) if os.access(path, os.X_OK) else None


def find() -> Optional[str]:
    """The simulator to run: one on PATH (a developer's fresh build), else the bundled one, else
    the build tree of a source checkout."""
    found = shutil.which(NAME) or bundled()
    if found:
        return found
    local = Path(__file__).resolve().parents[2] / "build" / "cmake" / NAME
    return str(local) if local.exists() else None


def main() -> int:
    program = bundled()
    if program is None:
        print(f"{NAME}: the simulated camera is not part of this installation; reinstall the "
              "package with `pip install .` from the source tree", file=sys.stderr)
        return 1
    os.execv(program, [NAME, *sys.argv[1:]])
    return 1  # not reached: execv replaces the process
