"""A live view in the browser for ten seconds, printing what the page shows once a second.

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/live_view.py [IP]      # then open the printed URL

`corvisk view IP` does the same until Ctrl-C.
"""

import sys
import time

import corvisk
import corvisk.view

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    with corvisk.view.serve(cam, port=0) as server:  # port 0: any free port
        print("open", server.url)
        for _ in range(10):
            server.wait(1.0)
            state = server.state()
            frame = state["frame"] or {}
            print(f"{state['fps']:5.1f} frames/s {state['mbps']:6.2f} MB/s  frame "
                  f"{frame.get('frame_id')} {frame.get('pixel_format')}  error: "
                  f"{state['error'] or 'none'}")
finally:
    cam.disconnect()
