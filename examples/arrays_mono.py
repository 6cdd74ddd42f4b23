"""Mono frames as arrays: a 12-bit packed image unpacked to uint16, and an 8-bit view.

    build/cmake/corvisk-sim --ip 127.0.0.2 --pattern ChannelRamps &
    .venv/bin/python examples/arrays_mono.py [IP]
"""
# corvisk-sim: --pattern ChannelRamps

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    cam.set_enum("PixelFormat", "Mono12p")
    frame = cam.snap()
    samples = corvisk.as_array(frame)  # (H, W) uint16, values 0..4095
    print(frame, samples.dtype, samples.shape, "max", samples.max())
    eight = corvisk.convert(frame, "Mono8")  # the top eight bits
    corvisk.save(frame, "mono12.png")  # 16-bit grey PNG, sBIT = 12
    cam.set_enum("PixelFormat", "Mono8")
    view = corvisk.as_array(cam.snap())  # no copy: a read-only view of the frame's buffer
    print("Mono8 view", view.shape, "writeable:", view.flags.writeable)
finally:
    cam.disconnect()
