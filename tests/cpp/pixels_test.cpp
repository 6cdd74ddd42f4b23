// Pixel kernels: unpacking against hand-packed bytes, demosaicing against a direct per-pixel
// rendering of the bilinear rule, every Bayer phase on flat colours, 4:2:2 against the
// floating-point BT.601 equations, and the conversion entry point's checks.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "pixels/convert.hpp"
#include "pixels/format.hpp"
#include "pixels/unpack.hpp"

namespace corvisk::pixels {
namespace {

FormatInfo fmt_of(const char* name) {
    auto f = find_format(std::string_view(name));
    EXPECT_TRUE(f.has_value()) << name;
    return f.value_or(FormatInfo{});
}

std::vector<uint8_t> run(const Source& src, Target t) {
    auto shape = target_shape(src.format, t, src.width, src.height);
    EXPECT_TRUE(shape.ok());
    std::vector<uint8_t> out(shape->bytes());
    auto done = convert(src, t, out.data(), out.size());
    EXPECT_TRUE(done.ok()) << (done.ok() ? "" : done.error());
    return out;
}

std::vector<uint16_t> words(const std::vector<uint8_t>& b) {
    std::vector<uint16_t> w(b.size() / 2);
    for (size_t i = 0; i < w.size(); ++i) {
        w[i] = static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    }
    return w;
}

TEST(PixelFormats, TableIsConsistent) {
    for (const FormatInfo& f : all_formats()) {
        EXPECT_EQ(find_format(f.code)->name, f.name);
        EXPECT_EQ(find_format(f.name)->code, f.code);
        const unsigned memory_bits = f.packing == Packing::GigEPacked ? 12 : f.sample_bits;
        EXPECT_EQ(f.bits_per_pixel(),
                  f.packed() ? memory_bits : (f.packing == Packing::Word ? 16 : 8) * f.channels)
            << f.name;
    }
    EXPECT_EQ(unpacked_equivalent(fmt_of("BayerGB10Packed")).name, "BayerGB10");
    EXPECT_EQ(unpacked_equivalent(fmt_of("Mono12p")).name, "Mono12");
    EXPECT_FALSE(find_format(0x01080002u).has_value());
}

// Samples 0x123, 0x3FF, 0x001, 0x2AA, 0x155 in each packing, written out bit by bit by hand.
struct UnpackCase {
    const char* format;
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> samples;
};

class Unpack : public ::testing::TestWithParam<UnpackCase> {};

TEST_P(Unpack, MatchesHandPackedBytes) {
    const UnpackCase& c = GetParam();
    const FormatInfo f = fmt_of(c.format);
    std::vector<uint16_t> out(c.samples.size());
    unpack_samples(f.packing, f.sample_bits, c.bytes.data(), out.size(), out.data());
    EXPECT_EQ(out, c.samples);
    // The same through the entry point, as a one-line image.
    Source src{c.bytes.data(), c.bytes.size(), f, static_cast<uint32_t>(c.samples.size()), 1, 0};
    EXPECT_EQ(words(run(src, Target::Unpacked)), c.samples);
}

INSTANTIATE_TEST_SUITE_P(
    Packings, Unpack,
    ::testing::Values(
        // LSB-first stream: 0x123 = bits 0-9, 0x3FF bits 10-19, ...
        UnpackCase{"Mono10p", {0x23, 0xFD, 0x1F, 0x80, 0xAA}, {0x123, 0x3FF, 0x001, 0x2AA}},
        UnpackCase{"Mono10p",
                   {0x23, 0xFD, 0x1F, 0x80, 0xAA, 0x55, 0x01},
                   {0x123, 0x3FF, 0x001, 0x2AA, 0x155}},
        UnpackCase{"Mono12p", {0x23, 0xF1, 0xFF, 0x01, 0xA0, 0x2A}, {0x123, 0xFFF, 0x001, 0x2AA}},
        UnpackCase{"Mono12p", {0x23, 0xF1, 0xFF, 0x01, 0x00}, {0x123, 0xFFF, 0x001}},
        // GigE Vision: high bits in bytes 0 and 2, low bits in byte 1's nibbles.
        UnpackCase{
            "Mono12Packed", {0x12, 0xF3, 0xFF, 0x00, 0xA1, 0x2A}, {0x123, 0xFFF, 0x001, 0x2AA}},
        UnpackCase{"Mono12Packed", {0x12, 0xF3, 0xFF, 0x00, 0x01}, {0x123, 0xFFF, 0x001}},
        UnpackCase{
            "Mono10Packed", {0x48, 0x33, 0xFF, 0x00, 0x21, 0xAA}, {0x123, 0x3FF, 0x001, 0x2AA}},
        UnpackCase{"BayerRG12p", {0x23, 0xF1, 0xFF}, {0x123, 0xFFF}}));

// The bilinear rule written out per pixel with mirrored edges, as a reference.
std::vector<int> reference_bilinear(const std::vector<int>& m, int w, int h, Phase phase) {
    auto at = [&](int x, int y) {
        x = x < 0 ? -x : (x >= w ? 2 * w - 2 - x : x);
        y = y < 0 ? -y : (y >= h ? 2 * h - 2 - y : y);
        return m[y * w + x];
    };
    // Colour of (x, y): 0 red, 1 green, 2 blue.
    const int first[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    auto colour = [&](int x, int y) {
        return first[static_cast<int>(phase)][((y & 1) << 1) | (x & 1)];
    };
    std::vector<int> out(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                int sum = 0, n = 0;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        if (colour(x + dx, y + dy) == c && (colour(x, y) != c || (!dx && !dy))) {
                            sum += at(x + dx, y + dy);
                            ++n;
                        }
                    }
                }
                if (colour(x, y) == c) {
                    sum = at(x, y), n = 1;
                }
                out[(size_t(y) * w + x) * 3 + c] = (sum + n / 2) / n;
            }
        }
    }
    return out;
}

struct BayerCase {
    const char* format;
    int width, height;
};

class Demosaic : public ::testing::TestWithParam<BayerCase> {};

TEST_P(Demosaic, MatchesTheBilinearRule) {
    const BayerCase& c = GetParam();
    const FormatInfo f = fmt_of(c.format);
    const bool wide = f.packing == Packing::Word;
    std::vector<int> mosaic(size_t(c.width) * c.height);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < mosaic.size(); ++i) {
        const int v = static_cast<int>((i * 2654435761u) >> 7) & ((1 << f.sample_bits) - 1);
        mosaic[i] = v;
        bytes.push_back(static_cast<uint8_t>(v));
        if (wide) {
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    const std::vector<int> expected = reference_bilinear(mosaic, c.width, c.height, f.phase);
    Source src{bytes.data(), bytes.size(), f, uint32_t(c.width), uint32_t(c.height), 0};
    const std::vector<uint16_t> rgb16 = words(run(src, Target::Rgb16));
    const std::vector<uint8_t> bgr8 = run(src, Target::Bgr8);
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(rgb16[i], expected[i] << (16 - f.sample_bits)) << "sample " << i;
        const size_t swapped = i - i % 3 + (2 - i % 3);
        ASSERT_EQ(bgr8[swapped], expected[i] >> (f.sample_bits - 8)) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, Demosaic,
                         ::testing::Values(BayerCase{"BayerRG8", 8, 6}, BayerCase{"BayerGR8", 7, 5},
                                           BayerCase{"BayerGB8", 9, 3}, BayerCase{"BayerBG8", 2, 2},
                                           BayerCase{"BayerRG12", 5, 7},
                                           BayerCase{"BayerBG16", 6, 4},
                                           BayerCase{"BayerGR10", 3, 2}));

// A flat colour survives demosaicing exactly, edges included, in every phase: any phase or
// channel-order mistake turns red into blue here.
TEST(Demosaic, FlatColourInEveryPhase) {
    const int colour[3] = {200, 100, 30};
    const int first[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
    for (const char* name : {"BayerRG8", "BayerGR8", "BayerGB8", "BayerBG8"}) {
        const FormatInfo f = fmt_of(name);
        const int w = 5, h = 3;
        std::vector<uint8_t> bytes;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                bytes.push_back(uint8_t(colour[first[int(f.phase)][((y & 1) << 1) | (x & 1)]]));
            }
        }
        Source src{bytes.data(), bytes.size(), f, w, h, 0};
        const std::vector<uint8_t> rgb = run(src, Target::Rgb8);
        for (size_t i = 0; i < rgb.size(); ++i) {
            ASSERT_EQ(rgb[i], colour[i % 3]) << name << " sample " << i;
        }
    }
}

// BT.601 in floating point, as the header states it.
void reference_ycbcr(double y, double cb, double cr, bool limited, double rgb[3]) {
    const double ys = limited ? 1.164383 * (y - 16) : y;
    cb -= 128, cr -= 128;
    rgb[0] = ys + (limited ? 1.596027 : 1.402) * cr;
    rgb[1] = ys - (limited ? 0.391762 : 0.344136) * cb - (limited ? 0.812968 : 0.714136) * cr;
    rgb[2] = ys + (limited ? 2.017232 : 1.772) * cb;
}

TEST(Yuv422, MatchesBt601WithinOne) {
    for (const char* name :
         {"YUV422_8", "YUV422_8_UYVY", "YCbCr601_422_8", "YCbCr601_422_8_CbYCrY"}) {
        const FormatInfo f = fmt_of(name);
        const bool uyvy = f.order == Order::Uyvy;
        const int w = 256, h = 3;
        std::vector<uint8_t> bytes;
        for (int y = 0; y < h; ++y) {
            for (int p = 0; p < w / 2; ++p) {
                const uint8_t y0 = uint8_t(2 * p), y1 = uint8_t(2 * p + 1);
                const uint8_t cb = uint8_t(p * 2 + y * 40), cr = uint8_t(255 - p * 2 + y * 90);
                const uint8_t g[4] = {y0, cb, y1, cr};
                const uint8_t u[4] = {cb, y0, cr, y1};
                bytes.insert(bytes.end(), uyvy ? u : g, (uyvy ? u : g) + 4);
            }
        }
        Source src{bytes.data(), bytes.size(), f, w, h, 0};
        const std::vector<uint8_t> rgb = run(src, Target::Rgb8);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int p = x / 2;
                double ref[3];
                reference_ycbcr(x, uint8_t(p * 2 + y * 40), uint8_t(255 - p * 2 + y * 90),
                                f.range == YuvRange::Limited, ref);
                for (int c = 0; c < 3; ++c) {
                    const double want = std::clamp(ref[c], 0.0, 255.0);
                    ASSERT_NEAR(rgb[(size_t(y) * w + x) * 3 + c], want, 1.0)
                        << name << " x=" << x << " y=" << y << " c=" << c;
                }
            }
        }
    }
}

TEST(Convert, ColourOrdersAndLuma) {
    const uint8_t rgba[8] = {10, 20, 30, 40, 250, 128, 0, 7};
    const uint8_t bgr[6] = {30, 20, 10, 0, 128, 250};
    const std::vector<uint8_t> rgb = {10, 20, 30, 250, 128, 0};
    EXPECT_EQ(run(Source{rgba, 8, fmt_of("RGBa8"), 2, 1, 0}, Target::Rgb8), rgb);
    EXPECT_EQ(run(Source{bgr, 6, fmt_of("BGR8"), 2, 1, 0}, Target::Rgb8), rgb);
    EXPECT_EQ(run(Source{rgba, 8, fmt_of("BGRa8"), 2, 1, 0}, Target::Rgb8),
              (std::vector<uint8_t>{30, 20, 10, 0, 128, 250}));
    const std::vector<uint8_t> mono =
        run(Source{rgb.data(), 6, fmt_of("RGB8"), 2, 1, 0}, Target::Mono8);
    EXPECT_EQ(mono, (std::vector<uint8_t>{(77 * 10 + 150 * 20 + 29 * 30 + 128) >> 8,
                                          (77 * 250 + 150 * 128 + 128) >> 8}));
}

TEST(Convert, MonoDepthsAndPaddedLines) {
    // Mono12 with two padding bytes after each 3-pixel line.
    const uint8_t bytes[16] = {0xFF, 0x0F, 0x00, 0x08, 0x10, 0x00, 0xEE,
                               0xEE, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};
    Source src{bytes, sizeof(bytes), fmt_of("Mono12"), 3, 2, 8};
    EXPECT_EQ(words(run(src, Target::Unpacked)),
              (std::vector<uint16_t>{0xFFF, 0x800, 0x010, 1, 2, 3}));
    EXPECT_EQ(run(src, Target::Mono8), (std::vector<uint8_t>{0xFF, 0x80, 0x01, 0, 0, 0}));
    EXPECT_EQ(words(run(src, Target::Mono16)),
              (std::vector<uint16_t>{0xFFF0, 0x8000, 0x0100, 16, 32, 48}));
    // Odd start address: the 16-bit samples are read through an aligned copy.
    std::vector<uint8_t> shifted(1 + sizeof(bytes));
    std::copy(bytes, bytes + sizeof(bytes), shifted.begin() + 1);
    src.data = shifted.data() + 1;
    EXPECT_EQ(words(run(src, Target::Unpacked))[1], 0x800);
}

TEST(Convert, RefusesWhatItCannotDo) {
    const std::vector<uint8_t> bytes(64);
    uint8_t out[64];
    auto short_source =
        convert(Source{bytes.data(), 10, fmt_of("Mono8"), 4, 4, 0}, Target::Mono8, out, 16);
    ASSERT_FALSE(short_source.ok());
    EXPECT_NE(short_source.error().find("Mono8"), std::string::npos);
    EXPECT_FALSE(
        convert(Source{bytes.data(), 64, fmt_of("Mono8"), 4, 4, 0}, Target::Mono8, out, 15).ok());
    EXPECT_FALSE(
        convert(Source{bytes.data(), 64, fmt_of("Mono8"), 4, 4, 3}, Target::Mono8, out, 16).ok());
    EXPECT_FALSE(
        convert(Source{bytes.data(), 64, fmt_of("BayerRG8"), 1, 4, 0}, Target::Rgb8, out, 12).ok());
    auto yuv = target_shape(fmt_of("YUV422_8"), Target::Unpacked, 4, 4);
    ASSERT_FALSE(yuv.ok());
    EXPECT_NE(yuv.error().find("YUV422_8"), std::string::npos);
}

}  // namespace
}  // namespace corvisk::pixels
