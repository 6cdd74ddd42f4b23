"""Capture benchmark from Python against corvisk-sim (prints its figures; no pass/fail).

    PATH=build/cmake:$PATH PYTHONPATH=<dir with corvisk> python3 bench/capture_bench.py \\
        [seconds] [camera frames/s, 0 = maximum]

1. Sustained streaming of 1024x1024 Mono8 at the simulated camera's maximum rate through
   Acquisition.wait_for with a zero-copy memoryview of every frame: frames/s, MB/s, frames
   lost (incomplete, dropped by a full queue, pool underruns), and the delay from the frame's
   leader arrival (host clock, Frame.system_timestamp_ns) to the Python thread's wake-up.
   The trailer arrival is not exposed to Python; leader-to-wake-up includes the frame's own
   transmission time, so it is an upper bound of trailer-to-wake-up.
2. Wake-up latency with one-packet frames (64x16 Mono8 at 200 frames/s): leader, payload and
   trailer leave the camera back to back, so leader-to-wake-up is trailer-to-wake-up plus a
   few microseconds of transmission.
3. One-shot Camera.snap() wall time, with a fixed packet size and with negotiation.
"""

import statistics
import subprocess
import sys
import time

import corvisk

IP = "127.0.13.1"


def start_sim(rate):
    proc = subprocess.Popen(["corvisk-sim", "--ip", IP, "--width", "1024", "--height", "1024",
                             "--frame-rate", str(rate)], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("corvisk-sim ready"):
        proc.kill()
        sys.exit(f"corvisk-sim did not start: {line!r}")
    return proc


def stream(cam, seconds):
    delays = []
    frames = nbytes = incomplete = 0
    with cam.start_acquisition(n_buffers=32, packet_size=8192) as acq:
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            frame = acq.wait_for(1.0)
            woke = time.time_ns()
            if frame is None:
                continue
            view = memoryview(frame)
            frames += 1
            nbytes += frame.received_size
            incomplete += not frame.is_complete
            if frame.is_complete:
                delays.append((woke - frame.system_timestamp_ns) / 1000)
            view.release()
        elapsed = time.monotonic() - start
        s = acq.stats()
    delays.sort()
    p99 = delays[int(len(delays) * 0.99)] if delays else float("nan")
    complete = frames - incomplete
    print(f"stream 1024x1024 Mono8: {complete / elapsed:.1f} complete frames/s "
          f"({frames / elapsed:.1f} frames/s with incomplete ones), "
          f"{nbytes / elapsed / 1e6:.1f} MB/s over {elapsed:.1f} s")
    print(f"  lost: incomplete={incomplete} failed={s.failed_frames} "
          f"frames_dropped={s.frames_dropped} underruns={s.underruns} "
          f"missing_packets={s.missing_packets} resent={s.resent_packets}")
    print(f"  leader arrival -> Python wake-up: median {statistics.median(delays):.0f} us, "
          f"p99 {p99:.0f} us")


def wake_latency(cam, frames=1000):
    cam.set_integer("Width", 64)
    cam.set_integer("Height", 16)
    cam.set_float("AcquisitionFrameRate", 200.0)
    delays = []
    with cam.start_acquisition(n_buffers=8, packet_size=8192) as acq:
        while len(delays) < frames:
            frame = acq.wait_for(1.0)
            woke = time.time_ns()
            if frame is not None and frame.is_complete:
                delays.append((woke - frame.system_timestamp_ns) / 1000)
    delays.sort()
    print(f"one-packet frames, trailer -> Python wake-up: median {statistics.median(delays):.0f} "
          f"us, p99 {delays[int(len(delays) * 0.99)]:.0f} us ({len(delays)} frames)")
    cam.set_integer("Width", 1024)
    cam.set_integer("Height", 1024)


def snaps(cam, n=10):
    for label, kwargs in (("fixed packet size", dict(packet_size=8192)),
                          ("negotiated packet size", {})):
        times = []
        for _ in range(n):
            t0 = time.perf_counter()
            frame = cam.snap(5.0, **kwargs)
            times.append((time.perf_counter() - t0) * 1000)
            assert frame.is_complete
        print(f"snap() with {label}: median {statistics.median(times):.1f} ms, "
              f"min {min(times):.1f} ms")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    rate = sys.argv[2] if len(sys.argv) > 2 else "0"  # frames/s of the camera; 0 = maximum
    sim = start_sim(rate)
    try:
        cam = corvisk.Camera(IP)
        cam.connect()
        stream(cam, seconds)
        wake_latency(cam)
        snaps(cam)
        cam.disconnect()
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
