"""Command-line front end: ``python -m corvisk <command> [options]``.

    demo                        start corvisk-sim, show the camera, snap a PNG, stream a while
    discover                    list the GigE Vision devices that answer a broadcast
    features IP [--all]         the features as a typed tree (type, access, value, unit)
    get IP NAME...              read features (--json for scripts)
    set IP NAME=VALUE...        write features in order over one connection, checked
    describe IP NAME            everything the description says about one feature
    genicam IP -o FILE.xml      save the camera's GenICam description as plain XML
    settings save|load IP FILE  save or restore the camera's settings (.json or .txt)
    execute IP NAME             run a command feature
    snap IP -o file.png         capture one frame into an image file (.png .tif .npy .raw)
    stream IP --seconds N       stream and print live frame statistics
    record IP --seconds N -o D  record frames to files (tiff png npy raw) with an index
    ip list|force|persistent    show or change device IP configuration
    files IP [get|put|delete]   list the camera's files, or copy one from or to it
    view IP [--port P]          serve a live view with controls in the web browser
    doctor [IP]                 check the host (and the path to a camera) for what breaks frames

Commands register themselves with the ``@command`` decorator below; each one gets its own
sub-parser and returns the process exit status.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Optional

import corvisk
from corvisk import cli_doctor, cli_features, cli_files, cli_record, ipconfig_cli
from corvisk import view as view_cli
from corvisk import _sim

Handler = Callable[[argparse.Namespace], int]
Arguments = Callable[[argparse.ArgumentParser], None]
_COMMANDS: list[tuple[str, str, Arguments, Handler]] = []


def command(name: str, summary: str, arguments: Optional[Arguments] = None):
    """Registers the decorated function as sub-command ``name``; ``arguments`` adds its options.

    The function receives the parsed arguments and returns the exit status. UserError,
    CameraError, GenicamError, ValueError and OSError it lets escape are printed as one
    "error: ..." line with status 1, never as a traceback.
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


def _json_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


# ---- image output ----------------------------------------------------------------------------

def write_png(frame: corvisk.Frame, path: str) -> None:
    """Writes the frame to `path` in the file format its suffix names (see corvisk.save)."""
    corvisk.save(frame, path, allow_incomplete=True)


# ---- shared pieces ---------------------------------------------------------------------------

class UserError(Exception):
    """A mistake on the command line: printed as one "error: ..." line, exit status 1."""


def _connect(ip: str) -> corvisk.Camera:
    try:
        cam = corvisk.Camera(ip)
    except ValueError as e:
        raise UserError(f"{e}; give the camera's IPv4 address, e.g. 192.168.1.10") from None
    try:
        cam.connect()
    except corvisk.CameraError as e:
        if str(e) == "connect timed out":
            raise UserError(f"no camera answered at {ip} (connect timed out); check the address "
                            "or list the cameras with `corvisk discover`") from None
        raise
    return cam


def _succeeds(call: Callable, name: str) -> bool:
    try:
        call(name)
        return True
    except corvisk.GenicamError:
        return False


def feature_type(cam: corvisk.Camera, name: str) -> str:
    """The feature's value type: "enumeration", "integer", "float", "string", "boolean" or
    "command" (nothing readable: a command, or a feature not readable right now)."""
    if not cam.has_feature(name):
        raise UserError(f"feature '{name}' not found; `corvisk features {cam.device_info().ip}` "
                        "lists the camera's features")
    # Probes that only the matching node kinds answer; the value readers convert too liberally.
    for kind, probe in (("enumeration", cam.enum_entries), ("integer", cam.integer_increment),
                        ("float", cam.float_bounds), ("integer", cam.integer_bounds)):
        if _succeeds(probe, name):
            return kind
    try:
        # A formula or a float register: integer when its value is (as an IntSwissKnife's is).
        value = cam.get_float(name)
        return "integer" if value.is_integer() and cam.get_integer(name) == value else "float"
    except corvisk.GenicamError:
        pass
    for kind, probe in (("string", cam.get_string), ("boolean", cam.get_boolean)):
        if _succeeds(probe, name):
            return kind
    return "command"


_READERS = {"enumeration": "get_enum", "integer": "get_integer", "float": "get_float",
            "string": "get_string", "boolean": "get_boolean"}


def _read_typed(cam: corvisk.Camera, name: str, kind: str):
    if kind == "command":
        raise UserError(f"feature '{name}' has no readable value (a command? try "
                        f"`corvisk execute IP {name}`)")
    return getattr(cam, _READERS[kind])(name)


def _read_feature(cam: corvisk.Camera, name: str):
    """The feature's value as its own type (str for enumerations and strings)."""
    return _read_typed(cam, name, feature_type(cam, name))


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

class _Simulator:
    """corvisk-sim in the background, on `ip`, until closed."""

    def __init__(self, ip: str, *options: str):
        program = _sim.find()
        if program is None:
            raise ValueError("corvisk-sim not found (not on PATH, not in the package); "
                             "reinstall the package with `pip install .`")
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


@contextlib.contextmanager
def _camera(ip: str):
    """A connected camera, disconnected when the block ends."""
    cam = _connect(ip)
    try:
        yield cam
    finally:
        cam.disconnect()


def _execute_arguments(parser: argparse.ArgumentParser) -> None:
    _ip_argument(parser)
    parser.add_argument("name", help="command feature, e.g. AcquisitionStart")
    _json_argument(parser)


@command("execute", "run a command feature", _execute_arguments)
def _execute(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        if feature_type(cam, args.name) != "command":
            raise UserError(f"feature '{args.name}' is not a command; read it with "
                            f"`corvisk get {args.ip} {args.name}`")
        cam.execute(args.name)
    print(json.dumps({"executed": args.name}) if args.json else f"executed {args.name}")
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
cli_features.register(command, _connect)  # features, get, set, describe, genicam, settings
command("view", view_cli.SUMMARY, view_cli.arguments)(lambda args: view_cli.run(args, _connect))
command("record", cli_record.SUMMARY, cli_record.arguments)(cli_record.run)
command("files", cli_files.SUMMARY, cli_files.arguments)(cli_files.run)
command("doctor", cli_doctor.SUMMARY, cli_doctor.arguments)(
    lambda args: cli_doctor.run(args, _camera))


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
    except (UserError, corvisk.CameraError, corvisk.GenicamError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        where = f": {e.filename}" if e.filename else ""
        print(f"error: {e.strerror or e}{where}; check that the path exists and is writable",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
