// libFuzzer target: GVSP header and leader parsing, classification and frame-id distance.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!corvisk::fuzz::gvsp_entry({data, size})) {
        __builtin_trap();
    }
    return 0;
}
