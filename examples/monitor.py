"""Streams a camera to a multicast group and watches it from a second, read-only connection.

The controlling connection sends the stream to 239.192.0.1 with a TTL of 2; the monitor
connects without taking control, reads a few features, finds the group the camera streams to
and receives the same frames. In real use the monitor runs in another process or on another
host of the subnet.

    python examples/monitor.py 192.168.1.20
"""
# example-test: skip multicast needs a real link (a network namespace with a veth pair)

import sys

import corvisk

GROUP = "239.192.0.1"


def main(addresses: list[str]) -> int:
    ip = addresses[0]
    cam = corvisk.Camera(ip)
    cam.connect()
    stream = corvisk.multicast_acquisition(cam, GROUP, ttl=2)
    mon = corvisk.Monitor(ip)
    mon.connect()
    print(f"monitor sees {mon.get_integer('Width')} x {mon.get_integer('Height')} "
          f"{mon.get_enum('PixelFormat')}, streaming to {mon.stream_destination()}")
    try:
        mon.set_integer("Width", 64)
    except corvisk.CameraError as e:
        print(f"as expected: {e}")
    watched = mon.receive()
    for _ in range(5):
        mine, theirs = stream.wait_for(2.0), watched.wait_for(2.0)
        print(f"controller frame {mine and mine.frame_id}, monitor frame "
              f"{theirs and theirs.frame_id}")
    watched.stop()
    mon.disconnect()
    stream.stop()
    cam.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["127.0.0.2"]))
