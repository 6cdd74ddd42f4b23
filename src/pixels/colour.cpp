// Per-pixel colour kernels: straight loops over lines and pixels, written so the compiler can
// vectorise them (no branches in the inner loops but the YCbCr clamp).
#include "pixels/colour.hpp"

#include <algorithm>

namespace corvisk::pixels {
namespace {

template <class In, class Out>
void mono_lines(Plane<const In> src, Plane<Out> dst, unsigned channels, unsigned lshift,
                unsigned rshift) {
    for (uint32_t y = 0; y < src.height; ++y) {
        const In* s = src.line(y);
        Out* d = dst.line(y);
        if (channels == 1) {
            for (uint32_t x = 0; x < src.width; ++x) {
                d[x] = static_cast<Out>((unsigned{s[x]} << lshift) >> rshift);
            }
            continue;
        }
        for (uint32_t x = 0; x < src.width; ++x) {
            const Out v = static_cast<Out>((unsigned{s[x]} << lshift) >> rshift);
            d[3 * x] = v;
            d[3 * x + 1] = v;
            d[3 * x + 2] = v;
        }
    }
}

template <class Out>
void rgb_lines(Plane<const uint8_t> src, Order order, Plane<Out> dst, bool bgr, unsigned lshift) {
    const unsigned step = (order == Order::Rgba || order == Order::Bgra) ? 4 : 3;
    const bool src_bgr = order == Order::Bgr || order == Order::Bgra;
    const unsigned r = src_bgr != bgr ? 2 : 0;  // source channel for output channel 0
    for (uint32_t y = 0; y < src.height; ++y) {
        const uint8_t* s = src.line(y);
        Out* d = dst.line(y);
        for (uint32_t x = 0; x < src.width; ++x) {
            d[3 * x] = static_cast<Out>(s[step * x + r] << lshift);
            d[3 * x + 1] = static_cast<Out>(s[step * x + 1] << lshift);
            d[3 * x + 2] = static_cast<Out>(s[step * x + 2 - r] << lshift);
        }
    }
}

struct YuvCoefficients {
    int y_scale, y_offset, r_cr, g_cb, g_cr, b_cb;  // 16-bit fixed point
};

constexpr YuvCoefficients kFull{65536, 0, 91881, 22554, 46802, 116130};
constexpr YuvCoefficients kLimited{76309, 16, 104597, 25675, 53279, 132201};

inline uint8_t clamp8(int v) {
    return static_cast<uint8_t>(std::clamp((v + 32768) >> 16, 0, 255));
}

inline void yuv_pixel(const YuvCoefficients& k, int yv, int cb, int cr, uint8_t* d, bool bgr) {
    const int ys = (yv - k.y_offset) * k.y_scale;
    d[bgr ? 2 : 0] = clamp8(ys + k.r_cr * (cr - 128));
    d[1] = clamp8(ys - k.g_cb * (cb - 128) - k.g_cr * (cr - 128));
    d[bgr ? 0 : 2] = clamp8(ys + k.b_cb * (cb - 128));
}

}  // namespace

void mono_to(Plane<const uint8_t> src, Plane<uint8_t> dst, unsigned channels, unsigned rshift) {
    mono_lines(src, dst, channels, 0, rshift);
}
void mono_to(Plane<const uint16_t> src, Plane<uint8_t> dst, unsigned channels, unsigned rshift) {
    mono_lines(src, dst, channels, 0, rshift);
}
void mono_to(Plane<const uint8_t> src, Plane<uint16_t> dst, unsigned channels, unsigned lshift) {
    mono_lines(src, dst, channels, lshift, 0);
}
void mono_to(Plane<const uint16_t> src, Plane<uint16_t> dst, unsigned channels, unsigned lshift) {
    mono_lines(src, dst, channels, lshift, 0);
}

void rgb_to(Plane<const uint8_t> src, Order order, Plane<uint8_t> dst, bool bgr) {
    rgb_lines(src, order, dst, bgr, 0);
}
void rgb_to(Plane<const uint8_t> src, Order order, Plane<uint16_t> dst, bool bgr) {
    rgb_lines(src, order, dst, bgr, 8);
}

void yuv422_to(Plane<const uint8_t> src, Order order, YuvRange range, Plane<uint8_t> dst,
               bool bgr) {
    const YuvCoefficients& k = range == YuvRange::Full ? kFull : kLimited;
    // Byte positions inside a 4-byte group: Y0, Cb, Y1, Cr.
    const bool uyvy = order == Order::Uyvy;
    const unsigned y0 = uyvy ? 1 : 0, cb = uyvy ? 0 : 1, y1 = uyvy ? 3 : 2, cr = uyvy ? 2 : 3;
    for (uint32_t y = 0; y < src.height; ++y) {
        const uint8_t* s = src.line(y);
        uint8_t* d = dst.line(y);
        const uint32_t pairs = src.width / 2;
        for (uint32_t p = 0; p < pairs; ++p) {
            const uint8_t* g = s + 4 * p;
            yuv_pixel(k, g[y0], g[cb], g[cr], d + 6 * p, bgr);
            yuv_pixel(k, g[y1], g[cb], g[cr], d + 6 * p + 3, bgr);
        }
        if (src.width & 1) {  // a half group: Y0 and Cb, no Cr
            const uint8_t* g = s + 4 * pairs;
            yuv_pixel(k, g[y0], g[cb], 128, d + 6 * pairs, bgr);
        }
    }
}

template <class T>
void luma_lines(Plane<const T> rgb, Plane<T> dst) {
    for (uint32_t y = 0; y < rgb.height; ++y) {
        const T* s = rgb.line(y);
        T* d = dst.line(y);
        for (uint32_t x = 0; x < rgb.width; ++x) {
            const uint32_t v = 77u * s[3 * x] + 150u * s[3 * x + 1] + 29u * s[3 * x + 2] + 128u;
            d[x] = static_cast<T>(v >> 8);
        }
    }
}

void luma(Plane<const uint8_t> rgb, Plane<uint8_t> dst) {
    luma_lines(rgb, dst);
}
void luma(Plane<const uint16_t> rgb, Plane<uint16_t> dst) {
    luma_lines(rgb, dst);
}

}  // namespace corvisk::pixels
