"""The live view's HTTP endpoints (urllib against corvisk.view.serve) and its command, against
corvisk-sim: frames as PNG of the simulator's pattern, state and histogram, controls from the
description, checked writes, stream restarts for ROI/PixelFormat, refused requests, and a clean
shutdown.

Each test serves its own simulated camera on 127.32.1.x.
"""

import http.client
import json
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import corvisk
import corvisk.view
from browser import Png
from test_camera_connect import ROOT, SIM, needs_sim, open_fds, sim, wait_for  # noqa: F401

pytestmark = needs_sim

DESCRIPTIONS = Path(os.environ.get("CORVISK_DESCRIPTIONS", ROOT.parent / "shared" / "descriptions"))


@pytest.fixture
def view(sim):
    """Factory: view(ip, *sim_options) serves a connected camera; everything closed after."""
    opened = []

    def start(ip, *options, **serve_options):
        sim(ip, "--frame-rate", "30", *options)
        cam = corvisk.Camera(ip)
        cam.connect()
        server = corvisk.view.serve(cam, **serve_options)
        opened.append((server, cam))
        return server, cam

    yield start
    for server, cam in opened:
        server.close()
        cam.disconnect()


def get(server, path, headers=None):
    """(status, headers, body) of one GET."""
    request = urllib.request.Request(server.url.rstrip("/") + path, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def get_json(server, path):
    status, _, body = get(server, path)
    assert status == 200, body
    return json.loads(body)


def post(server, body, path="/features", headers=None, method="POST"):
    """(status, answer) of one request with a JSON (or raw bytes) body."""
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(server.url.rstrip("/") + path, data=data, method=method,
                                     headers={"Content-Type": "application/json",
                                              **(headers or {})})
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")


def frame_after(server, seq=0):
    """(seq, frame id, Png) of the first frame newer than `seq`."""
    status, headers, body = get(server, f"/frame.png?after={seq}")
    assert status == 200
    return int(headers["X-Frame-Seq"]), int(headers["X-Frame-Id"]), Png(body)


def test_frames_are_pngs_of_the_pattern_and_state_counts_them(view):
    server, cam = view("127.32.1.1", "--frame-rate", "50", "--width", "320", "--height", "64")
    assert server.url.startswith("http://127.0.0.1:") and repr(server).endswith("serving)")
    status, headers, page = get(server, "/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    assert b"corvisk live view" in page and headers["Cache-Control"] == "no-store"
    seq, frame_id, png = frame_after(server)
    assert (png.width, png.height, png.channels) == (320, 64, 1)
    # GreyDiagonalRampMoving: byte i of block b is (i + b) mod 256.
    assert png.rows[5] == bytes((5 * 320 + x + frame_id) % 256 for x in range(320))
    seq2, frame_id2, _ = frame_after(server, seq)
    assert seq2 > seq and frame_id2 != frame_id
    assert wait_for(lambda: get_json(server, "/state.json")["fps"] > 20, 10)
    state = get_json(server, "/state.json")
    assert 20 < state["fps"] < 80 and state["mbps"] == pytest.approx(state["fps"] * 0.02048,
                                                                     rel=0.2)
    assert state["acquiring"] and state["error"] == "" and state["incomplete"] == 0
    assert state["stats"]["completed_frames"] >= 2 and state["stats"]["frames_dropped"] == 0
    assert state["frame"]["pixel_format"] == "Mono8" and state["frame"]["status"] == "Complete"
    hist = state["histogram"]
    assert hist["channels"] == ["grey"] and len(hist["bins"][0]) == 256
    assert sum(hist["bins"][0]) == 320 * 64 and max(hist["bins"][0]) == 80  # a flat ramp
    assert state["device"]["ip"] == "127.32.1.1" and state["device"]["model"] == "SimCam-1"


@pytest.mark.parametrize("with_numpy", [True, False], ids=["numpy", "stdlib"])
@pytest.mark.parametrize("fmt, channels", [("Mono8", 1), ("RGB8", 3)])
@pytest.mark.parametrize("query, max_width, step", [
    ("", 1280, 1),
    ("&width=300", 1280, 2),  # shown 300 wide: halved, still wider than shown
    ("&width=100", 200, 6),
])
def test_frames_are_scaled_towards_the_shown_size(view, monkeypatch, with_numpy, fmt,
                                                  channels, query, max_width, step):
    if not with_numpy:
        monkeypatch.setattr(corvisk.view, "_numpy", lambda: None)
    server, _ = view("127.32.1.15", "--pixel-format", fmt, max_width=max_width)
    status, headers, body = get(server, f"/frame.png?after=0{query}")
    png, block = Png(body), int(headers["X-Frame-Id"])
    assert (png.width, png.height, png.channels) == (-(-640 // step), -(-480 // step), channels)
    for y in (0, 7, png.height - 1):  # pixel (x, y) is the camera's (x * step, y * step)
        start = y * step * 640 * channels
        expected = bytearray()
        for x in range(png.width):
            i = start + x * step * channels
            expected += bytes((i + k + block) % 256 for k in range(channels))
        assert png.rows[y] == expected


@pytest.mark.parametrize("channels", [1, 3])
def test_histograms_agree_with_and_without_numpy(monkeypatch, channels):
    data = bytearray(os.urandom(channels * 300_000))  # more than HISTOGRAM_SAMPLES pixels
    with_numpy = corvisk.view.histogram(data, channels)
    monkeypatch.setattr(corvisk.view, "_numpy", lambda: None)
    assert corvisk.view.histogram(data, channels) == with_numpy
    assert [sum(bins) for bins in with_numpy] == [150_000] * channels  # every 2nd pixel
    assert with_numpy[0][data[0]] >= 1 and len(with_numpy[0]) == 256


def test_frames_with_lost_packets_are_shown_and_counted(view):
    # Payload packet 3 of every frame is lost, and the camera cannot send it again.
    server, _ = view("127.32.1.16", "--drop-packets", "0:3", "--no-resend")
    seq, _, png = frame_after(server)
    assert (png.width, png.height) == (640, 480)  # shown with its hole
    state = get_json(server, "/state.json")
    assert state["frame"]["status"] == "MissingPackets" and state["frame"]["error"] == ""
    assert state["incomplete"] == state["frames"] >= 1
    assert state["stats"]["failed_frames"] >= 1 and state["stats"]["resend_requests"] == 0


def test_a_frame_waits_for_a_newer_one_and_a_stopped_page_gets_none(view):
    server, _ = view("127.32.1.2", "--frame-rate", "20")
    seq, _, _ = frame_after(server)
    status, _, body = get(server, f"/frame.png?after={seq + 10**9}")
    assert (status, body) == (204, b"")  # none within the wait
    for query in ("after=x", "after=-1", "width=8", "width=1e3"):
        assert get(server, f"/frame.png?{query}")[0] == 400


def test_controls_come_from_the_description_and_absent_ones_are_left_out(view):
    server, cam = view("127.32.1.3")
    controls = {c["name"]: c for c in get_json(server, "/features.json")["features"]}
    assert list(controls) == ["ExposureTime", "Gain", "AcquisitionFrameRate", "Width", "Height",
                              "OffsetX", "OffsetY", "PixelFormat"]  # the simulator has no trigger
    exposure = controls["ExposureTime"]
    assert (exposure["type"], exposure["unit"], exposure["writable"]) == ("Float", "us", True)
    assert (exposure["min"], exposure["max"]) == cam.float_bounds("ExposureTime")
    assert exposure["value"] == cam.get_float("ExposureTime")
    width = controls["Width"]  # locked by the running acquisition, yet offered: writes restart
    assert (width["type"], width["access"], width["writable"]) == ("Integer", "RO", True)
    assert (width["min"], width["max"]) == cam.integer_bounds("Width") and width["inc"] == 4
    assert controls["PixelFormat"]["entries"] == cam.enum_entries("PixelFormat")


@pytest.mark.parametrize("name, value, shape", [
    ("Width", 320, (320, 480, 1)),
    ("Height", 100, (640, 100, 1)),
    ("PixelFormat", "RGB8", (640, 480, 3)),
    ("PixelFormat", "BayerRG12p", (640, 480, 3)),  # demosaiced
    ("PixelFormat", "Mono12", (640, 480, 1)),
    ("PixelFormat", "YUV422_8", (640, 480, 3)),
])
def test_layout_writes_restart_the_stream_with_the_new_image(view, name, value, shape):
    server, cam = view("127.32.1.4", "--frame-rate", "50")
    seq, _, _ = frame_after(server)
    status, answer = post(server, {"name": name, "value": value})
    assert status == 200, answer
    assert answer["feature"]["value"] == value
    read = cam.get_enum if isinstance(value, str) else cam.get_integer
    assert read(name) == value
    state = get_json(server, "/state.json")
    assert state["restarts"] == 1 and state["error"] == ""
    # Frames of the old stream may still be queued; the new stream's follow within a few.
    for _ in range(20):
        seq, _, png = frame_after(server, seq)
        if (png.width, png.height, png.channels) == shape:
            break
    assert (png.width, png.height, png.channels) == shape
    assert get_json(server, "/state.json")["frame"]["pixel_format"] == cam.get_enum(
        "PixelFormat")


def test_plain_writes_leave_the_stream_running(view):
    server, cam = view("127.32.1.5", "--frame-rate", "50")
    for name, value in (("ExposureTime", 2500.5), ("Gain", 3), ("OffsetX", 16)):
        status, answer = post(server, {"name": name, "value": value})
        assert status == 200 and answer["feature"]["value"] == value
    assert cam.get_float("ExposureTime") == 2500.5 and cam.get_float("Gain") == 3.0
    assert cam.get_integer("OffsetX") == 16
    assert get_json(server, "/state.json")["restarts"] == 0


@pytest.mark.parametrize("body, status, error", [
    ({"name": "ExposureTime", "value": "fast"}, 400, 'ExposureTime takes a number, not "fast"'),
    ({"name": "ExposureTime", "value": True}, 400, "ExposureTime takes a number, not true"),
    ({"name": "ExposureTime", "value": 1e300}, 400,
     "ExposureTime = 1e+300 is out of range: ExposureTime takes 10..1e+06"),
    ({"name": "ExposureTime"}, 400, "ExposureTime takes a number, not null"),
    ({"name": "Width", "value": 322}, 400,
     "Width = 322 is not a valid step: Width takes 16..2048 in steps of 4"),
    ({"name": "Width", "value": 64.5}, 400, "Width takes an integer, not 64.5"),
    ({"name": "Width", "value": 1 << 64}, 400,
     "Width = 18446744073709551616 does not fit a 64-bit integer"),
    ({"name": "Width", "value": 4096}, 400,
     "Width = 4096 is out of range: Width takes 16..2048"),
    ({"name": "PixelFormat", "value": "Mono13"}, 400,
     'PixelFormat has no entry "Mono13"; choose one of Mono8, '),
    ({"name": "DeviceVendorName", "value": "x"}, 404,
     "DeviceVendorName is not one of this page's controls"),
    ({"name": "Widht", "value": 1}, 404, "Widht is not one of this page's controls"),
    ({"name": "Width", "value": 320, "extra": 1}, 400, "unexpected keys: extra"),
    ({"value": 1}, 400, 'send {"name": FEATURE, "value": VALUE}'),
    ([1, 2], 400, 'send {"name": FEATURE, "value": VALUE}'),
    (b"{not json", 400, "the body is not valid JSON: "),
    (b"\xff\xfe", 400, "the body is not valid JSON: "),
    (b"x" * (corvisk.view.MAX_BODY + 1), 413, "request body of 16385 bytes is too large "
                                              "(at most 16384)"),
], ids=lambda v: None if not isinstance(v, bytes) else repr(v[:10]))
def test_bad_writes_are_refused_and_the_stream_goes_on(view, body, status, error):
    server, cam = view("127.32.1.6", "--frame-rate", "50")
    before = cam.get_integer("Width"), cam.get_float("ExposureTime")
    seq, _, _ = frame_after(server)
    got_status, answer = post(server, body)
    assert got_status == status
    assert answer["error"].startswith(error) if error.endswith(" ") else answer["error"] == error
    assert (cam.get_integer("Width"), cam.get_float("ExposureTime")) == before
    assert frame_after(server, seq)[0] > seq  # still streaming
    assert get_json(server, "/state.json")["restarts"] == 0  # refused before stopping anything


def test_a_device_refusing_a_write_is_shown_and_the_stream_goes_on(view):
    # The device answers every write to ExposureTime's register with "access denied".
    server, cam = view("127.32.1.7", "--frame-rate", "50", "--nak", "0x82@0x10040=0x8006",
                       "--nak", "0x86@0x10040=0x8006")
    seq, _, _ = frame_after(server)
    status, answer = post(server, {"name": "ExposureTime", "value": 2000.0})
    assert status == 409 and answer["error"].startswith("cannot set ExposureTime: ")
    assert frame_after(server, seq)[0] > seq


@pytest.mark.parametrize("method, path, headers, status", [
    ("PUT", "/features", {}, 405),
    ("DELETE", "/", {}, 405),
    ("OPTIONS", "/features", {"Origin": "http://evil.example"}, 405),  # no CORS preflight
    ("GET", "/nothing", {}, 404),
    ("POST", "/state.json", {}, 404),
    ("GET", "/", {"Host": "evil.example:80"}, 403),  # DNS rebinding
    ("POST", "/features", {"Origin": "http://evil.example"}, 403),  # another site's page
    ("POST", "/features", {"Content-Type": "text/plain"}, 415),  # a form needs no preflight
])
def test_foreign_and_unknown_requests_are_refused(view, method, path, headers, status):
    server, cam = view("127.32.1.8")
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    body = json.dumps({"name": "ExposureTime", "value": 123.0}).encode()
    conn.request(method, path, body=body if method != "GET" else None,
                 headers={"Content-Type": "application/json", **headers})
    answer = conn.getresponse()
    assert answer.status == status
    assert "error" in json.loads(answer.read())
    conn.close()
    assert cam.get_float("ExposureTime") != 123.0
    if status == 405:
        assert answer.headers["Allow"] == "GET, POST"


def test_a_post_without_length_is_refused(view):
    server, _ = view("127.32.1.9")
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    conn.putrequest("POST", "/features")
    conn.putheader("Content-Type", "application/json")
    conn.putheader("Transfer-Encoding", "chunked")
    conn.endheaders()
    assert conn.getresponse().status == 411
    conn.close()


def test_close_ends_every_thread_and_connection(sim):
    sim("127.32.1.10", "--frame-rate", "50")
    threads, fds = threading.active_count(), open_fds()
    server = corvisk.view.serve("127.32.1.10")  # an address: serve connects, close disconnects
    frame_after(server)
    idle = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    idle.connect()  # a keep-alive connection that never sends a request
    answers = []
    waiting = threading.Thread(target=lambda: answers.append(
        get(server, "/frame.png?after=1000000000")[0]))
    waiting.start()  # a request waiting for a frame
    assert wait_for(lambda: server.stream.waiting == 1)
    server.close()
    waiting.join(5)
    idle.close()
    assert answers == [204]  # answered, not cut off
    assert not waiting.is_alive() and server.closed and repr(server).endswith("closed)")
    server.close()  # idempotent
    assert threading.active_count() == threads and open_fds() == fds, threading.enumerate()
    again = corvisk.Camera("127.32.1.10")  # control was given back
    again.connect()
    again.disconnect()


def test_serve_checks_its_arguments():
    with pytest.raises(ValueError, match="^port must be an integer 0..65535, not 70000$"):
        corvisk.view.serve("127.32.1.11", 70000)
    with pytest.raises(ValueError, match="^bind must be an IPv4 address, not 'localhost'$"):
        corvisk.view.serve("127.32.1.11", bind="localhost")
    with pytest.raises(ValueError, match="^the camera is not connected; "):
        corvisk.view.serve(corvisk.Camera("127.32.1.11"))
    with pytest.raises(corvisk.CameraError, match="connect timed out"):
        corvisk.view.serve("127.32.1.11")  # nobody there


def test_a_real_description_offers_its_own_names(view):
    path = DESCRIPTIONS / "AVT_Mako_G125B.xml"
    if not path.exists():
        pytest.skip(f"{path} is not available")
    server, cam = view("127.32.1.12", "--description", str(path))
    controls = {c["name"]: c for c in get_json(server, "/features.json")["features"]}
    assert {"ExposureTimeAbs", "Gain", "Width", "TriggerMode", "TriggerSource"} <= set(controls)
    assert "ExposureTime" not in controls and controls["TriggerMode"]["entries"] == ["Off", "On"]
    # Limits read from registers the description's camera never set: a minimum above the
    # maximum means no limits, and the device judges the value.
    lo, hi = cam.integer_bounds("Width")
    assert lo > hi and (controls["Width"]["min"], controls["Width"]["max"]) == (None, None)
    seq, _, _ = frame_after(server)
    status, answer = post(server, {"name": "TriggerMode", "value": "On"})
    assert status == 200 and cam.get_enum("TriggerMode") == "On"
    status, answer = post(server, {"name": "Width", "value": controls["Width"]["value"] // 2})
    assert status == 200, answer
    assert frame_after(server, seq)[2].width == controls["Width"]["value"] // 2


@pytest.mark.parametrize("description, names, acquiring", [
    # Older feature names, and only what the description implements.
    ("Basler-acA640-90gm.xml", ["ExposureTimeAbs", "AcquisitionFrameRateAbs", "PixelFormat",
                                "TriggerSelector", "TriggerMode"], True),
    ("Basler-a2A2600-20gmBAS.xml", ["ExposureTime", "Gain", "AcquisitionFrameRate", "Width",
                                    "Height", "OffsetX", "OffsetY", "PixelFormat",
                                    "TriggerSelector", "TriggerMode", "TriggerSource",
                                    "TriggerSoftware"], True),
    ("FLIR_A35.xml", ["Width", "Height", "OffsetX", "OffsetY", "PixelFormat"], True),
    # A camera without PayloadSize cannot stream: the page says so and its controls still work.
    ("Mikrotron_CXP_MC206xS11.xml", ["ExposureTime", "AcquisitionFrameRate", "Width", "Height",
                                     "OffsetX", "OffsetY", "PixelFormat", "TriggerSelector",
                                     "TriggerMode", "TriggerSource", "TriggerSoftware"], False),
])
def test_real_descriptions_get_their_own_controls(view, description, names, acquiring):
    path = DESCRIPTIONS / description
    if not path.exists():
        pytest.skip(f"{path} is not available")
    server, cam = view("127.32.1.17", "--description", str(path))
    controls = get_json(server, "/features.json")["features"]
    assert [c["name"] for c in controls] == names
    for c in controls:
        assert c["type"] in ("Integer", "Float", "Boolean", "Enumeration", "String", "Command")
        assert isinstance(c["writable"], bool) and isinstance(c["error"], str)
    state = get_json(server, "/state.json")
    assert state["acquiring"] is acquiring
    if not acquiring:
        assert state["error"] == "acquisition did not start: feature 'PayloadSize' not found"
        assert get(server, "/frame.png?after=0")[0] == 204
    if "TriggerSoftware" in names:
        status, answer = post(server, {"name": "TriggerSoftware"})
        assert status == 200 and answer["feature"]["type"] == "Command"
        assert post(server, {"name": "TriggerSoftware", "value": 5})[0] == 400


def test_the_command_serves_until_interrupted():
    sim = subprocess.Popen([SIM, "--ip", "127.32.1.13", "--frame-rate", "30"],
                           stdout=subprocess.PIPE, text=True)
    try:
        assert sim.stdout.readline().startswith("corvisk-sim ready")
        view = subprocess.Popen([sys.executable, "-m", "corvisk", "view", "127.32.1.13",
                                 "--port", "0"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([view.stdout], [], [], 30)
        line = view.stdout.readline() if ready else ""
        assert line.startswith("live view of 127.32.1.13 at http://127.0.0.1:"), (
            line, view.stderr.read() if view.poll() is not None else "")
        url = line.split(" at ")[1].split()[0]
        with urllib.request.urlopen(url + "state.json", timeout=10) as r:
            assert json.load(r)["device"]["ip"] == "127.32.1.13"
        view.send_signal(signal.SIGINT)
        out, err = view.communicate(timeout=30)
        assert (view.returncode, out, err) == (0, "live view stopped\n", "")
    finally:
        sim.terminate()
        sim.wait()
        sim.stdout.close()


def test_the_command_says_when_the_port_is_taken(sim, capsys):
    from corvisk.__main__ import main
    sim("127.32.1.14")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        status = main(["view", "127.32.1.14", "--port", str(port)])
    assert status == 1
    err = capsys.readouterr().err
    assert err.startswith(f"error: cannot listen on 127.0.0.1:{port}: ")
    assert err.endswith("; choose another --port\n") and err.count("\n") == 1
    again = corvisk.Camera("127.32.1.14")  # the command gave control back
    again.connect()
    again.disconnect()
