"""The feature facade: a connected camera's features as objects that explain themselves and
check what is written to them.

``corvisk.features(cam)`` returns a :class:`Features` mapping; ``f["ExposureTime"]`` is a
:class:`Feature` whose ``value`` reads and writes with the typed call its interface needs.
Writes are checked against what the device says now (limits, increment, entries, access,
availability, lock), because limits often depend on other features (Width's maximum on
OffsetX, say). A refused write raises ValueError (a value the feature does not take now) or
TypeError (a value of the wrong kind) naming the feature, the value and what it takes; nothing
reaches the device. The core's ``Camera.set_*`` calls stay unchecked.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Dict, Iterator, List, Optional

from . import _corvisk_ext
from .introspection import FeatureInfo, category_tree, describe, feature_names

__all__ = ["Feature", "Features", "features"]

# The interface types that carry a value, with the camera's reader and writer for each.
_READERS = {"Integer": "get_integer", "Float": "get_float", "Boolean": "get_boolean",
            "Enumeration": "get_enum", "String": "get_string"}
_WRITERS = {"Integer": "set_integer", "Float": "set_float", "Boolean": "set_boolean",
            "Enumeration": "set_enum", "String": "set_string"}

# A float written with an increment may miss the grid by this fraction of a step (rounding in
# the text or the arithmetic that produced it) and still count as on it.
_STEP_TOLERANCE = 1e-6

# Longest shown form of a refused value in a message.
_SHOWN = 60
# Enumeration entries a repr lists before it abbreviates.
_REPR_ENTRIES = 8


def _shown(value: Any) -> str:
    text = repr(value)
    if len(text) > _SHOWN:
        size = f" ({len(value)} characters)" if isinstance(value, str) else ""
        text = text[:_SHOWN - 4] + "...'" * isinstance(value, str) + size
    return text


def _a(kind: str) -> str:
    """The type name with its article: "an Integer", "a Float"."""
    return f"{'an' if kind[:1] in 'AEIOU' else 'a'} {kind}"


def _number(value: Any) -> str:
    return repr(value) if isinstance(value, float) else str(value)


class Feature:
    """One feature of a connected camera. Every property is read from the device when asked
    (values, limits, predicates), except the interface type, which a description never
    changes."""

    __slots__ = ("_camera", "_name", "_type", "_features")

    def __init__(self, camera, name: str, features: Optional["Features"] = None):
        self._camera = camera
        self._name = name
        self._type: Optional[str] = None
        self._features = features

    # ---- what the description says -------------------------------------------------------

    @property
    def name(self) -> str:
        return self._name

    @property
    def info(self) -> FeatureInfo:
        """Everything the introspection knows, read now (see corvisk.describe)."""
        info = describe(self._camera, self._name)
        self._type = info.interface_type
        return info

    @property
    def type(self) -> str:
        """"Integer", "Float", "Boolean", "Enumeration", "String", "Command", "Category" or
        "Register"."""
        if self._type is None:
            self._type = self.info.interface_type
        return self._type

    @property
    def unit(self) -> str:
        return self.info.unit

    @property
    def display_name(self) -> str:
        return self.info.display_name

    @property
    def description(self) -> str:
        """The description's text for the feature (its tooltip when it has no description)."""
        info = self.info
        return info.description or info.tooltip

    @property
    def visibility(self) -> str:
        return self.info.visibility

    @property
    def access(self) -> str:
        """"RO", "WO", "RW", "NA" (not available now) or "NI" (not implemented)."""
        return self.info.access

    @property
    def available(self) -> bool:
        info = self.info
        return info.implemented and info.available

    @property
    def locked(self) -> bool:
        return self.info.locked

    @property
    def readable(self) -> bool:
        return self.access in ("RO", "RW")

    @property
    def writable(self) -> bool:
        return self.access in ("WO", "RW")

    @property
    def streamable(self) -> bool:
        return self.info.streamable

    @property
    def min(self):
        bounds = self.info.bounds
        return bounds[0] if bounds else None

    @property
    def max(self):
        bounds = self.info.bounds
        return bounds[1] if bounds else None

    @property
    def inc(self):
        return self.info.increment

    @property
    def entries(self) -> List[str]:
        """The names of the enumeration entries that can be chosen now ([] for other types)."""
        return [e.name for e in self.info.entries if e.implemented and e.available]

    @property
    def selected(self) -> List[str]:
        """The features this selector selects ([] when it is no selector)."""
        return list(self.info.selected)

    @property
    def category(self) -> Optional[str]:
        """The category holding the feature in the category tree, or None."""
        features = self._features or Features(self._camera)
        return features.category_of(self._name)

    # ---- value ---------------------------------------------------------------------------

    @property
    def value(self):
        """The current value as its type: int, float, bool, str (entry name for an
        enumeration). Setting it checks the value first (see the module text)."""
        info = self.info
        reader = _READERS.get(info.interface_type)
        if reader is None:
            hint = "; call execute()" if info.interface_type == "Command" else ""
            raise TypeError(f"{self._name} is {_a(info.interface_type)} and has no value{hint}")
        if info.access not in ("RO", "RW"):
            raise ValueError(f"{self._name} cannot be read now ({_ACCESS_TEXT[info.access]})")
        return getattr(self._camera, reader)(self._name)

    @value.setter
    def value(self, value) -> None:
        info = self.info
        converted = self._checked(info, value)
        getattr(self._camera, _WRITERS[info.interface_type])(self._name, converted)

    def execute(self) -> None:
        """Runs a Command feature (checked: it must be a command that can be written now)."""
        info = self.info
        if info.interface_type != "Command":
            raise TypeError(f"{self._name} is {_a(info.interface_type)}, not a Command; set "
                            "its value instead")
        self._check_writable(info, "execute")
        self._camera.execute(self._name)

    # ---- checks --------------------------------------------------------------------------

    def _refuse(self, value, reason: str, error=ValueError):
        return error(f"cannot set {self._name} to {_shown(value)}: {reason}")

    def _check_writable(self, info: FeatureInfo, what) -> None:
        if not info.implemented:
            raise self._refuse(what, "the camera does not implement it")
        if not info.available:
            raise self._refuse(what, "it is not available now (another feature's setting "
                                     "disables it)")
        if info.locked:
            raise self._refuse(what, "it is locked now (e.g. while an acquisition runs)")
        if info.access not in ("WO", "RW"):
            raise self._refuse(what, f"it is {_ACCESS_TEXT.get(info.access, info.access)}")

    def _checked(self, info: FeatureInfo, value):
        kind = info.interface_type
        if kind not in _WRITERS:
            hint = "; call execute()" if kind == "Command" else ""
            raise self._refuse(value, f"{self._name} is {_a(kind)} and takes no value{hint}",
                               TypeError)
        checker = _CHECKS[kind]
        converted = checker(self, info, value)  # type errors before state errors
        self._check_writable(info, value)
        return converted

    def _wrong_type(self, info: FeatureInfo, value, wanted: str):
        return self._refuse(value, f"{self._name} is {_a(info.interface_type)} feature and takes "
                                   f"{wanted}, not {type(value).__name__}", TypeError)

    def _takes(self, info: FeatureInfo) -> str:
        if not info.bounds:
            return ""
        lo, hi = info.bounds
        step = "" if info.increment in (None, 0, 1) else f" in steps of {_number(info.increment)}"
        unit = f" {info.unit}" if info.unit else ""
        return f"; {self._name} takes {_number(lo)}..{_number(hi)}{unit}{step}"

    def _check_integer(self, info: FeatureInfo, value) -> int:
        if isinstance(value, bool) or type(value).__name__ == "bool_":
            raise self._wrong_type(info, value, "an int")
        try:
            number = operator.index(value)
        except TypeError:
            raise self._wrong_type(info, value, "an int") from None
        self._check_range(info, value, number)
        inc = info.increment
        if inc and inc > 1 and info.bounds and (number - info.bounds[0]) % inc:
            lo = info.bounds[0]
            below = number - (number - lo) % inc
            raise self._refuse(value, f"not on the increment (nearest {below} or {below + inc})"
                                      f"{self._takes(info)}")
        return number

    def _check_float(self, info: FeatureInfo, value) -> float:
        if isinstance(value, bool) or type(value).__name__ == "bool_" or \
                not isinstance(value, numbers.Real):
            raise self._wrong_type(info, value, "a float")
        number = float(value)
        if not math.isfinite(number):
            raise self._refuse(value, f"not a finite number{self._takes(info)}")
        self._check_range(info, value, number)
        inc = info.increment
        if inc and inc > 0 and info.bounds:
            steps = (number - info.bounds[0]) / inc
            if abs(steps - round(steps)) > _STEP_TOLERANCE * max(1.0, abs(steps)):
                raise self._refuse(value, f"not on the increment{self._takes(info)}")
        return number

    def _check_range(self, info: FeatureInfo, value, number) -> None:
        if not info.bounds:
            return
        lo, hi = info.bounds
        if number < lo:
            raise self._refuse(value, f"below the minimum {_number(lo)}{self._takes(info)}")
        if number > hi:
            raise self._refuse(value, f"above the maximum {_number(hi)}{self._takes(info)}")

    def _check_boolean(self, info: FeatureInfo, value) -> bool:
        if not (isinstance(value, bool) or type(value).__name__ == "bool_"):
            raise self._wrong_type(info, value, "a bool (True or False)")
        return bool(value)

    def _check_enumeration(self, info: FeatureInfo, value) -> str:
        if not isinstance(value, str):
            raise self._wrong_type(info, value, "an entry name (str)")
        choosable = [e.name for e in info.entries if e.implemented and e.available]
        known = {e.name for e in info.entries}
        choices = f"; choose one of {', '.join(choosable)}"
        if value not in known:
            shown = value if len(value) <= _SHOWN else _shown(value)
            raise ValueError(f"cannot set {self._name} to {shown}: enumeration "
                             f"'{self._name}' has no entry '{shown}'{choices}")
        if value not in choosable:
            raise ValueError(f"cannot set {self._name} to {value}: the entry is not available "
                             f"now{choices}")
        return value

    def _check_string(self, info: FeatureInfo, value) -> str:
        if not isinstance(value, str):
            raise self._wrong_type(info, value, "a str")
        if "\0" in value:
            raise self._refuse(value, "the text holds a NUL character, which would end it")
        capacity = _corvisk_ext.string_max_length(self._camera, self._name)
        size = len(value.encode("utf-8"))
        if capacity is not None and size > capacity:
            raise self._refuse(value, f"{size} bytes do not fit: {self._name} holds at most "
                                      f"{capacity} bytes (UTF-8)")
        return value

    def __repr__(self) -> str:
        try:
            info = self.info
        except Exception as e:  # noqa: BLE001  (a repr must not fail)
            return f"<Feature {self._name}: {e}>"
        parts = [f"<Feature {self._name}: {info.interface_type}"]
        if info.data:
            parts.append(f" ({info.data} data)")
        elif info.interface_type in _READERS and info.access in ("RO", "RW"):
            try:
                shown = self.value
                parts.append(f" = {shown!r}{' ' + info.unit if info.unit else ''}")
            except Exception as e:  # noqa: BLE001
                parts.append(f" (unreadable: {e})")
        detail = [info.access]
        if info.bounds:
            step = "" if info.increment in (None, 0, 1) else f" step {_number(info.increment)}"
            detail.append(f"{_number(info.bounds[0])}..{_number(info.bounds[1])}{step}")
        if info.entries:
            names = [e.name for e in info.entries if e.implemented and e.available]
            more = f", ... ({len(names)} entries)" if len(names) > _REPR_ENTRIES else ""
            detail.append(", ".join(names[:_REPR_ENTRIES]) + more)
        parts.append(f" [{'; '.join(detail)}]>")
        return "".join(parts)


_CHECKS = {"Integer": Feature._check_integer, "Float": Feature._check_float,
           "Boolean": Feature._check_boolean, "Enumeration": Feature._check_enumeration,
           "String": Feature._check_string}

_ACCESS_TEXT = {"RO": "read-only", "WO": "write-only", "RW": "read-write",
                "NA": "not available now", "NI": "not implemented"}


class Features:
    """The features of a connected camera as a read-only mapping of name to :class:`Feature`.

    Iteration (and ``len``, ``keys()``) covers the features of the category tree from Root in
    its order, categories themselves left out; a description without a Root category gives
    every feature in description order. Any feature name of the description can be looked up
    and tested with ``in``, including helpers outside the tree.
    """

    def __init__(self, camera):
        self._camera = camera
        self._order: Optional[List[str]] = None
        self._parents: Dict[str, str] = {}
        self._all: Optional[set] = None

    def _load(self) -> List[str]:
        if self._order is None:
            order: List[str] = []
            seen = set()
            tree = category_tree(self._camera)

            def walk(category) -> None:
                for name in category.features:
                    self._parents.setdefault(name, category.name)
                    if name not in seen:
                        seen.add(name)
                        order.append(name)
                for sub in category.subcategories:
                    self._parents.setdefault(sub.name, category.name)
                    walk(sub)

            if tree is not None:
                walk(tree)
            else:
                order = feature_names(self._camera)
            self._order = order
        return self._order

    def _names(self) -> set:
        if self._all is None:
            self._all = set(feature_names(self._camera))
        return self._all

    def category_of(self, name: str) -> Optional[str]:
        self._load()
        return self._parents.get(name)

    def __getitem__(self, name: str) -> Feature:
        if not isinstance(name, str):
            raise TypeError(f"feature names are str, not {type(name).__name__}")
        if name not in self._names():
            raise KeyError(f"feature '{name}' not found")
        return Feature(self._camera, name, self)

    def get(self, name: str, default=None):
        return self[name] if name in self else default

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name in self._names()

    def __iter__(self) -> Iterator[str]:
        return iter(list(self._load()))

    def __len__(self) -> int:
        return len(self._load())

    def keys(self) -> List[str]:
        return list(self._load())

    def values(self) -> List[Feature]:
        return [Feature(self._camera, n, self) for n in self._load()]

    def items(self):
        return [(n, Feature(self._camera, n, self)) for n in self._load()]

    def __repr__(self) -> str:
        return f"<Features of {self._camera!r}: {len(self)} features>"


def features(camera) -> Features:
    """The features of a connected ``corvisk.Camera`` as a :class:`Features` mapping."""
    return Features(camera)
