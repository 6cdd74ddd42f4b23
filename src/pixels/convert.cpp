// Whole-image conversion: validate the layout, turn the source into a plane of samples (packed
// formats are unpacked into scratch first), then run the kernel for the format kind and target.
#include "pixels/convert.hpp"

#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "pixels/colour.hpp"
#include "pixels/demosaic.hpp"
#include "pixels/unpack.hpp"

namespace corvisk::pixels {
namespace {

using Error = Err<std::string>;

// The source's samples: 8-bit or 16-bit plane, plus the scratch that may back it.
struct Samples {
    Plane<const uint8_t> p8;
    Plane<const uint16_t> p16;
    bool wide = false;
    std::vector<uint16_t> scratch;
};

size_t line_bytes(const FormatInfo& f, uint32_t width) {
    return (uint64_t{width} * f.bits_per_pixel() + 7) / 8;
}

Result<void, std::string> check_source(const Source& s) {
    const std::string_view name = s.format.name;
    if (s.width == 0 || s.height == 0) {
        return Error{fmt::format("{} image of {}x{} pixels is empty", name, s.width, s.height)};
    }
    const size_t line = line_bytes(s.format, s.width);
    if (s.stride != 0 && s.stride < line) {
        return Error{fmt::format("{} line stride {} is shorter than a line of {} bytes", name,
                                 s.stride, line)};
    }
    const size_t need =
        s.stride == 0 ? s.format.image_bytes(s.width, s.height) : s.stride * (s.height - 1) + line;
    if (s.size < need) {
        return Error{fmt::format("{} image of {}x{} needs {} bytes, the source has {}", name,
                                 s.width, s.height, need, s.size)};
    }
    return {};
}

// Unpacks a packed source into 16-bit samples, line by line when lines are padded.
void unpack_into(const Source& s, Samples& out) {
    out.scratch.resize(size_t{s.width} * s.height);
    const FormatInfo& f = s.format;
    if (s.stride == 0) {
        unpack_samples(f.packing, f.sample_bits, s.data, out.scratch.size(), out.scratch.data());
    } else {
        for (uint32_t y = 0; y < s.height; ++y) {
            unpack_samples(f.packing, f.sample_bits, s.data + y * s.stride, s.width,
                           out.scratch.data() + size_t{y} * s.width);
        }
    }
    out.p16 = {out.scratch.data(), size_t{s.width} * 2, s.width, s.height};
    out.wide = true;
}

Samples samples_of(const Source& s) {
    Samples out;
    const size_t stride = s.stride != 0 ? s.stride : line_bytes(s.format, s.width);
    if (s.format.packed()) {
        unpack_into(s, out);
    } else if (s.format.packing == Packing::Word) {
        out.wide = true;
        if (reinterpret_cast<uintptr_t>(s.data) % alignof(uint16_t) != 0 || stride % 2 != 0) {
            // 16-bit samples at odd addresses: work on an aligned copy.
            out.scratch.resize(size_t{s.width} * s.height);
            for (uint32_t y = 0; y < s.height; ++y) {
                std::memcpy(out.scratch.data() + size_t{y} * s.width, s.data + y * stride,
                            size_t{s.width} * 2);
            }
            out.p16 = {out.scratch.data(), size_t{s.width} * 2, s.width, s.height};
        } else {
            out.p16 = {reinterpret_cast<const uint16_t*>(s.data), stride, s.width, s.height};
        }
    } else {
        out.p8 = {s.data, stride, s.width, s.height};
    }
    return out;
}

template <class T>
Plane<T> out_plane(uint8_t* out, const Shape& shape) {
    return {reinterpret_cast<T*>(out), size_t{shape.width} * shape.channels * sizeof(T),
            shape.width, shape.height};
}

// The format's own samples without padding.
void copy_unpacked(const Samples& in, const Shape& shape, uint8_t* out) {
    const size_t row = size_t{shape.width} * shape.channels * shape.sample_bytes;
    for (uint32_t y = 0; y < shape.height; ++y) {
        const void* line = in.wide ? static_cast<const void*>(in.p16.line(y))
                                   : static_cast<const void*>(in.p8.line(y));
        std::memcpy(out + y * row, line, row);
    }
}

void mono(const Samples& in, unsigned bits, const Shape& shape, uint8_t* out) {
    const bool wide_out = shape.sample_bytes == 2;
    const unsigned ch = shape.channels;
    if (in.wide) {
        wide_out ? mono_to(in.p16, out_plane<uint16_t>(out, shape), ch, 16 - bits)
                 : mono_to(in.p16, out_plane<uint8_t>(out, shape), ch, bits - 8);
    } else {
        wide_out ? mono_to(in.p8, out_plane<uint16_t>(out, shape), ch, 8)
                 : mono_to(in.p8, out_plane<uint8_t>(out, shape), ch, 0);
    }
}

void bayer(const Samples& in, const FormatInfo& f, Target t, const Shape& shape, uint8_t* out) {
    const bool bgr = t == Target::Bgr8;
    const unsigned bits = f.sample_bits;
    if (in.wide) {
        shape.sample_bytes == 2
            ? demosaic_bilinear(in.p16, f.phase, out_plane<uint16_t>(out, shape), bgr, 16 - bits)
            : demosaic_bilinear(in.p16, f.phase, out_plane<uint8_t>(out, shape), bgr, bits - 8);
    } else {
        shape.sample_bytes == 2
            ? demosaic_bilinear(in.p8, f.phase, out_plane<uint16_t>(out, shape), bgr, 8)
            : demosaic_bilinear(in.p8, f.phase, out_plane<uint8_t>(out, shape), bgr);
    }
}

void colour(const Samples& in, const FormatInfo& f, Target t, const Shape& shape, uint8_t* out) {
    const bool bgr = t == Target::Bgr8;
    if (f.kind == Kind::Rgb) {
        shape.sample_bytes == 2 ? rgb_to(in.p8, f.order, out_plane<uint16_t>(out, shape), bgr)
                                : rgb_to(in.p8, f.order, out_plane<uint8_t>(out, shape), bgr);
        return;
    }
    if (shape.sample_bytes == 1) {
        yuv422_to(in.p8, f.order, f.range, out_plane<uint8_t>(out, shape), bgr);
        return;
    }
    // 16-bit RGB of 8-bit YCbCr: convert at 8 bits, then widen.
    const Shape narrow{shape.height, shape.width, 3, 1};
    std::vector<uint8_t> rgb(narrow.bytes());
    yuv422_to(in.p8, f.order, f.range, out_plane<uint8_t>(rgb.data(), narrow), false);
    rgb_to(Plane<const uint8_t>{rgb.data(), size_t{shape.width} * 3, shape.width, shape.height},
           Order::Rgb, out_plane<uint16_t>(out, shape), false);
}

void to_rgb(const Samples& in, const FormatInfo& f, Target t, const Shape& shape, uint8_t* out) {
    if (f.kind == Kind::Mono) {
        mono(in, f.sample_bits, shape, out);
    } else if (f.kind == Kind::Bayer) {
        bayer(in, f, t, shape, out);
    } else {
        colour(in, f, t, shape, out);
    }
}

// Luma of a colour source: RGB at the target's depth into scratch, then weighted.
void to_luma(const Samples& in, const FormatInfo& f, const Shape& shape, uint8_t* out) {
    const bool wide = shape.sample_bytes == 2;
    const Shape rgb_shape{shape.height, shape.width, 3, shape.sample_bytes};
    std::vector<uint8_t> rgb(rgb_shape.bytes());
    to_rgb(in, f, wide ? Target::Rgb16 : Target::Rgb8, rgb_shape, rgb.data());
    if (wide) {
        luma(Plane<const uint16_t>{reinterpret_cast<const uint16_t*>(rgb.data()),
                                   size_t{shape.width} * 6, shape.width, shape.height},
             out_plane<uint16_t>(out, shape));
    } else {
        luma(Plane<const uint8_t>{rgb.data(), rgb_shape.width * 3u, shape.width, shape.height},
             out_plane<uint8_t>(out, shape));
    }
}

}  // namespace

std::optional<Target> find_target(std::string_view name) {
    if (name == "Mono8")
        return Target::Mono8;
    if (name == "Mono16")
        return Target::Mono16;
    if (name == "RGB8")
        return Target::Rgb8;
    if (name == "BGR8")
        return Target::Bgr8;
    if (name == "RGB16")
        return Target::Rgb16;
    return std::nullopt;
}

Result<Shape, std::string> target_shape(const FormatInfo& f, Target t, uint32_t width,
                                        uint32_t height) {
    switch (t) {
        case Target::Unpacked:
            if (f.kind == Kind::Yuv422) {
                return Error{
                    fmt::format("{} has no one-array-per-channel form; convert it to "
                                "RGB8 instead",
                                f.name)};
            }
            return Shape{height, width, f.channels, f.packing == Packing::Byte ? 1u : 2u};
        case Target::Mono8:
            return Shape{height, width, 1, 1};
        case Target::Mono16:
            return Shape{height, width, 1, 2};
        case Target::Rgb8:
        case Target::Bgr8:
            return Shape{height, width, 3, 1};
        case Target::Rgb16:
            return Shape{height, width, 3, 2};
    }
    return Error{std::string("unknown conversion target")};
}

Result<void, std::string> convert(const Source& src, Target t, uint8_t* out, size_t out_size) {
    if (auto ok = check_source(src); !ok) {
        return ok;
    }
    auto shape = target_shape(src.format, t, src.width, src.height);
    if (!shape) {
        return Error{shape.error()};
    }
    if (out_size != shape->bytes()) {
        return Error{fmt::format("output of {} bytes for a {}x{}x{} image of {} bytes", out_size,
                                 shape->height, shape->width, shape->channels, shape->bytes())};
    }
    if (src.format.kind == Kind::Bayer && t != Target::Unpacked &&
        (src.width < 2 || src.height < 2)) {
        return Error{fmt::format("{} image of {}x{} is too small to demosaic (2x2 at least)",
                                 src.format.name, src.width, src.height)};
    }
    const Samples in = samples_of(src);
    if (t == Target::Unpacked) {
        copy_unpacked(in, *shape, out);
    } else if ((t == Target::Mono8 || t == Target::Mono16) && src.format.kind != Kind::Mono) {
        to_luma(in, src.format, *shape, out);
    } else {
        to_rgb(in, src.format, t, *shape, out);
    }
    return {};
}

}  // namespace corvisk::pixels
