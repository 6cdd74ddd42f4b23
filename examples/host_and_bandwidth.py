"""Host check and link sharing: what on this host would break frames up, then two cameras
sharing one Gigabit link, each paced by the inter-packet delay of its share.

    build/cmake/corvisk-sim --ip 127.0.0.2 & build/cmake/corvisk-sim --ip 127.0.0.3 &
    .venv/bin/python examples/host_and_bandwidth.py 127.0.0.2 127.0.0.3
"""
# cameras: 2

import sys

import corvisk

addresses = sys.argv[1:] or ["127.0.0.2", "127.0.0.3"]
cameras = [corvisk.Camera(ip) for ip in addresses]
for cam in cameras:
    cam.connect()
try:
    for finding in corvisk.check_host(cameras[0]):
        if finding.level != "ok":
            print(finding)  # the figures, and the command that fixes it
    # Loopback has no link speed, so name the link: Gigabit Ethernet carries 125 MB/s.
    plan = corvisk.share_link(cameras, link_bytes_per_s=125e6, headroom=0.1)
    print(plan)
    # Streams started without packet_delay keep the delay the plan wrote to each camera.
    acquisitions = [cam.start_acquisition() for cam in cameras]
    try:
        for ip, acq in zip(addresses, acquisitions):
            frames = [acq.wait_for(5.0) for _ in range(5)]
            complete = sum(f is not None and f.is_complete for f in frames)
            print(f"{ip}: {complete} of 5 frames complete")
            if complete != 5:
                sys.exit(f"{ip} lost frames")
    finally:
        for acq in acquisitions:
            acq.stop()
finally:
    for cam in cameras:
        cam.disconnect()
