// The pixel formats the converters understand: GigE Vision / PFNC codes with their names and
// the memory layout each one implies.
//
// Every layout is little-endian where samples span bytes. Packed formats are one continuous
// bit stream over the whole image unless the caller gives a line stride. A Bayer format names
// the colour of the image's first two pixels of its first two lines (RG: red at (0, 0), green
// at (1, 0), green at (0, 1), blue at (1, 1)); offsets of a region of interest do not move it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace corvisk::pixels {

enum class Kind : uint8_t { Mono, Bayer, Rgb, Yuv422 };

// How samples sit in memory.
enum class Packing : uint8_t {
    Byte,        // one byte per sample
    Word,        // a little-endian 16-bit word per sample, value in the low bits
    LsbPacked,   // PFNC "p": samples back to back in a little-endian bit stream
    GigEPacked,  // GigE Vision "Packed": two samples in three bytes, high bits in bytes 0 and 2
};

// Colour of the first pixel and its right neighbour on the first line.
enum class Phase : uint8_t { RG, GR, GB, BG };

// Order of the channels in memory for RGB-like and YUV formats.
enum class Order : uint8_t {
    Rgb,
    Bgr,
    Rgba,
    Bgra,  // RGB family
    Yuyv,
    Uyvy,  // 4:2:2: Y0 U Y1 V, or U Y0 V Y1
};

// Which equations turn Y, Cb, Cr into R, G, B (BT.601, integer form in colour.cpp).
enum class YuvRange : uint8_t {
    Full,     // Y, Cb, Cr over 0..255 (JFIF)
    Limited,  // Y over 16..235, Cb and Cr over 16..240 (studio range)
};

struct FormatInfo {
    uint32_t code = 0;
    std::string_view name;
    Kind kind = Kind::Mono;
    Packing packing = Packing::Byte;
    uint8_t sample_bits = 8;  // significant bits of one sample
    uint8_t channels = 1;     // samples per pixel in memory (4:2:2 counts 2)
    Phase phase = Phase::RG;  // Bayer only
    Order order = Order::Rgb;
    YuvRange range = YuvRange::Full;

    // Bits one pixel occupies in memory (bits 16..23 of the code).
    unsigned bits_per_pixel() const { return (code >> 16) & 0xFF; }
    bool packed() const { return packing == Packing::LsbPacked || packing == Packing::GigEPacked; }
    // Bytes of `width` × `height` pixels stored without line padding.
    size_t image_bytes(uint32_t width, uint32_t height) const;
};

// Every format known here, in a fixed order (mono, Bayer, RGB, YUV).
std::span<const FormatInfo> all_formats();
std::optional<FormatInfo> find_format(uint32_t code);
std::optional<FormatInfo> find_format(std::string_view name);
// The format with the same samples unpacked into 16-bit words (Mono12p -> Mono12,
// BayerRG10Packed -> BayerRG10); the format itself when it is not packed.
FormatInfo unpacked_equivalent(const FormatInfo& format);

}  // namespace corvisk::pixels
