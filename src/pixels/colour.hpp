// Per-pixel colour kernels: mono rescaling, RGB-family reordering, 4:2:2 YCbCr to RGB and luma.
//
// Luma (Mono targets from colour sources) uses the BT.601 weights 0.299 R + 0.587 G + 0.114 B
// as (77 R + 150 G + 29 B + 128) >> 8. YCbCr to RGB uses BT.601:
//   full range     R = Y + 1.402 Cr',  G = Y - 0.344136 Cb' - 0.714136 Cr',  B = Y + 1.772 Cb'
//   limited range  Y' = 1.164383 (Y - 16);  R = Y' + 1.596027 Cr',
//                  G = Y' - 0.391762 Cb' - 0.812968 Cr',  B = Y' + 2.017232 Cb'
// with Cb' = Cb - 128 and Cr' = Cr - 128, in 16-bit fixed point, rounded and clamped to 0..255.
// Both pixels of a 4:2:2 pair take the pair's Cb and Cr; the last pixel of an odd-width line,
// which has no partner, takes the Cb its half group carries and 128 for Cr.
#pragma once

#include <cstdint>

#include "pixels/demosaic.hpp"
#include "pixels/format.hpp"

namespace corvisk::pixels {

// Mono samples to `channels` (1 or 3) identical samples per pixel, each shifted left by
// `lshift` then right by `rshift`.
void mono_to(Plane<const uint8_t> src, Plane<uint8_t> dst, unsigned channels, unsigned rshift);
void mono_to(Plane<const uint16_t> src, Plane<uint8_t> dst, unsigned channels, unsigned rshift);
void mono_to(Plane<const uint8_t> src, Plane<uint16_t> dst, unsigned channels, unsigned lshift);
void mono_to(Plane<const uint16_t> src, Plane<uint16_t> dst, unsigned channels, unsigned lshift);

// RGB8 / BGR8 / RGBa8 / BGRa8 (`order`) into RGB or BGR; 16-bit output is the value << 8.
void rgb_to(Plane<const uint8_t> src, Order order, Plane<uint8_t> dst, bool bgr);
void rgb_to(Plane<const uint8_t> src, Order order, Plane<uint16_t> dst, bool bgr);

// 4:2:2 YCbCr (`order` Yuyv or Uyvy) into RGB or BGR.
void yuv422_to(Plane<const uint8_t> src, Order order, YuvRange range, Plane<uint8_t> dst, bool bgr);

// Interleaved RGB into one luma sample per pixel.
void luma(Plane<const uint8_t> rgb, Plane<uint8_t> dst);
void luma(Plane<const uint16_t> rgb, Plane<uint16_t> dst);

}  // namespace corvisk::pixels
