"""Benchmark: action-command trigger skew between two simulated cameras.

Two corvisk-sim cameras share a device namespace joined to a client namespace by a veth pair.
The client arms both (TriggerSource Action1) and sends N broadcast action commands, each
triggering one frame per camera, and measures the difference of the two frames' timestamps:

  ptp     both cameras PTP-synchronised to the host clock (--ptp): their timestamps are host
          wall-clock ns, so the difference is how far apart the two devices acted on the same
          datagram;
  mapped  free-running counters mapped to host time with corvisk.clock(): the same skew plus
          the error of the two mappings;
  sched   scheduled actions 20 ms ahead on the PTP clocks: both act at the same device time.

Prints median and p99 in microseconds per mode. Needs root (network namespaces); without it
it prints why and exits 0.

    PATH=build/cmake:$PATH sudo -E .venv/bin/python bench/action_skew_bench.py [N]
"""

import json
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "py"))

from netns import NetnsLab, _ip, netns_unavailable_reason  # noqa: E402

CAMERAS = ["10.34.9.2", "10.34.9.3"]
ADAPTER = "10.34.9.1"

CLIENT = """
import json, time, corvisk
cams = [corvisk.Camera(ip) for ip in {ips!r}]
for cam in cams:
    cam.connect()
    cam.set_integer("ActionDeviceKey", 1)
    cam.set_integer("ActionGroupKey", 1)
    cam.set_integer("ActionGroupMask", 1)
    cam.set_enum("TriggerMode", "On")
    cam.set_enum("TriggerSource", "Action1")
clocks = [corvisk.clock(cam) for cam in cams]
acqs = [cam.start_acquisition() for cam in cams]
diffs = []
for i in range({n}):
    sched = None
    if {scheduled}:
        sched = clocks[0].to_device_ticks(time.time_ns() + 20_000_000)
    acks = corvisk.action(1, 1, 1, adapter={adapter!r}, scheduled_time=sched, timeout=0.2)
    frames = [acq.wait_for(2.0) for acq in acqs]
    if len(acks) != 2 or None in frames:
        continue
    a, b = (c.to_host_ns(f.timestamp_ticks) for c, f in zip(clocks, frames))
    diffs.append(abs(a - b))
for acq in acqs:
    acq.stop()
print(json.dumps(diffs))
"""


def run_mode(n, ptp, scheduled):
    lab = NetnsLab()
    try:
        client, device = lab.namespace(), lab.namespace()
        lab.link(client, f"{ADAPTER}/24", device, f"{CAMERAS[0]}/24")
        _ip("-n", device.name, "addr", "add", f"{CAMERAS[1]}/24", "dev", "cvkb0")
        for k, ip in enumerate(CAMERAS):
            args = ["corvisk-sim", "--ip", ip, "--subnet", "255.255.255.0",
                    "--mac", f"02:00:5e:10:39:0{k}"] + (["--ptp"] if ptp else [])
            sim = lab.spawn(device, *args)
            if not sim.read_until(lambda lines: any("ready" in x for x in lines)):
                raise RuntimeError(f"simulator did not start: {sim.lines}")
        code = CLIENT.format(ips=CAMERAS, adapter=ADAPTER, n=n, scheduled=scheduled)
        r = client.python(code, timeout=30 + n * 3)
        if r.returncode != 0:
            raise RuntimeError(r.stderr)
        return json.loads(r.stdout)
    finally:
        lab.close()


def summary(name, diffs, n):
    if not diffs:
        return f"{name:7s} no complete pairs out of {n}"
    us = sorted(d / 1000 for d in diffs)
    p99 = us[min(len(us) - 1, int(len(us) * 0.99))]
    return (f"{name:7s} pairs {len(us):4d}/{n}  median {statistics.median(us):8.1f} us  "
            f"p99 {p99:8.1f} us  max {us[-1]:8.1f} us")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    reason = netns_unavailable_reason()
    if reason:
        print(f"action_skew_bench: skipped: {reason} (run as root)")
        return 0
    for name, ptp, scheduled in (("ptp", True, False), ("mapped", False, False),
                                 ("sched", True, True)):
        print(summary(name, run_mode(n, ptp, scheduled), n), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
