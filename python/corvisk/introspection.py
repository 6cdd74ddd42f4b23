"""Feature introspection: what a connected camera's description says about each feature.

Plain data, read once per call: ``describe(cam, name)`` returns a :class:`FeatureInfo`,
``feature_names(cam)`` the feature names in description order, ``category_tree(cam)`` the
categories from ``Root`` down as :class:`Category` records, and ``selectors(cam)`` which
features each selector selects. Predicates (implemented, available, locked) and limits are
read from the device at the time of the call, so they reflect the current selector values.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple, Union

from . import _corvisk_ext

__all__ = [
    "Category",
    "EnumEntryInfo",
    "FeatureInfo",
    "category_tree",
    "describe",
    "feature_names",
    "selectors",
]


@dataclass(frozen=True)
class EnumEntryInfo:
    """One entry of an Enumeration feature."""

    name: str
    display_name: str
    value: int
    implemented: bool
    available: bool


@dataclass(frozen=True)
class FeatureInfo:
    """Everything the description says about one feature.

    ``interface_type`` is one of "Integer", "Float", "Boolean", "Enumeration", "String",
    "Command", "Category", "Register" (or "Port"). ``access`` is "RO", "WO", "RW", "NA" (not
    available now) or "NI" (not implemented), with the description's imposed access mode and
    lock applied. ``bounds`` is ``(min, max)`` for Integer and Float features (ints or floats),
    ``increment`` their step when there is one, both ``None`` otherwise. ``selected`` lists the
    features this one selects (non-empty for selectors); ``children`` the features of a
    Category. ``data`` is "chunk" or "event" for a feature whose value a frame's chunks or an
    event carry (read it with ``corvisk.chunks(frame, cam)`` or from ``corvisk.events(cam)``,
    not from the camera), None otherwise.
    """

    name: str
    interface_type: str
    display_name: str
    tooltip: str
    description: str
    unit: str
    visibility: str
    representation: str
    implemented: bool
    available: bool
    locked: bool
    access: str
    bounds: Optional[Union[Tuple[int, int], Tuple[float, float]]]
    increment: Optional[Union[int, float]]
    entries: List[EnumEntryInfo] = field(default_factory=list)
    selected: List[str] = field(default_factory=list)
    children: List[str] = field(default_factory=list)
    streamable: bool = False
    data: Optional[str] = None

    @property
    def is_selector(self) -> bool:
        return bool(self.selected)


@dataclass(frozen=True)
class Category:
    """A category and what it holds: its plain features and its sub-categories, in order."""

    name: str
    features: List[str]
    subcategories: List["Category"]


def describe(camera, name: str) -> FeatureInfo:
    """Describe feature ``name`` of a connected ``corvisk.Camera``."""
    raw = _corvisk_ext.describe(camera, name)
    raw["entries"] = [EnumEntryInfo(**e) for e in raw["entries"]]
    return FeatureInfo(**raw)


def feature_names(camera) -> List[str]:
    """The names of the camera's features (every node users address), in description order."""
    return _corvisk_ext.feature_names(camera)


def selectors(camera) -> Dict[str, List[str]]:
    """Each selector feature with the names of the features it selects."""
    return _corvisk_ext.selectors(camera)


def category_tree(camera, root: str = "Root") -> Optional[Category]:
    """The category ``root`` with everything below it, or None when there is no such category.

    A category reached twice (or through a cycle) is expanded only the first time.
    """
    children = _corvisk_ext.categories(camera)
    seen = set()

    def build(name: str) -> Category:
        seen.add(name)
        features: List[str] = []
        subs: List[Category] = []
        for child in children.get(name, []):
            if child in children:
                if child not in seen:
                    subs.append(build(child))
            else:
                features.append(child)
        return Category(name, features, subs)

    return build(root) if root in children else None
