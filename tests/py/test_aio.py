"""corvisk.aio against corvisk-sim: frames and snaps awaited while the event loop keeps
running, prompt cancellation that loses no frame and leaves the acquisition usable, the end
of the stream, timeouts and wrong arguments.

Each test serves its own simulated camera on 127.31.2.x.
"""

import asyncio
import threading
import time

import pytest

import corvisk
from corvisk import aio
from test_camera_connect import needs_sim, sim, wait_for  # noqa: F401  (sim is a fixture)

pytestmark = needs_sim


def connected(sim, ip, *options):
    sim(ip, "--width", "64", "--height", "48", *options)
    cam = corvisk.Camera(ip)
    cam.connect()
    return cam


async def _ticking(coro):
    """(result of coro, ticks of a 5 ms timer that ran meanwhile)."""
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.005)
            ticks += 1

    ticker = asyncio.create_task(tick())
    try:
        return await coro, ticks
    finally:
        ticker.cancel()


def test_frames_and_snap_leave_the_loop_running(sim):
    cam = connected(sim, "127.31.2.1", "--frame-rate", "20")

    async def grab():
        frame = await aio.snap(cam, 2.0)
        ids = []
        with cam.start_acquisition() as acq:
            async with aio.frames(acq) as frames:
                async for f in frames:
                    ids.append(f.frame_id)
                    if len(ids) == 4:
                        break
        return frame, ids

    (frame, ids), ticks = asyncio.run(_ticking(grab()))
    assert frame.is_complete and frame.width == 64
    assert ids == sorted(ids) and len(ids) == 4
    assert ticks >= 5  # four frames at 20 fps: 150 ms or more of a loop that kept running
    cam.disconnect()


def test_cancelling_stops_waiting_at_once_and_loses_no_frame(sim):
    cam = connected(sim, "127.31.2.2", "--frame-rate", "100")

    async def run():
        # Room for every frame in the built-in subscription: none is dropped.
        with cam.start_acquisition(n_buffers=128) as acq:
            frames = aio.frames(acq, timeout=5.0)
            taken = []
            for _ in range(20):  # cancel at every point of a frame's delivery
                task = asyncio.create_task(frames.__anext__())
                await asyncio.sleep(0)
                begun = time.monotonic()
                task.cancel()
                try:
                    taken.append((await task).frame_id)
                except asyncio.CancelledError:
                    assert time.monotonic() - begun < 1.0
                taken.append((await frames.__anext__()).frame_id)
            await frames.aclose()
            return taken, acq.wait_for(2.0)

    taken, after = asyncio.run(run())
    assert taken == list(range(taken[0], taken[0] + len(taken)))  # consecutive: none lost
    assert after is not None  # the acquisition still delivers after all that
    cam.disconnect()


def test_the_iteration_ends_with_the_stream_and_drains_it_first(sim):
    cam = connected(sim, "127.31.2.3", "--frame-rate", "50")

    async def run():
        acq = cam.start_acquisition(n_buffers=16)
        assert await asyncio.to_thread(wait_for, lambda: acq.stats().completed_frames >= 3)
        acq.stop()
        return [f async for f in aio.frames(acq)]

    drained = asyncio.run(run())
    assert len(drained) >= 3
    cam.disconnect()


def test_timeout_and_wrong_arguments(sim):
    cam = connected(sim, "127.31.2.4", "--drop-fraction", "1", "--no-resend")
    with pytest.raises(TypeError, match="takes an Acquisition or a FrameChannel, not int"):
        aio.frames(3)
    for bad in (0, -1.0, float("nan"), float("inf"), True, "1"):
        with pytest.raises(ValueError, match="timeout must be a positive number"):
            aio.frames(_Silent(), timeout=bad)
    with pytest.raises(TypeError, match="takes a Camera or a SnapshotSession, not str"):
        asyncio.run(aio.snap("cam"))

    async def silent():
        frames = aio.frames(_Silent(), timeout=0.2)
        begun = time.monotonic()
        with pytest.raises(TimeoutError, match="no frame arrived within 0.2 s"):
            await frames.__anext__()
        await frames.aclose()
        return time.monotonic() - begun

    assert 0.2 <= asyncio.run(silent()) < 2.0

    async def cancelled():
        frames = aio.frames(_Silent())  # no timeout: only the cancellation ends the wait
        task = asyncio.create_task(frames.__anext__())
        await asyncio.sleep(0.2)
        begun = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        took = time.monotonic() - begun
        await frames.aclose()  # the worker notices within a slice
        return took, time.monotonic() - begun

    took, closed = asyncio.run(cancelled())
    assert took < 0.5 and closed < 1.0
    # A snap that times out is the snap's own error, raised by the await.
    with pytest.raises(corvisk.GenicamError, match="no frame arrived within the snap timeout"):
        asyncio.run(aio.snap(cam, 0.3))
    cam.disconnect()


class _Silent:
    """A channel on which no frame ever arrives."""

    def wait_for(self, timeout):
        time.sleep(timeout)
        return None


def test_a_forgotten_iterator_releases_its_thread(sim):
    def workers():
        return [t for t in threading.enumerate() if t.name.startswith("corvisk-aio-frames")]

    async def forget():
        frames = aio.frames(_Silent())
        task = asyncio.create_task(frames.__anext__())
        assert await asyncio.to_thread(wait_for, lambda: workers() != [])
        task.cancel()
        del frames, task

    asyncio.run(forget())
    assert wait_for(lambda: workers() == [], timeout=2.0)
