"""Benchmark: an uncached feature read from Python next to a bare GVCP request/acknowledge
loop, against the same corvisk-sim in the same run.

The bare loop is a Python UDP socket sending READREG of the Width register and waiting for the
acknowledge: the least any Python-level read can cost on this host. The feature read is
`get_integer("Width")` after `invalidate_caches()`, through the node map and the control
socket. It is measured twice: as the library does it (the caller's thread carries the request
when the wire is idle) and through the control worker's queue (the camera connected with
CORVISK_BENCH_QUEUED_CONTROL set, which nothing but this benchmark sets). Rounds alternate
between the three so that machine load hits all alike.

    PATH=build/cmake:$PATH .venv/bin/python bench/control_latency_bench.py [ROUNDS] [N]
"""

import os

import shutil
import socket
import statistics
import struct
import subprocess
import sys
import time

import corvisk

IP = "127.20.9.1"
WIDTH_REG = 0x10000


def bare_loop(n):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.connect((IP, 3956))
    s.settimeout(1.0)
    out = []
    req_id = 0
    for _ in range(n):
        req_id = req_id % 0xFFFE + 1
        packet = struct.pack(">BBHHHI", 0x42, 0x01, 0x0080, 4, req_id, WIDTH_REG)
        t = time.perf_counter()
        s.send(packet)
        while True:
            ack = s.recv(1500)
            if struct.unpack(">H", ack[6:8])[0] == req_id:
                break
        out.append((time.perf_counter() - t) * 1e6)
    s.close()
    return out


def feature_loop(cam, n):
    out = []
    for _ in range(n):
        t = time.perf_counter()
        cam.invalidate_caches()
        cam.get_integer("Width")
        out.append((time.perf_counter() - t) * 1e6)
    return out


def connected(cam, queued):
    cam.disconnect()
    if queued:
        os.environ["CORVISK_BENCH_QUEUED_CONTROL"] = "1"
    else:
        os.environ.pop("CORVISK_BENCH_QUEUED_CONTROL", None)
    cam.connect()
    feature_loop(cam, 200)  # warm-up
    return cam


def p99(values):
    return statistics.quantiles(values, n=100)[98]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    sim = subprocess.Popen([shutil.which("corvisk-sim") or "corvisk-sim", "--ip", IP,
                            "--frame-rate", "0"], stdout=subprocess.PIPE, text=True)
    try:
        line = sim.stdout.readline()
        assert line.startswith("corvisk-sim ready"), line
        cam = corvisk.Camera(IP)
        bare, direct, queued = [], [], []
        bare_loop(200)
        for _ in range(rounds):
            bare += bare_loop(n)
            direct += feature_loop(connected(cam, False), n)
            queued += feature_loop(connected(cam, True), n)
        cam.disconnect()
    finally:
        os.environ.pop("CORVISK_BENCH_QUEUED_CONTROL", None)
        sim.terminate()
        sim.wait()
    b = statistics.median(bare)
    rows = [("bare GVCP READREG loop (Python socket)", bare),
            ("uncached get_integer('Width')", direct),
            ("  the same through the worker's queue", queued)]
    for name, values in rows:
        m = statistics.median(values)
        print(f"{name:40s} median {m:6.1f} us  p99 {p99(values):6.1f} us  ratio {m / b:.2f}")


if __name__ == "__main__":
    main()
