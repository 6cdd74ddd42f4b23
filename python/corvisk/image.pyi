from os import PathLike
from typing import Any, Literal, NamedTuple, Optional, Union, overload

import numpy
from numpy.typing import NDArray

from ._corvisk_core import Frame

Target = Literal["RGB8", "BGR8", "Mono8", "Mono16", "RGB16"]
TARGETS: tuple[str, ...]
Source = Union[Frame, NDArray[numpy.uint8], NDArray[numpy.uint16]]

def pixel_formats() -> tuple[str, ...]: ...
def as_array(frame: Source, copy: bool = ..., *,
             allow_incomplete: bool = ...) -> NDArray[numpy.uint8] | NDArray[numpy.uint16]: ...
@overload
def convert(src: Source, target: Literal["RGB8", "BGR8", "Mono8"], *,
            out: Optional[NDArray[numpy.uint8]] = ..., source_format: Optional[str] = ...,
            allow_incomplete: bool = ...) -> NDArray[numpy.uint8]: ...
@overload
def convert(src: Source, target: Literal["Mono16", "RGB16"], *,
            out: Optional[NDArray[numpy.uint16]] = ..., source_format: Optional[str] = ...,
            allow_incomplete: bool = ...) -> NDArray[numpy.uint16]: ...
def save(src: Source, path: Union[str, PathLike[str]], *, allow_incomplete: bool = ...) -> None: ...

class _Raster(NamedTuple):
    data: Any
    width: int
    height: int
    channels: int
    depth: int
    significant: int

def png_bytes(r: _Raster) -> bytes: ...
def tiff_bytes(r: _Raster) -> bytes: ...
