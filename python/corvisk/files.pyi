import io
from typing import Callable, List, Optional, Union

from ._corvisk_core import Camera, GenicamError

Progress = Callable[[int, Optional[int]], None]
Buffer = Union[bytes, bytearray, memoryview]
DEFAULT_TIMEOUT: float

class FileOperationError(GenicamError):
    operation: str
    file: str
    status: Optional[str]
    result: Optional[int]
    def __init__(self, operation: str, file: str, status: Optional[str],
                 result: Optional[int], detail: str = ...) -> None: ...

class CameraFile(io.RawIOBase):
    name: str
    mode: str
    def __init__(self, camera: Camera, name: str, mode: str = ..., *,
                 timeout: float = ...) -> None: ...
    @property
    def chunk_size(self) -> int: ...
    @property
    def size(self) -> Optional[int]: ...
    def readinto(self, buffer: Union[bytearray, memoryview]) -> int: ...  # type: ignore[override]
    def write(self, data: Buffer) -> int: ...  # type: ignore[override]
    def write_all(self, data: Buffer, progress: Optional[Progress] = ...) -> None: ...
    def read_all(self, progress: Optional[Progress] = ...) -> bytes: ...
    def __enter__(self) -> "CameraFile": ...

def list_files(camera: Camera) -> List[str]: ...
def open_file(camera: Camera, name: str, mode: str = ..., *,
              timeout: float = ...) -> CameraFile: ...
def read_file(camera: Camera, name: str, *, progress: Optional[Progress] = ...,
              timeout: float = ...) -> bytes: ...
def write_file(camera: Camera, name: str, data: Buffer, *,
               progress: Optional[Progress] = ..., timeout: float = ...) -> None: ...
def delete_file(camera: Camera, name: str, *, timeout: float = ...) -> None: ...
