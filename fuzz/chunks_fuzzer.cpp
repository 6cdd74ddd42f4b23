// Fuzz target: chunk layouts of frame payloads parse to an exact tiling or fail cleanly.
#include <cstdlib>

#include "chunk_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!corvisk::fuzz::chunks_entry({data, size})) {
        std::abort();
    }
    return 0;
}
