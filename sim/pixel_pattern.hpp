// The ChannelRamps test pattern: one deterministic image per pixel format in which every
// colour channel follows its own ramp, so a swapped channel, a wrong Bayer phase or a wrong bit
// order shows as wrong values.
//
// For the pixel in image column x of line y, with X = x + OffsetX and Y = y + OffsetY its
// sensor position and N the format's sample bits:
//   red   r = (2X + Y + 16) mod 256      green g = (X + 2Y + 32) mod 256
//   blue  b = (200 - X - Y) mod 256      alpha a = (128 + X - Y) mod 256
//   an N-bit sample of channel c (0 red, 1 green, 2 blue) = c8 << (N - 8) | (X + 3Y + c) mod
//   2^(N-8)
// Mono formats carry the green sample; Bayer formats the sample of the colour their phase puts
// at (x, y) (RG: red at even x of even y, blue at odd x of odd y); RGB formats r, g, b (and a) in
// their order. 4:2:2 formats carry Y = (X + 2Y + 16) mod 256 per pixel and, per pair of columns
// starting at even x with sensor column Xp, Cb = (96 + Xp + Y) mod 256 and
// Cr = (160 + 2 Xp - Y) mod 256. Samples are then laid out as the format says (little-endian
// words, PFNC "p" bit streams or GigE Vision "Packed" triplets, continuous over the image).
#pragma once

#include <cstdint>
#include <vector>

namespace corvisk::sim {

// The ChannelRamps image of `pixel_format`; for a format the pixel table does not know, zeros
// of width × height × bits-per-pixel / 8 bytes.
std::vector<uint8_t> channel_ramps(uint32_t width, uint32_t height, uint32_t offset_x,
                                   uint32_t offset_y, uint32_t pixel_format);

// Whether the camera may be switched to `pixel_format` (every format of the pixel table).
bool sim_pixel_format(uint32_t pixel_format);

}  // namespace corvisk::sim
