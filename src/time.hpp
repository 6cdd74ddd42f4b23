// Clocks: a monotonic clock for every deadline, the wall clock for frame system timestamps.
#pragma once

#include <chrono>
#include <cstdint>

namespace corvisk {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;
using Instant = Clock::time_point;

// now + timeout, saturating at the far future instead of overflowing.
inline Instant deadline_after(Duration timeout, Instant now = Clock::now()) {
    if (timeout > Instant::max() - now) {
        return Instant::max();
    }
    return now + timeout;
}

// Host wall-clock time in nanoseconds since the UNIX epoch; 0 if the clock is before it.
inline uint64_t wall_clock_ns() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return ns > 0 ? static_cast<uint64_t>(ns) : 0;
}

// Milliseconds until the deadline for a poll() style wait: 0 when due, capped at cap_ms.
inline int ms_until(Instant deadline, int cap_ms, Instant now = Clock::now()) {
    if (deadline <= now) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return ms > cap_ms ? cap_ms : static_cast<int>(ms);
}

}  // namespace corvisk
