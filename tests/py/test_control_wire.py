"""Control-channel behaviour with devices that deviate from the standard, against corvisk-sim:
URL forms, no concatenated READREG, no memory commands, answers from another address, and the
timeout arguments' conversions."""

import logging

import pytest

import corvisk
from test_camera_connect import FAST, needs_sim, sim  # noqa: F401  (fixture)


@needs_sim
@pytest.mark.parametrize("ip, options", [
    ("127.20.2.1", ["--url-schema-version"]),
    ("127.20.2.2", ["--url", "local:///corvisk_sim.xml;0x{addr};0x{size}?SchemaVersion=1.1.0"]),
    ("127.20.2.3", ["--no-concat-readreg"]),
    ("127.20.2.4", ["--no-memory-commands"]),
    ("127.20.2.5", ["--no-concat-readreg", "--no-memory-commands", "--xml", "zip-deflated"]),
], ids=["schema-version", "url-forms", "no-concat", "no-memory-commands", "both"])
def test_deviating_devices_connect_and_serve_features(sim, ip, options):
    sim(ip, *options)
    cam = corvisk.Camera(ip, **FAST)
    cam.connect()
    try:
        assert cam.get_integer("Width") == 640
        cam.set_integer("Width", 320)
        assert cam.get_integer("Width") == 320
        assert cam.device_info().model == "SimCam-1"
    finally:
        cam.disconnect()


@needs_sim
def test_answers_from_another_device_address_are_accepted(sim):
    sim("127.20.2.6", "--reply-from", "127.20.2.106")
    cam = corvisk.Camera("127.20.2.6", **FAST)
    cam.connect()
    try:
        assert cam.get_integer("Width") == 640
        stats = cam.link_stats()
        assert stats.acks == stats.commands
        assert stats.unsolicited == 0
    finally:
        cam.disconnect()


@needs_sim
@pytest.mark.parametrize("n, seconds, ms", [
    (10, 1.025, 1025), (11, 0.3, 300), (12, 2.675, 2675), (13, 0.0015, 1), (14, 4.1, 4100),
])
def test_heartbeat_timeout_converts_to_whole_milliseconds(sim, n, seconds, ms):
    ip = f"127.20.2.{n}"
    # Heartbeats every 10 ms at the fastest cannot keep a 1 ms timeout: a device that ignores
    # its timeout keeps control until the value is read back.
    sim(ip, "--heartbeat-disabled")
    cam = corvisk.Camera(ip, heartbeat_timeout=seconds, **FAST)
    cam.connect()
    try:
        assert cam.get_integer("GevHeartbeatTimeout") == ms
    finally:
        cam.disconnect()


@needs_sim
@pytest.mark.parametrize("n, seconds, warned", [(16, 0.005, True), (17, 0.029, True),
                                                (18, 0.03, False), (19, 3.0, False)])
def test_a_heartbeat_timeout_the_heartbeats_cannot_hold_is_warned(sim, n, seconds, warned):
    ip = f"127.20.2.{n}"
    sim(ip, "--heartbeat-disabled")
    records = []
    handler = logging.Handler(level=logging.WARNING)
    handler.emit = records.append
    logger = logging.getLogger("corvisk")
    logger.addHandler(handler)
    corvisk.enable_logging(logging.WARNING)
    try:
        cam = corvisk.Camera(ip, heartbeat_timeout=seconds, **FAST)
        cam.connect()
        cam.disconnect()
    finally:
        corvisk.disable_logging()  # hands on every record still queued
        logger.removeHandler(handler)
    texts = [r.getMessage() for r in records if "heartbeat timeout" in r.getMessage()]
    assert bool(texts) == warned, texts
    if warned:
        assert texts[0].startswith(f"heartbeat timeout of {int(seconds * 1000)} ms is shorter "
                                   "than three heartbeats (10 ms apart)")


@pytest.mark.parametrize("value", [0, 0.0, 1e-9, 0.000999])
def test_gvcp_timeout_below_a_millisecond_is_refused(value):
    with pytest.raises(ValueError, match="gvcp_timeout must be at least 0.001 seconds"):
        corvisk.Camera("10.0.0.2", gvcp_timeout=value)
    corvisk.Camera("10.0.0.2", gvcp_timeout=0.001)
