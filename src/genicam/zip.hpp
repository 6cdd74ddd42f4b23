// Reader for the ZIP archive a device may serve its GenICam description in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "genicam/url.hpp"
#include "result.hpp"

namespace corvisk::genicam::zip {

// Returns the content of the description in a ZIP archive (stored or deflated): the first entry
// whose name ends in ".xml" (any case), or the first entry when none does; or the display text
// of what is wrong with the archive. Every offset and length read from the archive is checked
// against it; `limit` caps both the declared size of the entry and the bytes inflation may produce,
// so a compression bomb fails once it reaches the limit. Pure; thread-safe.
Result<std::vector<uint8_t>, std::string> extract_first_file(std::span<const uint8_t> archive,
                                                             uint64_t limit = kMaxDescriptionSize);

}  // namespace corvisk::genicam::zip
