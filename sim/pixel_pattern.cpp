// The ChannelRamps pattern: samples computed from the documented ramps, then laid out by
// encoders written independently of the library's unpackers.
#include "pixel_pattern.hpp"

#include "gvsp_packets.hpp"
#include "pixels/format.hpp"

namespace corvisk::sim {
namespace {

using pixels::FormatInfo;

uint32_t channel8(unsigned c, uint32_t X, uint32_t Y) {
    switch (c) {
        case 0:
            return (2 * X + Y + 16) & 0xFF;
        case 1:
            return (X + 2 * Y + 32) & 0xFF;
        case 2:
            return (200 - X - Y) & 0xFF;
        default:
            return (128 + X - Y) & 0xFF;
    }
}

uint32_t sample(unsigned c, uint32_t X, uint32_t Y, unsigned bits) {
    const unsigned low = bits - 8;
    return (channel8(c, X, Y) << low) | ((X + 3 * Y + c) & ((1u << low) - 1));
}

// Colour at (x, y) of a mosaic: 0 red, 1 green, 2 blue.
unsigned cfa_colour(pixels::Phase phase, uint32_t x, uint32_t y) {
    static constexpr unsigned kFirst[4][4] = {
        {0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    return kFirst[static_cast<unsigned>(phase)][((y & 1) << 1) | (x & 1)];
}

// Samples of one image in memory order, one per entry.
std::vector<uint32_t> samples(const FormatInfo& f, uint32_t w, uint32_t h, uint32_t ox,
                              uint32_t oy) {
    std::vector<uint32_t> out;
    out.reserve(size_t{w} * h * f.channels);
    const bool bgr = f.order == pixels::Order::Bgr || f.order == pixels::Order::Bgra;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t X = x + ox, Y = y + oy;
            if (f.kind == pixels::Kind::Mono) {
                out.push_back(sample(1, X, Y, f.sample_bits));
            } else if (f.kind == pixels::Kind::Bayer) {
                out.push_back(sample(cfa_colour(f.phase, x, y), X, Y, f.sample_bits));
            } else if (f.kind == pixels::Kind::Rgb) {
                for (unsigned c = 0; c < f.channels; ++c) {
                    out.push_back(channel8(c < 3 && bgr ? 2 - c : c, X, Y));
                }
            } else {
                const uint32_t Xp = X - (x & 1);
                const uint32_t luma = (X + 2 * Y + 16) & 0xFF;
                const uint32_t chroma = (x & 1) ? (160 + 2 * Xp - Y) & 0xFF : (96 + Xp + Y) & 0xFF;
                const bool uyvy = f.order == pixels::Order::Uyvy;
                out.push_back(uyvy ? chroma : luma);
                out.push_back(uyvy ? luma : chroma);
            }
        }
    }
    return out;
}

// A bit stream filled least significant bit first.
std::vector<uint8_t> lsb_stream(const std::vector<uint32_t>& s, unsigned bits, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    uint64_t pos = 0;
    for (uint32_t v : s) {
        for (unsigned b = 0; b < bits; ++b, ++pos) {
            out[pos / 8] |= static_cast<uint8_t>(((v >> b) & 1) << (pos % 8));
        }
    }
    return out;
}

// GigE Vision triplets: high bits of each sample in bytes 0 and 2, low bits in byte 1's nibbles.
std::vector<uint8_t> gige_triplets(const std::vector<uint32_t>& s, unsigned bits, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    const unsigned low = bits - 8;
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t at = (i / 2) * 3;
        const uint8_t high = static_cast<uint8_t>(s[i] >> low);
        const uint8_t bits_low = static_cast<uint8_t>(s[i] & ((1u << low) - 1));
        out[at + (i % 2 ? 2 : 0)] = high;
        out[at + 1] |= static_cast<uint8_t>(i % 2 ? bits_low << 4 : bits_low);
    }
    return out;
}

}  // namespace

std::vector<uint8_t> channel_ramps(uint32_t width, uint32_t height, uint32_t offset_x,
                                   uint32_t offset_y, uint32_t pixel_format) {
    const auto f = pixels::find_format(pixel_format);
    if (!f) {
        return std::vector<uint8_t>(image_bytes(width, height, pixel_format));
    }
    const std::vector<uint32_t> s = samples(*f, width, height, offset_x, offset_y);
    const size_t bytes = f->image_bytes(width, height);
    switch (f->packing) {
        case pixels::Packing::LsbPacked:
            return lsb_stream(s, f->sample_bits, bytes);
        case pixels::Packing::GigEPacked:
            return gige_triplets(s, f->sample_bits, bytes);
        case pixels::Packing::Word: {
            std::vector<uint8_t> out;
            for (uint32_t v : s) {
                out.push_back(static_cast<uint8_t>(v));
                out.push_back(static_cast<uint8_t>(v >> 8));
            }
            return out;
        }
        case pixels::Packing::Byte:
            break;
    }
    return std::vector<uint8_t>(s.begin(), s.end());
}

bool sim_pixel_format(uint32_t pixel_format) {
    return pixels::find_format(pixel_format).has_value();
}

}  // namespace corvisk::sim
