"""The host check (corvisk.check_host, `corvisk doctor`) on adapters the tests make themselves.

Each scenario builds its own network namespaces joined by veth pairs, gives the client's
adapter a chosen MTU, reverse-path filter and receive-buffer ceiling, and runs the check inside
that namespace; a simulated camera in the peer namespace stands behind the adapter when the
check is about a camera. The host's own adapters are never touched. Parsing of missing and
malformed /proc and /sys files is checked on directory trees laid out like them.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import corvisk
from corvisk.__main__ import main
from netns import _ip
from test_camera_connect import find_sim

CLIENT, CAMERA = "10.61.0.1", "10.61.0.2"

# Runs in the client namespace: the findings (of the host, or of the camera at argv[1]) as JSON.
CHECK = """
import json, sys, dataclasses, corvisk
cam = None
if len(sys.argv) > 1:
    cam = corvisk.Camera(sys.argv[1])
    cam.connect()
    for name, value in json.loads(sys.argv[2]).items():
        (cam.set_float if isinstance(value, float) else cam.set_integer)(name, value)
print(json.dumps([dataclasses.asdict(f) for f in corvisk.check_host(cam)]))
"""


def _sysctl(ns, name, value):
    subprocess.run(ns.exec_args("sysctl", "-q", "-w", f"{name}={value}"), check=True,
                   capture_output=True, timeout=10)


def _rmem_max(ns):
    # Read only: a namespace other than the host's may show the host's value without letting it
    # be changed, and writing it elsewhere would change the host.
    r = subprocess.run(ns.exec_args("cat", "/proc/sys/net/core/rmem_max"), capture_output=True,
                       text=True, timeout=10)
    return int(r.stdout) if r.returncode == 0 else None


def _setup(lab, *, mtu=1500, rp_filter=0, rp_all=0):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, f"{CLIENT}/24", device, f"{CAMERA}/24")
    _ip("-n", client.name, "link", "set", "cvka0", "mtu", str(mtu))
    _ip("-n", device.name, "link", "set", "cvkb0", "mtu", str(max(mtu, 1500)))
    _sysctl(client, "net.ipv4.conf.all.rp_filter", rp_all)
    _sysctl(client, "net.ipv4.conf.cvka0.rp_filter", rp_filter)
    return client, device


def _findings(ns, *args, timeout=60):
    r = subprocess.run(ns.exec_args(sys.executable, "-c", CHECK, *args), capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == 0, r.stderr
    return {f["topic"]: f for f in json.loads(r.stdout)}


def _camera(lab, device, *options):
    if find_sim() is None:
        pytest.skip("corvisk-sim is not built")
    proc = lab.spawn(device, find_sim(), "--ip", CAMERA, "--subnet", "255.255.255.0", *options)
    assert proc.read_until(lambda lines: any("ready" in x for x in lines)), proc.lines


# ---- host-wide -------------------------------------------------------------------------------

@pytest.mark.parametrize("mtu, rp_filter, rp_all, mtu_level, rp_warned", [
    (1500, 1, 0, "warn", True),
    (9000, 2, 0, "ok", False),
    (9000, 0, 1, "ok", True),  # "all" strict makes every adapter strict
    (9000, 2, 1, "ok", False),  # the larger value applies: loose
])
def test_adapter_mtu_and_reverse_path_filter(lab, mtu, rp_filter, rp_all, mtu_level, rp_warned):
    client, _ = _setup(lab, mtu=mtu, rp_filter=rp_filter, rp_all=rp_all)
    found = _findings(client)
    adapter = found["adapter cvka0"]
    assert adapter["level"] == mtu_level
    assert f"MTU {mtu}" in adapter["message"] and "10000 Mb/s" in adapter["message"]
    if mtu_level == "warn":
        assert adapter["fix"] == "ip link set dev cvka0 mtu 9000"
    assert ("rp_filter cvka0" in found) == rp_warned
    if rp_warned:
        assert found["rp_filter cvka0"]["level"] == "warn"
        assert found["rp_filter cvka0"]["fix"] == "sysctl -w net.ipv4.conf.cvka0.rp_filter=2"
    assert not any(topic.endswith(" lo") for topic in found)  # loopback is not checked


def test_down_adapter_is_named_with_the_command_that_raises_it(lab):
    client, _ = _setup(lab, mtu=9000)
    _ip("-n", client.name, "link", "add", "cvkdn0", "type", "veth", "peer", "name", "cvkdn1")
    found = _findings(client)
    down = found["adapter cvkdn0"]
    assert down["level"] == "warn" and "down" in down["message"]
    assert down["fix"] == "ip link set dev cvkdn0 up"


def test_receive_buffer_ceiling_of_the_namespace_against_what_streams_ask_for(lab):
    client, _ = _setup(lab, mtu=9000)
    rmem_max = _rmem_max(client)
    if rmem_max is None:
        pytest.skip("net.core.rmem_max is not readable here")
    buffer = _findings(client)["receive buffer"]
    assert buffer["level"] == ("warn" if rmem_max < 2**26 else "ok")
    assert f"net.core.rmem_max is {rmem_max} bytes" in buffer["message"]
    assert f"the {2**26} bytes" in buffer["message"]  # the automatic ceiling a stream asks for


@pytest.mark.parametrize("rmem_max, level", [(212992, "warn"), (2**26 - 1, "warn"),
                                             (2**26, "ok"), (2**31 - 1, "ok")])
def test_receive_buffer_ceiling_figures_and_fix(tmp_path, rmem_max, level):
    _tree(tmp_path, {"proc/sys/net/core/rmem_max": f"{rmem_max}\n"})
    (buffer,) = corvisk.check_host(_proc=str(tmp_path / "proc"), _sys=str(tmp_path / "sys"))
    assert buffer.topic == "receive buffer" and buffer.level == level
    assert f"net.core.rmem_max is {rmem_max} bytes" in buffer.message
    assert buffer.fix == (f"sysctl -w net.core.rmem_max={2**26}" if level == "warn" else "")


# ---- with a camera ---------------------------------------------------------------------------

def test_camera_behind_a_small_mtu_gets_route_packet_bandwidth_and_buffer_findings(lab):
    client, device = _setup(lab, mtu=1500)
    _camera(lab, device, "--width", "2048", "--height", "1536", "--frame-rate", "30")
    found = _findings(client, CAMERA, "{}")
    assert found[f"route {CAMERA}"]["level"] == "ok"
    assert "cvka0" in found[f"route {CAMERA}"]["message"]
    packets = found[f"packet size {CAMERA}"]
    assert packets["level"] == "warn" and "16380" in packets["message"]
    assert packets["fix"] == "ip link set dev cvka0 mtu 9000"
    bandwidth = found[f"bandwidth {CAMERA}"]
    assert bandwidth["level"] == "ok" and "10000 Mb/s" in bandwidth["message"]
    buffer, need = found[f"receive buffer {CAMERA}"], 2048 * 1536 * 4  # 2 frames, counted twice
    assert f"the {need} bytes" in buffer["message"] and "3145728-byte frames" in buffer["message"]
    if _rmem_max(client) < need:
        assert buffer["level"] == "warn"
        assert buffer["fix"] == f"sysctl -w net.core.rmem_max={need}"
    else:
        assert buffer["level"] == "ok"


# A 2048 x 1536 Mono8 frame in the simulator's 576-byte packets takes 3 577 000 bytes on the wire:
# 349.5 frames/s fill the veth's 10 Gb/s, above 314.5 frames/s (90 %) little room is left.
@pytest.mark.parametrize("writes, topic, level, fix_part", [
    ({"GevSCPSPacketSize": 8000}, "packet size", "error", "mtu 9000"),
    ({"AcquisitionFrameRate": 500.0}, "bandwidth", "error", "AcquisitionFrameRate"),
    ({"AcquisitionFrameRate": 330.0}, "bandwidth", "warn", "share_link"),
    # 30 frames/s need 107.3 MB/s: 10 us after each 614-byte packet allow 58.5 MB/s, and at most
    # 5.72 us (less the packet's own 0.49 us on the link) would do. 1 us allows 412 MB/s.
    ({"AcquisitionFrameRate": 30.0, "GevSCPD": 10_000}, "packet delay", "warn",
     "set GevSCPD to at most 5230 ticks"),
    ({"AcquisitionFrameRate": 30.0, "GevSCPD": 1_000}, "packet delay", "ok", ""),
])
def test_camera_settings_the_link_cannot_carry_are_errors(lab, writes, topic, level, fix_part):
    client, device = _setup(lab, mtu=1500)
    _camera(lab, device, "--width", "2048", "--height", "1536")
    found = _findings(client, CAMERA, json.dumps(writes))
    assert found[f"{topic} {CAMERA}"]["level"] == level
    assert fix_part in found[f"{topic} {CAMERA}"]["fix"]


def test_doctor_command_exit_status_follows_the_worst_finding(lab):
    client, device = _setup(lab, mtu=1500)
    _camera(lab, device)
    run = lambda *a: subprocess.run(client.exec_args(sys.executable, "-m", "corvisk", "doctor",
                                                     *a), capture_output=True, text=True,
                                    timeout=60)
    host = run()
    assert host.returncode == 0, host.stderr  # warnings only
    assert "[warn] adapter cvka0:" in host.stdout
    assert "    fix: ip link set dev cvka0 mtu 9000" in host.stdout
    assert ": 0 errors, " in host.stdout.splitlines()[-1]
    camera = run(CAMERA, "--json")
    assert camera.returncode == 0, camera.stderr
    topics = {f["topic"]: f["level"] for f in json.loads(camera.stdout)}
    assert topics[f"route {CAMERA}"] == "ok"
    missing = run("10.61.0.9")  # on the subnet, nobody there
    assert missing.returncode == 1
    assert missing.stderr.startswith("error: no camera answered at 10.61.0.9")


def test_unrouted_camera_is_an_error(lab):
    client, _ = _setup(lab)
    r = client.python("from corvisk.hostcheck import route_adapter as r\n"
                      "print(r('10.61.0.7'), r('10.99.0.1'), r('10.61.0.1'), r('127.0.0.9'))")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["cvka0", "None", "lo", "lo"]


# ---- files missing or malformed --------------------------------------------------------------

def _tree(root: Path, files: dict) -> None:
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if text is None:
            path.mkdir()  # reads fail, as an adapter's speed does without a link
        else:
            path.write_text(text)


# None: a speed file that cannot be read; False: none at all.
@pytest.mark.parametrize("speed, expected", [("1000\n", 1000), ("-1\n", None), (None, None),
                                             (False, None), ("fast", None), ("0", None)])
def test_link_speed_unknown_rather_than_error(tmp_path, speed, expected):
    files = {"net/eth9/mtu": "1500\n", "net/eth9/flags": "0x1003\n", "net/eth9/operstate": "up"}
    if speed is not False:
        files["net/eth9/speed"] = speed
    _tree(tmp_path, files)
    (adapter,) = corvisk.hostcheck.adapters(sys_net=str(tmp_path / "net"),
                                            ipv4_conf=str(tmp_path / "conf"))
    assert adapter.speed_mbps == expected and adapter.up and adapter.rp_filter is None
    assert adapter.link_bytes_per_s == (None if expected is None else expected * 125000)


def test_missing_files_give_unknown_findings_not_errors(tmp_path):
    _tree(tmp_path, {"sys/class/net/eth9/mtu": "mtu?", "sys/class/net/eth9/flags": "zz",
                     "sys/class/net/notadapter/uevent": "", "proc/net/route": "garbage\nx y\n"})
    findings = corvisk.check_host(_proc=str(tmp_path / "proc"), _sys=str(tmp_path / "sys"))
    by_topic = {f.topic: f for f in findings}
    assert by_topic["receive buffer"].level == "ok"
    assert "unknown" in by_topic["receive buffer"].message
    assert by_topic["adapter eth9"].level == "warn"  # flags unreadable: not known to be up
    assert "notadapter" not in str(findings)
    assert corvisk.hostcheck.route_adapter("10.0.0.1", proc_net=str(tmp_path / "proc/net")) \
        is None
    assert corvisk.check_host(_proc="/nonexistent", _sys="/nonexistent")[0].level == "ok"


def test_finding_prints_its_fix_below_it():
    f = corvisk.Finding("warn", "adapter eth0", "MTU 1500", "ip link set dev eth0 mtu 9000")
    assert str(f) == "[warn] adapter eth0: MTU 1500\n    fix: ip link set dev eth0 mtu 9000"
    assert str(corvisk.Finding("ok", "t", "m")) == "[ok] t: m"


def test_doctor_without_camera_runs_in_process(capsys):
    status = main(["doctor"])
    out = capsys.readouterr().out
    assert status in (0, 1)
    assert out.splitlines()[-1].endswith("warnings") and "receive buffer" in out


# Runs in the client namespace: one snap with the packet size negotiated, then what was chosen.
SNAP = """
import json, sys, corvisk
cam = corvisk.Camera(sys.argv[1])
cam.connect()
frame = cam.snap(5.0)
print(json.dumps([frame.is_complete, cam.get_integer("GevSCPSPacketSize")]))
"""


@pytest.mark.parametrize("mtu", [1500, 4000])
def test_negotiated_packet_size_fits_the_link(lab, mtu):
    # The camera's test packets carry don't-fragment: a link narrower than one drops it, so
    # the search settles on a size the link carries whole instead of a fragmenting one.
    client, device = _setup(lab, mtu=mtu)
    _ip("-n", device.name, "link", "set", "cvkb0", "mtu", str(mtu))
    _camera(lab, device, "--width", "640", "--height", "480")
    r = subprocess.run(client.exec_args(sys.executable, "-c", SNAP, CAMERA), capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    complete, size = json.loads(r.stdout)
    assert complete and mtu - 64 < size <= mtu
