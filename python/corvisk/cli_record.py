"""``python -m corvisk record IP --seconds N -o DIR``: record a stream to files with a live
progress line. Registered by corvisk.__main__."""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Callable, Optional, TextIO

import corvisk
from .recorder import FORMATS

SUMMARY = "record frames to files (tiff png npy raw) with an index, showing progress"


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("--seconds", type=_seconds, default=5.0,
                        help="how long to record (default: 5)")
    parser.add_argument("-o", "--output", default="recording",
                        help="directory for the frames and index.json (default: recording)")
    parser.add_argument("--format", choices=FORMATS, default="tiff",
                        help="file format of each frame (default: tiff)")
    parser.add_argument("--frames", type=_count,
                        help="stop after this many frames (or --seconds, what comes first)")
    parser.add_argument("--queue", type=_count, default=32,
                        help="frames held in memory waiting for the disk (default: 32)")
    parser.add_argument("--buffers", type=_count, default=16,
                        help="stream frame buffers (default: 16)")
    parser.add_argument("--skip-incomplete", action="store_true",
                        help="leave out frames that lost packets (still listed in the index)")
    parser.add_argument("--overwrite", action="store_true",
                        help="record into a directory that already holds a recording")


def _progress(rec: corvisk.Recorder, acq: corvisk.Acquisition) -> str:
    elapsed = max(rec.elapsed, 1e-9)
    try:
        s = acq.stats()
        stream = f" stream_dropped={s.frames_dropped} underruns={s.underruns}"
    except ValueError:  # stopped
        stream = ""
    return (f"{rec.written} frames  {rec.bytes_written / elapsed / 1e6:7.1f} MB/s  "
            f"dropped={rec.dropped} queued={rec.queued}{stream}")


def record(cam: corvisk.Camera, args: argparse.Namespace, out: Optional[TextIO] = None,
           clock: Callable[[], float] = time.monotonic) -> corvisk.Recorder:
    """Records for args.seconds (or args.frames) with the progress line redrawn in place."""
    out = out or sys.stdout
    with cam.start_acquisition(n_buffers=args.buffers) as acq:
        rec = corvisk.Recorder(acq, args.output, args.format, queue=args.queue,
                               incomplete=not args.skip_incomplete, overwrite=args.overwrite,
                               max_frames=args.frames)
        try:
            end = clock() + args.seconds
            drawn = 0.0
            while clock() < end and rec.error is None and not rec.done():
                if clock() - drawn >= 0.25:
                    out.write("\r" + _progress(rec, acq) + "   ")
                    out.flush()
                    drawn = clock()
                time.sleep(min(0.02, max(0.0, end - clock())))
        finally:
            acq.stop()
            rec.stop()
    out.write("\r" + _progress(rec, acq) + "   \n")
    return rec


def run(args: argparse.Namespace) -> int:
    from .__main__ import _connect  # the CLI's connection with its one-line errors

    cam = _connect(args.ip)
    try:
        rec = record(cam, args)
    finally:
        cam.disconnect()
    mb = rec.bytes_written / 1e6
    print(f"{rec.written} frames ({mb:.1f} MB) in {rec.elapsed:.1f} s to "
          f"{rec.directory.resolve()} ({rec.format}), dropped {rec.dropped}; index: "
          f"{rec.directory.resolve() / 'index.json'}")
    if rec.dropped:
        print(f"warning: {rec.dropped} frames were dropped (the disk fell behind); try --format "
              "raw, a larger --queue or a faster disk", file=sys.stderr)
    return 0
