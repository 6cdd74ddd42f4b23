"""Benchmark: an uncached feature read from Python next to a bare GVCP request/acknowledge
loop, against the same corvisk-sim in the same run.

The bare loop is a Python UDP socket sending READREG of the Width register and waiting for the
acknowledge: the least any Python-level read can cost on this host. The feature read is
`get_integer("Width")` after `invalidate_caches()`, through the node map, the control worker
and back. Rounds alternate between the two so that machine load hits both alike.

    PATH=build/cmake:$PATH .venv/bin/python bench/control_latency_bench.py [ROUNDS] [N]
"""

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


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    sim = subprocess.Popen([shutil.which("corvisk-sim") or "corvisk-sim", "--ip", IP,
                            "--frame-rate", "0"], stdout=subprocess.PIPE, text=True)
    try:
        line = sim.stdout.readline()
        assert line.startswith("corvisk-sim ready"), line
        cam = corvisk.Camera(IP)
        cam.connect()
        bare, feature = [], []
        bare_loop(200)
        feature_loop(cam, 200)
        for _ in range(rounds):
            bare += bare_loop(n)
            feature += feature_loop(cam, n)
        cam.disconnect()
    finally:
        sim.terminate()
        sim.wait()
    b, f = statistics.median(bare), statistics.median(feature)
    print(f"bare GVCP READREG loop (Python socket): median {b:.1f} us")
    print(f"uncached get_integer('Width'):          median {f:.1f} us")
    print(f"ratio feature / bare: {f / b:.2f}")


if __name__ == "__main__":
    main()
