"""``python -m corvisk doctor [IP]``: the host check (corvisk.check_host) as text, with the path
to one camera when its address is given. Registered by corvisk.__main__."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import asdict
from typing import Callable, ContextManager, Optional, TextIO

from .hostcheck import ERROR, check_host

SUMMARY = "check the host (and the path to a camera) for what breaks up frames"


def arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", nargs="?", help="a camera's IPv4 address (none: the host only)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def show(findings, out: Optional[TextIO] = None) -> None:
    """The findings, one per line, each fix indented below its finding, then a summary."""
    out = out or sys.stdout
    for finding in findings:
        out.write(f"{finding}\n")
    counts = {level: sum(f.level == level for f in findings) for level in ("error", "warn")}
    out.write(f"{len(findings)} checks: {counts['error']} errors, {counts['warn']} warnings\n")


def run(args: argparse.Namespace, camera: Callable[[str], ContextManager]) -> int:
    """`camera(ip)`: the CLI's connected camera for a with-block, with its one-line errors."""
    if args.ip is None:
        findings = check_host()
    else:
        with camera(args.ip) as cam:
            findings = check_host(cam)
    if args.json:
        print(json.dumps([asdict(f) for f in findings], indent=1))
    else:
        show(findings)
    return 1 if any(f.level == ERROR for f in findings) else 0
