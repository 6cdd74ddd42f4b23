"""corvisk.Recorder against corvisk-sim: files in every format with their index, a stalled disk
that drops frames without starving the stream, incomplete frames, and errors at start and on
the writer (a full disk).

Each test serves its own simulated camera on 127.31.1.x.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import corvisk
from test_camera_connect import needs_sim, sim, wait_for  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim

SMALL = ("--width", "64", "--height", "48", "--frame-rate", "100")


def connected(sim, ip, *options):
    sim(ip, *options)
    cam = corvisk.Camera(ip)
    cam.connect()
    return cam


def index(directory):
    return json.loads((Path(directory) / "index.json").read_text())


def _tiff_size(data):
    """(width, height) from the first IFD of a little-endian TIFF."""
    assert data[:4] == b"II*\x00"
    at = int.from_bytes(data[4:8], "little")
    tags = {}
    for i in range(int.from_bytes(data[at:at + 2], "little")):
        entry = data[at + 2 + 12 * i:at + 14 + 12 * i]
        tags[int.from_bytes(entry[:2], "little")] = int.from_bytes(entry[8:12], "little")
    return tags[256], tags[257]


def _image_size(path, fmt):
    data = path.read_bytes()
    if fmt == "png":
        assert data[:8] == b"\x89PNG\r\n\x1a\n"
        return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    if fmt == "tiff":
        return _tiff_size(data)
    if fmt == "npy":
        np = pytest.importorskip("numpy")
        arr = np.load(path)
        return arr.shape[1], arr.shape[0]
    return len(data), None


@pytest.mark.parametrize("fmt,host", [("raw", 1), ("tiff", 2), ("png", 3), ("npy", 4)])
def test_every_format_writes_files_and_an_index(sim, tmp_path, fmt, host):
    if fmt == "npy":
        pytest.importorskip("numpy")
    cam = connected(sim, f"127.31.1.{host}", *SMALL)
    with cam.start_acquisition() as acq:
        with corvisk.Recorder(acq, tmp_path / "rec", fmt) as rec:
            assert wait_for(lambda: rec.written >= 5, timeout=10)
        assert rec.is_stopped() and rec.error is None
    idx = index(tmp_path / "rec")
    assert idx["format"] == fmt and idx["written"] == rec.written >= 5
    assert idx["received"] == rec.received == idx["written"] + idx["dropped"]
    files = [e for e in idx["frames"] if e["file"]]
    assert len(files) == idx["written"]
    assert sorted(p.name for p in (tmp_path / "rec").iterdir()) == sorted(
        [e["file"] for e in files] + ["index.json"])
    for e in files:
        assert e["status"] == "Complete" and e["pixel_format"] == "Mono8"
        assert (e["width"], e["height"], e["received_size"]) == (64, 48, 64 * 48)
        expected = (64 * 48, None) if fmt == "raw" else (64, 48)
        assert _image_size(tmp_path / "rec" / e["file"], fmt) == expected
    ids = [e["frame_id"] for e in idx["frames"]]
    assert ids == sorted(ids)
    assert {"completed_frames", "frames_dropped", "underruns"} <= set(idx["stream"])
    cam.disconnect()


@pytest.mark.parametrize("fmt,host", [("raw", 5), ("tiff", 12)])
def test_files_hold_the_frames_as_save_writes_them(sim, tmp_path, fmt, host):
    cam = connected(sim, f"127.31.1.{host}", *SMALL)
    with cam.start_acquisition() as acq:
        channel = acq.subscribe(64)  # sees what the recorder sees
        with corvisk.Recorder(acq, tmp_path / "rec", fmt) as rec:
            assert wait_for(lambda: rec.written >= 3, timeout=10)
        acq.stop()
        frames = {f.frame_id: f for f in channel.recv_all()}
    compared = 0
    for e in index(tmp_path / "rec")["frames"]:
        if e["file"] and e["frame_id"] in frames:
            # The recorder's own Mono8 TIFF writer gives the very file save() gives.
            corvisk.save(frames[e["frame_id"]], tmp_path / f"expected.{fmt}")
            expected = (tmp_path / f"expected.{fmt}").read_bytes()
            assert (tmp_path / "rec" / e["file"]).read_bytes() == expected
            compared += 1
    assert compared >= 3
    cam.disconnect()


class _StalledDisk(corvisk.Recorder):
    """A recorder whose disk does not answer until `resume` is set."""

    def __init__(self, *args, **kwargs):
        self.resume = threading.Event()
        super().__init__(*args, **kwargs)

    def _write(self, copy, path):
        self.resume.wait(10)
        super()._write(copy, path)


def test_a_stalled_disk_drops_frames_but_never_starves_the_stream(sim, tmp_path):
    cam = connected(sim, "127.31.1.6", *SMALL)
    with cam.start_acquisition(n_buffers=4) as acq:
        rec = _StalledDisk(acq, tmp_path, "raw", queue=2)
        start = acq.stats().completed_frames
        # Held frames would keep the four pool buffers: far more frames than buffers plus
        # queue places complete only because the recorder queues copies.
        assert wait_for(lambda: acq.stats().completed_frames - start > 30 and rec.dropped > 10,
                        timeout=10)
        rec.resume.set()
        rec.stop()
    idx = index(tmp_path)
    # The one in hand and the queue, then what the subscription held at stop.
    assert 3 <= idx["written"] <= 3 + 4
    assert idx["received"] == idx["written"] + idx["dropped"]
    dropped = [e for e in idx["frames"] if e["file"] is None]
    assert len(dropped) == idx["dropped"] == rec.dropped > 10
    assert all(e["status"] == "Complete" for e in dropped)
    cam.disconnect()


def test_incomplete_frames_are_listed_and_optionally_skipped(sim, tmp_path):
    cam = connected(sim, "127.31.1.7", "--width", "640", "--height", "480", "--frame-rate",
                    "100", "--no-resend", "--drop-fraction", "0.05")
    with cam.start_acquisition(resend=False) as acq:
        with corvisk.Recorder(acq, tmp_path, "raw", incomplete=False) as rec:
            assert wait_for(lambda: rec.skipped >= 2 and rec.written >= 1, timeout=10)
    idx = index(tmp_path)
    skipped = [e for e in idx["frames"] if e["status"] != "Complete"]
    assert len(skipped) == idx["skipped"] >= 2
    assert all(e["file"] is None for e in skipped)
    assert all(e["status"] == "Complete" for e in idx["frames"] if e["file"])
    cam.disconnect()


def test_bad_arguments_and_unwritable_directories_fail_at_start(sim, tmp_path):
    cam = connected(sim, "127.31.1.8", *SMALL)
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    with cam.start_acquisition() as acq:
        with pytest.raises(OSError, match="^.*cannot record into '.*file/sub': Not a directory"):
            corvisk.Recorder(acq, blocker / "sub")
        with pytest.raises(ValueError, match="unknown recording format 'jpeg'; use one of tiff"):
            corvisk.Recorder(acq, tmp_path, "jpeg")
        for queue in (0, -1, 2.5, True):
            with pytest.raises(ValueError, match="queue must be a positive number"):
                corvisk.Recorder(acq, tmp_path, queue=queue)
        for limit in (0, -3, 1.5, False):
            with pytest.raises(ValueError, match="max_frames must be a positive number"):
                corvisk.Recorder(acq, tmp_path, max_frames=limit)
        with pytest.raises(TypeError, match="records an Acquisition or a FrameChannel, not str"):
            corvisk.Recorder("acq", tmp_path)
        corvisk.Recorder(acq, tmp_path / "once", "raw").stop()
        with pytest.raises(FileExistsError, match="already holds a recording"):
            corvisk.Recorder(acq, tmp_path / "once", "raw")
        corvisk.Recorder(acq, tmp_path / "once", "raw", overwrite=True).stop()
    cam.disconnect()


def test_a_channel_ends_the_recording_when_its_stream_stops(sim, tmp_path):
    cam = connected(sim, "127.31.1.9", *SMALL)
    acq = cam.start_acquisition()
    rec = corvisk.Recorder(acq.subscribe(8), tmp_path, "raw")
    assert wait_for(lambda: rec.written >= 2, timeout=10)
    acq.stop()
    # The reader sees the end of the stream by itself; stop() only joins and writes the index.
    assert wait_for(lambda: not rec._reader.is_alive(), timeout=5)
    rec.stop()
    assert index(tmp_path)["stream"] is None  # a channel has no counters of its own
    assert rec.written == index(tmp_path)["written"]
    cam.disconnect()


def test_max_frames_takes_exactly_that_many(sim, tmp_path):
    cam = connected(sim, "127.31.1.14", *SMALL)
    with cam.start_acquisition() as acq:
        rec = corvisk.Recorder(acq, tmp_path, "raw", max_frames=4)
        assert wait_for(rec.done, timeout=10)
        assert acq.wait_for(2.0) is not None  # the acquisition goes on, read by nobody else
        rec.stop()
    assert (rec.received, rec.written) == (4, 4) and index(tmp_path)["written"] == 4
    cam.disconnect()


def test_the_block_s_own_error_goes_first(sim, tmp_path):
    cam = connected(sim, "127.31.1.10", *SMALL)
    with cam.start_acquisition() as acq:
        with pytest.raises(KeyError):
            with corvisk.Recorder(acq, tmp_path, "raw") as rec:
                assert wait_for(lambda: rec.written >= 1, timeout=10)
                raise KeyError("inside")
        assert rec.is_stopped() and index(tmp_path)["written"] == rec.written
    cam.disconnect()


_FULL_DISK_CHILD = textwrap.dedent("""
    import errno, json, sys, corvisk
    from test_camera_connect import wait_for
    cam = corvisk.Camera(sys.argv[1]); cam.connect()
    with cam.start_acquisition() as acq:
        rec = corvisk.Recorder(acq, sys.argv[2], "raw")
        assert wait_for(lambda: rec.error is not None, timeout=10), "the disk never filled"
        try:
            rec.stop()
            result = {"raised": None}
        except OSError as e:
            result = {"raised": errno.errorcode.get(e.errno), "text": str(e)}
    result.update(written=rec.written, dropped=rec.dropped, received=rec.received)
    print(json.dumps(result))
""")


def test_a_full_disk_surfaces_at_stop(sim, tmp_path):
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount for a small private tmpfs")
    ip = "127.31.1.11"
    sim(ip, "--width", "640", "--height", "480", "--frame-rate", "100")
    disk = tmp_path / "disk"
    disk.mkdir()
    script = tmp_path / "child.py"
    script.write_text(_FULL_DISK_CHILD)
    # A private mount namespace: a 1 MiB tmpfs holds three 300 kB frames.
    shell = f'mount -t tmpfs -o size=1m corvisk-test "{disk}" && exec "$0" "$@"'
    here = str(Path(__file__).resolve().parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [here, os.environ.get(
        "PYTHONPATH")]))}
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a mount namespace: {probe.stderr.decode().strip()}")
    done = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", shell, sys.executable,
         str(script), ip, str(disk)], capture_output=True, text=True, timeout=60,
        env=env)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.strip().splitlines()[-1])
    assert result["raised"] == "ENOSPC", result
    assert 1 <= result["written"] <= 3
    assert result["received"] == result["written"] + result["dropped"]


_FORGETFUL_CHILD = textwrap.dedent("""
    import sys, corvisk
    from test_camera_connect import wait_for
    cam = corvisk.Camera(sys.argv[1]); cam.connect()
    acq = cam.start_acquisition()
    rec = corvisk.Recorder(acq, sys.argv[2], "raw")
    assert wait_for(lambda: rec.written >= 2, timeout=10)
    print("leaving without stop()", flush=True)
""")


def test_a_recorder_left_running_does_not_hold_the_program_at_exit(sim, tmp_path):
    ip = "127.31.1.13"
    sim(ip, *SMALL)
    script = tmp_path / "child.py"
    script.write_text(_FORGETFUL_CHILD)
    here = str(Path(__file__).resolve().parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [here, os.environ.get(
        "PYTHONPATH")]))}
    done = subprocess.run([sys.executable, str(script), ip, str(tmp_path / "rec")],
                          capture_output=True, text=True, timeout=30, env=env)
    assert done.returncode == 0, done.stderr
    idx = index(tmp_path / "rec")  # stopped at exit: the index is there
    assert idx["written"] >= 2 and idx["written"] == len(list((tmp_path / "rec").glob("*.raw")))
