// The byte-addressed device-memory port: the one interface between the feature model above and
// the transport below. Both layers include it; it knows neither.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"

namespace corvisk {

// Blocking register/memory access to one device. The transport (the control port of a
// connected camera) implements it; the feature model only ever calls it, so the feature model stays
// independent of sockets and can be exercised against an in-memory port in tests.
//
// Calls block the calling thread until the device answers or the transport gives up. An
// implementation is used by one thread at a time (the feature layer holds its camera mutex).
class PortIo {
  public:
    virtual ~PortIo() = default;

    // Fills `buffer` completely with the bytes at `address`; any failure leaves its contents
    // unspecified and is reported as the transport's error.
    virtual CameraResult<void> read(uint64_t address, std::span<uint8_t> buffer) = 0;

    // Writes all of `data` at `address`.
    virtual CameraResult<void> write(uint64_t address, std::span<const uint8_t> data) = 0;
};

}  // namespace corvisk
