// Packed-sample kernels: 10- and 12-bit samples out of their byte streams into 16-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/format.hpp"

namespace corvisk::pixels {

// Unpacks `count` samples of `bits` (10 or 12) bits laid out as `packing` (LsbPacked or
// GigEPacked) into `dst`, values in the low bits. `src` starts on a sample group boundary and
// holds the bytes of `count` samples (GigEPacked takes 12 bits per sample whatever `bits`);
// a final partial group reads only the bytes its samples reach.
void unpack_samples(Packing packing, unsigned bits, const uint8_t* src, size_t count,
                    uint16_t* dst);

}  // namespace corvisk::pixels
