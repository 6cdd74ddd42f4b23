// Packet-size negotiation: fire-test probes on the stream socket and the search over their
// outcomes, kept apart so the search runs without a socket or a device.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

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

// One fire-test probe of `size` bytes: the largest test-packet size observed (at most `size`),
// or nothing when no test packet came back.
using PacketProbe = std::function<std::optional<uint16_t>(uint16_t size)>;

// The packet size the probes find: 9152 when that passes, otherwise a binary search above the
// first of 1488, 1008, 560 that passes, never below 560. Nothing when every first probe fails.
std::optional<uint16_t> search_packet_size(const PacketProbe& probe);

// Runs the search on the not yet running stream socket `fd`, whose port SCP already names:
// each probe writes SCPS (register `scps`) with the fire-test flags and reads the test packets
// that `device`'s IP sends back. Then writes the result (or 1500 when the device sends no test
// packets) to SCPS and drains late test packets. Fails only when that final write fails.
// Blocks on the register acknowledges and the socket reads.
CameraResult<uint16_t> negotiate_packet_size(int fd, const ControlPort& port, uint32_t scps,
                                             const sockaddr_in& device);

}  // namespace corvisk::gige
