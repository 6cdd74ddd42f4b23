"""Pixel conversion benchmark (prints its figures; no pass/fail).

    .venv/bin/python bench/pixels_bench.py [repeats]

On one 2448 x 2048 frame, single-threaded, side by side in one run:
1. Mono12p -> uint16 unpacking (corvisk.convert's native kernel through _corvisk_pixels).
2. Bilinear BayerRG8 -> RGB8 demosaic, the same rule as corvisk.convert.
Each is reported in MPix/s (best of `repeats`), as a ratio to memcpy of its output size
(ctypes.memmove between two preallocated buffers) and to a vectorised numpy implementation of
the same algorithm written below, whose output is checked to be identical first.
"""

import ctypes
import sys
import time

import numpy as np

from corvisk import _corvisk_pixels

W, H = 2448, 2048
PIXELS = W * H


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def numpy_unpack12p(src):
    b = np.frombuffer(src, np.uint8).reshape(-1, 3).astype(np.uint16)
    out = np.empty(b.shape[0] * 2, np.uint16)
    out[0::2] = b[:, 0] | ((b[:, 1] & 0x0F) << 8)
    out[1::2] = (b[:, 1] >> 4) | (b[:, 2] << 4)
    return out.reshape(H, W)


def numpy_bilinear_rg(m):
    """Bilinear demosaic of an RG mosaic: mirrored edges, means rounded half up."""
    p = np.pad(m.astype(np.uint16), 1, mode="reflect")
    c = p[1:-1, 1:-1]
    up, dn, lf, rt = p[:-2, 1:-1], p[2:, 1:-1], p[1:-1, :-2], p[1:-1, 2:]
    diag = (p[:-2, :-2] + p[:-2, 2:] + p[2:, :-2] + p[2:, 2:] + 2) >> 2
    cross = (up + dn + lf + rt + 2) >> 2
    horiz, vert = (lf + rt + 1) >> 1, (up + dn + 1) >> 1
    out = np.empty((H, W, 3), np.uint8)
    r, g, b = out[..., 0], out[..., 1], out[..., 2]
    # Sites of an RG mosaic: R at (even, even), Gr at (odd x, even y), Gb at (even x, odd y).
    ee, oe, eo, oo = np.s_[0::2, 0::2], np.s_[0::2, 1::2], np.s_[1::2, 0::2], np.s_[1::2, 1::2]
    r[ee], g[ee], b[ee] = c[ee], cross[ee], diag[ee]
    r[oe], g[oe], b[oe] = horiz[oe], c[oe], vert[oe]
    r[eo], g[eo], b[eo] = vert[eo], c[eo], horiz[eo]
    r[oo], g[oo], b[oo] = diag[oo], cross[oo], c[oo]
    return out


def report(name, native_s, memcpy_s, numpy_s):
    mpix = PIXELS / native_s / 1e6
    print(f"{name:34} {mpix:8.0f} MPix/s  {native_s * 1e3:7.2f} ms   "
          f"memcpy of output {memcpy_s * 1e3:6.2f} ms (native/memcpy time {native_s / memcpy_s:5.2f}x)"
          f"   numpy {numpy_s * 1e3:7.1f} ms (native {numpy_s / native_s:5.1f}x faster)")


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    rng = np.random.default_rng(1)

    packed = rng.integers(0, 256, PIXELS * 3 // 2, dtype=np.uint8).tobytes()
    words = np.empty((H, W), np.uint16)
    copy = np.empty_like(words)
    native = lambda: _corvisk_pixels.convert(packed, "Mono12p", W, H, 0, "Unpacked", words)
    native()
    assert np.array_equal(words, numpy_unpack12p(packed))
    memcpy = lambda: ctypes.memmove(copy.ctypes.data, words.ctypes.data, words.nbytes)
    report("Mono12p -> uint16", best(native, repeats), best(memcpy, repeats),
           best(lambda: numpy_unpack12p(packed), max(3, repeats // 4)))

    mosaic = rng.integers(0, 256, (H, W), dtype=np.uint8)
    rgb = np.empty((H, W, 3), np.uint8)
    rgb_copy = np.empty_like(rgb)
    native = lambda: _corvisk_pixels.convert(mosaic, "BayerRG8", W, H, 0, "RGB8", rgb)
    native()
    assert np.array_equal(rgb, numpy_bilinear_rg(mosaic))
    memcpy = lambda: ctypes.memmove(rgb_copy.ctypes.data, rgb.ctypes.data, rgb.nbytes)
    report("bilinear BayerRG8 -> RGB8", best(native, repeats), best(memcpy, repeats),
           best(lambda: numpy_bilinear_rg(mosaic), max(3, repeats // 4)))


if __name__ == "__main__":
    main()
