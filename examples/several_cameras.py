"""Several cameras at once: one acquisition per camera, each read on its own thread (the
library's waits release the interpreter lock, so the threads really run side by side).

    build/cmake/corvisk-sim --ip 127.0.0.2 & build/cmake/corvisk-sim --ip 127.0.0.3 &
    .venv/bin/python examples/several_cameras.py 127.0.0.2 127.0.0.3
"""
# cameras: 2

import sys
import threading

import corvisk


def grab(cam: corvisk.Camera, count: int, results: dict) -> None:
    with cam.start_acquisition(n_buffers=16) as acq:
        ids = []
        for frame in acq:
            ids.append(frame.frame_id)
            if len(ids) == count:
                break
        results[cam.device_info().ip] = (ids, acq.stats().completed_frames)


addresses = sys.argv[1:] or ["127.0.0.2", "127.0.0.3"]
cameras = [corvisk.Camera(ip) for ip in addresses]
for cam in cameras:
    cam.connect()
try:
    results: dict = {}
    threads = [threading.Thread(target=grab, args=(cam, 20, results)) for cam in cameras]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for ip, (ids, completed) in sorted(results.items()):
        print(f"{ip}: frames {ids[0]}..{ids[-1]} ({len(ids)} read, {completed} completed)")
    if len(results) != len(cameras):
        sys.exit("a camera delivered no frames")
finally:
    for cam in cameras:
        cam.disconnect()
