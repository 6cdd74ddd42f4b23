"""discover() end to end, inside network namespaces joined by veth pairs.

The client namespace runs `corvisk.discover()` in a child interpreter; device namespaces run
the discovery responder. Nothing is ever sent on the host's own adapters.
"""

import json
import subprocess
import sys

import pytest

from netns import DeviceRecord, answered_sources, start_discovery_responder
from test_camera_connect import find_sim

# Runs in the client namespace; prints the devices (or the error) as JSON.
CLIENT = """
import json, sys, corvisk
try:
    devices = corvisk.discover({timeout})
except corvisk.CameraError as e:
    print(json.dumps({{"error": str(e), "class": type(e).__name__,
                      "same": type(e) is corvisk._corvisk_core.CameraError}}))
    sys.exit(0)
props = {props!r}
print(json.dumps({{"devices": [dict({{p: getattr(d, p) for p in props}}, repr=repr(d))
                               for d in devices]}}))
"""

PROPERTIES = ["ip", "mac", "model", "serial", "gateway", "subnet_mask", "manufacturer",
              "spec_version", "device_version", "manufacturer_info", "user_defined_name"]


def run_discover(ns, timeout=0.5):
    r = ns.python(CLIENT.format(timeout=timeout, props=PROPERTIES))
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def client_and_device(lab, subnet=0):
    client, device = lab.namespace(), lab.namespace()
    lab.link(client, f"10.231.{subnet}.1/24", device, f"10.231.{subnet}.2/24")
    return client, device


def test_finds_device_with_its_fields(lab):
    client, device = client_and_device(lab)
    record = DeviceRecord()
    start_discovery_responder(lab, device, record.encode())
    result = run_discover(client)
    assert result == {"devices": [{
        "ip": "10.231.0.2", "mac": "00:1a:2b:3c:4d:5e", "model": "CamModel", "serial": "S123",
        "gateway": "10.231.0.254", "subnet_mask": "255.255.255.0", "manufacturer": "VendorX",
        "spec_version": [2, 1], "device_version": "1.2.3",
        "manufacturer_info": "made for tests", "user_defined_name": "bench",
        "repr": "DeviceInfo(VendorX CamModel serial=S123 ip=10.231.0.2)",
    }]}


@pytest.mark.skipif(find_sim() is None, reason="corvisk-sim is not built")
def test_finds_the_simulated_camera(lab):
    client, device = client_and_device(lab)
    sim = lab.spawn(device, find_sim(), "--ip", "10.231.0.2", "--subnet", "255.255.255.0",
                    "--serial", "NS-1", "--mac", "02:00:5e:10:00:07")
    assert sim.read_until(lambda lines: any("ready" in line for line in lines)), sim.lines
    (found,) = run_discover(client)["devices"]
    assert found["ip"] == "10.231.0.2"
    assert found["mac"] == "02:00:5e:10:00:07"
    assert found["serial"] == "NS-1"
    assert found["repr"] == "DeviceInfo(Corvisk SimCam-1 serial=NS-1 ip=10.231.0.2)"


def test_full_width_and_invalid_utf8_names(lab):
    client, device = client_and_device(lab)
    payload = bytearray(DeviceRecord().encode())
    payload[104:136] = b"M" * 32  # model: no terminating zero, all 32 bytes count
    payload[216:220] = b"S\xff1\0"  # serial: an invalid byte becomes U+FFFD
    start_discovery_responder(lab, device, bytes(payload))
    (found,) = run_discover(client)["devices"]
    assert found["model"] == "M" * 32
    assert found["serial"] == "S\ufffd1"


@pytest.mark.parametrize("same_mac", [True, False], ids=["same-mac", "two-devices"])
def test_devices_on_two_adapters(lab, same_mac):
    client, dev_a, dev_b = lab.namespace(), lab.namespace(), lab.namespace()
    lab.link(client, "10.231.1.1/24", dev_a, "10.231.1.2/24")
    lab.link(client, "10.231.2.1/24", dev_b, "10.231.2.2/24")
    mac_b = "00:1a:2b:3c:4d:5e" if same_mac else "00:1a:2b:3c:4d:5f"
    a = start_discovery_responder(lab, dev_a, DeviceRecord(ip="10.231.1.2").encode())
    b = start_discovery_responder(lab, dev_b,
                                  DeviceRecord(ip="10.231.2.2", mac=mac_b).encode())
    devices = run_discover(client)["devices"]
    # Both adapters really got an answer, so any merging was done by discover().
    assert a.read_until(lambda _: "10.231.1.1" in answered_sources(a))
    assert b.read_until(lambda _: "10.231.2.1" in answered_sources(b))
    if same_mac:
        assert len(devices) == 1
        assert devices[0]["ip"] in ("10.231.1.2", "10.231.2.2")
    else:
        assert sorted(d["mac"] for d in devices) == ["00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5f"]


@pytest.mark.parametrize("payload,status,ack", [
    (DeviceRecord().encode(), 0x8001, 0x0003),  # error status
    (DeviceRecord().encode()[:247], 0x0000, 0x0003),  # record one byte short
    (DeviceRecord().encode(), 0x0000, 0x0081),  # not a DISCOVERY_ACK
], ids=["status-0x8001", "short-record", "wrong-ack"])
def test_invalid_answers_are_ignored(lab, payload, status, ack):
    client, device = client_and_device(lab)
    responder = start_discovery_responder(lab, device, payload, status=status, ack=ack)
    assert run_discover(client) == {"devices": []}
    assert responder.read_until(lambda _: "10.231.0.1" in answered_sources(responder))


def test_only_loopback_is_an_io_error(lab):
    client = lab.namespace()
    assert run_discover(client) == {
        "error": "io error: no usable network adapter for discovery",
        "class": "CameraException", "same": True}


def test_zero_timeout_returns_empty_list(lab):
    client, device = client_and_device(lab)
    start_discovery_responder(lab, device, DeviceRecord().encode())
    assert run_discover(client, timeout=0) == {"devices": []}


# Other Python threads must keep running while discover() waits on the network.
GIL_PROBE = """
import threading, time, corvisk
marks, done = [], threading.Event()
def spin():
    while not done.is_set():
        marks.append(time.monotonic())
        time.sleep(0.002)
t = threading.Thread(target=spin)
t.start()
start = time.monotonic()
corvisk.discover(0.5)
end = time.monotonic()
done.set()
t.join()
print(sum(start + 0.1 < m < end - 0.1 for m in marks), round(end - start, 3))
"""


def test_gil_released_during_network_wait(lab):
    client, _ = client_and_device(lab)
    r = client.python(GIL_PROBE)
    assert r.returncode == 0, r.stderr
    ticks, elapsed = r.stdout.split()
    assert float(elapsed) >= 0.5
    assert int(ticks) > 10, f"only {ticks} ticks of the other thread during discover()"


# Repeated runs must give back every socket and every object they made.
LEAK_PROBE = """
import gc, os, sys, corvisk
def run():
    for _ in range(10):
        (d,) = corvisk.discover(0.05)
        repr(d), d.ip, d.mac, d.spec_version
    try:
        corvisk.discover(-1)
    except ValueError:
        pass
run()
gc.collect()
fds, blocks = len(os.listdir("/proc/self/fd")), sys.getallocatedblocks()
for _ in range(3):
    run()
gc.collect()
print(len(os.listdir("/proc/self/fd")) - fds, sys.getallocatedblocks() - blocks)
"""


def test_repeated_discovery_leaks_nothing(lab):
    client, device = client_and_device(lab)
    start_discovery_responder(lab, device, DeviceRecord().encode())
    r = client.python(LEAK_PROBE)
    assert r.returncode == 0, r.stderr
    fd_delta, block_delta = map(int, r.stdout.split())
    assert fd_delta == 0
    assert block_delta < 20, f"{block_delta} Python blocks not freed after 30 discover() runs"


def test_cli_discover_lists_the_device(lab):
    client, device = client_and_device(lab)
    start_discovery_responder(lab, device, DeviceRecord().encode())
    r = subprocess.run(client.exec_args(sys.executable, "-m", "corvisk", "discover", "--timeout",
                                        "0.3"), capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["10.231.0.2", "00:1a:2b:3c:4d:5e", "VendorX", "CamModel",
                                "serial=S123", "GigE", "Vision", "2.1"]


def test_cli_discover_reports_no_adapter(lab):
    client = lab.namespace()
    r = subprocess.run(client.exec_args(sys.executable, "-m", "corvisk", "discover"),
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1
    assert r.stderr.strip() == "error: io error: no usable network adapter for discovery"


# Ctrl-C ends a long discovery at once.
INTERRUPT_PROBE = """
import os, signal, threading, time, corvisk
sent = []
def fire():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(0.3, fire).start()
try:
    corvisk.discover(30.0)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", round(time.monotonic() - sent[0], 3))
"""


def test_ctrl_c_ends_discovery(lab):
    client, _ = client_and_device(lab)
    r = client.python(INTERRUPT_PROBE)
    assert r.returncode == 0, r.stderr
    outcome, delay = r.stdout.split()
    assert outcome == "interrupted"
    assert float(delay) < 0.2
