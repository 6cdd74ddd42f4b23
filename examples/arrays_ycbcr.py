"""4:2:2 YCbCr frames converted to RGB with BT.601 (full range; studio range for YCbCr601).

    build/cmake/corvisk-sim --ip 127.0.0.2 --pattern ChannelRamps &
    .venv/bin/python examples/arrays_ycbcr.py [IP]
"""
# corvisk-sim: --pattern ChannelRamps

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    for name in ("YUV422_8_UYVY", "YCbCr601_422_8"):
        cam.set_enum("PixelFormat", name)
        frame = cam.snap()
        rgb = corvisk.convert(frame, "RGB8")  # as_array refuses 4:2:2: it has no per-pixel form
        print(frame, rgb.shape, rgb[0, :2].tolist())
    corvisk.save(frame, "ycbcr.png")
finally:
    cam.disconnect()
