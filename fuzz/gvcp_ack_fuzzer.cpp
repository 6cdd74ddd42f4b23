// libFuzzer target: GVCP acknowledge and command validation and parsing.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!corvisk::fuzz::gvcp_ack_entry({data, size})) {
        __builtin_trap();
    }
    return 0;
}
