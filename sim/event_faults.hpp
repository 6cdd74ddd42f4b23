// Message-channel faults of the simulated camera (its device events).
#pragma once

#include <cstdint>

namespace corvisk::sim {

struct EventFaults {
    // Ignore the first N event acknowledges: the device retransmits (same request id), so the
    // host sees repeats it must acknowledge again and deliver once.
    uint32_t ack_loss = 0;
    // Send every event command twice back to back with the same request id.
    bool duplicates = false;
};

}  // namespace corvisk::sim
