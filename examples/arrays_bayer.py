"""Bayer frames: the raw mosaic as an array, and RGB by bilinear demosaicing.

    build/cmake/corvisk-sim --ip 127.0.0.2 --pattern ChannelRamps &
    .venv/bin/python examples/arrays_bayer.py [IP]
"""
# corvisk-sim: --pattern ChannelRamps

import sys

import numpy as np

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    cam.set_enum("PixelFormat", "BayerRG8")
    frame = cam.snap()
    mosaic = corvisk.as_array(frame)  # (H, W) uint8: R G R G ... / G B G B ...
    rgb = np.empty((frame.height, frame.width, 3), np.uint8)
    corvisk.convert(frame, "RGB8", out=rgb)  # red is rgb[..., 0], whatever OpenCV would guess
    bgr = corvisk.convert(frame, "BGR8")  # ready for cv2.imwrite
    print(frame, "mosaic", mosaic.shape, "rgb", rgb.shape, "mean per channel", rgb.mean((0, 1)))
    corvisk.save(frame, "bayer.png")  # demosaiced RGB PNG
finally:
    cam.disconnect()
