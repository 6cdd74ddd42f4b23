"""The command line (`corvisk` / `python -m corvisk`) against corvisk-sim: typed reads, several
writes over one connection, commands, JSON output, and one-line errors for user mistakes.

Each test serves its own simulated camera on 127.26.1.x.
"""

import json

import pytest

from corvisk.__main__ import main
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim


def cli(capsys, *args):
    """(exit status, stdout, stderr) of one in-process run."""
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def test_get_prints_each_type_as_itself(sim, capsys):
    ip = sim("127.26.1.1").ip
    names = ["Width", "PixelFormat", "ReverseX", "ExposureTime", "DeviceVendorName",
             "PayloadSize"]
    status, out, _ = cli(capsys, "get", ip, *names, "--json")
    assert status == 0
    values = json.loads(out)
    assert list(values) == names
    assert [type(values[n]) for n in names] == [int, str, bool, float, str, int]
    assert values["PayloadSize"] == values["Width"] * 480  # Mono8, 480 lines
    status, out, _ = cli(capsys, "get", ip, "Width", "ReverseX")
    assert out.splitlines() == [f"Width = {values['Width']}", "ReverseX = false"]
    assert cli(capsys, "get", ip, "Width")[1] == f"{values['Width']}\n"  # one name: the value


def test_set_writes_in_order_over_one_connection(sim, capsys):
    ip = sim("127.26.1.2").ip
    status, out, err = cli(capsys, "set", ip, "Width=320", "ReverseX=true",
                           "ExposureTime=1500.5", "PixelFormat=Mono16", "--json")
    assert status == 0, err
    assert json.loads(out) == {"Width": 320, "ReverseX": True, "ExposureTime": 1500.5,
                               "PixelFormat": "Mono16"}
    status, out, _ = cli(capsys, "set", ip, "Height", "0x100")  # NAME VALUE, any int base
    assert (status, out) == (0, "Height = 256\n")
    status, out, _ = cli(capsys, "get", ip, "Width", "Height", "ReverseX", "PayloadSize")
    assert out.splitlines() == ["Width = 320", "Height = 256", "ReverseX = true",
                                f"PayloadSize = {320 * 256 * 2}"]


def test_execute_runs_commands_only(sim, capsys):
    ip = sim("127.26.1.3").ip
    assert cli(capsys, "execute", ip, "AcquisitionStop") == (0, "executed AcquisitionStop\n", "")
    status, out, _ = cli(capsys, "execute", ip, "AcquisitionStop", "--json")
    assert json.loads(out) == {"executed": "AcquisitionStop"}
    status, _, err = cli(capsys, "execute", ip, "Width")
    assert status == 1
    assert err == (f"error: feature 'Width' is not a command; read it with "
                   f"`corvisk get {ip} Width`\n")


def test_features_lists_names(sim, capsys):
    ip = sim("127.26.1.4").ip
    status, out, _ = cli(capsys, "features", ip, "--json")

    def names(node):  # the typed tree (see test_cli_features.py), flattened
        for item in node["features"]:
            yield item["name"]
            yield from names(item) if item["type"] == "Category" else ()

    listed = list(names(json.loads(out)))
    assert status == 0 and {"Width", "PixelFormat", "AcquisitionStart"} <= set(listed)
    lines = cli(capsys, "features", ip)[1].splitlines()
    assert [line.split()[0] for line in lines] == listed


@pytest.mark.parametrize("args, message", [
    (["get", "{ip}", "Widht"], "error: feature 'Widht' not found; `corvisk features {ip}` lists "
                               "the camera's features"),
    (["set", "{ip}", "Width=abc"], "error: Width: 'abc' is not an integer"),
    (["set", "{ip}", "ExposureTime=nan"], "error: ExposureTime: 'nan' is not a float"),
    (["set", "{ip}", "ReverseX=maybe"], "error: ReverseX: 'maybe' is not a boolean "
                                        "(use true or false)"),
    # The simulator offers every pixel format it can stream; the hint lists them all.
    (["set", "{ip}", "PixelFormat=Mono13"], "error: cannot set PixelFormat to Mono13: "
                                            "enumeration 'PixelFormat' has no entry 'Mono13'; "
                                            "choose one of Mono8, "),
    (["set", "{ip}", "Width=320", "Height"], "error: expected NAME=VALUE, got 'Height' "
                                             "(e.g. `corvisk set IP Width=640 Height=480`)"),
    (["set", "{ip}", "AcquisitionStart=1"], "error: feature 'AcquisitionStart' takes no value; "
                                            "run it with `corvisk execute IP AcquisitionStart`"),
    (["get", "{ip}", "AcquisitionStart"], "error: feature 'AcquisitionStart' has no readable "
                                          "value (a command? try `corvisk execute IP "
                                          "AcquisitionStart`)"),
    (["snap", "{ip}", "-o", "/nonexistent-dir/frame.png"],
     "error: No such file or directory: /nonexistent-dir/frame.png; check that the path exists "
     "and is writable"),
    (["get", "300.1.2.3", "Width"], "error: invalid IP address: \"300.1.2.3\"; give the "
                                    "camera's IPv4 address, e.g. 192.168.1.10"),
])
def test_user_mistakes_give_one_line_and_status_1(sim, capsys, args, message):
    ip = sim("127.26.1.5").ip
    status, _, err = cli(capsys, *(a.format(ip=ip) for a in args))
    assert status == 1
    expected = message.format(ip=ip)
    if expected.endswith(", "):  # a list of choices that goes on
        assert err.startswith(expected) and err.endswith("\n") and err.count("\n") == 1
    else:
        assert err == expected + "\n"


def test_no_camera_at_the_address(capsys):
    status, _, err = cli(capsys, "get", "127.26.1.99", "Width")
    assert status == 1
    assert err == ("error: no camera answered at 127.26.1.99 (connect timed out); check the "
                   "address or list the cameras with `corvisk discover`\n")
