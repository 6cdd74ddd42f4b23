"""Command-line front end: ``python -m corvisk <command> [options]``.

    demo                        start corvisk-sim, show the camera, snap a PNG, stream a while
    discover                    list the GigE Vision devices that answer a broadcast
    features IP                 list the feature names of a camera
    get IP NAME                 read one feature
    set IP NAME VALUE           write one feature
    snap IP -o file.png         capture one frame into an image file (.png .tif .npy .raw)
    stream IP --seconds N       stream and print live frame statistics
    ip list|force|persistent    show or change device IP configuration

Commands register themselves with the ``@command`` decorator below; each one gets its own
sub-parser and returns the process exit status.
"""

from __future__ import annotations

import argparse
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Optional

import corvisk
from corvisk import ipconfig_cli

Handler = Callable[[argparse.Namespace], int]
Arguments = Callable[[argparse.ArgumentParser], None]
_COMMANDS: list[tuple[str, str, Arguments, Handler]] = []


def command(name: str, summary: str, arguments: Optional[Arguments] = None):
    """Registers the decorated function as sub-command ``name``; ``arguments`` adds its options.

    The function receives the parsed arguments and returns the exit status. CameraError,
    GenicamError and ValueError it lets escape are printed as "error: ..." with status 1.
    """

    def register(handler: Handler) -> Handler:
        _COMMANDS.append((name, summary, arguments or (lambda parser: None), handler))
        return handler

    return register


def _timeout_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--timeout", type=float, default=1.0,
                        help="seconds to collect answers (default: 1.0)")


def _ip_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")


# ---- image output ----------------------------------------------------------------------------

def write_png(frame: corvisk.Frame, path: str) -> None:
    """Writes the frame to `path` in the file format its suffix names (see corvisk.save)."""
    corvisk.save(frame, path, allow_incomplete=True)


# ---- shared pieces ---------------------------------------------------------------------------

def _connect(ip: str) -> corvisk.Camera:
    cam = corvisk.Camera(ip)
    cam.connect()
    return cam


def _read_feature(cam: corvisk.Camera, name: str):
    """The feature's value by trying the readers in turn (str for enumerations)."""
    for reader in (cam.get_enum, cam.get_integer, cam.get_float, cam.get_boolean, cam.get_string):
        try:
            return reader(name)
        except corvisk.GenicamError as e:
            if "not found" in str(e):
                raise
    raise corvisk.GenicamError(f"cannot read {name}")


def _write_feature(cam: corvisk.Camera, name: str, text: str) -> None:
    """Writes `text` converted to the feature's type, trying the writers in turn."""
    attempts = []
    try:
        attempts.append((cam.set_integer, int(text, 0)))
    except ValueError:
        pass
    try:
        attempts.append((cam.set_float, float(text)))
    except ValueError:
        pass
    if text.lower() in ("true", "false"):
        attempts.append((cam.set_boolean, text.lower() == "true"))
    attempts += [(cam.set_enum, text), (cam.set_string, text)]
    last: Exception | None = None
    for writer, value in attempts:
        try:
            writer(name, value)
            return
        except corvisk.GenicamError as e:
            if "not found" in str(e):
                raise
            last = e
    assert last is not None
    raise last


def _stream(cam: corvisk.Camera, seconds: float, out=sys.stdout) -> None:
    """Streams for `seconds` with a live line of rates and counters, redrawn in place."""
    with cam.start_acquisition(n_buffers=16) as acq:
        start = last_draw = time.monotonic()
        frames = incomplete = 0
        nbytes = 0
        window_frames, window_bytes = 0, 0
        fps = mbps = 0.0
        while (now := time.monotonic()) - start < seconds:
            frame = acq.wait_for(0.2)
            if frame is not None:
                frames += 1
                incomplete += not frame.is_complete
                nbytes += frame.received_size
                window_frames += 1
                window_bytes += frame.received_size
            if now - last_draw >= 0.5:
                fps = window_frames / (now - last_draw)
                mbps = window_bytes / (now - last_draw) / 1e6
                window_frames, window_bytes, last_draw = 0, 0, now
                s = acq.stats()
                out.write(f"\r{fps:8.1f} frames/s {mbps:8.1f} MB/s  frames={frames} "
                          f"incomplete={incomplete} missing_packets={s.missing_packets} "
                          f"resent={s.resent_packets} dropped={s.frames_dropped}   ")
                out.flush()
        s = acq.stats()
    elapsed = time.monotonic() - start
    out.write(f"\n{frames} frames ({nbytes / 1e6:.1f} MB) in {elapsed:.1f} s: "
              f"{frames / elapsed:.1f} frames/s, {nbytes / elapsed / 1e6:.1f} MB/s; "
              f"completed={s.completed_frames} failed={s.failed_frames} "
              f"resend_requests={s.resend_requests}\n")


# ---- commands --------------------------------------------------------------------------------

def _find_sim() -> Optional[str]:
    found = shutil.which("corvisk-sim")
    if found:
        return found
    local = Path(__file__).resolve().parents[2] / "build" / "cmake" / "corvisk-sim"
    return str(local) if local.exists() else None


class _Simulator:
    """corvisk-sim in the background, on `ip`, until closed."""

    def __init__(self, ip: str, *options: str):
        program = _find_sim()
        if program is None:
            raise ValueError("corvisk-sim not found on PATH or in build/cmake; build it first")
        self.proc = subprocess.Popen([program, "--ip", ip, *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10.0)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("corvisk-sim ready"):
            self.close()
            raise ValueError(f"corvisk-sim did not start: {line.strip() or 'no answer'}")
        print(line.strip())

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def _show_camera(cam: corvisk.Camera) -> None:
    d = cam.device_info()
    print(f"device: {d.manufacturer} {d.model} serial={d.serial} at {d.ip} ({d.mac}), "
          f"version {d.device_version}")
    for name in ("Width", "Height", "PixelFormat", "PayloadSize", "AcquisitionMode"):
        if cam.has_feature(name):
            print(f"  {name:16} = {_read_feature(cam, name)}")


def _demo_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--ip", default="127.0.0.2",
                        help="loopback address for the simulated camera (default: 127.0.0.2)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="how long to stream (default: 3)")
    parser.add_argument("-o", "--output", default="corvisk-demo.png",
                        help="PNG file for the snapped frame (default: corvisk-demo.png)")


@command("demo", "start corvisk-sim, show the camera, snap a PNG and stream a while",
         _demo_arguments)
def _demo(args: argparse.Namespace) -> int:
    print(f"corvisk {corvisk.__version__}")
    sim = _Simulator(args.ip, "--frame-rate", "60")
    try:
        cam = _connect(args.ip)
        try:
            _show_camera(cam)
            frame = cam.snap(5.0)
            write_png(frame, args.output)
            print(f"snapped {frame!r}")
            print(f"wrote {os.path.abspath(args.output)}")
            print(f"streaming for {args.seconds:g} s ...")
            _stream(cam, args.seconds)
        finally:
            cam.disconnect()
    finally:
        sim.close()
        print("simulated camera stopped")
    return 0


@command("discover", "list the GigE Vision devices that answer a broadcast", _timeout_argument)
def _discover(args: argparse.Namespace) -> int:
    devices = corvisk.discover(args.timeout)
    if not devices:
        print("no devices found")
    for d in devices:
        major, minor = d.spec_version
        print(f"{d.ip:15}  {d.mac}  {d.manufacturer} {d.model}  serial={d.serial}  "
              f"GigE Vision {major}.{minor}")
    return 0


@command("features", "list the feature names of a camera", _ip_argument)
def _features(args: argparse.Namespace) -> int:
    cam = _connect(args.ip)
    try:
        for name in cam.feature_names():
            print(name)
    finally:
        cam.disconnect()
    return 0


def _get_arguments(parser: argparse.ArgumentParser) -> None:
    _ip_argument(parser)
    parser.add_argument("name", help="feature name")


@command("get", "read one feature", _get_arguments)
def _get(args: argparse.Namespace) -> int:
    cam = _connect(args.ip)
    try:
        print(_read_feature(cam, args.name))
    finally:
        cam.disconnect()
    return 0


def _set_arguments(parser: argparse.ArgumentParser) -> None:
    _get_arguments(parser)
    parser.add_argument("value", help="new value (converted to the feature's type)")


@command("set", "write one feature", _set_arguments)
def _set(args: argparse.Namespace) -> int:
    cam = _connect(args.ip)
    try:
        _write_feature(cam, args.name, args.value)
        print(f"{args.name} = {_read_feature(cam, args.name)}")
    finally:
        cam.disconnect()
    return 0


def _snap_arguments(parser: argparse.ArgumentParser) -> None:
    _ip_argument(parser)
    parser.add_argument("-o", "--output", default="frame.png",
                        help="image file, format by suffix: .png .tif .tiff .npy .raw "
                             "(default: frame.png)")
    parser.add_argument("--timeout", type=float, default=5.0,
                        help="seconds to wait for the frame (default: 5)")


@command("snap", "capture one frame into an image file", _snap_arguments)
def _snap(args: argparse.Namespace) -> int:
    cam = _connect(args.ip)
    try:
        frame = cam.snap(args.timeout)
    finally:
        cam.disconnect()
    write_png(frame, args.output)
    print(f"{frame!r} -> {os.path.abspath(args.output)}")
    return 0 if frame.is_complete else 1


def _stream_arguments(parser: argparse.ArgumentParser) -> None:
    _ip_argument(parser)
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="how long to stream (default: 5)")


@command("stream", "stream and print live frame statistics", _stream_arguments)
def _stream_command(args: argparse.Namespace) -> int:
    cam = _connect(args.ip)
    try:
        _stream(cam, args.seconds)
    finally:
        cam.disconnect()
    return 0


command("ip", ipconfig_cli.SUMMARY, ipconfig_cli.arguments)(ipconfig_cli.run)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m corvisk",
                                     description="GigE Vision / GenICam camera client")
    parser.add_argument("--version", action="version", version=f"corvisk {corvisk.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text, arguments, handler in _COMMANDS:
        p = sub.add_parser(name, help=help_text, description=help_text)
        arguments(p)
        p.set_defaults(handler=handler)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except (corvisk.CameraError, corvisk.GenicamError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
