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
  --xml FORM                plain | zip-stored | zip-deflated | second-url (default plain);
                            second-url leaves the first URL register unreadable
  --url-schema-version      append "?SchemaVersion=1.1.0" to the Local: URL
  --no-resend               clear the packet-resend capability and ignore PACKETRESEND
  --extended-ids            stream with 64-bit block ids / 32-bit packet ids from power-up
  --width N, --height N     image size (default 640 x 480)
  --sensor-width N, --sensor-height N   sensor size (default 2048 x 1536)
  --pixel-format NAME       Mono8 | Mono16 | RGB8 | BayerRG8 (default Mono8)
  --pattern NAME            Black | White | GreyHorizontalRamp | GreyVerticalRamp |
                            GreyDiagonalRampMoving | FrameCounter (default
                            GreyDiagonalRampMoving)
  --frame-rate F            frames per second; 0 = as fast as possible (default 30)
  --heartbeat-ms N          heartbeat timeout at power-up (default 3000)
  --ring N                  frames kept for packet resend (default 8)
  --seed N                  seed of every random fault decision (default 1)

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
  --leader-payload-type N   payload type in leaders and trailers (e.g. 2 = raw data)
  --drop-resent             also apply --drop-fraction to resent packets

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
    using namespace corvisk::sim::pfnc;
    static const std::map<std::string, uint32_t> names = {
        {"Mono8", kMono8}, {"Mono16", kMono16}, {"RGB8", kRGB8}, {"BayerRG8", kBayerRG8}};
    auto it = names.find(s);
    return it == names.end() ? std::nullopt : std::optional<uint32_t>(it->second);
}

std::optional<corvisk::sim::Pattern> parse_pattern(const std::string& s) {
    using corvisk::sim::Pattern;
    static const std::map<std::string, Pattern> names = {
        {"Black", Pattern::Black},
        {"White", Pattern::White},
        {"GreyHorizontalRamp", Pattern::GreyHorizontalRamp},
        {"GreyVerticalRamp", Pattern::GreyVerticalRamp},
        {"GreyDiagonalRampMoving", Pattern::GreyDiagonalRampMoving},
        {"FrameCounter", Pattern::FrameCounter}};
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

struct Parser {
    SimConfig& c;
    std::string error;

    bool apply(const std::string& name, const std::string& v);
};

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

bool Parser::apply(const std::string& name, const std::string& v) {
    auto& g = c.gvcp_faults;
    auto& s = c.gvsp_faults;
    if (name == "ip")
        return parse_ip(v) ? (c.ip = v, true) : false;
    if (name == "port")
        return set_uint(v, c.port, 0xFFFF);
    if (name == "manufacturer")
        return c.manufacturer = v, true;
    if (name == "model")
        return c.model = v, true;
    if (name == "device-version")
        return c.device_version = v, true;
    if (name == "manufacturer-info")
        return c.manufacturer_info = v, true;
    if (name == "serial")
        return c.serial = v, true;
    if (name == "user-name")
        return c.user_name = v, true;
    if (name == "mac")
        return parse_mac(v, c.mac);
    if (name == "subnet")
        return parse_ip(v) ? (c.subnet_mask = *parse_ip(v), true) : false;
    if (name == "gateway")
        return parse_ip(v) ? (c.gateway = *parse_ip(v), true) : false;
    if (name == "mtu")
        return set_uint(v, c.path_mtu, 65535);
    if (name == "xml") {
        using corvisk::sim::XmlForm;
        static const std::map<std::string, XmlForm> forms = {{"plain", XmlForm::Plain},
                                                             {"zip-stored", XmlForm::ZipStored},
                                                             {"zip-deflated", XmlForm::ZipDeflated},
                                                             {"second-url", XmlForm::SecondUrl}};
        auto it = forms.find(v);
        return it != forms.end() ? (c.xml_form = it->second, true) : false;
    }
    if (name == "width")
        return set_uint(v, c.width, 65535);
    if (name == "height")
        return set_uint(v, c.height, 65535);
    if (name == "sensor-width")
        return set_uint(v, c.sensor_width, 65535);
    if (name == "sensor-height")
        return set_uint(v, c.sensor_height, 65535);
    if (name == "pixel-format") {
        auto pf = parse_pixel_format(v);
        return pf ? (c.pixel_format = *pf, true) : false;
    }
    if (name == "pattern") {
        auto p = parse_pattern(v);
        return p ? (c.pattern = *p, true) : false;
    }
    if (name == "frame-rate") {
        auto f = parse_f64(v);
        return f && *f >= 0 && *f <= 100000 ? (c.frame_rate = *f, true) : false;
    }
    if (name == "heartbeat-ms")
        return set_uint(v, c.heartbeat_timeout_ms, 0xFFFFFFFF);
    if (name == "ring")
        return set_uint(v, c.resend_ring_frames, 4096);
    if (name == "seed")
        return set_uint(v, c.seed, UINT64_MAX);
    if (name == "drop-first-acks")
        return set_uint(v, g.drop_first_acks, 0xFFFFFFFF);
    if (name == "drop-ack-fraction")
        return set_fraction(v, g.drop_ack_fraction);
    if (name == "ack-delay-ms")
        return set_uint(v, g.ack_delay_ms, 600000);
    if (name == "pending-ack-ms")
        return set_uint(v, g.pending_ack_ms, 65535);
    if (name == "nak") {
        corvisk::sim::NakRule rule;
        return parse_nak(v, rule) ? (g.naks.push_back(rule), true) : false;
    }
    if (name == "ccp-clear-after-ms")
        return set_uint(v, g.ccp_clear_after_ms, 0xFFFFFFFF);
    if (name == "reply-from") {
        auto colon = v.find(':');
        std::string ip = v.substr(0, colon);
        if (!parse_ip(ip)) {
            return false;
        }
        if (colon != std::string::npos && !set_uint(v.substr(colon + 1), c.alt_reply_port, 65535)) {
            return false;
        }
        c.alt_reply_ip = ip;
        g.reply_from_alt = true;
        return true;
    }
    if (name == "drop-fraction")
        return set_fraction(v, s.drop_fraction);
    if (name == "drop-packets") {
        corvisk::sim::PacketDropRule rule;
        return parse_drop(v, rule) ? (s.drops.push_back(rule), true) : false;
    }
    if (name == "reorder-window")
        return set_uint(v, s.reorder_window, 1 << 20);
    if (name == "duplicate-fraction")
        return set_fraction(v, s.duplicate_fraction);
    if (name == "wrong-id-fraction")
        return set_fraction(v, s.wrong_id_fraction);
    if (name == "error-status") {
        auto at = v.find('@');
        if (!set_uint(v.substr(0, at), s.error_status, 0xFFFF)) {
            return false;
        }
        return at == std::string::npos || set_uint(v.substr(at + 1), s.error_packet_id, 0xFFFFFFFF);
    }
    if (name == "payload-format")
        return set_uint(v, s.payload_format, 15);
    if (name == "leader-payload-type")
        return set_uint(v, s.leader_payload_type, 0xFFFF);
    error = "unknown option --" + name;
    return false;
}

bool apply_flag(SimConfig& c, const std::string& name) {
    if (name == "url-schema-version")
        return c.url_schema_version = true;
    if (name == "no-resend")
        return !(c.packet_resend = false);
    if (name == "extended-ids")
        return c.extended_ids = true;
    if (name == "silent")
        return c.gvcp_faults.silent = true;
    if (name == "interleave")
        return c.gvsp_faults.interleave = true;
    if (name == "all-in")
        return c.gvsp_faults.all_in = true;
    if (name == "drop-resent")
        return c.gvsp_faults.drop_resent = true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    Parser parser{config, {}};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
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
        if (!value && apply_flag(config, name)) {
            continue;
        }
        if (!value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "corvisk-sim: option --%s needs a value (see --help)\n",
                             name.c_str());
                return 2;
            }
            value = argv[++i];
        }
        if (!parser.apply(name, *value)) {
            if (parser.error.empty()) {
                parser.error = "bad value '" + *value + "' for --" + name;
            }
            std::fprintf(stderr, "corvisk-sim: %s (see --help)\n", parser.error.c_str());
            return 2;
        }
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
    std::printf("corvisk-sim ready on %s:%u\n", config.ip.c_str(), camera.control_endpoint().port);
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    camera.stop();
    return 0;
}
