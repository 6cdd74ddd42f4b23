"""Stream settings for a lossy link: a receive buffer of its own, quicker re-requests, a
larger resend budget and longer pauses between receives, then 50 frames and the counters that
show what the resends recovered.

    build/cmake/corvisk-sim --ip 127.0.0.2 --drop-fraction 0.02 &
    .venv/bin/python examples/stream_settings.py 127.0.0.2
"""
# corvisk-sim: --drop-fraction 0.02

import sys

import corvisk

cam = corvisk.Camera(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.2")
cam.connect()
try:
    settings = corvisk.stream_config(
        cam,
        recv_buffer=16 << 20,    # bytes; 0 sizes it from the frame
        resend_interval=0.005,   # ask again for a packet still missing every 5 ms
        resend_ratio=1.0,        # up to one re-request per packet of a frame
        frame_timeout=0.2,       # deliver a frame incomplete after 200 ms without packets
        receive_moderation=100e-6,  # pause 100 us when the socket empties mid-frame
    )
    print(settings)
    with cam.start_acquisition() as acq:
        complete = 0
        for _ in range(50):
            frame = acq.wait_for(5.0)  # each frame dropped at once gives its buffer back
            complete += frame is not None and frame.is_complete
        stats = acq.stats()
    print(f"{complete} of 50 frames complete; {stats.resent_packets} packets resent of "
          f"{stats.resend_requests} asked for")
    if complete != 50:
        sys.exit("frames were lost")
finally:
    cam.disconnect()
