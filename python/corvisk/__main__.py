"""Command-line front end: ``python -m corvisk <command> [options]``.

Commands register themselves with the ``@command`` decorator below; each one gets its own
sub-parser and returns the process exit status. Commands planned next, each a small function
over the public API once its class exists in the core:

    features IP                 list the feature names of a camera   (Camera.feature_names)
    get IP NAME                 read one feature                     (Camera.get_* by access)
    set IP NAME VALUE           write one feature                    (Camera.set_*)
    snap IP -o file.png         capture one frame into a PNG         (Camera.snap, Frame.data)
    stream IP --seconds N       stream and print frame statistics    (Camera.start_acquisition)

and ``demo`` will then start ``corvisk-sim`` and snap a PNG from it.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Optional

import corvisk

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


@command("demo", "show what this build of corvisk provides")
def _demo(args: argparse.Namespace) -> int:
    print(f"corvisk {corvisk.__version__}")
    core = corvisk._corvisk_core
    for name, obj in vars(core).items():  # in the core's registration order
        if name.startswith("_"):
            continue
        kind = "class" if isinstance(obj, type) else "function"
        print(f"  {kind:8} {name}")
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
