// corvisk-sim: the simulated GigE Vision camera as a program, for Python tests, demos and work
// without hardware. Prints one ready line, serves until SIGINT/SIGTERM, exits 0.
#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "description_device.hpp"
#include "pixels/format.hpp"
#include "sim_camera.hpp"

namespace {

using corvisk::sim::SimConfig;

constexpr char kUsage[] = R"(usage: corvisk-sim [options]

A simulated GigE Vision camera: answers GVCP on ADDR:PORT (UDP), serves its GenICam
description from device memory and streams GVSP test images. Prints one line
"corvisk-sim ready on ADDR:PORT" when ready; exits with status 0 on SIGINT or SIGTERM.

Device:
  --ip ADDR                 address to bind (default 127.0.0.2)
  --port N                  GVCP port (default 3956)
  --manufacturer TEXT       manufacturer name (default Corvisk)
  --model TEXT              model name (default SimCam-1)
  --device-version TEXT     device version (default 1.0.0)
  --manufacturer-info TEXT  manufacturer-specific information
  --serial TEXT             serial number (default SIM00001)
  --user-name TEXT          user-defined name (default sim)
  --mac XX:XX:XX:XX:XX:XX   MAC address (default 02:00:5e:10:00:01)
  --subnet ADDR             subnet mask reported (default 255.0.0.0)
  --gateway ADDR            default gateway reported (default 0.0.0.0)
  --mtu N                   simulated path MTU in bytes (default 9000): fire-test packets
                            and do-not-fragment stream packets larger than this are lost
  --test-packet-delay-ms MS send each fire-test packet MS after the write that asked for it
                            was acknowledged (a slow device)
  --xml FORM                plain | zip-stored | zip-deflated | second-url (default plain);
                            second-url leaves the first URL register unreadable
  --description FILE        serve this GenICam description (plain XML or a ZIP archive)
                            instead of the camera's own, from an address range it does not
                            use; memory outside the bootstrap registers reads values derived
                            from --seed until written. It streams when Width, Height,
                            PixelFormat, PayloadSize and AcquisitionStart/Stop are plain
                            registers; the ready line says which
  --url-schema-version      append "?SchemaVersion=1.1.0" to the Local: URL
  --url TEXT                first URL register text instead of the generated one; {addr}
                            and {size} stand for the description's address and size in hex
  --no-acquisition-mode     leave the AcquisitionMode feature out of the description
  --no-resend               clear the packet-resend capability and ignore PACKETRESEND
  --heartbeat-disabled      power up with heartbeats disabled (GVCP configuration bit 0):
                            control stays however long the application is silent
  --extended-ids            stream with 64-bit block ids / 32-bit packet ids from power-up
  --gso                     send runs of equal-sized stream packets as one segmented (GSO)
                            send, so a receiver with UDP GRO gets them coalesced
  --no-broadcast            answer DISCOVERY only on ADDR (by default it is also answered
                            when sent to 255.255.255.255 or the interface's broadcast address)
  --discovery-reply MODE    unicast | limited | subnet (default unicast): where DISCOVERY is
                            answered when the host allows a broadcast answer: the source,
                            255.255.255.255, or the broadcast address of the source's subnet
                            under --subnet (as a camera on the wrong subnet does)
  --width N, --height N     image size (default 640 x 480)
  --sensor-width N, --sensor-height N   sensor size (default 2048 x 1536)
  --pixel-format NAME       one of the names listed at the end (default Mono8)
  --pattern NAME            Black | White | GreyHorizontalRamp | GreyVerticalRamp |
                            GreyDiagonalRampMoving | FrameCounter | ChannelRamps (default
                            GreyDiagonalRampMoving); ChannelRamps gives each colour channel
                            its own ramp in any pixel format (see sim/README.md)
  --frame-rate F            frames per second; 0 = as fast as possible (default 30)
  --throughput-limit N      describe DeviceLinkThroughputLimit (bytes per second, starting
                            at N) and pace the stream to it (default: no such feature)
  --heartbeat-ms N          heartbeat timeout at power-up (default 3000)
  --ring N                  frames kept for packet resend (default 8)
  --seed N                  seed of every random fault decision (default 1)
  --ptp                     pretend to be PTP-synchronised to the host clock: PtpEnable is on
                            at power-up and, while on, the timestamp counter reads the host's
                            wall clock in nanoseconds (PtpStatus Slave)

Control-channel faults:
  --drop-first-acks K       drop the first K acknowledges
  --drop-ack-fraction P     drop each acknowledge with probability P
  --ack-delay-ms MS         send every acknowledge MS late
  --pending-ack-ms MS       answer with PENDING_ACK(MS) first; the real acknowledge follows
                            after --ack-delay-ms, or MS/2 when that is 0
  --nak CMD[@ADDR]=STATUS   answer command CMD (0 = any) touching ADDR with STATUS instead of
                            executing it; numbers in hex with 0x or decimal; repeatable
  --silent                  dead device: answer nothing
  --ccp-clear-after-ms MS   drop the controller by itself MS after control was taken
  --reply-from ADDR[:PORT]  answer from this other local address
  --no-concat-readreg       clear the concatenation capability and answer a READREG of
                            several addresses with the first value only
  --no-memory-commands      answer READMEM and WRITEMEM with not implemented (0x8001)

Stream-channel faults:
  --drop-fraction P         drop each stream packet with probability P
  --drop-packets B:ID,ID..  drop these packet ids of block B (0 = every block); repeatable
  --reorder-window N        shuffle payload packets within windows of N
  --duplicate-fraction P    send each packet twice with probability P
  --interleave              send frames in pairs with their packets interleaved
  --wrong-id-fraction P     give payload packets an id past the trailer with probability P
  --error-status S[@ID]     send packet ID (default 1) of every frame as an error-status packet
  --all-in                  send frames that fit one packet as an all-in packet
  --payload-format N        packet format for payload packets (e.g. 5 H.264, 7 multi-part)
  --stray-format N[@ID]     one extra packet of format N (e.g. 4 all-in) before packet 1, or
                            with ID 0 numbered 0 and sent before the leader (header only)
  --stray-packets P         per frame with probability P, one extra payload packet numbered
                            past the trailer, sent just before the trailer
  --leader-payload-type N   payload type in leaders and trailers (e.g. 2 = raw data)
  --payload-type-flags M    OR these flag bits into every leader's and trailer's payload
                            type (e.g. 0x8000, 0xC000)
  --drop-resent             also apply --drop-fraction to resent packets
  --unanswered-resend B     leave every resend request for block B unanswered

Files (FileSelector UserData 64 KiB, UserSet1 read-only, UserFile1 up to 16 KiB):
  --file-buffer N           FileAccessBuffer length, the most one transfer moves (default
                            512; 4..65536, a multiple of 4)
  --file-fail OP            Open | Close | Read | Write | Delete always ends with Failure
  --file-busy N             FileOperationExecute reads back as running N times after each
                            execute; status and result show once it is done
  --file-no-status          leave FileOperationStatus out of the description
  --file-no-size            leave FileSize out of the description
  --file-overflow           a read reaching the end of a file ends with status Overflow

Message-channel faults (device events):
  --event-ack-loss N        ignore the first N event acknowledges (the device retransmits)
  --event-duplicates        send every event command twice with the same request id

  --print-description       print the simulated camera's own description (plain XML) and exit
  --help                    show this text
)";

std::optional<uint64_t> parse_u64(const std::string& s) {
    if (s.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-') {
        return std::nullopt;
    }
    return v;
}

std::optional<double> parse_f64(const std::string& s) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0') {
        return std::nullopt;
    }
    return v;
}

std::optional<uint32_t> parse_ip(const std::string& s) {
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1) {
        return std::nullopt;
    }
    return ntohl(a.s_addr);
}

bool parse_mac(const std::string& s, uint8_t* mac) {
    unsigned v[6];
    if (std::sscanf(s.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) !=
        6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 0xFF) {
            return false;
        }
        mac[i] = static_cast<uint8_t>(v[i]);
    }
    return true;
}

std::optional<uint32_t> parse_pixel_format(const std::string& s) {
    auto f = corvisk::pixels::find_format(s);
    return f ? std::optional<uint32_t>(f->code) : std::nullopt;
}

// The --pixel-format names, wrapped under the option's description.
void print_pixel_formats() {
    std::string line = "                           ";
    for (const auto& f : corvisk::pixels::all_formats()) {
        if (line.size() + f.name.size() + 1 > 96) {
            std::puts(line.c_str());
            line = "                           ";
        }
        // Appended in two steps: g++ 12 at -O3 takes " " + std::string for an overlapping copy
        // (-Wrestrict), which warnings-as-errors turns into a failed build.
        line += ' ';
        line += f.name;
    }
    std::puts(line.c_str());
}

std::optional<corvisk::sim::Pattern> parse_pattern(const std::string& s) {
    using corvisk::sim::Pattern;
    static const std::map<std::string, Pattern> names = {
        {"Black", Pattern::Black},
        {"White", Pattern::White},
        {"GreyHorizontalRamp", Pattern::GreyHorizontalRamp},
        {"GreyVerticalRamp", Pattern::GreyVerticalRamp},
        {"GreyDiagonalRampMoving", Pattern::GreyDiagonalRampMoving},
        {"FrameCounter", Pattern::FrameCounter},
        {"ChannelRamps", Pattern::ChannelRamps}};
    auto it = names.find(s);
    return it == names.end() ? std::nullopt : std::optional<Pattern>(it->second);
}

// CMD[@ADDR]=STATUS
bool parse_nak(const std::string& s, corvisk::sim::NakRule& rule) {
    auto eq = s.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    std::string left = s.substr(0, eq);
    auto status = parse_u64(s.substr(eq + 1));
    auto at = left.find('@');
    auto cmd = parse_u64(left.substr(0, at));
    if (!status || *status > 0xFFFF || !cmd || *cmd > 0xFFFF) {
        return false;
    }
    rule.command = static_cast<uint16_t>(*cmd);
    rule.status = static_cast<uint16_t>(*status);
    if (at != std::string::npos) {
        auto addr = parse_u64(left.substr(at + 1));
        if (!addr || *addr > 0xFFFFFFFF) {
            return false;
        }
        rule.address = static_cast<uint32_t>(*addr);
    }
    return true;
}

// B:ID,ID,...
bool parse_drop(const std::string& s, corvisk::sim::PacketDropRule& rule) {
    auto colon = s.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    auto block = parse_u64(s.substr(0, colon));
    if (!block) {
        return false;
    }
    rule.block_id = *block;
    std::string rest = s.substr(colon + 1);
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        auto id = parse_u64(rest.substr(pos, comma - pos));
        if (!id || *id > 0xFFFFFFFF) {
            return false;
        }
        rule.packet_ids.push_back(static_cast<uint32_t>(*id));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return true;
}

using Setter = std::function<bool(SimConfig&, const std::string&)>;

// The --description file; loaded once every option (the seed among them) is known.
std::string& description_path() {
    static std::string path;
    return path;
}

template <class T>
bool set_uint(const std::string& v, T& out, uint64_t max) {
    auto n = parse_u64(v);
    if (!n || *n > max) {
        return false;
    }
    out = static_cast<T>(*n);
    return true;
}

bool set_fraction(const std::string& v, double& out) {
    auto f = parse_f64(v);
    if (!f || *f < 0 || *f > 1) {
        return false;
    }
    out = *f;
    return true;
}

template <class T>
Setter uint_option(T SimConfig::*field, uint64_t max) {
    return [field, max](SimConfig& c, const std::string& v) { return set_uint(v, c.*field, max); };
}

Setter text_option(std::string SimConfig::*field) {
    return [field](SimConfig& c, const std::string& v) {
        c.*field = v;
        return true;
    };
}

template <class F>
Setter ip_option(F assign) {
    return [assign](SimConfig& c, const std::string& v) {
        auto ip = parse_ip(v);
        if (ip) {
            assign(c, v, *ip);
        }
        return ip.has_value();
    };
}

template <class F>
Setter gvcp_option(F set) {
    return [set](SimConfig& c, const std::string& v) { return set(c.gvcp_faults, v); };
}

template <class F>
Setter gvsp_option(F set) {
    return [set](SimConfig& c, const std::string& v) { return set(c.gvsp_faults, v); };
}

bool set_xml_form(SimConfig& c, const std::string& v) {
    using corvisk::sim::XmlForm;
    static const std::map<std::string, XmlForm> forms = {{"plain", XmlForm::Plain},
                                                         {"zip-stored", XmlForm::ZipStored},
                                                         {"zip-deflated", XmlForm::ZipDeflated},
                                                         {"second-url", XmlForm::SecondUrl}};
    auto it = forms.find(v);
    if (it == forms.end()) {
        return false;
    }
    c.xml_form = it->second;
    return true;
}

bool set_reply_from(SimConfig& c, const std::string& v) {
    auto colon = v.find(':');
    std::string ip = v.substr(0, colon);
    if (!parse_ip(ip)) {
        return false;
    }
    if (colon != std::string::npos && !set_uint(v.substr(colon + 1), c.alt_reply_port, 65535)) {
        return false;
    }
    c.alt_reply_ip = ip;
    c.gvcp_faults.reply_from_alt = true;
    return true;
}

bool set_error_status(corvisk::sim::GvspFaults& f, const std::string& v) {
    auto at = v.find('@');
    if (!set_uint(v.substr(0, at), f.error_status, 0xFFFF)) {
        return false;
    }
    return at == std::string::npos || set_uint(v.substr(at + 1), f.error_packet_id, 0xFFFFFFFF);
}

bool set_stray_format(corvisk::sim::GvspFaults& f, const std::string& v) {
    auto at = v.find('@');
    if (!set_uint(v.substr(0, at), f.stray_format, 127)) {
        return false;
    }
    return at == std::string::npos || set_uint(v.substr(at + 1), f.stray_packet_id, 1);
}

// Options that take a value.
const std::map<std::string, Setter>& value_options() {
    using G = corvisk::sim::GvcpFaults;
    using S = corvisk::sim::GvspFaults;
    using V = const std::string&;
    static const std::map<std::string, Setter> options = {
        {"ip", ip_option([](SimConfig& c, V v, uint32_t) { c.ip = v; })},
        {"port", uint_option(&SimConfig::port, 0xFFFF)},
        {"manufacturer", text_option(&SimConfig::manufacturer)},
        {"model", text_option(&SimConfig::model)},
        {"device-version", text_option(&SimConfig::device_version)},
        {"manufacturer-info", text_option(&SimConfig::manufacturer_info)},
        {"serial", text_option(&SimConfig::serial)},
        {"user-name", text_option(&SimConfig::user_name)},
        {"mac", [](SimConfig& c, V v) { return parse_mac(v, c.mac); }},
        {"subnet", ip_option([](SimConfig& c, V, uint32_t ip) { c.subnet_mask = ip; })},
        {"gateway", ip_option([](SimConfig& c, V, uint32_t ip) { c.gateway = ip; })},
        {"mtu", uint_option(&SimConfig::path_mtu, 65535)},
        {"test-packet-delay-ms", uint_option(&SimConfig::test_packet_delay_ms, 10000)},
        {"throughput-limit", uint_option(&SimConfig::throughput_limit, 0xFFFFFFFF)},
        {"xml", set_xml_form},
        {"description",
         [](SimConfig&, V v) {
             description_path() = v;
             return !v.empty();
         }},
        {"width", uint_option(&SimConfig::width, 65535)},
        {"height", uint_option(&SimConfig::height, 65535)},
        {"sensor-width", uint_option(&SimConfig::sensor_width, 65535)},
        {"sensor-height", uint_option(&SimConfig::sensor_height, 65535)},
        {"pixel-format",
         [](SimConfig& c, V v) {
             auto pf = parse_pixel_format(v);
             c.pixel_format = pf.value_or(c.pixel_format);
             return pf.has_value();
         }},
        {"pattern",
         [](SimConfig& c, V v) {
             auto p = parse_pattern(v);
             c.pattern = p.value_or(c.pattern);
             return p.has_value();
         }},
        {"frame-rate",
         [](SimConfig& c, V v) {
             auto f = parse_f64(v);
             bool ok = f && *f >= 0 && *f <= 100000;
             c.frame_rate = ok ? *f : c.frame_rate;
             return ok;
         }},
        {"heartbeat-ms", uint_option(&SimConfig::heartbeat_timeout_ms, 0xFFFFFFFF)},
        {"ring", uint_option(&SimConfig::resend_ring_frames, 4096)},
        {"seed", uint_option(&SimConfig::seed, UINT64_MAX)},
        {"drop-first-acks",
         gvcp_option([](G& f, V v) { return set_uint(v, f.drop_first_acks, 0xFFFFFFFF); })},
        {"drop-ack-fraction",
         gvcp_option([](G& f, V v) { return set_fraction(v, f.drop_ack_fraction); })},
        {"ack-delay-ms",
         gvcp_option([](G& f, V v) { return set_uint(v, f.ack_delay_ms, 600000); })},
        {"pending-ack-ms",
         gvcp_option([](G& f, V v) { return set_uint(v, f.pending_ack_ms, 65535); })},
        {"nak", gvcp_option([](G& f, V v) {
             corvisk::sim::NakRule rule;
             bool ok = parse_nak(v, rule);
             if (ok) {
                 f.naks.push_back(rule);
             }
             return ok;
         })},
        {"ccp-clear-after-ms",
         gvcp_option([](G& f, V v) { return set_uint(v, f.ccp_clear_after_ms, 0xFFFFFFFF); })},
        {"reply-from", set_reply_from},
        {"discovery-reply",
         [](SimConfig& c, V v) {
             using corvisk::sim::DiscoveryReply;
             static const std::map<std::string, DiscoveryReply> modes = {
                 {"unicast", DiscoveryReply::Unicast},
                 {"limited", DiscoveryReply::LimitedBroadcast},
                 {"subnet", DiscoveryReply::SubnetBroadcast}};
             auto it = modes.find(std::string(v));
             if (it != modes.end()) {
                 c.discovery_reply = it->second;
             }
             return it != modes.end();
         }},
        {"url",
         [](SimConfig& c, V v) {
             c.url_text = v;
             return true;
         }},
        {"drop-fraction", gvsp_option([](S& f, V v) { return set_fraction(v, f.drop_fraction); })},
        {"drop-packets", gvsp_option([](S& f, V v) {
             corvisk::sim::PacketDropRule rule;
             bool ok = parse_drop(v, rule);
             if (ok) {
                 f.drops.push_back(rule);
             }
             return ok;
         })},
        {"unanswered-resend",
         gvsp_option([](S& f, V v) { return set_uint(v, f.unanswered_resend_block, UINT64_MAX); })},
        {"reorder-window",
         gvsp_option([](S& f, V v) { return set_uint(v, f.reorder_window, 1 << 20); })},
        {"duplicate-fraction",
         gvsp_option([](S& f, V v) { return set_fraction(v, f.duplicate_fraction); })},
        {"wrong-id-fraction",
         gvsp_option([](S& f, V v) { return set_fraction(v, f.wrong_id_fraction); })},
        {"error-status", gvsp_option(set_error_status)},
        {"payload-format",
         gvsp_option([](S& f, V v) { return set_uint(v, f.payload_format, 15); })},
        {"stray-format", gvsp_option(set_stray_format)},
        {"stray-packets", gvsp_option([](S& f, V v) { return set_fraction(v, f.stray_fraction); })},
        {"file-buffer",
         [](SimConfig& c, V v) {
             uint32_t n = 0;
             bool ok = set_uint(v, n, 65536) && n >= 4 && n % 4 == 0;
             c.files.buffer = ok ? n : c.files.buffer;
             return ok;
         }},
        {"file-fail",
         [](SimConfig& c, V v) {
             using corvisk::sim::FileOp;
             static const std::map<std::string, FileOp> ops = {{"Open", FileOp::Open},
                                                               {"Close", FileOp::Close},
                                                               {"Read", FileOp::Read},
                                                               {"Write", FileOp::Write},
                                                               {"Delete", FileOp::Delete}};
             auto it = ops.find(std::string(v));
             if (it != ops.end()) {
                 c.files.fail = it->second;
             }
             return it != ops.end();
         }},
        {"file-busy", [](SimConfig& c, V v) { return set_uint(v, c.files.busy_reads, 1000); }},
        {"event-ack-loss",
         [](SimConfig& c, V v) { return set_uint(v, c.event_faults.ack_loss, 0xFFFFFFFF); }},
        {"leader-payload-type",
         gvsp_option([](S& f, V v) { return set_uint(v, f.leader_payload_type, 0xFFFF); })},
        {"payload-type-flags",
         gvsp_option([](S& f, V v) { return set_uint(v, f.payload_type_flags, 0xFFFF); })},
    };
    return options;
}

// Options without a value.
const std::map<std::string, std::function<void(SimConfig&)>>& flag_options() {
    static const std::map<std::string, std::function<void(SimConfig&)>> flags = {
        {"url-schema-version", [](SimConfig& c) { c.url_schema_version = true; }},
        {"no-acquisition-mode", [](SimConfig& c) { c.describe_acquisition_mode = false; }},
        {"no-resend", [](SimConfig& c) { c.packet_resend = false; }},
        {"heartbeat-disabled", [](SimConfig& c) { c.heartbeat_disabled = true; }},
        {"gso", [](SimConfig& c) { c.gso = true; }},
        {"extended-ids", [](SimConfig& c) { c.extended_ids = true; }},
        {"no-broadcast", [](SimConfig& c) { c.listen_broadcast = false; }},
        {"silent", [](SimConfig& c) { c.gvcp_faults.silent = true; }},
        {"no-concat-readreg",
         [](SimConfig& c) {
             c.concatenation = false;
             c.gvcp_faults.single_value_readreg = true;
         }},
        {"no-memory-commands",
         [](SimConfig& c) {
             for (uint16_t cmd : {uint16_t{0x0084}, uint16_t{0x0086}}) {
                 c.gvcp_faults.naks.push_back(corvisk::sim::NakRule{cmd, std::nullopt, 0x8001});
             }
         }},
        {"interleave", [](SimConfig& c) { c.gvsp_faults.interleave = true; }},
        {"all-in", [](SimConfig& c) { c.gvsp_faults.all_in = true; }},
        {"drop-resent", [](SimConfig& c) { c.gvsp_faults.drop_resent = true; }},
        {"event-duplicates", [](SimConfig& c) { c.event_faults.duplicates = true; }},
        {"ptp", [](SimConfig& c) { c.ptp_synchronised = true; }},
        {"file-no-status", [](SimConfig& c) { c.files.describe_status = false; }},
        {"file-no-size", [](SimConfig& c) { c.files.describe_size = false; }},
        {"file-overflow", [](SimConfig& c) { c.files.overflow_at_end = true; }},
    };
    return flags;
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::puts("\nPixel formats (--pixel-format NAME):");
            print_pixel_formats();
            return 0;
        }
        if (arg == "--print-description") {
            std::fputs(corvisk::sim::device_xml().c_str(), stdout);
            return 0;
        }
        if (arg.rfind("--", 0) != 0) {
            std::fprintf(stderr, "corvisk-sim: unexpected argument '%s' (see --help)\n", argv[i]);
            return 2;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (auto flag = flag_options().find(name); flag != flag_options().end() && !value) {
            flag->second(config);
            continue;
        }
        auto option = value_options().find(name);
        if (option == value_options().end()) {
            std::fprintf(stderr, "corvisk-sim: unknown option --%s (see --help)\n", name.c_str());
            return 2;
        }
        if (!value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "corvisk-sim: option --%s needs a value (see --help)\n",
                             name.c_str());
                return 2;
            }
            value = argv[++i];
        }
        if (!option->second(config, *value)) {
            std::fprintf(stderr, "corvisk-sim: bad value '%s' for --%s (see --help)\n",
                         value->c_str(), name.c_str());
            return 2;
        }
    }

    if (!description_path().empty()) {
        auto description = corvisk::sim::load_description(description_path(), config.seed);
        if (!description.ok()) {
            std::fprintf(stderr, "corvisk-sim: cannot serve description %s: %s\n",
                         description_path().c_str(), description.error().c_str());
            return 2;
        }
        config.description = std::move(*description);
    }

    // Block the stop signals before any thread exists, so only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    corvisk::sim::SimCamera camera(config);
    auto started = camera.start();
    if (!started.ok()) {
        std::fprintf(stderr, "corvisk-sim: cannot start on %s:%u: %s\n", config.ip.c_str(),
                     config.port, started.error().message().c_str());
        return 1;
    }
    std::string serving;
    if (config.description) {
        serving = "; " + corvisk::sim::describe_serving(*config.description);
    }
    std::printf("corvisk-sim ready on %s:%u%s\n", config.ip.c_str(), camera.control_endpoint().port,
                serving.c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    camera.stop();
    return 0;
}
