// Fuzz target: arbitrary archive bytes through the ZIP reader with a small output limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "genicam/zip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small enough that bombs hit the limit quickly, large enough for real descriptions' shape.
    constexpr uint64_t kLimit = 1 << 20;
    auto content = corvisk::genicam::zip::extract_first_file({data, size}, kLimit);
    if (content.ok() && content.value().size() > kLimit) {
        std::abort();
    }
    return 0;
}
