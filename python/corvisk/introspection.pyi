from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from ._corvisk_core import Camera

@dataclass(frozen=True)
class EnumEntryInfo:
    name: str
    display_name: str
    value: int
    implemented: bool
    available: bool

@dataclass(frozen=True)
class FeatureInfo:
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
    entries: List[EnumEntryInfo]
    selected: List[str]
    children: List[str]
    streamable: bool
    data: Optional[str]
    @property
    def is_selector(self) -> bool: ...

@dataclass(frozen=True)
class Category:
    name: str
    features: List[str]
    subcategories: List[Category]

def describe(camera: Camera, name: str) -> FeatureInfo: ...
def feature_names(camera: Camera) -> List[str]: ...
def selectors(camera: Camera) -> Dict[str, List[str]]: ...
def category_tree(camera: Camera, root: str = ...) -> Optional[Category]: ...
