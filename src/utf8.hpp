// UTF-8 text helpers for device-supplied bytes: lossy decoding and Unicode white-space trimming.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvisk {

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence by U+FFFD, so any device
// text becomes valid UTF-8 without losing the readable parts. Pure; thread-safe.
std::string utf8_lossy(std::span<const uint8_t> bytes);

// `text` without leading and trailing Unicode White_Space characters (ASCII blanks, NEL, NBSP,
// the U+2000 family, line/paragraph separators, ideographic space). `text` must be valid UTF-8.
// Returns a view into `text`.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace corvisk
