"""`corvisk record` against corvisk-sim: files, index and progress line, and one-line errors
for the user's mistakes (bad arguments, no camera, an unwritable directory).

Each test serves its own simulated camera on 127.31.3.x.
"""

import json
import subprocess
import sys

import pytest

from corvisk.__main__ import main
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim


def cli(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("fmt", ["raw", "tiff"])
def test_record_writes_frames_an_index_and_a_progress_line(sim, tmp_path, capsys, fmt):
    ip = sim(f"127.31.3.{1 if fmt == 'raw' else 2}", "--width", "64", "--height", "48",
             "--frame-rate", "50").ip
    out_dir = tmp_path / "rec"
    status, out, err = cli(capsys, "record", ip, "--seconds", "0.6", "-o", out_dir,
                           "--format", fmt)
    assert status == 0, err
    idx = json.loads((out_dir / "index.json").read_text())
    assert idx["format"] == fmt and idx["written"] >= 5
    assert len(list(out_dir.glob(f"frame_*.{fmt}"))) == idx["written"]
    progress = out.split("\r")
    assert any(" MB/s  dropped=" in line for line in progress)
    assert out.splitlines()[-1].startswith(f"{idx['written']} frames (")
    assert f"to {out_dir} ({fmt}), dropped {idx['dropped']}" in out


def test_frames_limit_stops_early(sim, tmp_path, capsys):
    ip = sim("127.31.3.3", "--width", "64", "--height", "48", "--frame-rate", "50").ip
    status, out, err = cli(capsys, "record", ip, "--seconds", "30", "--frames", "3", "-o",
                           tmp_path, "--format", "raw")
    assert status == 0, err
    idx = json.loads((tmp_path / "index.json").read_text())
    assert idx["received"] == 3  # stopped by the count, long before 30 s of frames


@pytest.mark.parametrize("args,message", [
    (["--seconds", "-1"], "argument --seconds: '-1' is not a positive number of seconds"),
    (["--seconds", "nan"], "argument --seconds: 'nan' is not a positive number of seconds"),
    (["--format", "jpeg"], "argument --format: invalid choice: 'jpeg'"),
    (["--queue", "0"], "argument --queue: '0' is not a positive whole number"),
])
def test_bad_arguments_are_one_usage_line(tmp_path, args, message):
    done = subprocess.run([sys.executable, "-m", "corvisk", "record", "127.31.3.99", *args],
                          capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert done.returncode == 2
    assert message in done.stderr.splitlines()[-1]
    assert "Traceback" not in done.stderr


def test_user_mistakes_are_one_error_line(sim, tmp_path, capsys):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    ip = sim("127.31.3.4", "--width", "64", "--height", "48").ip
    status, out, err = cli(capsys, "record", ip, "-o", blocker / "sub", "--seconds", "0.2")
    assert status == 1
    assert err.startswith("error: cannot record into '") and "Not a directory" in err
    assert len(err.splitlines()) == 1
    (tmp_path / "again").mkdir()
    (tmp_path / "again" / "index.json").write_text("{}")
    status, out, err = cli(capsys, "record", ip, "-o", tmp_path / "again", "--seconds", "0.2")
    assert status == 1 and "already holds a recording" in err and len(err.splitlines()) == 1
    status, out, err = cli(capsys, "record", "127.31.3.98", "-o", tmp_path / "x")
    assert status == 1 and err.startswith("error: no camera answered at 127.31.3.98")
    status, out, err = cli(capsys, "record", "not-an-ip", "-o", tmp_path / "x")
    assert status == 1 and err.startswith('error: invalid IP address: "not-an-ip"')
