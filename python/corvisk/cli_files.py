"""``python -m corvisk files IP [get NAME -o PATH | put NAME PATH | delete NAME]``: list, copy
and delete the files on a camera. Registered by corvisk.__main__."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Callable, Optional, TextIO

import corvisk

SUMMARY = "list the camera's files, or get, put or delete one"

# Transfers of at least this many bytes (or of unknown size) show a progress line.
_LARGE = 64 * 1024
# The progress line is redrawn at most this often (seconds).
_REDRAW = 0.2


def arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("action", nargs="?", choices=("get", "put", "delete"),
                        help="get NAME -o PATH, put NAME PATH or delete NAME (none: list)")
    parser.add_argument("name", nargs="?", help="the file on the camera (as listed)")
    parser.add_argument("path", nargs="?", help="put: the local file to send")
    parser.add_argument("-o", "--output", help="get: where to save it ('-' = standard output)")


class _Progress:
    """A progress line on `out` for a large transfer, redrawn in place."""

    def __init__(self, what: str, out: TextIO, clock: Callable[[], float] = time.monotonic):
        self.what, self.out, self.clock = what, out, clock
        self.drawn = 0.0
        self.shown = False

    def __call__(self, done: int, total: Optional[int]) -> None:
        last = total is not None and done >= total
        if total is not None and total < _LARGE or (self.clock() - self.drawn < _REDRAW and
                                                    not last):
            return
        share = f" ({100 * done // total}%)" if total else ""
        self.out.write(f"\r{self.what}: {done} of {total if total else '?'} bytes{share}   ")
        self.out.flush()
        self.drawn = self.clock()
        self.shown = True

    def end(self) -> None:
        if self.shown:
            self.out.write("\n")


def _usage(args: argparse.Namespace) -> None:
    if args.action and not args.name:
        raise ValueError(f"files {args.action} needs the NAME of a file on the camera")
    if args.action == "get" and not args.output:
        raise ValueError("files get needs -o PATH (or -o - for standard output)")
    if args.action == "put" and not args.path:
        raise ValueError("files put needs the local PATH to send")
    if args.action != "put" and args.path:
        raise ValueError(f"unexpected argument {args.path!r}")


def _get(cam: corvisk.Camera, args: argparse.Namespace) -> None:
    progress = _Progress(f"reading {args.name}", sys.stderr)
    try:
        data = corvisk.read_file(cam, args.name, progress=progress)
    finally:
        progress.end()
    if args.output == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
        return
    with open(args.output, "wb") as out:
        out.write(data)
    print(f"read {len(data)} bytes of {args.name} into {args.output}")


def _put(cam: corvisk.Camera, args: argparse.Namespace) -> None:
    with open(args.path, "rb") as source:
        data = source.read()
    progress = _Progress(f"writing {args.name}", sys.stderr)
    try:
        corvisk.write_file(cam, args.name, data, progress=progress)
    finally:
        progress.end()
    print(f"wrote {len(data)} bytes from {args.path} to {args.name}")


def run(args: argparse.Namespace) -> int:
    from .__main__ import _connect  # the CLI's connection with its one-line errors

    _usage(args)
    cam = _connect(args.ip)
    try:
        if args.action is None:
            for name in corvisk.list_files(cam):
                print(name)
        elif args.action == "get":
            _get(cam, args)
        elif args.action == "put":
            _put(cam, args)
        else:
            corvisk.delete_file(cam, args.name)
            print(f"deleted {args.name}")
    finally:
        cam.disconnect()
    return 0
