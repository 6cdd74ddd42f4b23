// Configuration, fault settings and counters of the simulated GigE Vision camera.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event_faults.hpp"
#include "file_access.hpp"

namespace corvisk::sim {

struct Description;  // description_device.hpp

// How the GenICam description is offered through the URL registers.
enum class XmlForm : uint8_t {
    Plain,        // first URL register names the plain XML in device memory
    ZipStored,    // first URL register names a ZIP archive with a stored member
    ZipDeflated,  // first URL register names a ZIP archive with a deflated member
    SecondUrl,    // first URL register unreadable; second URL register names the plain XML
};

// Pixel format codes (GigE Vision / PFNC) the device can produce.
namespace pfnc {
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono16 = 0x01100007;
constexpr uint32_t kBayerRG8 = 0x01080009;
constexpr uint32_t kRGB8 = 0x02180014;
}  // namespace pfnc

// Test pattern selector values (the TestPattern enumeration entries).
enum class Pattern : uint32_t {
    Black = 0,
    White = 1,
    GreyHorizontalRamp = 2,
    GreyVerticalRamp = 3,
    GreyDiagonalRampMoving = 4,  // byte i of block b = (i + b) mod 256; the default
    FrameCounter = 5,            // the block id, big-endian, repeated over the payload
    ChannelRamps = 6,  // a ramp per colour channel in any pixel format (pixel_pattern.hpp)
};

// Where the device sends its DISCOVERY_ACK when the host allows a broadcast answer (flag 0x10).
// A device whose address is not on the host's subnet cannot answer by unicast and uses one of
// the broadcast forms.
enum class DiscoveryReply : uint8_t {
    Unicast,           // to the command's source
    LimitedBroadcast,  // to 255.255.255.255, the source's port
    SubnetBroadcast,   // to the directed broadcast of the source's subnet under our mask
};

enum class AcqMode : uint32_t { Continuous = 0, SingleFrame = 1, MultiFrame = 2 };

// A GVCP NAK rule: answer the matching command with `status` instead of executing it.
struct NakRule {
    uint16_t command = 0;             // 0 = any command
    std::optional<uint32_t> address;  // register/memory address the command touches; none = any
    uint16_t status = 0x8006;
};

// Control-channel faults. Plain values; copied in and out of the camera under its lock.
struct GvcpFaults {
    uint32_t drop_first_acks = 0;  // drop this many acknowledges, then answer normally
    double drop_ack_fraction = 0;  // drop each acknowledge with this probability
    uint32_t ack_delay_ms = 0;     // send every acknowledge this late
    uint32_t pending_ack_ms = 0;   // answer with PENDING_ACK(ms) first; the real ack follows
                                   // after ack_delay_ms, or pending_ack_ms / 2 when that is 0
    std::vector<NakRule> naks;
    bool silent = false;              // dead device: nothing is answered, not even discovery
    uint32_t ccp_clear_after_ms = 0;  // drop the controller by itself this long after control
    bool reply_from_alt = false;      // answer from SimConfig::alt_reply (needs it configured)
    // Answer a READREG of several addresses with the first value only, as devices that cannot
    // concatenate do.
    bool single_value_readreg = false;
};

// Drop the given packet ids of the given frames on their first transmission.
struct PacketDropRule {
    uint64_t block_id = 0;  // 0 = every frame
    std::vector<uint32_t> packet_ids;
};

// Stream-channel faults.
struct GvspFaults {
    double drop_fraction = 0;  // drop each first-transmission packet with this probability
    std::vector<PacketDropRule> drops;
    uint32_t reorder_window = 0;    // shuffle payload packets inside windows of this many (0 = off)
    double duplicate_fraction = 0;  // send a packet twice with this probability
    bool interleave = false;        // send frames in pairs with their packets alternating
    double wrong_id_fraction = 0;   // give payload packets an id past the trailer
    uint16_t error_status = 0;      // replace packet `error_packet_id` of every frame by an
    uint32_t error_packet_id = 1;   // error-status packet carrying this status (0 = off)
    bool all_in = false;            // send frames that fit in one packet as one all-in packet
    uint8_t payload_format = 0;     // packet format for payload packets (0 = normal, e.g. 5..8)
    uint8_t stray_format = 0;       // one extra packet of this format, id 1, before packet 1
    uint32_t stray_packet_id = 1;   // or, when 0, one numbered 0 (header only) before the leader
    double stray_fraction = 0;      // per frame: one extra payload packet numbered past the
                                    // trailer, sent just before it
    uint16_t leader_payload_type = 0;  // payload type in leader and trailer (0 = image)
    uint16_t payload_type_flags = 0;   // bits OR-ed into every leader's and trailer's type
    bool drop_resent = false;          // also apply drop_fraction to resent packets
    // Resend requests for this block go unanswered, although the device advertises resend
    // (0 = off): the frame waits for packets until the receiver gives up on it.
    uint64_t unanswered_resend_block = 0;
};

struct SimConfig {
    std::string ip = "127.0.0.2";
    uint16_t port = 3956;
    std::string manufacturer = "Corvisk";
    std::string model = "SimCam-1";
    std::string device_version = "1.0.0";
    std::string manufacturer_info = "corvisk simulated GigE Vision camera";
    std::string serial = "SIM00001";
    std::string user_name = "sim";
    uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
    uint32_t subnet_mask = 0xFF000000;
    uint32_t gateway = 0;
    uint32_t path_mtu = 9000;           // largest IP packet the simulated path carries
    uint32_t test_packet_delay_ms = 0;  // fire-test packets go out this long after the write
    XmlForm xml_form = XmlForm::Plain;
    // Serve this description (a camera's own) instead of the simulated camera's, with sparse
    // seeded memory behind it; xml_form, url_schema_version and describe_acquisition_mode then
    // do not apply. See description_device.hpp.
    std::shared_ptr<const Description> description;
    bool url_schema_version = false;  // append "?SchemaVersion=1.1.0" to the Local URL
    // The first URL register's text instead of the generated one; "{addr}" and "{size}" stand
    // for the description's address and size in hex (upper case, no prefix).
    std::optional<std::string> url_text;
    bool concatenation = true;  // advertise concatenated READREG/WRITEREG in the capability
    // Describe the AcquisitionMode feature. When false the description leaves it out (its
    // register stays, in Continuous mode): a camera whose stop policy cannot be chosen.
    bool describe_acquisition_mode = true;
    bool packet_resend = true;  // advertise and serve PACKETRESEND
    bool extended_ids = false;  // 64-bit block ids / 32-bit packet ids at power-up
    // Send runs of equal-sized stream packets as one UDP_SEGMENT (GSO) send, as a NIC's receive
    // offload would hand a camera's packets over; falls back to single packets where refused.
    bool gso = false;
    uint32_t width = 640;
    uint32_t height = 480;
    uint32_t sensor_width = 2048;
    uint32_t sensor_height = 1536;
    uint32_t pixel_format = pfnc::kMono8;
    Pattern pattern = Pattern::GreyDiagonalRampMoving;
    double frame_rate = 30.0;  // frames per second; 0 = as fast as possible
    // Stream throughput limit in bytes per second at power-up; non-zero also describes the
    // DeviceLinkThroughputLimit feature, whose writes the stream keeps to from the next packet.
    uint32_t throughput_limit = 0;
    uint32_t heartbeat_timeout_ms = 3000;
    bool heartbeat_disabled = false;  // GVCP configuration's heartbeat-disable bit at power-up
    uint32_t resend_ring_frames = 8;  // frames kept for resend
    uint64_t seed = 1;
    // Also answer DISCOVERY sent to the limited broadcast address (and to the subnet broadcast
    // address when the interface has one), as a camera on a real link does.
    bool listen_broadcast = true;
    DiscoveryReply discovery_reply = DiscoveryReply::Unicast;
    // Second local address to answer from when GvcpFaults::reply_from_alt is set (ip, port 0 =
    // the same port as the device).
    std::optional<std::string> alt_reply_ip;
    uint16_t alt_reply_port = 0;
    // The device clock follows the host's wall clock while PTP is enabled (on at power-up), as
    // a camera synchronised to a grandmaster on the host clock does (actions.hpp).
    bool ptp_synchronised = false;
    GvcpFaults gvcp_faults;
    GvspFaults gvsp_faults;
    EventFaults event_faults;
    FileAccessConfig files;  // the file store behind the file access features
};

// Counters a test can read; a plain snapshot.
struct SimCounters {
    uint64_t commands = 0;   // GVCP datagrams handled (well-formed or not)
    uint64_t malformed = 0;  // datagrams ignored as malformed
    uint64_t acks_sent = 0;
    uint64_t acks_dropped = 0;  // by fault injection
    uint64_t pending_acks = 0;
    uint64_t naks = 0;              // acknowledges with an error status
    uint64_t control_released = 0;  // control dropped by heartbeat expiry or fault
    uint64_t frames_sent = 0;
    uint64_t packets_sent = 0;
    uint64_t packets_dropped = 0;  // by fault injection or the simulated path
    uint64_t resend_requests = 0;  // PACKETRESEND commands served
    uint64_t packets_resent = 0;
    uint64_t packets_unavailable = 0;  // error-status 0x800C answers
    uint64_t test_packets = 0;
};

}  // namespace corvisk::sim
