"""Camera settings files and user sets.

``save_settings(cam, path)`` writes the camera's configuration: every feature that can be
written, is available now and is marked streamable, in category order, with each selector
iterated (its value, then the features it selects, for each of its values; the selector's own
value last). A description that marks no feature streamable, or only a few (fewer than 5, or
under a tenth of the writable ones), counts every writable feature. Transport and control
features (``Gev*``, ``TLParamsLocked``, ``UserSet*``, file access, resets …) are left out: they
belong to the connection, not to the configuration. ``load_settings(cam, path)`` applies a file
in its order through the checked feature facade, retries what failed as long as that helps
(limits depend on other features: an OffsetX waits for its Width), and reports what it could not
apply and why; only an unreadable or malformed file raises.

Formats, chosen by the file's suffix: ``.json`` (typed values) or anything else (``.txt``,
``.pfs`` …): plain text, one ``Name<TAB>Value`` line each, ``#`` starting a comment.

The user-set helpers drive a camera's own stored configurations (``UserSetSelector``,
``UserSetLoad``, ``UserSetSave``, ``UserSetDefault``).
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

from . import _corvisk_core
from .feature_facade import Feature, Features
from .introspection import FeatureInfo, selectors

__all__ = [
    "SettingsResult", "load_settings", "save_settings", "user_set_default", "user_set_load",
    "user_set_save", "user_sets",
]

FORMAT = "corvisk-settings"
VERSION = 1

# Features that belong to the connection, the stream or the device's housekeeping, never to a
# saved configuration: restoring them would break the link or start device actions.
_SKIPPED_PREFIXES = ("Gev", "TL", "UserSet", "DeviceReset", "DeviceRegisters", "DeviceLink",
                     "DeviceStreamChannel", "DeviceEventChannel", "DeviceTL", "File",
                     "DeviceFeaturePersistence", "Test", "Payload", "SequencerConfiguration")
_VALUE_TYPES = ("Integer", "Float", "Boolean", "Enumeration", "String")
# Streamable marks count when at least this many (and this share) of the writable features
# carry them.
_MIN_MARKED = 5
_MIN_MARKED_SHARE = 0.1
# An Integer selector is iterated only when it has at most this many values.
_MAX_SELECTOR_VALUES = 256

_Errors = (ValueError, TypeError, _corvisk_core.GenicamError, _corvisk_core.CameraError)


def is_skipped(name: str) -> bool:
    """True for the transport and control features settings never save or load."""
    return name.startswith(_SKIPPED_PREFIXES)


@dataclass
class SettingsResult:
    """What a save or load did: ``applied`` holds the (name, value) pairs written to the file
    (save) or to the camera (load), in order; ``failed`` the (name, value, reason) of each entry
    that could not be read or applied (value None when it could not be read)."""

    applied: List[Tuple[str, Any]] = field(default_factory=list)
    failed: List[Tuple[str, Any, str]] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.failed


# ---- save ------------------------------------------------------------------------------------

class _Snapshot:
    """The descriptions of every feature in category order, read once for one save."""

    def __init__(self, camera):
        self.features = Features(camera)
        self.order = list(self.features)
        self.infos: Dict[str, FeatureInfo] = {}
        for name in self.order:
            try:
                self.infos[name] = self.features[name].info
            except _Errors:
                continue
        # Some descriptions mark only a handful of features streamable (or none): then the
        # marks say nothing and every writable feature counts.
        writable = [i for i in self.infos.values() if self.eligible(i, False)]
        marked = sum(i.streamable for i in writable)
        self.marked = marked >= max(_MIN_MARKED, _MIN_MARKED_SHARE * len(writable))
        self.saved = [n for n in self.order if n in self.infos and self.eligible(self.infos[n])]

    def eligible(self, info: FeatureInfo, marked: Optional[bool] = None) -> bool:
        marked = self.marked if marked is None else marked
        return (info.interface_type in _VALUE_TYPES and info.access == "RW" and
                info.implemented and info.available and not is_skipped(info.name) and
                (info.streamable or not marked))


def _selector_values(feature: Feature, info: FeatureInfo) -> List[Any]:
    if info.interface_type == "Enumeration":
        return [e.name for e in info.entries if e.implemented and e.available]
    if info.interface_type == "Integer" and info.bounds:
        lo, hi = info.bounds
        inc = info.increment or 1
        if (hi - lo) // inc < _MAX_SELECTOR_VALUES:
            return list(range(lo, hi + 1, inc))
    return []


def _read(feature: Feature, result: SettingsResult) -> Tuple[bool, Any]:
    try:
        return True, feature.value
    except _Errors as e:
        result.failed.append((feature.name, None, f"cannot be read: {e}"))
        return False, None


def _save_selector(snap: _Snapshot, name: str, dependents: List[str],
                   result: SettingsResult) -> None:
    """Each value of selector `name` followed by what it selects, then its own value again."""
    selector = snap.features[name]
    info = snap.infos[name]
    ok, original = _read(selector, result)
    if not ok:
        return
    for choice in _selector_values(selector, info):
        try:
            selector.value = choice
        except _Errors:
            continue
        values = []
        for dep in dependents:
            feature = snap.features[dep]
            try:
                dep_info = feature.info
            except _Errors:
                continue
            if snap.eligible(dep_info):
                ok, value = _read(feature, result)
                if ok:
                    values.append((dep, value))
        if values:
            result.applied.append((name, choice))
            result.applied.extend(values)
    try:
        selector.value = original
    except _Errors as e:
        result.failed.append((name, original, f"could not be restored: {e}"))
    result.applied.append((name, original))


def collect_settings(camera) -> SettingsResult:
    """The (name, value) pairs save_settings would write, read from the camera now."""
    snap = _Snapshot(camera)
    saved = set(snap.saved)
    groups: Dict[str, List[str]] = {}
    chooser = selectors(camera)
    for sel, chosen in chooser.items():
        if sel in saved:
            groups[sel] = [n for n in snap.order if n in chosen and n in saved and
                           n not in chooser]
    grouped = {n for deps in groups.values() for n in deps}
    result = SettingsResult()
    for name in snap.saved:
        if name in groups:
            _save_selector(snap, name, groups[name], result)
        elif name not in grouped:
            ok, value = _read(snap.features[name], result)
            if ok:
                result.applied.append((name, value))
    return result


def _device_line(camera) -> str:
    try:
        d = camera.device_info()
        return f"{d.manufacturer} {d.model} serial={d.serial}"
    except _Errors:
        return "unknown device"


def save_settings(camera, path: Union[str, os.PathLike]) -> SettingsResult:
    """Writes the camera's settings to `path` (JSON for ``.json``, else Name<TAB>Value text);
    returns what was saved and what could not be read."""
    result = collect_settings(camera)
    device = _device_line(camera)
    if _is_json(path):
        document = {"format": FORMAT, "version": VERSION, "device": device,
                    "features": [{"name": n, "value": v} for n, v in result.applied]}
        text = json.dumps(document, indent=1) + "\n"
    else:
        lines = [f"# {FORMAT} {VERSION}", f"# device: {device}",
                 "# Name<TAB>Value, applied in order"]
        lines += [f"{n}\t{_to_text(v)}" for n, v in result.applied]
        text = "\n".join(lines) + "\n"
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    return result


# ---- file forms ------------------------------------------------------------------------------

def _is_json(path) -> bool:
    return os.fspath(path).lower().endswith(".json")


_ESCAPES = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
_UNESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}


def _to_text(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return "".join(_ESCAPES.get(c, c) for c in value)
    return str(value)


def _unescape(text: str, where: str) -> str:
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            if i + 1 >= len(text) or text[i + 1] not in _UNESCAPES:
                raise ValueError(f"{where}: bad escape in {text!r} (use \\\\, \\t, \\n or \\r)")
            out.append(_UNESCAPES[text[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _parse_text(text: str, path) -> List[Tuple[str, Any]]:
    entries = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        name, sep, value = line.partition("\t")
        name = name.strip()
        if not sep or not name or " " in name:
            raise ValueError(f"{os.fspath(path)} line {number}: expected Name<TAB>Value, got "
                             f"{line[:80]!r}")
        entries.append((name, _unescape(value, f"{os.fspath(path)} line {number}")))
    return entries


def _parse_json(text: str, path) -> List[Tuple[str, Any]]:
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        raise ValueError(f"{os.fspath(path)}: not valid JSON ({e})") from None
    items = document.get("features") if isinstance(document, dict) else None
    if not isinstance(items, list):
        raise ValueError(f"{os.fspath(path)}: expected an object with a \"features\" list")
    entries = []
    for i, item in enumerate(items):
        if not (isinstance(item, dict) and isinstance(item.get("name"), str) and
                "value" in item and isinstance(item["value"], (bool, int, float, str))):
            raise ValueError(f"{os.fspath(path)}: features[{i}] is not an object with a "
                             "\"name\" and a plain \"value\"")
        entries.append((item["name"], item["value"]))
    return entries


def read_settings(path: Union[str, os.PathLike]) -> List[Tuple[str, Any]]:
    """The (name, value) entries of a settings file, in order (text values stay str)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return _parse_json(text, path) if _is_json(path) else _parse_text(text, path)


# ---- load ------------------------------------------------------------------------------------

_TRUE = ("1", "true", "on", "yes")
_FALSE = ("0", "false", "off", "no")


def _typed(info: FeatureInfo, value):
    """A text value as the feature's type (JSON values pass through); TypeError/ValueError."""
    if not isinstance(value, str) or info.interface_type in ("Enumeration", "String"):
        if info.interface_type == "Float" and isinstance(value, int) and \
                not isinstance(value, bool):
            return float(value)
        return value
    kind = info.interface_type
    try:
        if kind == "Integer":  # decimal (leading zeros allowed), or 0x / 0o / 0b
            text = value.strip()
            return int(text, 10) if text.lstrip("+-").isdigit() else int(text, 0)
        if kind == "Float":
            number = float(value)
            if not math.isfinite(number):
                raise ValueError
            return number
    except ValueError:
        raise ValueError(f"{value!r} is not {'an' if kind == 'Integer' else 'a'} "
                         f"{kind.lower()}") from None
    if kind == "Boolean" and value.strip().lower() in _TRUE + _FALSE:
        return value.strip().lower() in _TRUE
    raise ValueError(f"{value!r} is not a boolean (true or false)")


@dataclass
class _Entry:
    name: str
    value: Any
    context: Dict[str, Any]  # the selector values the entry was written under
    reason: str = ""
    index: int = 0  # its place in the file


def _apply(features: Features, entry: _Entry) -> Optional[str]:
    """Writes one entry (its selectors first); None on success, else why not."""
    try:
        for sel, choice in entry.context.items():
            selector = features[sel]
            selector.value = _typed(selector.info, choice)
        feature = features[entry.name]
        feature.value = _typed(feature.info, entry.value)
        return None
    except _Errors as e:
        return str(e)


def load_settings(camera, path: Union[str, os.PathLike]) -> SettingsResult:
    """Applies a settings file to the camera, in order, retrying what failed while that helps.
    Returns what was applied and, for each entry that could not be (in file order), the reason.
    Raises OSError for an unreadable file and ValueError for a malformed one."""
    entries = read_settings(path)
    features = Features(camera)
    chooser = selectors(camera)
    selected_by: Dict[str, List[str]] = {}
    for sel, chosen in chooser.items():
        for name in chosen:
            selected_by.setdefault(name, []).append(sel)
    result = SettingsResult()
    refused: List[Tuple[int, Tuple[str, Any, str]]] = []
    current: Dict[str, Any] = {}
    pending: List[_Entry] = []
    for index, (name, value) in enumerate(entries):
        if name not in features:
            refused.append((index, (name, value, f"feature '{name}' not found")))
            continue
        if is_skipped(name):
            refused.append((index, (name, value, "skipped: a transport or control feature")))
            continue
        entry = _Entry(name, value, {s: current[s] for s in selected_by.get(name, [])
                                     if s in current}, index=index)
        if name in chooser:
            current[name] = value
        reason = _apply(features, _Entry(name, value, {}))
        if reason:
            entry.reason = reason
            pending.append(entry)
        else:
            result.applied.append((name, value))
    refused += _retry(features, pending, result)
    result.failed = [failure for _, failure in sorted(refused, key=lambda r: r[0])]
    # Leave each selector where the file leaves it (the retries may have moved it).
    for sel, choice in current.items():
        _apply(features, _Entry(sel, choice, {}))
    return result


def _retry(features: Features, pending: List[_Entry], result: SettingsResult):
    """Retries the failed entries while a pass applies any; returns the rest as (index,
    failure) pairs."""
    while pending:
        still = []
        for entry in pending:
            reason = _apply(features, entry)
            if reason:
                entry.reason = reason
                still.append(entry)
            else:
                result.applied.append((entry.name, entry.value))
        if len(still) == len(pending):
            break
        pending = still
    return [(e.index, (e.name, e.value, e.reason)) for e in pending]


# ---- user sets -------------------------------------------------------------------------------

def _user_set_selector(camera) -> Feature:
    features = Features(camera)
    if "UserSetSelector" not in features:
        raise ValueError("this camera has no user sets (no UserSetSelector feature)")
    return features["UserSetSelector"]


def user_sets(camera) -> List[str]:
    """The names of the camera's user sets (the UserSetSelector entries available now)."""
    return _user_set_selector(camera).entries


def _run_on(camera, name: str, command: str) -> None:
    selector = _user_set_selector(camera)
    selector.value = name
    Features(camera)[command].execute()


def user_set_load(camera, name: str = "Default") -> None:
    """Loads user set `name` into the camera's configuration (the camera must not be
    acquiring); cached values are dropped, since the load changes registers behind them."""
    _run_on(camera, name, "UserSetLoad")
    camera.invalidate_caches()


def user_set_save(camera, name: str) -> None:
    """Saves the camera's current configuration into user set `name`."""
    _run_on(camera, name, "UserSetSave")


def user_set_default(camera, name: Optional[str] = None) -> str:
    """The user set the camera loads at power-up; with `name`, chooses it first."""
    features = Features(camera)
    for feature_name in ("UserSetDefault", "UserSetDefaultSelector"):
        if feature_name in features:
            feature = features[feature_name]
            if name is not None:
                feature.value = name
            return feature.value
    raise ValueError("this camera has no power-up user set choice (no UserSetDefault feature)")
