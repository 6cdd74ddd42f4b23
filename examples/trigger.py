"""Frames on demand: a software trigger where the camera has one, otherwise a snapshot
session (the stream stays open and each snap starts one frame).

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/trigger.py [IP]
"""

import sys
import time

import corvisk


def software_trigger(cam: corvisk.Camera, count: int) -> None:
    if cam.has_feature("TriggerSelector"):
        cam.set_enum("TriggerSelector", "FrameStart")
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", "Software")
    try:
        with cam.start_acquisition() as acq:
            for i in range(count):
                begun = time.monotonic()
                cam.execute("TriggerSoftware")
                frame = acq.wait_for(2.0)
                print(f"trigger {i}: {frame} after {(time.monotonic() - begun) * 1e3:.1f} ms")
    finally:
        cam.set_enum("TriggerMode", "Off")


def snapshots(cam: corvisk.Camera, count: int) -> None:
    with cam.snapshot_session() as session:
        for i in range(count):
            begun = time.monotonic()
            frame = session.snap(2.0)
            print(f"snap {i}: {frame} after {(time.monotonic() - begun) * 1e3:.1f} ms")


cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    if all(cam.has_feature(n) for n in ("TriggerMode", "TriggerSource", "TriggerSoftware")):
        software_trigger(cam, 5)
    else:
        print("no software trigger on this camera: a snapshot session instead")
        snapshots(cam, 5)
finally:
    cam.disconnect()
