"""Chunk data: the values a camera appends to each frame (timestamp, exposure time, gain,
frame id, line status, ...) while ``ChunkModeActive`` is on.

``corvisk.chunks(frame, cam)`` returns a dict of the chunk features of the camera's description
(``ChunkTimestamp``, ``ChunkExposureTime``, ...) read from the frame's chunks; features whose
chunk the frame does not carry are left out. ``corvisk.chunk_layout(frame)`` lists the raw
chunks as ``(chunk_id, offset, length)``. The payload is read from its end backwards and every
length is checked, so a malformed layout raises ValueError instead of reading anything outside
the frame. With chunks, the image is the first chunk; ``corvisk.as_array`` uses that part only.
Chunk features are not camera memory: ``cam.get_integer("ChunkTimestamp")`` raises GenicamError
saying to read it from a frame with ``corvisk.chunks(frame, cam)``.
"""

from __future__ import annotations

from typing import Any, Dict, List, Tuple, Union

from . import _corvisk_ext

__all__ = ["chunk_layout", "chunks"]

FeatureValue = Union[int, float, bool, str]

def chunk_layout(frame: Any) -> List[Tuple[int, int, int]]:
    """``(chunk_id, offset, length)`` of every chunk of a frame (in payload order; empty for a
    frame without chunks) or of a chunk payload given as bytes. ValueError when malformed."""
    return _corvisk_ext.chunk_layout(frame)


def _chunk_features(camera: Any) -> List[str]:
    table = _corvisk_ext.chunk_data_features(camera)
    names: List[str] = []
    for ids in table.values():
        names.extend(n for n in ids if n not in names)
    return names


def chunks(frame: Any, camera: Any) -> Dict[str, FeatureValue]:
    """The chunk features of ``camera``'s description read from ``frame``'s chunks. A frame
    without chunks gives an empty dict; ValueError when its layout is malformed."""
    names = _chunk_features(camera)
    if not names:
        return {}
    return _corvisk_ext.read_chunk_features(camera, frame, names)
