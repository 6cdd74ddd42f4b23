// Packet-size negotiation: fire-test probes on the stream socket and the search over their
// outcomes, kept apart so the search runs without a socket or a device.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <netinet/in.h>

#include "error.hpp"
#include "gige/control_port.hpp"

namespace corvisk::gige {

// Smallest and largest packet sizes the fire-test search considers, and the size used when the
// device sends no test packets at all.
inline constexpr uint16_t kMinPacketSize = 560;
inline constexpr uint16_t kMaxPacketSize = 9152;
inline constexpr uint16_t kFallbackPacketSize = 1500;
// Sizes tried, in order, after kMaxPacketSize failed; the first that passes is the search's
// lower bound.
inline constexpr std::array<uint16_t, 3> kFirstProbeSizes = {1488, 1008, 560};
// The search stops when the bounds are this close, and its midpoints are multiples of it
// above the lower bound.
inline constexpr uint16_t kPacketSizeStep = 16;
// SCPS flags of a probe: fire one test packet, do not fragment.
inline constexpr uint32_t kScpsFireTest = 0x80000000;
inline constexpr uint32_t kScpsDontFragment = 0x40000000;

// A probe below every usable size: a device that passes it but not kMinPacketSize streams over
// a path too small for any stream packet.
inline constexpr uint16_t kPathCheckSize = 128;

// One fire-test probe of `size` bytes: the largest test-packet size observed (at most `size`),
// or nothing when no test packet came back.
using PacketProbe = std::function<std::optional<uint16_t>(uint16_t size)>;

// The packet size the probes find: 9152 when that passes, otherwise a binary search above the
// first of 1488, 1008, 560 that passes, never below 560. Nothing when every first probe fails.
std::optional<uint16_t> search_packet_size(const PacketProbe& probe);

// The largest observed size while bisecting between a passing `lower` (observed `best`) and a
// failing `upper`, in steps of kPacketSizeStep.
uint16_t largest_passing(const PacketProbe& probe, uint16_t lower, uint16_t best, uint16_t upper);

// When every usable size failed: the largest size the path carries if it carries a
// kPathCheckSize probe at all, otherwise nothing (the device sends no test packets).
std::optional<uint16_t> path_below_minimum(const PacketProbe& probe);

// Packet sizes negotiated on one connection, by stream channel and host address, so that later
// streams of the connection skip the search. Not thread-safe: used by open_stream, which has
// the camera to itself.
class PacketSizeCache {
  public:
    std::optional<uint16_t> find(uint16_t channel, uint32_t host) const;
    void store(uint16_t channel, uint32_t host, uint16_t size);
    void forget(uint16_t channel, uint32_t host);

  private:
    struct Entry {
        uint16_t channel = 0;
        uint32_t host = 0;
        uint16_t size = 0;
    };
    std::vector<Entry> entries_;  // a handful at most: one per channel and host address
};

// Runs the search on the not yet running stream socket `fd`, whose port SCP already names:
// each probe writes SCPS (register `scps`) with the fire-test flags and reads the test packets
// that `device`'s IP sends back. Then writes the result (or 1500 when the device sends no test
// packets) to SCPS and drains late test packets. Fails when that final write fails, and with
// EMSGSIZE when the device's test packets pass only below kMinPacketSize.
// Blocks on the register acknowledges and the socket reads.
CameraResult<uint16_t> negotiate_packet_size(int fd, const ControlPort& port, uint32_t scps,
                                             const sockaddr_in& device);

}  // namespace corvisk::gige
