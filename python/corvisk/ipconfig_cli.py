"""``python -m corvisk ip ...``: list devices with their adapters, force an address, read or
write the persistent configuration. Registered by corvisk.__main__."""

from __future__ import annotations

import argparse

import corvisk
from .ipconfig import IpConfigMode

SUMMARY = "show or change device IP configuration (list | force | persistent)"

_MODE_NAMES = {"persistent": IpConfigMode.PERSISTENT, "dhcp": IpConfigMode.DHCP,
               "lla": IpConfigMode.LINK_LOCAL, "link-local": IpConfigMode.LINK_LOCAL}


def _mode(text: str) -> IpConfigMode:
    mode = IpConfigMode(0)
    for part in filter(None, text.lower().split(",")):
        if part not in _MODE_NAMES:
            raise argparse.ArgumentTypeError(f"unknown mode {part!r} (persistent, dhcp, lla)")
        mode |= _MODE_NAMES[part]
    return mode


def _mode_text(mode: IpConfigMode) -> str:
    names = [n for n, bit in (("persistent", IpConfigMode.PERSISTENT), ("dhcp", IpConfigMode.DHCP),
                              ("lla", IpConfigMode.LINK_LOCAL)) if bit in mode]
    return ",".join(names) or "none"


def arguments(parser: argparse.ArgumentParser) -> None:
    sub = parser.add_subparsers(dest="ip_command", required=True, metavar="ACTION")
    p = sub.add_parser("list", help="devices with the adapter they answered on")
    p.add_argument("--timeout", type=float, default=1.0, help="seconds (default: 1.0)")
    p.add_argument("--adapter", help="interface name or address to search on")
    p = sub.add_parser("force", help="give a device (by MAC) a new address until power-up")
    p.add_argument("mac", help="the device's MAC address, e.g. 00:1a:2b:3c:4d:5e")
    p.add_argument("address", help="new IPv4 address (0.0.0.0: restart DHCP / link-local)")
    p.add_argument("mask", help="new subnet mask, e.g. 255.255.255.0")
    p.add_argument("gateway", nargs="?", default="0.0.0.0", help="default gateway")
    p.add_argument("--adapter", help="adapter to broadcast on (default: where it answers)")
    p.add_argument("--timeout", type=float, default=3.0, help="seconds (default: 3.0)")
    p = sub.add_parser("persistent", help="show or set a camera's power-up address")
    p.add_argument("camera", help="the camera's current IPv4 address")
    p.add_argument("--set", nargs="+", metavar="ADDR",
                   help="ADDRESS MASK [GATEWAY] to store")
    p.add_argument("--mode", type=_mode, help="procedures to enable, e.g. persistent,lla")


def _list(args: argparse.Namespace) -> int:
    devices = corvisk.find_devices(args.timeout, adapter=args.adapter)
    if not devices:
        print("no devices found")
    for d in devices:
        hint = "" if d.reachable else "  (other subnet: fix with 'python -m corvisk ip force')"
        print(f"{d.ip:15}  {d.subnet_mask:15}  {d.mac}  {d.model}  serial={d.serial}  "
              f"via {d.adapter} ({d.adapter_ip}){hint}")
    return 0


def _force(args: argparse.Namespace) -> int:
    d = corvisk.force_ip(args.mac, args.address, args.mask, args.gateway, adapter=args.adapter,
                         timeout=args.timeout)
    print(f"{d.mac} now at {d.ip} mask {d.subnet_mask} gateway {d.gateway} via {d.adapter}")
    return 0


def _persistent(args: argparse.Namespace) -> int:
    if args.set is not None and len(args.set) not in (2, 3):
        raise ValueError("--set takes ADDRESS MASK [GATEWAY]")
    cam = corvisk.Camera(args.camera)
    cam.connect()
    try:
        if args.set is not None:
            mode = args.mode if args.mode is not None else (IpConfigMode.PERSISTENT
                                                            | IpConfigMode.LINK_LOCAL)
            corvisk.set_persistent_ip(cam, *args.set, mode=mode)
        elif args.mode is not None:
            corvisk.set_ip_config_mode(cam, args.mode)
        p = corvisk.persistent_ip(cam)
    finally:
        cam.disconnect()
    print(f"persistent {p.ip} mask {p.subnet_mask} gateway {p.gateway} mode {_mode_text(p.mode)}")
    return 0


def run(args: argparse.Namespace) -> int:
    return {"list": _list, "force": _force, "persistent": _persistent}[args.ip_command](args)
