"""Recording benchmark (prints its figures; no pass/fail).

    PATH=build/cmake:$PATH .venv/bin/python bench/record_bench.py [DIR] [seconds]

DIR defaults to /tmp. Two measurements, side by side in one run:

1. Disk throughput: the Recorder writes 2048x2048 Mono8 frames (4 MiB each) handed to it as
   fast as it takes them, as raw and as TIFF files; then `dd` writes the same number of bytes
   in 4 MiB blocks to one file in the same directory, before and after. Both are timed up to
   their data being on the disk (dd conv=fsync; the recorder's stop() then sync()); the ratio
   recorder/dd is the figure to watch.
2. Keeping up: corvisk-sim streams 2048x2048 Mono8 at 50 frames/s for `seconds` (default 10)
   into a Recorder (raw, then TIFF); prints the frames written and every kind of loss: frames
   the recorder dropped (full queue), frames the stream dropped or could not receive for want
   of a free buffer, and incomplete frames.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import corvisk
from corvisk.recorder import _FrameCopy

IP = "127.31.9.1"
SIZE = 2048
FRAME_BYTES = SIZE * SIZE


class _Synthetic:
    """A source that has `count` 4 MiB Mono8 frames ready at once."""

    def __init__(self, count):
        self.left = count
        self.payload = bytes(range(256)) * (FRAME_BYTES // 256)

    def wait_for(self, timeout):
        if self.left == 0:
            return None  # at once: the stream has ended
        self.left -= 1
        frame = _FrameCopy(self.payload)
        for name, value in (("status", corvisk.FrameStatus.Complete), ("is_complete", True),
                            ("frame_id", self.left), ("width", SIZE), ("height", SIZE),
                            ("x_offset", 0), ("y_offset", 0), ("pixel_format", "Mono8"),
                            ("pixel_format_code", 0x01080001), ("bits_per_pixel", 8),
                            ("timestamp_ns", 0), ("timestamp_ticks", 0),
                            ("system_timestamp_ns", time.time_ns()),
                            ("received_size", FRAME_BYTES)):
            setattr(frame, name, value)
        return frame

    def recv_all(self):
        return []


def _recorder_rate(base, fmt, count):
    target = Path(tempfile.mkdtemp(prefix=f"record-bench-{fmt}-", dir=base))
    os.sync()
    begun = time.monotonic()
    # A queue for every frame: none dropped, so the figure is the writer's, not the
    # source's (which hands over frames faster than any disk takes them).
    rec = corvisk.Recorder(_Synthetic(count), target, fmt, queue=count)
    while rec._reader.is_alive():
        rec._reader.join(0.1)
    rec.stop()
    os.sync()  # on the disk, as dd's fsync
    seconds = time.monotonic() - begun
    assert rec.dropped == 0 and rec.written == count
    shutil.rmtree(target)
    return rec.bytes_written / seconds / 1e6


def _dd_rate(base, count):
    out = Path(base) / "record-bench-dd"
    os.sync()
    begun = time.monotonic()
    subprocess.run(["dd", "if=/dev/zero", f"of={out}", "bs=4M", f"count={count}",
                    "conv=fsync"], check=True, capture_output=True)
    seconds = time.monotonic() - begun
    out.unlink()
    return count * FRAME_BYTES / seconds / 1e6


def disk(base, count, rounds=3):
    mb = count * FRAME_BYTES / 1e6
    for fmt in ("raw", "tiff"):
        # dd right before and after each recorder run (this machine's disk speed drifts);
        # the median of the rounds' ratios is the figure.
        ratios, rates, dds = [], [], []
        for _ in range(rounds):
            before = _dd_rate(base, count)
            rate = _recorder_rate(base, fmt, count)
            dd = (before + _dd_rate(base, count)) / 2
            ratios.append(rate / dd)
            rates.append(rate)
            dds.append(dd)
        print(f"disk {fmt:4}: recorder {statistics.median(rates):7.1f} MB/s  dd "
              f"{statistics.median(dds):7.1f} MB/s  ratio {statistics.median(ratios):.2f} "
              f"(rounds: {', '.join(f'{r:.2f}' for r in ratios)}; {mb:.0f} MB each, synced, "
              f"in {base})")


def start_sim():
    proc = subprocess.Popen(["corvisk-sim", "--ip", IP, "--width", str(SIZE), "--height",
                             str(SIZE), "--sensor-height", str(SIZE), "--frame-rate", "50"],
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("corvisk-sim ready"):
        proc.kill()
        sys.exit(f"corvisk-sim did not start: {line!r}")
    return proc


def keep_up(base, seconds):
    sim = start_sim()
    try:
        cam = corvisk.Camera(IP)
        cam.connect()
        for fmt in ("raw", "tiff"):
            target = Path(tempfile.mkdtemp(prefix=f"record-bench-{fmt}-", dir=base))
            with cam.start_acquisition(n_buffers=16) as acq:
                rec = corvisk.Recorder(acq, target, fmt, queue=32)
                time.sleep(seconds)
                acq.stop()
                rec.stop()
            s = rec.stream_stats
            incomplete = sum(e["status"] != "Complete"
                             for e in json.loads((target / "index.json").read_text())["frames"])
            print(f"sim 2048x2048 Mono8 50 fps {fmt:4}: {rec.written} frames written in "
                  f"{seconds:g} s ({rec.written / seconds:.1f}/s), recorder dropped "
                  f"{rec.dropped}, stream dropped {s['frames_dropped']}, underruns "
                  f"{s['underruns']}, incomplete {incomplete}")
            shutil.rmtree(target)
        cam.disconnect()
    finally:
        sim.terminate()
        sim.wait()


def main():
    base = sys.argv[1] if len(sys.argv) > 1 else "/tmp"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    disk(base, 64)
    keep_up(base, seconds)


if __name__ == "__main__":
    main()
