"""Live view benchmark against corvisk-sim (prints its figures; no pass/fail).

    PATH=build/cmake:$PATH PYTHONPATH=<dir with corvisk> python3 bench/view_bench.py [seconds]

For each image size and format, one client polls /frame.png as the page does (each request
asks for a frame newer than the last, for a page showing it 900 pixels wide) while the
simulated camera streams at 30 frames/s: frames served per frame acquired (1.0 = the page
sees every frame), the time one request takes (conversion, scaling, histogram, PNG), and the
PNG size.
"""

import subprocess
import sys
import time
import urllib.request

import corvisk
import corvisk.view

IP = "127.32.8.1"
CASES = [(640, 480, "Mono8"), (640, 480, "BayerRG8"), (2048, 1536, "Mono8"),
         (2048, 1536, "RGB8")]


def run_case(width, height, fmt, seconds):
    sim = subprocess.Popen(["corvisk-sim", "--ip", IP, "--width", str(width), "--height",
                            str(height), "--pixel-format", fmt, "--frame-rate", "30"],
                           stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout.readline().startswith("corvisk-sim ready")
        with corvisk.view.serve(IP) as server:
            seq, served, spent, size = 0, 0, 0.0, 0
            start = time.monotonic()
            first = server.state()["frames"]
            while time.monotonic() - start < seconds:
                t = time.monotonic()
                with urllib.request.urlopen(f"{server.url}frame.png?after={seq}&width=900") as r:
                    if r.status != 200:
                        continue
                    body = r.read()
                    seq = int(r.headers["X-Frame-Seq"])
                spent += time.monotonic() - t
                served += 1
                size = len(body)
            acquired = server.state()["frames"] - first
    finally:
        sim.terminate()
        sim.wait()
    print(f"{width}x{height} {fmt:8}  acquired {acquired:4}  served {served:4}  "
          f"served/acquired {served / max(acquired, 1):.2f}  request {spent / served * 1e3:6.1f} ms"
          f"  PNG {size / 1e3:7.1f} kB")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    for case in CASES:
        run_case(*case, seconds)


if __name__ == "__main__":
    main()
