// Packed-sample kernels. Each works on whole groups (4 samples in 5 bytes for 10-bit LSB
// packing, 2 samples in 3 bytes otherwise) in a tight loop the compiler can unroll; the last
// partial group goes through a zero-extended copy so nothing past the source is read.
#include "pixels/unpack.hpp"

#include <cstring>

namespace corvisk::pixels {
namespace {

// 10p: four samples in five bytes, the bit stream read least significant bit first.
inline void group10p(const uint8_t* s, uint16_t* d) {
    d[0] = static_cast<uint16_t>(s[0] | ((s[1] & 0x03) << 8));
    d[1] = static_cast<uint16_t>((s[1] >> 2) | ((s[2] & 0x0F) << 6));
    d[2] = static_cast<uint16_t>((s[2] >> 4) | ((s[3] & 0x3F) << 4));
    d[3] = static_cast<uint16_t>((s[3] >> 6) | (s[4] << 2));
}

// 12p: two samples in three bytes, least significant bit first.
inline void group12p(const uint8_t* s, uint16_t* d) {
    d[0] = static_cast<uint16_t>(s[0] | ((s[1] & 0x0F) << 8));
    d[1] = static_cast<uint16_t>((s[1] >> 4) | (s[2] << 4));
}

// GigE Vision 10Packed: bytes 0 and 2 hold the high eight bits of each sample, byte 1 the two
// low bits of the first sample (bits 0-1) and of the second (bits 4-5).
inline void group10g(const uint8_t* s, uint16_t* d) {
    d[0] = static_cast<uint16_t>((s[0] << 2) | (s[1] & 0x03));
    d[1] = static_cast<uint16_t>((s[2] << 2) | ((s[1] >> 4) & 0x03));
}

// GigE Vision 12Packed: as 10Packed with four low bits per sample in byte 1's nibbles.
inline void group12g(const uint8_t* s, uint16_t* d) {
    d[0] = static_cast<uint16_t>((s[0] << 4) | (s[1] & 0x0F));
    d[1] = static_cast<uint16_t>((s[2] << 4) | (s[1] >> 4));
}

// A group of `Samples` samples fills `Bytes` bytes, so a sample takes Bytes * 8 / Samples bits.
template <size_t Samples, size_t Bytes, void (*Group)(const uint8_t*, uint16_t*)>
void run(const uint8_t* src, size_t count, uint16_t* dst) {
    const size_t whole = count / Samples;
    for (size_t g = 0; g < whole; ++g) {
        Group(src + g * Bytes, dst + g * Samples);
    }
    const size_t rest = count - whole * Samples;
    if (rest == 0) {
        return;
    }
    uint8_t tail[Bytes] = {};
    uint16_t out[Samples] = {};
    std::memcpy(tail, src + whole * Bytes, (rest * Bytes * 8 / Samples + 7) / 8);
    Group(tail, out);
    std::memcpy(dst + whole * Samples, out, rest * sizeof(uint16_t));
}

}  // namespace

void unpack_samples(Packing packing, unsigned bits, const uint8_t* src, size_t count,
                    uint16_t* dst) {
    const bool lsb = packing == Packing::LsbPacked;
    if (bits == 10) {
        lsb ? run<4, 5, group10p>(src, count, dst) : run<2, 3, group10g>(src, count, dst);
    } else {
        lsb ? run<2, 3, group12p>(src, count, dst) : run<2, 3, group12g>(src, count, dst);
    }
}

}  // namespace corvisk::pixels
