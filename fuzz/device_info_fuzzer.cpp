// libFuzzer target: DeviceInfo records and fixed-width string decoding.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!corvisk::fuzz::device_info_entry({data, size})) {
        __builtin_trap();
    }
    return 0;
}
