"""Files on the camera against corvisk-sim: whole-file round trips of odd sizes, the read-only
file, operations the device fails (and the device file closed after each), open_file's chunk
boundaries, argument and state errors, the device deviations (an execute that must be polled,
no FileOperationStatus, no FileSize), the `files` command, and the file selectors of real
camera descriptions served by `corvisk-sim --description` (skipped when ../shared/descriptions
is absent).

Each test serves its own simulated camera on 127.45.x.y.
"""

import io
import random
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

import corvisk
from test_camera_connect import camera, needs_sim, sim  # noqa: F401  (fixtures)
from test_corpus import CORPUS, DescribedSim

pytestmark = needs_sim

SIM_FILES = ["UserData", "UserSet1", "UserFile1"]


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


@pytest.mark.parametrize("host,buffer,size", [(1, 1024, 1), (2, 1024, 1023), (3, 1024, 5001),
                                              (4, 516, 3001), (5, 4, 13), (6, 4096, 16384)])
def test_round_trip_of_odd_sizes(camera, host, buffer, size):
    cam = camera(f"127.45.1.{host}", "--file-buffer", str(buffer))
    assert corvisk.list_files(cam) == SIM_FILES
    data = random_bytes(size, size)
    seen = []
    corvisk.write_file(cam, "UserFile1", data, progress=lambda done, total: seen.append(done))
    assert seen[-1] == size and len(seen) == -(-size // buffer)
    assert corvisk.read_file(cam, "UserFile1") == data
    # Writing a shorter file anew replaces it.
    corvisk.write_file(cam, "UserFile1", data[:size // 2])
    assert corvisk.read_file(cam, "UserFile1") == data[:size // 2]


def test_fixed_size_user_data_is_overwritten_in_place_and_read_whole(camera):
    cam = camera("127.45.2.1")
    patch = random_bytes(777, 7)
    corvisk.write_file(cam, "UserData", patch)
    data = corvisk.read_file(cam, "UserData")
    assert len(data) == 64 * 1024
    assert data[:777] == patch and data[777:] == bytes(64 * 1024 - 777)


def test_read_only_file_refuses_writing_and_stays_readable(camera):
    cam = camera("127.45.2.2")
    before = corvisk.read_file(cam, "UserSet1")
    assert before.startswith(b"# corvisk-sim user set 1\n") and len(before) > 1024
    with pytest.raises(corvisk.FileOperationError) as e:
        corvisk.write_file(cam, "UserSet1", b"overwrite")
    assert (e.value.operation, e.value.file, e.value.status) == ("Open", "UserSet1", "Failure")
    assert "file operation Open on 'UserSet1' failed: status Failure, result 0" in str(e.value)
    assert isinstance(e.value, corvisk.GenicamError)
    with pytest.raises(corvisk.FileOperationError, match="Delete on 'UserSet1'"):
        corvisk.delete_file(cam, "UserSet1")
    assert corvisk.read_file(cam, "UserSet1") == before


def test_delete_empties_a_file(camera):
    cam = camera("127.45.2.3")
    corvisk.write_file(cam, "UserFile1", b"some bytes")
    corvisk.delete_file(cam, "UserFile1")
    assert corvisk.read_file(cam, "UserFile1") == b""


@pytest.mark.parametrize("host,failing,action", [
    (1, "Read", "read"), (2, "Write", "write"), (3, "Open", "read"), (4, "Close", "write"),
    (5, "Delete", "delete")])
def test_failed_operation_is_named_and_leaves_no_file_open(camera, host, failing, action):
    cam = camera(f"127.45.3.{host}", "--file-fail", failing,
                 "--file-buffer", "64")
    data = random_bytes(200, 1)
    run = {"read": lambda: corvisk.read_file(cam, "UserSet1"),
           "write": lambda: corvisk.write_file(cam, "UserFile1", data),
           "delete": lambda: corvisk.delete_file(cam, "UserFile1")}[action]
    with pytest.raises(corvisk.FileOperationError) as e:
        run()
    assert e.value.operation == failing and e.value.status == "Failure"
    assert f"file operation {failing} on '" in str(e.value)
    if failing in ("Open", "Close"):
        return
    # The file was closed after the error: it opens again (a second Open would fail).
    for name, mode in (("UserFile1", "wb"), ("UserFile1", "rb"), ("UserSet1", "rb")):
        with corvisk.open_file(cam, name, mode) as f:
            assert f.tell() == 0


def test_open_file_moves_one_chunk_per_call(camera):
    cam = camera("127.45.4.1", "--file-buffer", "512")
    data = random_bytes(1300, 3)
    with corvisk.open_file(cam, "UserFile1", "wb") as f:
        assert f.chunk_size == 512 and f.writable() and not f.readable()
        assert f.write(data) == 512
        assert f.write(memoryview(data)[512:]) == 512
        f.write_all(data[1024:])
        assert f.tell() == 1300
        with pytest.raises(io.UnsupportedOperation):
            f.read(1)
    with corvisk.open_file(cam, "UserFile1") as f:
        assert f.size == 1300 and f.readable()
        assert f.read(10000) == data[:512]
        assert f.read(100) == data[512:612]
        buf = bytearray(1000)
        assert f.readinto(buf) == 512 and bytes(buf[:512]) == data[612:1124]
        assert f.read() == data[1124:]
        assert f.read(10) == b"" and f.tell() == 1300
        with pytest.raises(io.UnsupportedOperation):
            f.write(b"x")
    assert f.closed
    with pytest.raises(ValueError, match="closed file"):
        f.read(1)
    f.close()  # once only
    with corvisk.open_file(cam, "UserFile1") as f:
        assert b"".join(iter(lambda: f.read(300), b"")) == data


def test_error_inside_the_block_still_closes_the_device_file(camera):
    cam = camera("127.45.4.2")
    with pytest.raises(RuntimeError):
        with corvisk.open_file(cam, "UserSet1") as f:
            f.read(10)
            raise RuntimeError("user code failed")
    with corvisk.open_file(cam, "UserSet1") as f:  # not left open on the device
        assert f.read(10)


def test_bad_arguments_and_unknown_files(camera):
    cam = camera("127.45.5.1")
    with pytest.raises(ValueError, match=r"no file 'Log'; its files: UserData, UserSet1, "
                                         r"UserFile1"):
        corvisk.read_file(cam, "Log")
    with pytest.raises(TypeError, match="file names are str"):
        corvisk.read_file(cam, 3)
    with pytest.raises(TypeError, match="takes bytes, not str"):
        corvisk.write_file(cam, "UserFile1", "text")
    with pytest.raises(TypeError, match="takes bytes, not int"):
        corvisk.write_file(cam, "UserFile1", 5)
    with pytest.raises(ValueError, match="mode must be 'rb' or 'wb'"):
        corvisk.open_file(cam, "UserFile1", "r")
    with pytest.raises(TypeError, match="expected a corvisk.Camera"):
        corvisk.list_files("127.45.5.1")
    for bad in (-1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="timeout"):
            corvisk.read_file(cam, "UserSet1", timeout=bad)
    cam.disconnect()
    with pytest.raises(corvisk.CameraError, match="driver is not connected"):
        corvisk.list_files(cam)
    with pytest.raises(corvisk.CameraError, match="driver is not connected"):
        corvisk.read_file(cam, "UserSet1")


@pytest.mark.parametrize("host,options", [
    (1, ("--file-busy", "3")), (2, ("--file-no-status",)), (3, ("--file-no-size",)),
    (4, ("--file-busy", "2", "--file-no-status", "--file-no-size", "--file-buffer", "100")),
    (5, ("--file-overflow", "--file-no-size"))])
def test_device_deviations_still_round_trip(camera, host, options):
    cam = camera(f"127.45.6.{host}", *options)
    data = random_bytes(2500, len(options))
    corvisk.write_file(cam, "UserFile1", data)
    assert corvisk.read_file(cam, "UserFile1") == data
    assert len(corvisk.read_file(cam, "UserSet1")) > 1024
    # Without a status the failed Open goes unseen, but the first chunk taking nothing fails.
    with pytest.raises(corvisk.FileOperationError) as e:
        corvisk.write_file(cam, "UserSet1", data)
    assert e.value.operation == ("Write" if "--file-no-status" in options else "Open")


def test_an_execute_that_never_finishes_times_out(camera):
    cam = camera("127.45.6.90", "--file-busy", "1000")
    with pytest.raises(corvisk.FileOperationError,
                       match=r"^file operation Open on 'UserSet1' failed: not done within 0 s$"):
        corvisk.read_file(cam, "UserSet1", timeout=0)


# ---- the files command -----------------------------------------------------------------------

def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "corvisk", "files", *args],
                          capture_output=True, text=True, timeout=60)


def test_cli_lists_gets_and_puts(sim, tmp_path):
    sim("127.45.7.1", "--file-buffer", "256")
    listed = run_cli("127.45.7.1")
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.split() == SIM_FILES
    source = tmp_path / "in.bin"
    source.write_bytes(random_bytes(9000, 9))
    put = run_cli("127.45.7.1", "put", "UserFile1", str(source))
    assert put.returncode == 0, put.stderr
    assert "9000 bytes" in put.stdout
    target = tmp_path / "out.bin"
    got = run_cli("127.45.7.1", "get", "UserFile1", "-o", str(target))
    assert got.returncode == 0, got.stderr
    assert target.read_bytes() == source.read_bytes()
    large = tmp_path / "large.bin"
    large.write_bytes(random_bytes(64 * 1024, 10))
    put = run_cli("127.45.7.1", "put", "UserData", str(large))
    assert put.returncode == 0, put.stderr
    assert put.stderr.endswith("writing UserData: 65536 of 65536 bytes (100%)   \n")
    got = run_cli("127.45.7.1", "get", "UserData", "-o", str(target))
    assert got.stderr.endswith("reading UserData: 65536 of 65536 bytes (100%)   \n")
    assert target.read_bytes() == large.read_bytes()
    failed = run_cli("127.45.7.1", "put", "UserSet1", str(source))
    assert failed.returncode == 1
    assert failed.stderr.strip().splitlines() == [
        "error: file operation Open on 'UserSet1' failed: status Failure, result 0"]
    unknown = run_cli("127.45.7.1", "get", "Nope", "-o", str(target))
    assert unknown.returncode == 1 and "its files: UserData" in unknown.stderr


# ---- real descriptions -----------------------------------------------------------------------

def file_selectors():
    """(description, all FileSelector entries, those without availability predicates)."""
    found = []
    for path in sorted(CORPUS.glob("*.xml")) if CORPUS.is_dir() else []:
        text = path.read_bytes()
        if b"FileAccessBuffer" not in text:
            continue
        for el in ET.fromstring(text).iter():
            if el.get("Name") == "FileSelector" and el.tag.endswith("Enumeration"):
                entries = [e for e in el if e.tag.endswith("EnumEntry")]
                names = [e.get("Name") for e in entries]
                plain = [e.get("Name") for e in entries
                         if not any(c.tag.split("}")[-1].startswith("pIs") for c in e)]
                found.append(pytest.param(len(found) + 1, path, names, plain, id=path.stem))
    return found or [pytest.param(0, None, [], [], marks=pytest.mark.skip(
        reason=f"no descriptions with file access in {CORPUS}"))]


def delete_or_refuse(cam, name):
    """Deletes `name` where the camera has Delete (True), else checks the refusal (False)."""
    if "Delete" in cam.enum_entries("FileOperationSelector"):
        corvisk.delete_file(cam, name)
        return True
    with pytest.raises(ValueError, match=r"cannot delete files \(FileOperationSelector offers "
                                         r"Open, Close, "):
        corvisk.delete_file(cam, name)
    return False


def without_file_access():
    paths = [p for p in sorted(CORPUS.glob("*.xml")) if b"FileSelector" not in p.read_bytes()] \
        if CORPUS.is_dir() else []
    return [pytest.param(p, id=p.stem) for p in paths[:1]] or [pytest.param(None, marks=pytest.mark.skip(
        reason=f"no description without file access in {CORPUS}"))]


@pytest.mark.parametrize("path", without_file_access())
def test_a_camera_without_file_access_says_so(path):
    served = DescribedSim("127.45.9.1", path)
    try:
        cam = corvisk.Camera("127.45.9.1", gvcp_timeout=0.2, retries=2)
        cam.connect()
        for call in (corvisk.list_files, lambda c: corvisk.read_file(c, "UserSet1"),
                     lambda c: corvisk.delete_file(c, "UserSet1")):
            with pytest.raises(ValueError, match=r"no file access \(its description lacks "
                                                 r"FileSelector, FileOperationSelector"):
                call(cam)
        cam.disconnect()
    finally:
        served.stop()


@pytest.mark.parametrize("host,path,entries,plain", file_selectors())
def test_real_descriptions_list_their_files(host, path, entries, plain):
    ip = f"127.45.8.{host}"
    served = DescribedSim(ip, path)
    try:
        cam = corvisk.Camera(ip, gvcp_timeout=0.2, retries=2)
        cam.connect()
        listed = corvisk.list_files(cam)
        assert set(plain) - {"None"} <= set(listed) <= set(entries) - {"None"}
        assert listed == [n for n in entries if n in listed]  # the description's order
        if " files without transfers (" in served.ready:
            # Its buffer is no plain register (Mikrotron's is an Integer): no data moves, but an
            # operation without data still runs.
            with pytest.raises(ValueError, match="FileAccessBuffer is .*, not a register"):
                corvisk.read_file(cam, listed[0])
            delete_or_refuse(cam, listed[-1])
        elif re.search(r", \d+ files,", served.ready):
            # The simulator backs this description's file registers: a whole round trip.
            data = random_bytes(10001, host)
            corvisk.write_file(cam, listed[-1], data)
            assert corvisk.read_file(cam, listed[-1]) == data
            if delete_or_refuse(cam, listed[-1]):
                assert corvisk.read_file(cam, listed[-1]) == b""
            with corvisk.open_file(cam, listed[0]) as f:
                assert f.chunk_size == corvisk._corvisk_ext.register_length(cam, "FileAccessBuffer")
                assert f.read().startswith(listed[0].encode())
        cam.disconnect()
    finally:
        served.stop()
