"""Files on the camera: list them, read one, write one and read it back, in chunks.

    build/cmake/corvisk-sim --ip 127.0.0.2 --file-buffer 256 &
    .venv/bin/python examples/camera_files.py [IP]

Writes userset1.txt into the current directory.
"""
# corvisk-sim: --file-buffer 256

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    names = corvisk.list_files(cam)
    print("files:", ", ".join(names))
    stored = names[1] if len(names) > 1 else names[0]
    data = corvisk.read_file(cam, stored)
    with open("userset1.txt", "wb") as out:
        out.write(data)
    print(f"read {len(data)} bytes of {stored} into userset1.txt")

    if "UserFile1" in names:
        notes = b"calibrated 2026-12-09\n" * 40
        corvisk.write_file(cam, "UserFile1", notes,
                           progress=lambda done, total: print(f"  {done}/{total} bytes"))
        with corvisk.open_file(cam, "UserFile1") as f:
            print(f"UserFile1: {f.size} bytes in chunks of {f.chunk_size}")
            assert f.read(4096) == notes[:f.chunk_size]  # at most one chunk per read(n)
            assert f.read() == notes[f.chunk_size:]  # read() with no size: the rest
        try:
            corvisk.write_file(cam, stored, b"x")
        except corvisk.FileOperationError as e:
            print("refused:", e)  # a read-only file: the device's own status says so
finally:
    cam.disconnect()
