"""Finds the cameras that answer discovery from another subnet and moves each onto the subnet of
the adapter it was seen on, at the address given on the command line (one per camera).

    python examples/fix_camera_address.py 192.168.1.20 192.168.1.21
"""
# example-test: skip it broadcasts, so it runs in a namespace pair of its own (test_examples.py)

import ipaddress
import sys

import corvisk


def main(addresses: list[str]) -> int:
    wanted = iter(addresses)
    for dev in corvisk.find_devices(1.0):
        if dev.reachable:
            print(f"{dev.mac} at {dev.ip} is reachable through {dev.adapter}")
            continue
        new_ip = next(wanted, None)
        if new_ip is None:
            print(f"{dev.mac} at {dev.ip} needs an address on {dev.adapter}'s subnet")
            continue
        # The adapter's own mask: FORCEIP puts the device on that subnet.
        net = ipaddress.IPv4Interface(f"{dev.adapter_ip}/{mask_of(dev.adapter)}").network
        moved = corvisk.force_ip(dev.mac, new_ip, str(net.netmask), adapter=dev.adapter)
        cam = corvisk.Camera(moved.ip)
        cam.connect()
        print(f"{dev.mac} moved to {moved.ip}: {cam.device_info()}")
        cam.disconnect()
    return 0


def mask_of(interface: str) -> str:
    import fcntl
    import socket
    import struct
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        req = struct.pack("256s", interface.encode()[:15])
        return socket.inet_ntoa(fcntl.ioctl(s.fileno(), 0x891B, req)[20:24])  # SIOCGIFNETMASK


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
