// Bilinear demosaicing of Bayer mosaics into interleaved RGB (or BGR).
//
// Each colour a pixel lacks is the mean of the nearest samples of that colour in its 3 × 3
// neighbourhood, two or four of them, rounded half up. The image is mirrored at its edges
// (column -1 reads column 1, line -1 reads line 1), which keeps the colour pattern intact, so
// edge pixels are interpolated the same way as interior ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "pixels/format.hpp"

namespace corvisk::pixels {

// A plane of samples: `stride` is in bytes between line starts.
template <class T>
struct Plane {
    T* data = nullptr;
    size_t stride = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    T* line(uint32_t y) const {
        return reinterpret_cast<T*>(
            reinterpret_cast<std::conditional_t<std::is_const_v<T>, const uint8_t*, uint8_t*>>(
                data) +
            y * stride);
    }
};

// Writes 3 samples per pixel into `dst` (same width and height as `src`, which is at least
// 2 × 2). Every output sample is the interpolated value shifted left by `lshift`, then right
// by `rshift` (8- to 16-bit and 12- to 8-bit outputs, for instance).
void demosaic_bilinear(Plane<const uint8_t> src, Phase phase, Plane<uint8_t> dst, bool bgr);
void demosaic_bilinear(Plane<const uint8_t> src, Phase phase, Plane<uint16_t> dst, bool bgr,
                       unsigned lshift);
void demosaic_bilinear(Plane<const uint16_t> src, Phase phase, Plane<uint8_t> dst, bool bgr,
                       unsigned rshift);
void demosaic_bilinear(Plane<const uint16_t> src, Phase phase, Plane<uint16_t> dst, bool bgr,
                       unsigned lshift);

}  // namespace corvisk::pixels
