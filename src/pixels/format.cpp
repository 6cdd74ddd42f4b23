// The pixel format table.
#include "pixels/format.hpp"

#include <algorithm>
#include <array>

namespace corvisk::pixels {
namespace {

using enum Kind;
using enum Packing;
using enum Phase;

constexpr FormatInfo mono(uint32_t code, std::string_view name, Packing p, uint8_t bits) {
    return FormatInfo{code, name, Mono, p, bits, 1, RG, Order::Rgb, YuvRange::Full};
}

constexpr FormatInfo bayer(uint32_t code, std::string_view name, Packing p, uint8_t bits,
                           Phase phase) {
    return FormatInfo{code, name, Bayer, p, bits, 1, phase, Order::Rgb, YuvRange::Full};
}

constexpr FormatInfo rgb(uint32_t code, std::string_view name, Order order, uint8_t channels) {
    return FormatInfo{code, name, Rgb, Byte, 8, channels, RG, order, YuvRange::Full};
}

constexpr FormatInfo yuv(uint32_t code, std::string_view name, Order order, YuvRange range) {
    return FormatInfo{code, name, Yuv422, Byte, 8, 2, RG, order, range};
}

constexpr std::array kFormats = {
    mono(0x01080001, "Mono8", Byte, 8),
    mono(0x01100003, "Mono10", Word, 10),
    mono(0x01100005, "Mono12", Word, 12),
    mono(0x01100025, "Mono14", Word, 14),
    mono(0x01100007, "Mono16", Word, 16),
    mono(0x010A0046, "Mono10p", LsbPacked, 10),
    mono(0x010C0047, "Mono12p", LsbPacked, 12),
    mono(0x010C0004, "Mono10Packed", GigEPacked, 10),
    mono(0x010C0006, "Mono12Packed", GigEPacked, 12),
    bayer(0x01080009, "BayerRG8", Byte, 8, RG),
    bayer(0x01080008, "BayerGR8", Byte, 8, GR),
    bayer(0x0108000A, "BayerGB8", Byte, 8, GB),
    bayer(0x0108000B, "BayerBG8", Byte, 8, BG),
    bayer(0x0110000D, "BayerRG10", Word, 10, RG),
    bayer(0x0110000C, "BayerGR10", Word, 10, GR),
    bayer(0x0110000E, "BayerGB10", Word, 10, GB),
    bayer(0x0110000F, "BayerBG10", Word, 10, BG),
    bayer(0x01100011, "BayerRG12", Word, 12, RG),
    bayer(0x01100010, "BayerGR12", Word, 12, GR),
    bayer(0x01100012, "BayerGB12", Word, 12, GB),
    bayer(0x01100013, "BayerBG12", Word, 12, BG),
    bayer(0x0110002F, "BayerRG16", Word, 16, RG),
    bayer(0x0110002E, "BayerGR16", Word, 16, GR),
    bayer(0x01100030, "BayerGB16", Word, 16, GB),
    bayer(0x01100031, "BayerBG16", Word, 16, BG),
    bayer(0x010A0058, "BayerRG10p", LsbPacked, 10, RG),
    bayer(0x010A0056, "BayerGR10p", LsbPacked, 10, GR),
    bayer(0x010A0054, "BayerGB10p", LsbPacked, 10, GB),
    bayer(0x010A0052, "BayerBG10p", LsbPacked, 10, BG),
    bayer(0x010C0059, "BayerRG12p", LsbPacked, 12, RG),
    bayer(0x010C0057, "BayerGR12p", LsbPacked, 12, GR),
    bayer(0x010C0055, "BayerGB12p", LsbPacked, 12, GB),
    bayer(0x010C0053, "BayerBG12p", LsbPacked, 12, BG),
    bayer(0x010C0027, "BayerRG10Packed", GigEPacked, 10, RG),
    bayer(0x010C0026, "BayerGR10Packed", GigEPacked, 10, GR),
    bayer(0x010C0028, "BayerGB10Packed", GigEPacked, 10, GB),
    bayer(0x010C0029, "BayerBG10Packed", GigEPacked, 10, BG),
    bayer(0x010C002B, "BayerRG12Packed", GigEPacked, 12, RG),
    bayer(0x010C002A, "BayerGR12Packed", GigEPacked, 12, GR),
    bayer(0x010C002C, "BayerGB12Packed", GigEPacked, 12, GB),
    bayer(0x010C002D, "BayerBG12Packed", GigEPacked, 12, BG),
    rgb(0x02180014, "RGB8", Order::Rgb, 3),
    rgb(0x02180015, "BGR8", Order::Bgr, 3),
    rgb(0x02200016, "RGBa8", Order::Rgba, 4),
    rgb(0x02200017, "BGRa8", Order::Bgra, 4),
    yuv(0x02100032, "YUV422_8", Order::Yuyv, YuvRange::Full),
    yuv(0x0210001F, "YUV422_8_UYVY", Order::Uyvy, YuvRange::Full),
    yuv(0x0210003B, "YCbCr422_8", Order::Yuyv, YuvRange::Full),
    yuv(0x02100043, "YCbCr422_8_CbYCrY", Order::Uyvy, YuvRange::Full),
    yuv(0x0210003E, "YCbCr601_422_8", Order::Yuyv, YuvRange::Limited),
    yuv(0x02100044, "YCbCr601_422_8_CbYCrY", Order::Uyvy, YuvRange::Limited),
};

}  // namespace

size_t FormatInfo::image_bytes(uint32_t width, uint32_t height) const {
    const uint64_t bits = uint64_t{width} * height * bits_per_pixel();
    return static_cast<size_t>((bits + 7) / 8);
}

std::span<const FormatInfo> all_formats() {
    return kFormats;
}

std::optional<FormatInfo> find_format(uint32_t code) {
    auto it = std::find_if(kFormats.begin(), kFormats.end(),
                           [&](const FormatInfo& f) { return f.code == code; });
    return it == kFormats.end() ? std::nullopt : std::optional<FormatInfo>(*it);
}

std::optional<FormatInfo> find_format(std::string_view name) {
    auto it = std::find_if(kFormats.begin(), kFormats.end(),
                           [&](const FormatInfo& f) { return f.name == name; });
    return it == kFormats.end() ? std::nullopt : std::optional<FormatInfo>(*it);
}

FormatInfo unpacked_equivalent(const FormatInfo& format) {
    if (!format.packed()) {
        return format;
    }
    auto it = std::find_if(kFormats.begin(), kFormats.end(), [&](const FormatInfo& f) {
        return f.kind == format.kind && f.packing == Packing::Word &&
               f.sample_bits == format.sample_bits && f.phase == format.phase;
    });
    return *it;  // every packed format has its unpacked twin in the table
}

}  // namespace corvisk::pixels
