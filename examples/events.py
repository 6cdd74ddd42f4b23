"""Device events: the test event, then the exposure-end events of a short acquisition with the
data features the camera's description fills from each event.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/events.py [IP]
"""

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    with corvisk.events(cam, enable=["ExposureEnd"]) as camera_events:
        cam.execute("TestEventGenerate")
        print(camera_events.wait_for(2.0))
        with cam.start_acquisition() as acq:
            for _ in range(3):
                acq.wait_for(2.0)
                ev = camera_events.wait_for(2.0)
                if ev is not None:
                    print(ev.name, ev.block_id, ev.features)
        print(camera_events.stats())
finally:
    cam.disconnect()
