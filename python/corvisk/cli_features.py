"""``python -m corvisk`` commands about features: ``features`` (the typed tree), ``get``,
``set`` (checked, over one connection), ``describe``, ``genicam`` (dump the description) and
``settings save|load``. Registered by corvisk.__main__ through :func:`register`, which hands in
its ``command`` decorator and its connect helper (this module cannot import ``__main__``: run as
``python -m corvisk`` it is a different module object)."""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
from typing import Any, Callable, Dict, List, Optional

import corvisk
from . import _corvisk_ext
from .feature_facade import Feature, Features
from .introspection import Category, FeatureInfo, category_tree
from .settings import load_settings, save_settings


class CliError(ValueError):
    """A user mistake: the front end prints it as one "error: ..." line, status 1."""


def _plain_connect(ip: str):
    cam = corvisk.Camera(ip)
    cam.connect()
    return cam


_connect: Callable[[str], Any] = _plain_connect


@contextlib.contextmanager
def _camera(ip: str):
    cam = _connect(ip)
    try:
        yield cam
    finally:
        cam.disconnect()


def _text(value) -> str:
    """Booleans as true/false, floats as the shortest text that reads back the same."""
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def _feature(features: Features, ip: str, name: str) -> Feature:
    if name not in features:
        raise CliError(f"feature '{name}' not found; `corvisk features {ip}` lists the "
                       "camera's features")
    return features[name]


# ---- features --------------------------------------------------------------------------------

def _row(feature: Feature, info: FeatureInfo) -> Dict[str, Any]:
    row: Dict[str, Any] = {"name": info.name, "type": info.interface_type,
                           "access": info.access, "unit": info.unit,
                           "visibility": info.visibility}
    if info.data:
        row["data"] = info.data  # a frame's or an event's, not the device's to read
    elif info.interface_type in ("Integer", "Float", "Boolean", "Enumeration", "String") and \
            info.access in ("RO", "RW"):
        try:
            row["value"] = feature.value
        except (corvisk.CameraError, corvisk.GenicamError, ValueError) as e:
            row["error"] = str(e)
    return row


def _tree(features: Features, category: Category, show_all: bool) -> Dict[str, Any]:
    node: Dict[str, Any] = {"name": category.name, "type": "Category", "features": []}
    for name in category.features:
        try:
            info = features[name].info
        except (corvisk.GenicamError, KeyError):
            continue
        if show_all or (info.visibility != "Invisible" and info.implemented):
            node["features"].append(_row(features[name], info))
    for sub in category.subcategories:
        child = _tree(features, sub, show_all)
        if child["features"]:
            node["features"].append(child)
    return node


def _print_tree(node: Dict[str, Any], depth: int = 0) -> None:
    pad = "  " * depth
    for item in node["features"]:
        if item["type"] == "Category":
            print(f"{pad}{item['name']}")
            _print_tree(item, depth + 1)
            continue
        shown = ""
        if "value" in item:
            unit = f" {item['unit']}" if item["unit"] else ""
            shown = f" = {_text(item['value'])}{unit}"
        elif "data" in item:
            shown = f" ({item['data']} data)"
        elif "error" in item:
            shown = f" (unreadable: {item['error']})"
        print(f"{pad}{item['name']:<{max(1, 36 - len(pad))}} {item['type']:<11} "
              f"{item['access']}{shown}")


def _features_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("--all", action="store_true",
                        help="include invisible and unimplemented features")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _features(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        features = Features(cam)
        root = category_tree(cam)
        if root is None:  # no category tree: every feature, flat
            root = Category("Root", corvisk.feature_names(cam), [])
        tree = _tree(features, root, args.all)
    if args.json:
        print(json.dumps(tree))
    else:
        _print_tree(tree)
    return 0


# ---- get / set -------------------------------------------------------------------------------

def _read(feature: Feature, ip: str):
    kind = feature.type
    if kind == "Command":
        raise CliError(f"feature '{feature.name}' has no readable value (a command? try "
                       f"`corvisk execute IP {feature.name}`)")
    try:
        return feature.value
    except TypeError as e:
        raise CliError(str(e)) from None


def _get_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("names", nargs="+", metavar="NAME", help="feature names")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _get(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        features = Features(cam)
        values = {name: _read(_feature(features, args.ip, name), args.ip)
                  for name in args.names}
    if args.json:
        print(json.dumps(values))
    elif len(values) == 1:
        print(_text(next(iter(values.values()))))
    else:
        for name, value in values.items():
            print(f"{name} = {_text(value)}")
    return 0


_TRUE = ("1", "true", "on", "yes")
_FALSE = ("0", "false", "off", "no")


def convert(name: str, kind: str, text: str):
    """Command-line text as a value of the feature's interface type, or CliError saying why."""
    try:
        if kind == "Integer":
            return int(text, 0)
        if kind == "Float":
            value = float(text)
            if not math.isfinite(value):
                raise ValueError
            return value
    except ValueError:
        article = "an" if kind == "Integer" else "a"
        raise CliError(f"{name}: {text!r} is not {article} {kind.lower()}") from None
    if kind == "Boolean":
        if text.lower() in _TRUE + _FALSE:
            return text.lower() in _TRUE
        raise CliError(f"{name}: {text!r} is not a boolean (use true or false)")
    return text


def _assignments(words: List[str]) -> List[tuple]:
    """NAME=VALUE words, or the two words NAME VALUE."""
    if len(words) == 2 and "=" not in words[0]:
        return [(words[0], words[1])]
    pairs = []
    for word in words:
        name, sep, value = word.partition("=")
        if not sep or not name:
            raise CliError(f"expected NAME=VALUE, got {word!r} (e.g. `corvisk set IP Width=640 "
                           "Height=480`)")
        pairs.append((name, value))
    return pairs


def _write(feature: Feature, text: str):
    kind = feature.type
    if kind == "Command":
        raise CliError(f"feature '{feature.name}' takes no value; run it with "
                       f"`corvisk execute IP {feature.name}`")
    value = convert(feature.name, kind, text)
    try:
        feature.value = value
    except (ValueError, TypeError) as e:
        raise CliError(str(e)) from None
    except corvisk.GenicamError as e:
        raise CliError(f"cannot set {feature.name} to {text}: {e}") from None
    return feature.value if feature.readable else value


def _set_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("assignments", nargs="+", metavar="NAME=VALUE",
                        help="features to write, in order, over one connection (or NAME VALUE)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _set(args: argparse.Namespace) -> int:
    pairs = _assignments(args.assignments)
    values = {}
    with _camera(args.ip) as cam:
        features = Features(cam)
        for name, text in pairs:
            values[name] = _write(_feature(features, args.ip, name), text)
    if args.json:
        print(json.dumps(values))
    else:
        for name, value in values.items():
            print(f"{name} = {_text(value)}")
    return 0


# ---- describe / genicam ----------------------------------------------------------------------

def _describe_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("name", help="feature name")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _description(feature: Feature) -> Dict[str, Any]:
    info = feature.info
    record: Dict[str, Any] = {k: v for k, v in vars(info).items() if k != "entries"}
    record["bounds"] = list(info.bounds) if info.bounds else None
    record["entries"] = [vars(e) for e in info.entries]
    record["category"] = feature.category
    if info.interface_type == "String" and info.access in ("WO", "RW"):
        record["max_length"] = _corvisk_ext.string_max_length(feature._camera, feature.name)
    if info.interface_type not in ("Command", "Category", "Register", "Port") and \
            info.access in ("RO", "RW"):
        try:
            record["value"] = feature.value
        except (corvisk.CameraError, corvisk.GenicamError, ValueError, TypeError) as e:
            record["value_error"] = str(e)
    return record


def _describe(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        record = _description(_feature(Features(cam), args.ip, args.name))
    if args.json:
        print(json.dumps(record))
        return 0
    for key, value in record.items():
        if key == "entries":
            for e in value:
                flags = "" if e["available"] and e["implemented"] else " (not available)"
                print(f"  entry {e['name']} = {e['value']}"
                      f"{' ' + repr(e['display_name']) if e['display_name'] != e['name'] else ''}"
                      f"{flags}")
        elif value not in ("", [], None):
            shown = ", ".join(value) if isinstance(value, list) and key != "bounds" else (
                " .. ".join(_text(v) for v in value) if key == "bounds" else _text(value))
            print(f"{key:15} {shown}")
    return 0


def _genicam_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("-o", "--output", default="-",
                        help="file for the XML (default: standard output)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _genicam(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        document = _corvisk_ext.description_xml(cam)
    if args.output == "-":
        try:
            sys.stdout.flush()
            sys.stdout.buffer.write(document)
            sys.stdout.buffer.flush()
        except BrokenPipeError:  # e.g. piped into head: the reader has what it wanted
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    with open(args.output, "wb") as out:
        out.write(document)
    if args.json:
        print(json.dumps({"written": args.output, "bytes": len(document)}))
    else:
        print(f"wrote {len(document)} bytes of XML to {args.output}")
    return 0


# ---- settings --------------------------------------------------------------------------------

def _settings_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("action", choices=("save", "load"), help="save to or load from FILE")
    parser.add_argument("ip", help="the camera's IPv4 address")
    parser.add_argument("file", help="settings file: .json, or Name<TAB>Value text (.txt, .pfs)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")


def _settings(args: argparse.Namespace) -> int:
    with _camera(args.ip) as cam:
        if args.action == "save":
            result = save_settings(cam, args.file)
        else:
            result = load_settings(cam, args.file)
    verb = "saved" if args.action == "save" else "applied"
    if args.json:
        print(json.dumps({verb: [[n, v] for n, v in result.applied],
                          "failed": [[n, v, why] for n, v, why in result.failed]}))
    else:
        where = "to" if args.action == "save" else "from"
        print(f"{verb} {len(result.applied)} settings {where} {args.file}")
        for name, value, why in result.failed:
            shown = "" if value is None else f" = {_text(value)}"
            print(f"  not {verb}: {name}{shown}: {why}")
    return 0 if result.ok else 1


def register(command: Callable, connect: Optional[Callable[[str], Any]] = None) -> None:
    """Adds this module's commands to the front end's registry; `connect(ip)` returns a
    connected camera, raising a user-facing error when none answers."""
    global _connect
    if connect is not None:
        _connect = connect
    command("features", "the camera's features as a typed tree (type, access, value, unit)",
            _features_arguments)(_features)
    command("get", "read features (one value, or NAME = value lines)", _get_arguments)(_get)
    command("set", "write features in order over one connection, checked against their "
                   "limits; prints what they read back", _set_arguments)(_set)
    command("describe", "everything the camera's description says about one feature",
            _describe_arguments)(_describe)
    command("genicam", "save the camera's GenICam description as plain XML",
            _genicam_arguments)(_genicam)
    command("settings", "save the camera's settings to a file, or load them from one",
            _settings_arguments)(_settings)
