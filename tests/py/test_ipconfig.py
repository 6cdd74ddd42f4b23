"""Discovery of devices that answer by broadcast, and IP configuration (FORCEIP, persistent
address), end to end with corvisk-sim inside network namespaces joined by veth pairs.

Each client-side call runs in a child interpreter inside the client namespace, so discovery
and every broadcast stay on the test's own links.
"""

import json
import subprocess
import sys

import pytest

import corvisk
from netns import _ip
from test_camera_connect import find_sim

SIM = find_sim()
needs_sim = pytest.mark.skipif(SIM is None, reason="corvisk-sim is not built")

# Runs `body` in the client namespace; it sets `out`, printed as JSON ({"error": ...} when a
# CameraError escapes).
CLIENT = """
import json, corvisk
out = None
try:
{body}
except corvisk.CameraError as e:
    out = {{"error": str(e)}}
print(json.dumps(out))
"""


def run_client(ns, body, timeout=30.0):
    code = CLIENT.format(body="\n".join("    " + line for line in body.strip().splitlines()))
    r = ns.python(code, timeout=timeout)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.strip().splitlines()[-1])


FIND = """
out = [dict(mac=d.mac, ip=d.ip, adapter_ip=d.adapter_ip, source=d.source.split(':')[0],
            reachable=d.reachable) for d in corvisk.find_devices(0.4)]
"""


def start_sim(lab, ns, ip, mask, mac, reply="unicast", *extra):
    sim = lab.spawn(ns, SIM, "--ip", ip, "--subnet", mask, "--mac", mac,
                    "--discovery-reply", reply, "--frame-rate", "5", *extra)
    assert sim.read_until(lambda lines: any("ready" in line for line in lines)), sim.lines
    return sim


@needs_sim
@pytest.mark.parametrize("client_cidr,device_cidr,reply", [
    ("10.27.0.1/24", "10.27.0.2/24", "unicast"),
    ("10.27.0.1/24", "10.27.0.2/24", "limited"),
    ("10.27.0.1/24", "10.27.0.2/24", "subnet"),
    ("10.27.0.1/24", "192.168.27.7/24", "limited"),  # wrong subnet: only a broadcast gets back
    ("169.254.10.1/16", "169.254.20.2/16", "unicast"),  # link-local on both sides
    ("10.27.0.1/24", "169.254.20.2/16", "limited"),  # link-local device, routed adapter
], ids=["unicast", "limited", "subnet", "wrong-subnet", "link-local", "link-local-device"])
def test_discovery_hears_every_answer_form(lab, client_cidr, device_cidr, reply):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, client_cidr, device, device_cidr)
    device_ip, mask_len = device_cidr.split("/")
    mask = str(__import__("ipaddress").IPv4Network(f"0.0.0.0/{mask_len}").netmask)
    start_sim(lab, device, device_ip, mask, "02:00:5e:27:00:01", reply)
    (found,) = run_client(client, FIND)
    assert found["mac"] == "02:00:5e:27:00:01"
    assert found["ip"] == device_ip
    assert found["adapter_ip"] == client_cidr.split("/")[0]
    assert found["source"] == device_ip
    assert found["reachable"] == (client_cidr.split(".")[:2] == device_cidr.split(".")[:2])
    # The module-level discover() hears the same answer.
    ips = run_client(client, "out = [d.ip for d in corvisk.discover(0.4)]")
    assert ips == [device_ip]


@needs_sim
def test_broadcast_answers_on_two_adapters_are_attributed_to_each(lab):
    client, dev_a, dev_b = lab.namespace(), lab.namespace(), lab.namespace()
    lab.link(client, "10.27.1.1/24", dev_a, "192.168.1.7/24")
    lab.link(client, "10.27.2.1/24", dev_b, "192.168.2.7/24")
    start_sim(lab, dev_a, "192.168.1.7", "255.255.255.0", "02:00:5e:27:01:01", "limited")
    start_sim(lab, dev_b, "192.168.2.7", "255.255.255.0", "02:00:5e:27:02:01", "limited")
    found = sorted(run_client(client, FIND), key=lambda d: d["mac"])
    assert [(d["mac"], d["ip"], d["adapter_ip"], d["reachable"]) for d in found] == [
        ("02:00:5e:27:01:01", "192.168.1.7", "10.27.1.1", False),
        ("02:00:5e:27:02:01", "192.168.2.7", "10.27.2.1", False),
    ]


FORCE_AND_CONNECT = """
before = corvisk.find_devices(0.4)
try:
    corvisk.Camera(before[0].ip, gvcp_timeout=0.05, retries=0).connect()
    unreachable = None
except corvisk.CameraError as e:
    unreachable = str(e)
moved = corvisk.force_ip(before[0].mac, "10.27.0.2", "255.255.255.0", "10.27.0.254")
cam = corvisk.Camera(moved.ip)
cam.connect()
width = cam.get_integer("Width")
info = cam.device_info()
frame = cam.snap(5.0)
complete = frame.is_complete
cam.disconnect()
out = dict(before=before[0].ip, reachable=before[0].reachable, unreachable=unreachable,
           moved=[moved.ip, moved.subnet_mask, moved.gateway, moved.adapter_ip],
           width=width, info=[info.ip, info.subnet_mask, info.gateway], complete=complete)
"""


@needs_sim
def test_force_ip_moves_a_wrong_subnet_device_and_connect_then_works(lab):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.27.0.1/24", device, "192.168.27.7/24")
    # The address FORCEIP will give the device exists on its side of the link, so the
    # simulator can take it; it answers only from 192.168.27.7 until told to move.
    _ip("-n", device.name, "addr", "add", "10.27.0.2/24", "dev", "cvkb0")
    sim = start_sim(lab, device, "192.168.27.7", "255.255.255.0", "02:00:5e:27:00:09",
                    "limited")
    out = run_client(client, FORCE_AND_CONNECT)
    assert out["before"] == "192.168.27.7" and out["reachable"] is False
    assert out["unreachable"].startswith("io error: ")
    assert "python -m corvisk ip force" in out["unreachable"]
    assert out["moved"] == ["10.27.0.2", "255.255.255.0", "10.27.0.254", "10.27.0.1"]
    assert out["width"] == 640
    assert out["complete"] is True  # streaming works after the move
    assert out["info"] == ["10.27.0.2", "255.255.255.0", "10.27.0.254"]
    assert sim.read_until(lambda lines: "corvisk-sim moved to 10.27.0.2" in lines)


def cli(ns, *args, timeout=30.0):
    return subprocess.run(ns.exec_args(sys.executable, "-m", "corvisk", *args),
                          capture_output=True, text=True, timeout=timeout)


@needs_sim
def test_cli_lists_forces_and_sets_the_persistent_address(lab):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.27.0.1/24", device, "192.168.27.7/24")
    _ip("-n", device.name, "addr", "add", "10.27.0.3/24", "dev", "cvkb0")
    start_sim(lab, device, "192.168.27.7", "255.255.255.0", "02:00:5e:27:00:0a", "limited")
    r = cli(client, "ip", "list", "--timeout", "0.4")
    assert r.returncode == 0, r.stderr
    assert "192.168.27.7" in r.stdout and "via cvka0 (10.27.0.1)" in r.stdout
    assert "ip force" in r.stdout  # the other-subnet hint
    r = cli(client, "ip", "force", "02:00:5e:27:00:0a", "10.27.0.3", "255.255.255.0")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == ("02:00:5e:27:00:0a now at 10.27.0.3 mask 255.255.255.0 "
                                "gateway 0.0.0.0 via cvka0")
    r = cli(client, "ip", "persistent", "10.27.0.3", "--set", "10.27.0.3", "255.255.255.0",
            "10.27.0.254", "--mode", "persistent,dhcp")
    assert r.returncode == 0, r.stderr
    # Link-local stays on: the device does not let it be switched off.
    assert r.stdout.strip() == ("persistent 10.27.0.3 mask 255.255.255.0 gateway 10.27.0.254 "
                                "mode persistent,dhcp,lla")
    r = cli(client, "ip", "persistent", "10.27.0.3", "--mode", "lla")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().endswith("mode lla")


@needs_sim
def test_force_ip_to_an_absent_device_fails_with_a_timeout(lab):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.27.0.1/24", device, "10.27.0.2/24")
    start_sim(lab, device, "10.27.0.2", "255.255.255.0", "02:00:5e:27:00:0b")
    out = run_client(client, """
out = corvisk.force_ip("02:00:5e:27:00:ff", "10.27.0.9", "255.255.255.0", adapter="cvka0",
                       timeout=0.3)
""")
    assert out == {"error": "timed out waiting for acknowledge"}
    # The absent MAC is looked for first when no adapter is named.
    out = run_client(client, """
out = corvisk.force_ip("02:00:5e:27:00:ff", "10.27.0.9", "255.255.255.0", timeout=0.3)
""")
    assert out == {"error": "no device with MAC 02:00:5e:27:00:ff answered discovery"}


@pytest.mark.parametrize("args,message", [
    (("00:1a:2b:3c:4d", "10.0.0.2", "255.255.255.0"), "invalid MAC address"),
    (("00:1a:2b:3c:4d:zz", "10.0.0.2", "255.255.255.0"), "invalid MAC address"),
    (("00:1a:2b:3c:4d:5e", "10.0.0.256", "255.255.255.0"), "invalid IP address"),
    (("00:1a:2b:3c:4d:5e", "10.0.0.2", "255.0.255.0"), "not contiguous"),
    (("00:1a:2b:3c:4d:5e", "10.0.0.255", "255.255.255.0"), "broadcast address"),
    (("00:1a:2b:3c:4d:5e", "224.0.0.1", "255.255.255.0"), "cannot be a device address"),
])
def test_force_ip_refuses_malformed_arguments_before_sending(args, message):
    with pytest.raises(ValueError, match=message):
        corvisk.force_ip(*args, adapter="lo")


def test_native_force_ip_checks_sizes_and_timeouts():
    ext = corvisk._corvisk_ext
    good = (bytes(6), bytes(4), bytes(4), bytes(4), "lo")
    with pytest.raises(ValueError, match="mac must be 6 bytes"):
        ext.force_ip(bytes(5), *good[1:], 1.0)
    for bad in (float("nan"), -1.0, 1e9):
        with pytest.raises(ValueError, match="timeout"):
            ext.force_ip(*good, bad)


# Ctrl-C 0.3 s into a 30 s call: the call must end within one wait slice of it.
INTERRUPTIBLE = """
import os, signal, threading, time, corvisk
call = {call}
start = time.monotonic()
threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
try:
    call()
    print("returned", flush=True)
except KeyboardInterrupt:
    print(f"interrupted {{time.monotonic() - start:.3f}}", flush=True)
"""


@pytest.mark.parametrize("call", [
    'lambda: corvisk.force_ip("02:00:5e:27:00:fe", "10.27.0.9", "255.255.255.0", '
    'adapter="cvka0", timeout=30)',
    "lambda: corvisk.find_devices(30)",
], ids=["force_ip", "find_devices"])
def test_long_waits_end_promptly_on_ctrl_c(lab, call):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.27.0.1/24", device, "10.27.0.2/24")
    proc = lab.spawn(client, sys.executable, "-c", INTERRUPTIBLE.format(call=call))
    assert proc.read_until(lambda lines: any(l.startswith("interrupted") for l in lines),
                           timeout=10.0), proc.lines
    (line,) = [l for l in proc.lines if l.startswith("interrupted")]
    assert 0.3 <= float(line.split()[1]) < 0.8


@needs_sim
def test_force_ip_zero_restarts_the_address_cycle_and_keeps_the_device_reachable(lab):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, "10.27.0.1/24", device, "10.27.0.2/24")
    start_sim(lab, device, "10.27.0.2", "255.255.255.0", "02:00:5e:27:00:0c")
    out = run_client(client, """
d = corvisk.force_ip("02:00:5e:27:00:0c", "0.0.0.0", "0.0.0.0", adapter="10.27.0.1")
out = [d.ip, d.adapter, sorted(m.name for m in corvisk.IpConfigMode if m in d.ip_config_current)]
""")
    assert out == ["10.27.0.2", "cvka0", ["LINK_LOCAL", "PERSISTENT"]]
