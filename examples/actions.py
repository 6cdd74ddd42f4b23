"""Triggers two cameras with one scheduled action and compares their frames' timestamps.

Both cameras are armed for action signal 1 (device key, group key and mask) with
TriggerSource Action1; the action goes to each camera by unicast (on a real network one broadcast,
``corvisk.action(..., adapter="eth1")``, reaches them all) for the same device time 100 ms
ahead. Cameras synchronised by PTP act together; their device clocks are mapped to host time
to show how far apart the two exposures were.

    python examples/actions.py 192.168.1.20 192.168.1.21
"""
# corvisk-sim: --ptp
# cameras: 2

import sys
import time

import corvisk

DEVICE_KEY, GROUP_KEY, GROUP_MASK = 0x1234, 0x1, 0x1


def arm(cam: corvisk.Camera) -> None:
    cam.set_integer("ActionDeviceKey", DEVICE_KEY)
    cam.set_integer("ActionSelector", 0)
    cam.set_integer("ActionGroupKey", GROUP_KEY)
    cam.set_integer("ActionGroupMask", GROUP_MASK)
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", "Action1")


def main(addresses: list[str]) -> int:
    cams = [corvisk.Camera(ip) for ip in addresses]
    for cam in cams:
        cam.connect()
        arm(cam)
    clocks = [corvisk.clock(cam) for cam in cams]
    for ip, clk in zip(addresses, clocks):
        print(f"{ip}: {clk} ptp={clk.ptp}")
    acqs = [cam.start_acquisition() for cam in cams]
    when = clocks[0].to_device_ticks(time.time_ns() + 100_000_000)
    for ack in corvisk.action(DEVICE_KEY, GROUP_KEY, GROUP_MASK, scheduled_time=when,
                              destination=addresses):
        print(f"{ack.address} acknowledged with status {ack.status:#06x}")
    frames = [acq.wait_for(2.0) for acq in acqs]
    for acq in acqs:
        acq.stop()
    if None in frames:
        print("a camera sent no frame")
        return 1
    hosts = [clk.to_host_ns(f.timestamp_ticks) for clk, f in zip(clocks, frames)]
    for ip, f, h in zip(addresses, frames, hosts):
        print(f"{ip}: frame {f.frame_id} at device time {f.timestamp_ticks}, host time {h}")
    if len(hosts) > 1:
        print(f"skew between the first two: {abs(hosts[0] - hosts[1]) / 1000:.1f} us")
    for cam in cams:
        cam.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["127.0.0.2"]))
