"""RGB-family frames: BGRa8 seen as (H, W, 4) in memory order, converted to RGB8 and grey.

    build/cmake/corvisk-sim --ip 127.0.0.2 --pattern ChannelRamps &
    .venv/bin/python examples/arrays_rgb.py [IP]
"""
# corvisk-sim: --pattern ChannelRamps

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    cam.set_enum("PixelFormat", "BGRa8")
    frame = cam.snap()
    bgra = corvisk.as_array(frame)  # (H, W, 4): B, G, R, alpha, sharing the frame's memory
    rgb = corvisk.convert(frame, "RGB8")  # (H, W, 3): R, G, B
    grey = corvisk.convert(frame, "Mono8")  # BT.601 luma
    print(frame, bgra.shape, rgb[0, 0], grey[0, 0])
    corvisk.save(frame, "rgb.tif")
finally:
    cam.disconnect()
