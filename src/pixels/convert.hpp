// Whole-image conversion: one source image in any known pixel format to one of a few target
// layouts, written into caller-provided memory. No allocation beyond scratch for packed sources
// and for Mono targets of colour sources; no shared state, so calls may run on any thread.
//
//   Source src{bytes, size, *find_format("BayerRG12p"), 2448, 2048, 0};
//   auto shape = target_shape(src.format, Target::Rgb8, src.width, src.height);
//   std::vector<uint8_t> out(shape->bytes());
//   auto done = convert(src, Target::Rgb8, out.data(), out.size());
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pixels/format.hpp"
#include "result.hpp"

namespace corvisk::pixels {

enum class Target : uint8_t {
    Unpacked,  // the format's own samples, one or two bytes each, without line padding
    Mono8,     // 8-bit luma; mono sources keep their top eight bits
    Mono16,    // 16-bit luma; mono sources shifted to span the 16-bit range
    Rgb8,      // interleaved R, G, B
    Bgr8,      // interleaved B, G, R
    Rgb16,     // interleaved R, G, B, 16-bit, shifted to span the 16-bit range
};

// "Mono8", "Mono16", "RGB8", "BGR8", "RGB16"; nullopt for any other name.
std::optional<Target> find_target(std::string_view name);

// The size of a converted image: height × width × channels samples of 1 or 2 bytes, packed.
struct Shape {
    uint32_t height = 0;
    uint32_t width = 0;
    uint32_t channels = 1;
    uint32_t sample_bytes = 1;
    size_t bytes() const { return size_t{height} * width * channels * sample_bytes; }
};

// The shape `target` gives for `format`, or why there is none (Unpacked of a 4:2:2 format).
Result<Shape, std::string> target_shape(const FormatInfo& format, Target target, uint32_t width,
                                        uint32_t height);

// A source image. `stride` is the distance between line starts in bytes; 0 means lines follow
// each other without padding (packed formats then form one continuous bit stream).
struct Source {
    const uint8_t* data = nullptr;
    size_t size = 0;
    FormatInfo format;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t stride = 0;
};

// Converts `src` into `out`, which must be exactly target_shape(...).bytes() long. Errors (as
// text naming the format): a source shorter than its image, a stride shorter than a line, an
// output of the wrong size, a Bayer image smaller than 2 × 2.
Result<void, std::string> convert(const Source& src, Target target, uint8_t* out, size_t out_size);

}  // namespace corvisk::pixels
