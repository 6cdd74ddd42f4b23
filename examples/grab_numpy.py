"""Frames as numpy arrays: one snap, then a short continuous acquisition stacked into one array.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/grab_numpy.py [IP]
"""

import sys

import numpy

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    frame = cam.snap(timeout=5.0)
    image = corvisk.as_array(frame)  # (H, W) uint8 for Mono8: a view of the frame's buffer
    print(frame, "->", image.dtype, image.shape, "mean", round(float(image.mean()), 1))

    with cam.start_acquisition(n_buffers=16) as acq:
        stack = []
        for frame in acq:
            if frame.is_complete:
                stack.append(corvisk.as_array(frame, copy=True))  # copy: the buffer goes back
            if len(stack) == 10:
                break
    movie = numpy.stack(stack)  # (10, H, W)
    print("stack", movie.shape, "per-frame means", [round(float(m), 1) for m in
                                                   movie.mean(axis=(1, 2))])
    numpy.save("stack.npy", movie)
finally:
    cam.disconnect()
