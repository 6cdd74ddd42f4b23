"""Files on the camera: user data, stored configurations, logs, through its file access
features.

``list_files(cam)`` names the files the camera offers (the ``FileSelector`` entries available
now), ``read_file(cam, name)`` and ``write_file(cam, name, data)`` move a whole file,
``delete_file(cam, name)`` removes one where the camera can, and ``open_file(cam, name, "rb")``
(or ``"wb"``) gives a file object that moves one chunk per call.

A transfer goes through the camera's transfer buffer (``FileAccessBuffer``, typically
512 bytes to 4 KiB) one chunk at a time: offset and length set, the operation executed, its
status checked and its result (the bytes it moved) read. A read shorter than asked ends the
file. A file opened on the device is always closed again, also after an error.

Devices differ and are taken as they are: an execute that runs on after the write is polled
until it reads back done; without ``FileOperationStatus`` the result alone tells; without
``FileSize`` a file ends at its first short chunk; a read reaching the end of a file may report
``Overflow`` with the bytes it read; a camera without a ``ReadWrite`` or a ``Write`` open mode is
opened with the one it has.
"""

from __future__ import annotations

import io
import time
from typing import Callable, List, Optional

from . import _corvisk_core, _corvisk_ext
from .introspection import describe

__all__ = ["CameraFile", "FileOperationError", "delete_file", "list_files", "open_file",
           "read_file", "write_file"]

# What a camera must describe to run file operations at all, and to move file data.
_OPERATIONS = ("FileSelector", "FileOperationSelector", "FileOperationExecute")
_TRANSFERS = ("FileAccessOffset", "FileAccessLength", "FileAccessBuffer")
# FileSelector entries that name no file but the absence of one.
_NO_FILE = ("None",)
# How long one operation may run on the device (polled until done) by default.
DEFAULT_TIMEOUT = 5.0

Progress = Callable[[int, Optional[int]], None]


class FileOperationError(_corvisk_core.GenicamError):
    """A file operation the camera ran and reported as failed (or never finished). Carries the
    operation ("Open", "Read" …), the file name, the device's status text (None when it has
    no FileOperationStatus) and its FileOperationResult (None when it cannot be read)."""

    def __init__(self, operation: str, file: str, status: Optional[str],
                 result: Optional[int], detail: str = ""):
        self.operation = operation
        self.file = file
        self.status = status
        self.result = result
        text = f"file operation {operation} on '{file}' failed: "
        if status is None and result is None:
            text += detail
        else:
            shown = status if status is not None else "(none)"
            text += f"status {shown}, result {result}" + (f" ({detail})" if detail else "")
        super().__init__(text)


def _check_camera(camera) -> None:
    if not isinstance(camera, _corvisk_core.Camera):
        raise TypeError(f"expected a corvisk.Camera, got {type(camera).__name__}")
    if not camera.is_connected():
        camera.device_info()  # raises the camera's own "not connected" / "control lost" error


def _check_name(name) -> None:
    if not isinstance(name, str):
        raise TypeError(f"file names are str, not {type(name).__name__}")


def _entries(camera, feature: str) -> List[str]:
    return [e.name for e in describe(camera, feature).entries if e.implemented and e.available]


def _require_access(camera, features) -> None:
    missing = [f for f in features if not camera.has_feature(f)]
    if missing:
        raise ValueError("this camera has no file access (its description lacks "
                         f"{', '.join(missing)})")


def list_files(camera) -> List[str]:
    """The names of the files the camera offers now (its FileSelector entries available)."""
    _check_camera(camera)
    _require_access(camera, _OPERATIONS)
    return [n for n in _entries(camera, "FileSelector") if n not in _NO_FILE]


class _Device:
    """The file access features of one camera, read once for one open file. `transfer`: the
    file's data will move, so the transfer buffer must be usable; an operation without data
    (Delete) needs only the selectors and the execute."""

    def __init__(self, camera, timeout: float, transfer: bool = True):
        _check_camera(camera)
        _require_access(camera, _OPERATIONS + _TRANSFERS if transfer else _OPERATIONS)
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or \
                not 0 <= timeout < float("inf"):
            raise ValueError(f"timeout must be a finite number of seconds >= 0, not {timeout!r}")
        self.camera = camera
        self.timeout = float(timeout)
        self.chunk = self._chunk_size() if transfer else 0
        self.operations = _entries(camera, "FileOperationSelector")
        self.has_status = camera.has_feature("FileOperationStatus")
        self.has_result = camera.has_feature("FileOperationResult")
        self.has_size = camera.has_feature("FileSize")
        self.modes = _entries(camera, "FileOpenMode") if camera.has_feature("FileOpenMode") else []

    def _chunk_size(self) -> int:
        camera = self.camera
        kind = describe(camera, "FileAccessBuffer").interface_type
        if kind != "Register":
            raise ValueError(f"this camera's FileAccessBuffer is {kind}, not a register: its "
                             "files cannot be transferred")
        chunk = _corvisk_ext.register_length(camera, "FileAccessBuffer")
        try:
            chunk = min(chunk, camera.integer_bounds("FileAccessLength")[1])
        except (_corvisk_core.GenicamError, _corvisk_core.CameraError):
            pass
        if chunk <= 0:
            raise ValueError(f"this camera's FileAccessBuffer holds {chunk} bytes")
        return chunk

    def select(self, name: str) -> None:
        files = [n for n in _entries(self.camera, "FileSelector") if n not in _NO_FILE]
        if name not in files:
            raise ValueError(f"the camera has no file '{name}'; its files: "
                             f"{', '.join(files) or '(none)'}")
        self.camera.set_enum("FileSelector", name)

    def mode_for(self, writing: bool) -> Optional[str]:
        wanted = ("Write", "ReadWrite") if writing else ("Read", "ReadWrite")
        for mode in wanted:
            if mode in self.modes:
                return mode
        if self.modes:
            raise ValueError(f"the camera cannot open files for {'writing' if writing else 'reading'}"
                             f" (FileOpenMode offers {', '.join(self.modes)})")
        return None

    def size(self) -> Optional[int]:
        return self.camera.get_integer("FileSize") if self.has_size else None

    def run(self, operation: str, file: str) -> Optional[int]:
        """Executes `operation`, waits until the device is done and checks its status; the
        result (bytes moved), or None when the camera has no FileOperationResult."""
        if operation not in self.operations:
            raise ValueError(f"the camera cannot {operation} files (FileOperationSelector offers "
                             f"{', '.join(self.operations)})")
        cam = self.camera
        cam.set_enum("FileOperationSelector", operation)
        cam.execute("FileOperationExecute")
        deadline = time.monotonic() + self.timeout
        while not _corvisk_ext.command_done(cam, "FileOperationExecute"):
            if time.monotonic() > deadline:
                raise FileOperationError(operation, file, None, None,
                                         f"not done within {self.timeout:g} s")
        result = cam.get_integer("FileOperationResult") if self.has_result else None
        if self.has_status:
            status = cam.get_enum("FileOperationStatus")
            if status != "Success":
                raise FileOperationError(operation, file, status, result)
        return result

    def transfer(self, operation: str, file: str, offset: int, length: int) -> Optional[int]:
        self.camera.set_integer("FileAccessOffset", offset)
        self.camera.set_integer("FileAccessLength", length)
        return self.run(operation, file)


class CameraFile(io.RawIOBase):
    """A file on the camera, open for reading ("rb") or writing ("wb"). Each read() or write()
    moves at most one chunk (``chunk_size`` bytes, the camera's transfer buffer); readall(),
    iteration and the whole-file helpers loop. Closing it (or leaving its ``with`` block)
    closes the file on the device."""

    def __init__(self, camera, name: str, mode: str = "rb", *,
                 timeout: float = DEFAULT_TIMEOUT):
        super().__init__()
        self._open = False
        _check_name(name)
        if mode not in ("rb", "wb"):
            raise ValueError(f"mode must be 'rb' or 'wb', not {mode!r}")
        device = _Device(camera, timeout)
        self._device = device
        self.name = name
        self.mode = mode
        self._position = 0
        self._eof = False
        writing = mode == "wb"
        device.select(name)
        open_mode = device.mode_for(writing)
        if open_mode is not None:
            camera.set_enum("FileOpenMode", open_mode)
        device.run("Open", name)
        self._open = True
        try:
            self._size = None if writing else device.size()
        except BaseException:
            self.close()
            raise

    @property
    def chunk_size(self) -> int:
        """The most bytes one read() or write() moves: the camera's transfer buffer."""
        return self._device.chunk

    @property
    def size(self) -> Optional[int]:
        """The file's size when the camera tells it (FileSize, read at open for "rb")."""
        return self._size

    def readable(self) -> bool:
        return self.mode == "rb"

    def writable(self) -> bool:
        return self.mode == "wb"

    def tell(self) -> int:
        return self._position

    def _check(self, reading: bool) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if reading != (self.mode == "rb"):
            raise io.UnsupportedOperation("not readable" if reading else "not writable")

    def readinto(self, buffer) -> int:
        """Reads at most one chunk into `buffer`; 0 at the end of the file."""
        self._check(True)
        view = memoryview(buffer).cast("B")
        want = min(len(view), self._device.chunk)
        if self._size is not None:
            want = min(want, max(0, self._size - self._position))
        if self._eof or want == 0:
            return 0
        data = self._read_chunk(want)
        view[:len(data)] = data
        return len(data)

    def _read_chunk(self, want: int) -> bytes:
        device = self._device
        try:
            result = device.transfer("Read", self.name, self._position, want)
        except FileOperationError as e:
            if e.status == "Overflow" and e.result is not None:
                # Some cameras report a read reaching the end of the file this way.
                result = e.result
            elif self._size is None and self._position > 0:
                # Without FileSize a read at the very end is how such a device says it ended.
                self._eof = True
                return b""
            else:
                raise
        got = want if result is None else max(0, min(result, want))
        data = _corvisk_ext.read_register(device.camera, "FileAccessBuffer", got) if got else b""
        self._position += got
        if got < want:
            self._eof = True  # a short read ends the file
        return data

    def write(self, data) -> int:
        """Writes at most one chunk of `data`; returns the bytes the camera took."""
        self._check(False)
        if isinstance(data, str):
            raise TypeError("write() takes bytes, not str")
        view = memoryview(data).cast("B")
        chunk = bytes(view[:self._device.chunk])
        if not chunk:
            return 0
        device = self._device
        _corvisk_ext.write_register(device.camera, "FileAccessBuffer", chunk)
        result = device.transfer("Write", self.name, self._position, len(chunk))
        took = len(chunk) if result is None else min(result, len(chunk))
        if took <= 0:
            raise FileOperationError("Write", self.name, "Success" if device.has_status else None,
                                     result, "the camera took no bytes")
        self._position += took
        return took

    def write_all(self, data, progress: Optional[Progress] = None) -> None:
        """Writes all of `data`, chunk by chunk, calling progress(done, total) after each."""
        view = memoryview(data).cast("B")
        done = 0
        while done < len(view):
            done += self.write(view[done:])
            if progress is not None:
                progress(done, len(view))

    def read_all(self, progress: Optional[Progress] = None) -> bytes:
        """Reads the rest of the file, calling progress(done, total or None) after each chunk."""
        parts = []
        done = 0
        while True:
            part = self.read(self._device.chunk)
            if not part:
                return b"".join(parts)
            parts.append(part)
            done += len(part)
            if progress is not None:
                progress(done, self._size)

    def close(self) -> None:
        """Closes the file on the device (once); a failure to close is raised."""
        if self.closed:
            return
        try:
            if self._open:
                self._open = False
                self._device.run("Close", self.name)
        finally:
            super().close()

    def __exit__(self, kind, value, traceback) -> None:
        # The error of the block wins over one from closing after it.
        if kind is None:
            self.close()
            return
        try:
            self.close()
        except Exception:  # noqa: BLE001  (the block's own error is the one to see)
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"at {self._position}"
        return f"<CameraFile {self.name!r} mode={self.mode!r} {state}>"


def open_file(camera, name: str, mode: str = "rb", *,
              timeout: float = DEFAULT_TIMEOUT) -> CameraFile:
    """Opens file `name` on the camera for reading ("rb") or writing ("wb")."""
    return CameraFile(camera, name, mode, timeout=timeout)


def read_file(camera, name: str, *, progress: Optional[Progress] = None,
              timeout: float = DEFAULT_TIMEOUT) -> bytes:
    """The whole of file `name`; progress(done, total or None) is called after each chunk."""
    with CameraFile(camera, name, "rb", timeout=timeout) as f:
        return f.read_all(progress)


def write_file(camera, name: str, data, *, progress: Optional[Progress] = None,
               timeout: float = DEFAULT_TIMEOUT) -> None:
    """Writes `data` (bytes-like) as file `name`; progress(done, total) after each chunk."""
    if isinstance(data, str):
        raise TypeError("write_file() takes bytes, not str")
    try:
        memoryview(data)
    except TypeError:
        raise TypeError(f"write_file() takes bytes, not {type(data).__name__}") from None
    with CameraFile(camera, name, "wb", timeout=timeout) as f:
        f.write_all(data, progress)


def delete_file(camera, name: str, *, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Deletes file `name` on the camera (where its FileOperationSelector has Delete)."""
    _check_name(name)
    device = _Device(camera, timeout, transfer=False)
    if "Delete" not in device.operations:
        raise ValueError("this camera cannot delete files (FileOperationSelector offers "
                         f"{', '.join(device.operations)})")
    device.select(name)
    device.run("Delete", name)
