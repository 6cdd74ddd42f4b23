"""Event delivery latency, device send -> Python (median and p99), for one test event at a
time: "command -> Python" runs from issuing TestEventGenerate (its GVCP write round trip, after
which the simulator sends the event, included) to the Event in Python; "socket -> Python" from
the event datagram's arrival at the host's message channel socket to the Event in Python.

    /work/bin/inns NAME env PATH=$PWD/build/cmake:$PATH .venv/bin/python bench/event_latency_bench.py [N]
"""

import os
import shutil
import statistics
import subprocess
import sys
import time

import corvisk

IP = "127.33.200.1"


def main() -> int:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    sim_path = shutil.which("corvisk-sim")
    if sim_path is None:
        print("corvisk-sim not on PATH", file=sys.stderr)
        return 1
    sim = subprocess.Popen([sim_path, "--ip", IP, "--frame-rate", "0"], stdout=subprocess.PIPE,
                           text=True)
    try:
        sim.stdout.readline()
        cam = corvisk.Camera(IP)
        cam.connect()
        total, inside = [], []
        with corvisk.events(cam, capacity=4) as camera_events:
            for _ in range(n):
                sent = time.time_ns()
                cam.execute("TestEventGenerate")
                ev = camera_events.wait_for(2.0)
                got = time.time_ns()
                if ev is None:
                    continue
                total.append((got - sent) / 1e3)
                inside.append((got - ev.received_ns) / 1e3)
            stats = camera_events.stats()
        cam.disconnect()
    finally:
        sim.terminate()
        sim.wait()
    for label, xs in (("command -> Python", total), ("socket -> Python", inside)):
        xs.sort()
        p99 = xs[min(len(xs) - 1, int(len(xs) * 0.99))]
        print(f"{label:18s} n={len(xs)} median={statistics.median(xs):.1f} us p99={p99:.1f} us")
    print("stats", stats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
