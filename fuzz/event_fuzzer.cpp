// Fuzz target: message channel datagrams decode to events that survive a round trip, or fail.
#include <cstdlib>

#include "chunk_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!corvisk::fuzz::event_entry({data, size})) {
        std::abort();
    }
    return 0;
}
