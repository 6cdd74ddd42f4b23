"""Recording a stream to disk: frames as TIFF files with an index.json, on background threads
that never hold up the stream (a disk that falls behind drops frames, and says so).

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/record.py [IP]
"""

import json
import sys
import time

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    with cam.start_acquisition(n_buffers=16) as acq:
        with corvisk.Recorder(acq, "recording", "tiff", queue=32) as rec:
            end = time.monotonic() + 2.0
            while time.monotonic() < end:
                time.sleep(0.5)
                print(f"{rec.written} frames written, {rec.dropped} dropped, "
                      f"{rec.queued} waiting for the disk")
    index = json.load(open("recording/index.json"))
    first = index["frames"][0]
    print(f"{index['written']} files in recording/, first {first['file']} "
          f"(frame {first['frame_id']}, {first['status']}, {first['width']}x{first['height']})")
finally:
    cam.disconnect()
