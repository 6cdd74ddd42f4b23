"""The live view in a real browser: headless Chromium loads the page served for corvisk-sim,
shows frames as they come, writes ExposureTime through the page's own control, and its
screenshot shows the simulator's image.

Skipped when Chromium is not installed (scripts/setup.sh installs it). The simulated camera
serves 127.32.2.x.
"""

import pytest

import corvisk
import corvisk.view
from browser import Chromium, find_chromium
from test_camera_connect import needs_sim, sim  # noqa: F401  (sim is a fixture)

pytestmark = [needs_sim,
              pytest.mark.skipif(find_chromium() is None, reason="chromium is not installed")]

WIDTH, HEIGHT = 256, 128  # GreyHorizontalRamp: pixel (x, y) = x, a ramp over the whole width


@pytest.fixture
def page(sim):
    sim("127.32.2.1", "--frame-rate", "20", "--pattern", "GreyHorizontalRamp",
        "--width", str(WIDTH), "--height", str(HEIGHT))
    cam = corvisk.Camera("127.32.2.1")
    cam.connect()
    server = corvisk.view.serve(cam)
    try:
        with Chromium(server.url, width=1000, height=700) as browser:
            yield browser, cam
    finally:
        server.close()
        cam.disconnect()


def test_the_page_shows_live_frames_and_writes_through_its_controls(page):
    browser, cam = page
    # The image updates: the page saw two different frame ids.
    ids = browser.wait_until("new Set(window.corviskView.frameIds).size >= 2 && "
                             "window.corviskView.frameIds")
    assert len(set(ids)) >= 2
    # Controls from the description, the trigger group included.
    assert browser.wait_until("window.corviskView.controls") == [
        "ExposureTime", "Gain", "AcquisitionFrameRate", "Width", "Height", "OffsetX", "OffsetY",
        "PixelFormat", "TriggerSelector", "TriggerMode", "TriggerSource", "TriggerSoftware"]
    # Stream state on the page.
    browser.wait_until("Number(document.getElementById('fps').textContent) > 5")
    assert "SimCam-1" in browser.evaluate("document.getElementById('device').textContent")

    # Exposure through the page's input, as a user types it.
    assert cam.get_float("ExposureTime") != 2500.0
    browser.evaluate("(() => { const el = document.getElementById('f-ExposureTime');"
                     " el.value = '2500'; el.dispatchEvent(new Event('change')); })()")
    browser.wait_until("window.corviskView.writes >= 1")
    assert cam.get_float("ExposureTime") == 2500.0
    assert browser.evaluate("document.getElementById('message').textContent") == (
        "ExposureTime = 2500")
    # A refused value is shown on the page, and frames keep coming.
    browser.evaluate("(() => { const el = document.getElementById('f-ExposureTime');"
                     " el.value = '1e9'; el.dispatchEvent(new Event('change')); })()")
    browser.wait_until("window.corviskView.writes >= 2")
    assert browser.evaluate("window.corviskView.lastError").startswith(
        "ExposureTime = 1000000000 is out of range")
    shown = browser.evaluate("window.corviskView.shown")
    browser.wait_until(f"window.corviskView.shown > {shown}")
    assert cam.get_float("ExposureTime") == 2500.0


def test_a_screenshot_shows_the_simulated_ramp(page):
    browser, _ = page
    # Measured in one evaluation: while the next frame replaces the image its natural size
    # reads 0 for a moment.
    x0, y0, w, h, natural_w, natural_h = browser.wait_until(
        "window.corviskView.shown >= 1 && (() => { const el = document.getElementById('live');"
        " const r = el.getBoundingClientRect(); return el.naturalWidth > 0 && [r.x, r.y, r.width,"
        " r.height, el.naturalWidth, el.naturalHeight]; })()")
    assert (natural_w, natural_h) == (WIDTH, HEIGHT)
    # object-fit: contain scales the image to the element's width, centred vertically.
    scale = min(w / WIDTH, h / HEIGHT)
    shown_w, shown_h = WIDTH * scale, HEIGHT * scale
    left, top = x0 + (w - shown_w) / 2, y0 + (h - shown_h) / 2
    assert shown_w > 2 * WIDTH  # scaled up to the window, not shown at its own size
    shot = browser.screenshot()
    for fy in (0.25, 0.5, 0.75):
        y = int(top + fy * shown_h)
        xs = [int(left + shown_w * (i + 0.5) / 32) for i in range(32)]
        row = [shot.pixel(x, y)[:3] for x in xs]
        assert all(r == g == b for r, g, b in row), row  # grey
        # Each sample is the ramp's value at that place of the image (x in image pixels).
        expected = [int((x - left) / scale) for x in xs]
        assert all(abs(r - e) <= 2 for (r, _, _), e in zip(row, expected)), (row, expected)
