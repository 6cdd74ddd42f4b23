"""The library's own records in Python's logging: a connect, a snap and a disconnect at DEBUG,
then the register traffic of one feature write at TRACE.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/logging_demo.py [IP]
"""

import logging
import sys

import corvisk

logging.basicConfig(format="%(relativeCreated)8.1f ms %(name)s %(levelname)s %(message)s")
corvisk.enable_logging(logging.DEBUG)
cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    frame = cam.snap(timeout=2.0)
    print("snapped", frame.frame_id, frame.status)
    corvisk.enable_logging(corvisk.TRACE)
    logging.getLogger("corvisk").setLevel(corvisk.TRACE)
    cam.set_integer("Width", 320)
finally:
    cam.disconnect()
    corvisk.disable_logging()  # everything still queued is logged first
