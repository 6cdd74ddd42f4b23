"""asyncio: frames from every camera given, awaited side by side on one event loop, while a
timer keeps ticking (the waits run on worker threads; see corvisk.aio).

    build/cmake/corvisk-sim --ip 127.0.0.2 &
    .venv/bin/python examples/asyncio_grab.py [IP ...]
"""

import asyncio
import sys

import corvisk
from corvisk import aio


async def grab(cam: corvisk.Camera, count: int) -> list:
    frame = await aio.snap(cam, 5.0)
    print(f"{cam.device_info().ip}: snapped {frame}")
    ids = []
    with cam.start_acquisition(n_buffers=16) as acq:
        async with aio.frames(acq, timeout=5.0) as frames:
            async for frame in frames:
                ids.append(frame.frame_id)
                if len(ids) == count:
                    break
    return ids


async def main(addresses: list) -> None:
    cameras = [corvisk.Camera(ip) for ip in addresses]
    for cam in cameras:
        await asyncio.to_thread(cam.connect)
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1

    timer = asyncio.create_task(ticker())
    try:
        results = await asyncio.gather(*(grab(cam, 10) for cam in cameras))
        for ip, ids in zip(addresses, results):
            print(f"{ip}: frames {ids}")
        print(f"the event loop ticked {ticks} times meanwhile")
    finally:
        timer.cancel()
        for cam in cameras:
            cam.disconnect()


asyncio.run(main(sys.argv[1:] or ["127.0.0.2"]))
