"""Benchmark: control-channel round trips from Python against corvisk-sim on loopback.

Prints the median and 99th-percentile time of connect() + disconnect() and, once the feature
layer is present, of a single uncached register read (`get_integer` after `invalidate_caches`).

    PATH=build/cmake:$PATH .venv/bin/python bench/control_py_bench.py [FEATURE]
"""

import shutil
import statistics
import subprocess
import sys
import time

import corvisk

IP = "127.0.6.91"


def percentiles(samples):
    samples = sorted(samples)
    return statistics.median(samples), samples[len(samples) * 99 // 100]


def measure(fn, n, warmup=200):
    for _ in range(warmup):
        fn()
    out = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        out.append((time.perf_counter() - t) * 1e6)
    return percentiles(out)


def main():
    feature = sys.argv[1] if len(sys.argv) > 1 else "Width"
    sim = subprocess.Popen([shutil.which("corvisk-sim") or "corvisk-sim", "--ip", IP,
                            "--frame-rate", "0"], stdout=subprocess.PIPE, text=True)
    try:
        line = sim.stdout.readline()
        assert line.startswith("corvisk-sim ready"), line
        cam = corvisk.Camera(IP)

        def cycle():
            cam.connect()
            cam.disconnect()

        med, p99 = measure(cycle, 300, warmup=20)
        print(f"connect+disconnect (Python): median {med:.0f} us, p99 {p99:.0f} us")
        cam.connect()
        if hasattr(cam, "get_integer"):
            def read():
                cam.invalidate_caches()
                cam.get_integer(feature)

            med, p99 = measure(read, 20000)
            print(f"register read {feature} (Python): median {med:.1f} us, p99 {p99:.1f} us")
        else:
            print("register read (Python): needs the feature layer (Camera.get_integer)")
        cam.disconnect()
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
