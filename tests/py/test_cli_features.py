"""The feature commands of the command line against corvisk-sim: the typed tree, checked
`set`, `describe`, `genicam` (plain XML also from a zipped description) and `settings`, each
with --json, and one-line errors for user mistakes.

Each test serves its own simulated camera on 127.30.3.x.
"""

import json

import pytest

from corvisk.__main__ import main
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim


def cli(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def walk(node):
    for item in node["features"]:
        yield item
        if item["type"] == "Category":
            yield from walk(item)


def test_features_tree_typed_with_values(sim, capsys):
    ip = sim("127.30.3.1").ip
    status, out, err = cli(capsys, "features", ip, "--json")
    assert status == 0, err
    tree = json.loads(out)
    rows = {item["name"]: item for item in walk(tree)}
    assert rows["ImageFormatControl"]["type"] == "Category"
    assert rows["Width"] == {"name": "Width", "type": "Integer", "access": "RW", "unit": "",
                             "visibility": "Beginner", "value": 640}
    assert rows["ExposureTime"]["value"] == 10000.0 and rows["ExposureTime"]["unit"] == "us"
    assert rows["ReverseX"]["value"] is False
    assert "value" not in rows["AcquisitionStart"]
    status, out, _ = cli(capsys, "features", ip, "--all", "--json")
    assert set(rows) <= {i["name"] for i in walk(json.loads(out))}
    status, out, _ = cli(capsys, "features", ip)
    lines = out.splitlines()
    assert "ImageFormatControl" in lines
    width = next(line for line in lines if line.strip().startswith("Width "))
    assert width.startswith("  ") and width.split() == ["Width", "Integer", "RW", "=", "640"]
    exposure = next(line for line in lines if line.strip().startswith("ExposureTime "))
    assert exposure.endswith("RW = 10000.0 us")
    assert any(line.split()[:4] == ["ReverseX", "Boolean", "RW", "="] and
               line.endswith("false") for line in lines)


def test_set_is_checked_and_reads_back(sim, capsys):
    ip = sim("127.30.3.2").ip
    status, out, err = cli(capsys, "set", ip, "Width=320", "OffsetX=64", "Gain=12.5", "--json")
    assert (status, json.loads(out)) == (0, {"Width": 320, "OffsetX": 64, "Gain": 12.5}), err
    status, out, err = cli(capsys, "set", ip, "Width=322")
    assert status == 1 and out == ""
    assert err == ("error: cannot set Width to 322: not on the increment (nearest 320 or 324); "
                   "Width takes 16..1984 in steps of 4\n")  # the maximum follows OffsetX
    status, _, err = cli(capsys, "set", ip, "ExposureTime=1e300")
    assert err.startswith("error: cannot set ExposureTime to 1e+300: above the maximum")
    status, _, err = cli(capsys, "set", ip, "DeviceUserID=" + "x" * 5000)
    assert status == 1 and "5000 bytes do not fit: DeviceUserID holds at most 16 bytes" in err
    assert err.count("\n") == 1 and len(err) < 300
    status, _, err = cli(capsys, "set", ip, "DeviceVendorName=X")
    assert err == "error: cannot set DeviceVendorName to 'X': it is read-only\n"


def test_describe_tells_everything(sim, capsys):
    ip = sim("127.30.3.3").ip
    status, out, err = cli(capsys, "describe", ip, "Width", "--json")
    assert status == 0, err
    record = json.loads(out)
    assert record["interface_type"] == "Integer" and record["bounds"] == [16, 2048]
    assert record["increment"] == 4 and record["category"] == "ImageFormatControl"
    assert record["value"] == 640 and record["locked"] is False
    assert record["tooltip"] == "Width of the image in pixels"
    status, out, _ = cli(capsys, "describe", ip, "PixelFormat")
    assert "entry Mono8 = 17301505" in out and "category        ImageFormatControl" in out
    status, out, _ = cli(capsys, "describe", ip, "DeviceUserID", "--json")
    assert json.loads(out)["max_length"] == 16
    status, _, err = cli(capsys, "describe", ip, "Nope")
    assert (status, err) == (1, f"error: feature 'Nope' not found; `corvisk features {ip}` "
                                "lists the camera's features\n")


@pytest.mark.parametrize("form", ["plain", "zip-deflated"])
def test_genicam_writes_plain_xml(sim, capsys, tmp_path, form):
    ip = sim("127.30.3.4", "--xml", form).ip
    target = tmp_path / "camera.xml"
    status, out, err = cli(capsys, "genicam", ip, "-o", target, "--json")
    assert status == 0, err
    document = target.read_bytes()
    assert json.loads(out) == {"written": str(target), "bytes": len(document)}
    assert document.startswith(b"<?xml") and b"<RegisterDescription" in document
    status, _, err = cli(capsys, "genicam", ip, "-o", tmp_path / "no" / "such" / "x.xml")
    assert status == 1 and err.startswith("error: No such file or directory")


def test_settings_save_and_load(sim, capsys, tmp_path):
    ip = sim("127.30.3.5").ip
    cli(capsys, "set", ip, "Width=800", "ExposureTime=4321.5")
    path = tmp_path / "cam.pfs"
    status, out, err = cli(capsys, "settings", "save", ip, path)
    assert status == 0 and out.startswith("saved ") and out.endswith(f"settings to {path}\n")
    assert "Width\t800\n" in path.read_text() and "ExposureTime\t4321.5\n" in path.read_text()
    cli(capsys, "set", ip, "Width=640", "ExposureTime=10")
    status, out, _ = cli(capsys, "settings", "load", ip, path, "--json")
    report = json.loads(out)
    assert status == 0 and report["failed"] == [] and ["Width", "800"] in report["applied"]
    assert cli(capsys, "get", ip, "Width", "ExposureTime", "--json")[1] == \
        '{"Width": 800, "ExposureTime": 4321.5}\n'
    path.write_text("Width\t5000\nNope\t1\n")
    status, out, _ = cli(capsys, "settings", "load", ip, path)
    assert status == 1
    assert out.splitlines() == [
        f"applied 0 settings from {path}",
        "  not applied: Width = 5000: cannot set Width to 5000: above the maximum 2048; Width "
        "takes 16..2048 in steps of 4",
        "  not applied: Nope = 1: feature 'Nope' not found"]
    path.write_text("garbage line\n")
    status, _, err = cli(capsys, "settings", "load", ip, path)
    assert status == 1 and err.startswith(f"error: {path} line 1: expected Name<TAB>Value")
