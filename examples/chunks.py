"""Chunk data: switch chunk mode on, snap a frame and print the values the camera appended to
it (timestamp, exposure time, frame id, line status, gain), then its image as an array.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/chunks.py [IP]
"""

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    cam.set_boolean("ChunkModeActive", True)
    frame = cam.snap()
    print("chunks", corvisk.chunk_layout(frame))
    for name, value in corvisk.chunks(frame, cam).items():
        print(f"{name:20s} {value}")
    try:
        print("image", corvisk.as_array(frame).shape)  # the image chunk alone
    except ImportError:
        pass  # numpy not installed
finally:
    cam.set_boolean("ChunkModeActive", False)
    cam.disconnect()
