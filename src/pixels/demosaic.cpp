// Bilinear demosaic. A line of a Bayer mosaic alternates two sites (red and green, or green and
// blue); each of the four line kinds gets its own instantiation of the line loop, so the inner
// loop runs over pixel pairs with no per-pixel branch. The first and last pixel of each line
// take their missing neighbours from the mirrored side; lines are mirrored by choosing the
// neighbour line pointers.
#include "pixels/demosaic.hpp"

namespace corvisk::pixels {
namespace {

// What a pixel of the mosaic samples: red, blue, green on a red line, green on a blue line.
enum class Site : uint8_t { R, B, Gr, Gb };

template <class In, class Out, bool Bgr, bool Shift>
struct Line {
    const In* up;
    const In* mid;
    const In* dn;
    Out* out;
    unsigned lshift;
    unsigned rshift;

    Out scale(unsigned v) const { return static_cast<Out>(Shift ? (v << lshift) >> rshift : v); }
    void put(size_t x, unsigned r, unsigned g, unsigned b) const {
        Out* p = out + 3 * x;
        p[Bgr ? 2 : 0] = scale(r);
        p[1] = scale(g);
        p[Bgr ? 0 : 2] = scale(b);
    }

    template <Site S>
    void pixel(size_t xl, size_t x, size_t xr) const {
        const unsigned c = mid[x];
        if constexpr (S == Site::R || S == Site::B) {
            const unsigned cross = (up[x] + dn[x] + mid[xl] + mid[xr] + 2u) >> 2;
            const unsigned diag = (up[xl] + up[xr] + dn[xl] + dn[xr] + 2u) >> 2;
            S == Site::R ? put(x, c, cross, diag) : put(x, diag, cross, c);
        } else {
            const unsigned horiz = (mid[xl] + mid[xr] + 1u) >> 1;
            const unsigned vert = (up[x] + dn[x] + 1u) >> 1;
            S == Site::Gr ? put(x, horiz, c, vert) : put(x, vert, c, horiz);
        }
    }

    // Even columns are `E` sites, odd columns `O` sites.
    template <Site E, Site O>
    void run(size_t w) const {
        pixel<E>(1, 0, 1);
        size_t x = 1;
        for (; x + 2 < w; x += 2) {
            pixel<O>(x - 1, x, x + 1);
            pixel<E>(x, x + 1, x + 2);
        }
        if (x + 1 < w) {
            pixel<O>(x - 1, x, x + 1);
            ++x;
        }
        if (x < w) {  // the last column, mirrored on its right
            (x & 1) ? pixel<O>(x - 1, x, x - 1) : pixel<E>(x - 1, x, x - 1);
        }
    }
};

// Line kinds by the sites of their even and odd columns: RG, GR, GB, BG lines.
template <class In, class Out, bool Bgr, bool Shift>
void run_line(unsigned kind, const Line<In, Out, Bgr, Shift>& line, size_t w) {
    switch (kind) {
        case 0:
            return line.template run<Site::R, Site::Gr>(w);
        case 1:
            return line.template run<Site::Gr, Site::R>(w);
        case 2:
            return line.template run<Site::Gb, Site::B>(w);
        default:
            return line.template run<Site::B, Site::Gb>(w);
    }
}

// The kind of line y for a mosaic of `phase`: even lines start the pattern, odd lines are its
// second row.
unsigned line_kind(Phase phase, uint32_t y) {
    static constexpr unsigned kKinds[4][2] = {{0, 2}, {1, 3}, {2, 0}, {3, 1}};
    return kKinds[static_cast<unsigned>(phase)][y & 1];
}

template <class In, class Out, bool Bgr, bool Shift>
void demosaic(Plane<const In> src, Phase phase, Plane<Out> dst, unsigned lshift, unsigned rshift) {
    const uint32_t h = src.height;
    for (uint32_t y = 0; y < h; ++y) {
        const Line<In, Out, Bgr, Shift> line{src.line(y == 0 ? 1 : y - 1),
                                             src.line(y),
                                             src.line(y + 1 == h ? h - 2 : y + 1),
                                             dst.line(y),
                                             lshift,
                                             rshift};
        run_line(line_kind(phase, y), line, src.width);
    }
}

template <class In, class Out>
void dispatch(Plane<const In> src, Phase phase, Plane<Out> dst, bool bgr, unsigned lshift,
              unsigned rshift) {
    // The 8-bit to 8-bit path, the common one, is compiled without the shifts.
    if (lshift == 0 && rshift == 0) {
        bgr ? demosaic<In, Out, true, false>(src, phase, dst, 0, 0)
            : demosaic<In, Out, false, false>(src, phase, dst, 0, 0);
    } else {
        bgr ? demosaic<In, Out, true, true>(src, phase, dst, lshift, rshift)
            : demosaic<In, Out, false, true>(src, phase, dst, lshift, rshift);
    }
}

}  // namespace

void demosaic_bilinear(Plane<const uint8_t> src, Phase phase, Plane<uint8_t> dst, bool bgr) {
    dispatch(src, phase, dst, bgr, 0, 0);
}

void demosaic_bilinear(Plane<const uint8_t> src, Phase phase, Plane<uint16_t> dst, bool bgr,
                       unsigned lshift) {
    dispatch(src, phase, dst, bgr, lshift, 0);
}

void demosaic_bilinear(Plane<const uint16_t> src, Phase phase, Plane<uint8_t> dst, bool bgr,
                       unsigned rshift) {
    dispatch(src, phase, dst, bgr, 0, rshift);
}

void demosaic_bilinear(Plane<const uint16_t> src, Phase phase, Plane<uint16_t> dst, bool bgr,
                       unsigned lshift) {
    dispatch(src, phase, dst, bgr, lshift, 0);
}

}  // namespace corvisk::pixels
