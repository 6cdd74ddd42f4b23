// libFuzzer target: the input chooses packets, order, loss, duplication and timing for the
// frame assembler, whose invariants are checked after every step.
#include <cstddef>
#include <cstdint>

#include "stream_assembler_driver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvisk::gige::fuzzing::run_stream_assembler_case(data, size);
    return 0;
}
