// GVCP command handling and the register space of the simulated camera.
#include "gvcp_device.hpp"

#include <arpa/inet.h>

#include <bit>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "bytes.hpp"
#include "description_device.hpp"
#include "pixel_pattern.hpp"
#include "registers.hpp"

namespace corvisk::sim {

namespace {

// The description with the AcquisitionMode feature renamed out of reach, so a client finds no
// node of that name; its register and everything else stay as they are.
std::string without_acquisition_mode(std::string xml) {
    for (const std::string from : {"\"AcquisitionMode\"", ">AcquisitionMode<"}) {
        const std::string to =
            from[0] == '"' ? "\"VendorAcquisitionMode\"" : ">VendorAcquisitionMode<";
        for (size_t at = xml.find(from); at != std::string::npos; at = xml.find(from, at)) {
            xml.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return xml;
}

constexpr char kXmlName[] = "corvisk_sim";

std::vector<uint8_t> ack_header(uint16_t status, uint16_t ack_code, uint16_t length,
                                uint16_t ack_id) {
    std::vector<uint8_t> out(8 + length);
    store_be16(out.data(), status);
    store_be16(out.data() + 2, ack_code);
    store_be16(out.data() + 4, length);
    store_be16(out.data() + 6, ack_id);
    return out;
}

uint32_t channel_of(uint32_t addr) {
    return (addr - reg::kScp) / reg::kChannelStride;
}

// The packet size field of a stream channel's SCPS register.
constexpr uint32_t kPacketSizeBits = 0xFFFF;

bool is_channel_reg(uint32_t addr) {
    return addr >= reg::kScp && addr < reg::kScp + reg::kChannelStride * reg::kChannelCount;
}

// Little-endian float stored in a big-endian word: the word's bytes are the float's bytes.
float word_to_le_float(uint32_t word) {
    return std::bit_cast<float>(__builtin_bswap32(word));
}
uint32_t le_float_to_word(float v) {
    return __builtin_bswap32(std::bit_cast<uint32_t>(v));
}

bool valid_pixel_format(uint32_t pf) {
    return sim_pixel_format(pf);
}

// Replaces every "{key}" in text by value.
std::string expand(std::string text, const std::string& key, const std::string& value) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
        text.replace(at, key.size(), value);
        at += value.size();
    }
    return text;
}

std::string make_url(const SimConfig& config, size_t length) {
    if (config.url_text) {
        std::string url = expand(*config.url_text, "{addr}", fmt::format("{:X}", reg::kXmlBase));
        return expand(std::move(url), "{size}", fmt::format("{:X}", length));
    }
    bool zip = config.xml_form == XmlForm::ZipStored || config.xml_form == XmlForm::ZipDeflated;
    std::string url =
        fmt::format("Local:{}.{};{:X};{:X}", kXmlName, zip ? "zip" : "xml", reg::kXmlBase, length);
    if (config.url_schema_version) {
        url += "?SchemaVersion=1.1.0";
    }
    return url;
}

}  // namespace

SimCounters AtomicCounters::snapshot() const {
    SimCounters c;
    c.commands = commands.load();
    c.malformed = malformed.load();
    c.acks_sent = acks_sent.load();
    c.acks_dropped = acks_dropped.load();
    c.pending_acks = pending_acks.load();
    c.naks = naks.load();
    c.control_released = control_released.load();
    c.frames_sent = frames_sent.load();
    c.packets_sent = packets_sent.load();
    c.packets_dropped = packets_dropped.load();
    c.resend_requests = resend_requests.load();
    c.packets_resent = packets_resent.load();
    c.packets_unavailable = packets_unavailable.load();
    c.test_packets = test_packets.load();
    return c;
}

GvcpDevice::GvcpDevice(const SimConfig& config, DeviceHooks* hooks, AtomicCounters* counters)
    : hooks_(hooks),
      counters_(counters ? counters : &own_counters_),
      timestamp_origin_(Clock::now()),
      faults_(config.gvcp_faults),
      rng_(config.seed),
      actions_(config.ptp_synchronised),
      files_(config.files, config.seed) {
    if (config.description) {
        described_ = std::make_unique<DescribedMemory>(config.description, config);
    }
    build_memory(config);
}

GvcpDevice::~GvcpDevice() = default;

const std::string& GvcpDevice::xml_text() {
    return device_xml();
}

std::vector<uint8_t> GvcpDevice::xml_file() const {
    std::lock_guard lock(mutex_);
    return xml_file_;
}

void GvcpDevice::map_word(uint32_t addr, uint32_t value, bool writable) {
    words_[addr] = Word{value, true, writable};
}

void GvcpDevice::map_string(uint32_t addr, uint32_t size, const std::string& text, bool writable) {
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), text.data(), std::min<size_t>(text.size(), size));
    for (uint32_t i = 0; i < size; i += 4) {
        map_word(addr + i, load_be32(bytes.data() + i), writable);
    }
}

void GvcpDevice::build_memory(const SimConfig& c) {
    in_addr ip{};
    inet_pton(AF_INET, c.ip.c_str(), &ip);
    uint32_t ip_host = ntohl(ip.s_addr);
    // The discovery block 0x0000..0x00F7 is readable as a whole, reserved words included.
    for (uint32_t a = 0; a < reg::kDiscoveryBlockSize; a += 4) {
        map_word(a, 0);
    }
    map_word(reg::kVersion, 0x00020000);     // GigE Vision 2.0
    map_word(reg::kDeviceMode, 0x80000001);  // big-endian transmitter, UTF-8 strings
    map_word(reg::kMacHigh, (uint32_t{c.mac[0]} << 8) | c.mac[1]);
    map_word(reg::kMacLow, load_be32(&c.mac[2]));
    map_word(reg::kIpConfigSupported, 0x7);      // persistent IP, DHCP, link-local
    map_word(reg::kIpConfigCurrent, 0x5, true);  // persistent IP (+ link-local enabled)
    map_word(reg::kCurrentIp, ip_host);
    map_word(reg::kCurrentSubnet, c.subnet_mask);
    map_word(reg::kCurrentGateway, c.gateway);
    map_string(reg::kManufacturer, 32, c.manufacturer, false);
    map_string(reg::kModel, 32, c.model, false);
    map_string(reg::kDeviceVersion, 32, c.device_version, false);
    map_string(reg::kManufacturerInfo, 48, c.manufacturer_info, false);
    map_string(reg::kSerial, 16, c.serial, false);
    map_string(reg::kUserName, 16, c.user_name, true);

    std::string url;
    if (c.description) {
        xml_file_ = c.description->file;
        xml_base_ = c.description->base;
        url = fmt::format("Local:{};{:X};{:X}", c.description->file_name, xml_base_,
                          xml_file_.size());
    } else {
        xml_base_ = reg::kXmlBase;
        std::string xml = device_xml(c.files);
        if (!c.describe_acquisition_mode) {
            xml = without_acquisition_mode(std::move(xml));
        }
        if (c.throughput_limit != 0) {
            xml = with_throughput_limit(std::move(xml));
        }
        std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
        bool zip = c.xml_form == XmlForm::ZipStored || c.xml_form == XmlForm::ZipDeflated;
        xml_file_ = zip ? make_zip(std::string(kXmlName) + ".xml", bytes,
                                   c.xml_form == XmlForm::ZipDeflated)
                        : std::vector<uint8_t>(bytes.begin(), bytes.end());
        url = make_url(c, xml_file_.size());
    }
    if (c.xml_form == XmlForm::SecondUrl && !c.description) {
        map_string(reg::kSecondUrl, reg::kUrlSize, url, false);
    } else {
        map_string(reg::kFirstUrl, reg::kUrlSize, url, false);
        map_string(reg::kSecondUrl, reg::kUrlSize, "", false);
    }

    map_word(reg::kNetworkInterfaces, 1);
    map_word(reg::kPersistentIp, ip_host, true);
    map_word(reg::kPersistentSubnet, c.subnet_mask, true);
    map_word(reg::kPersistentGateway, c.gateway, true);
    map_word(reg::kLinkSpeed, 10000);
    map_word(reg::kMessageChannels, c.description ? 0 : 1);
    map_word(reg::kStreamChannels, reg::kChannelCount);
    map_word(reg::kGvspCapability, 0xC0000000);  // SCSPx registers, 16-bit block ids
    map_word(reg::kMessageCapability, 0);
    uint32_t cap = reg::kCapUserName | reg::kCapSerial | reg::kCapExtStatus | reg::kCapExtStatus2 |
                   reg::kCapPendingAck | reg::kCapWriteMem | actreg::kCapAction |
                   actreg::kCapScheduledAction | actreg::kCapIeee1588;
    if (c.concatenation) {
        cap |= reg::kCapConcatenation;
    }
    if (c.packet_resend) {
        cap |= reg::kCapPacketResend;
    }
    map_word(reg::kGvcpCapability, cap);
    map_word(reg::kHeartbeatTimeout, c.heartbeat_timeout_ms, true);
    map_word(reg::kTickFreqHigh, static_cast<uint32_t>(reg::kTickFrequency >> 32));
    map_word(reg::kTickFreqLow, static_cast<uint32_t>(reg::kTickFrequency));
    words_[reg::kTimestampControl] = Word{0, false, true};
    map_word(reg::kTimestampHigh, 0);
    map_word(reg::kTimestampLow, 0);
    map_word(reg::kDiscoveryAckDelay, 0);
    map_word(reg::kGvcpConfig, c.heartbeat_disabled ? reg::kGvcpConfigHeartbeatDisable : 0, true);
    map_word(reg::kPendingTimeout, 1000);
    map_word(reg::kGvspConfig, c.extended_ids ? reg::kGvspConfig64BitIds : 0, true);
    map_word(reg::kCcp, 0, true);
    map_word(reg::kPrimaryPort, 0);
    map_word(reg::kPrimaryIp, 0);
    for (uint32_t n = 0; n < reg::kChannelCount; ++n) {
        uint32_t base = n * reg::kChannelStride;
        map_word(reg::kScp + base, 0, true);
        map_word(reg::kScps + base, 576, true);
        map_word(reg::kScpd + base, 0, true);
        map_word(reg::kScda + base, 0, true);
        map_word(reg::kScsp + base, 0);
        map_word(reg::kScc + base, 0x00000001);
    }

    map_word(reg::kWidth, c.width, true);
    map_word(reg::kHeight, c.height, true);
    map_word(reg::kOffsetX, 0, true);
    map_word(reg::kOffsetY, 0, true);
    map_word(reg::kPixelFormat, c.pixel_format, true);
    map_word(reg::kSensorWidth, c.sensor_width);
    map_word(reg::kSensorHeight, c.sensor_height);
    map_word(reg::kWidthMax, c.sensor_width);
    map_word(reg::kHeightMax, c.sensor_height);
    map_word(reg::kAcquisitionMode, static_cast<uint32_t>(AcqMode::Continuous), true);
    map_word(reg::kAcquisitionFrameCount, 10, true);
    words_[reg::kAcquisitionStart] = Word{0, false, true};
    words_[reg::kAcquisitionStop] = Word{0, false, true};
    map_word(reg::kAcquisitionStatus, 0);
    map_word(reg::kTestPattern, static_cast<uint32_t>(c.pattern), true);
    map_word(reg::kTLParamsLocked, 0, true);
    uint64_t exposure = std::bit_cast<uint64_t>(10000.0);
    map_word(reg::kExposureTime, static_cast<uint32_t>(exposure >> 32), true);
    map_word(reg::kExposureTime + 4, static_cast<uint32_t>(exposure), true);
    map_word(reg::kFrameRate, le_float_to_word(static_cast<float>(c.frame_rate)), true);
    map_word(reg::kThroughputLimit, c.throughput_limit, true);
    map_word(reg::kAnalog, __builtin_bswap32(100), true);  // GainRaw 100 = 10 dB
    map_word(reg::kImageControl, 0, true);
    map_word(reg::kTemperatureRaw, 0xA9010000);  // 425 = 42.5 degrees, little-endian 16 bits
    map_word(reg::kWhiteBalanceOffset, static_cast<uint32_t>(-250), true);
    map_word(reg::kUserSetSelector, UserSets::kDefault, true);
    words_[reg::kUserSetLoad] = Word{0, false, true};
    words_[reg::kUserSetSave] = Word{0, false, true};
    map_word(reg::kUserSetDefault, UserSets::kDefault, true);
    user_sets_.save(UserSets::kDefault, [this](uint32_t addr) { return word(addr); });
    if (described_) {
        // The served description has its own registers there (sparse memory).
        words_.erase(words_.lower_bound(reg::kWidth), words_.lower_bound(reg::kFeatureEnd));
    }
}

uint32_t GvcpDevice::word(uint32_t addr) const {
    auto it = words_.find(addr);
    return it == words_.end() ? 0 : it->second.value;
}

void GvcpDevice::set_word(uint32_t addr, uint32_t value) {
    auto it = words_.find(addr);
    if (it != words_.end()) {
        it->second.value = value;
    }
}

uint64_t GvcpDevice::timestamp(Instant now) const {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - timestamp_origin_);
    return actions_.device_time(now, ns.count() > 0 ? static_cast<uint64_t>(ns.count()) : 0);
}

std::optional<uint64_t> GvcpDevice::take_trigger() {
    std::lock_guard lock(mutex_);
    return actions_.take_trigger();
}

// ---- Datagram handling ---------------------------------------------------------------------

std::vector<Reply> GvcpDevice::handle_datagram(std::span<const uint8_t> data, Endpoint source,
                                               Instant now) {
    std::lock_guard lock(mutex_);
    counters_->commands++;
    expire(now);
    if (faults_.silent) {
        return {};
    }
    ByteReader r(data);
    uint8_t key = 0;
    Command cmd{};
    uint16_t length = 0;
    r.read_u8(key);
    r.read_u8(cmd.flags);
    r.read_u16(cmd.code);
    r.read_u16(length);
    r.read_u16(cmd.req_id);
    if (!r.ok() || key != 0x42) {
        counters_->malformed++;  // not a GVCP command: nobody to answer
        return {};
    }
    bool ack_required = (cmd.flags & 0x01) != 0;
    if (length > r.remaining()) {
        counters_->malformed++;
        if (!ack_required) {
            return {};
        }
        return apply_faults(ack_header(reg::kInvalidHeader, cmd.code + 1, 0, cmd.req_id),
                            cmd.req_id);
    }
    r.read_span(length, cmd.payload);
    if (controller_ && *controller_ == source) {
        last_heard_ = now;
    }
    if (cmd.code == reg::kPacketResendCmd) {
        packet_resend(cmd);
        return {};
    }
    std::vector<uint8_t> command(data.begin(), data.begin() + 8 + length);
    auto key_src = std::make_pair(source.ip, source.port);
    auto last = last_commands_.find(key_src);
    std::vector<uint8_t> ack;
    if (cmd.code != reg::kDiscoveryCmd && cmd.code != reg::kForceIpCmd &&
        last != last_commands_.end() && last->second.command == command) {
        // A retransmission: the host missed our acknowledge. Answer again without executing
        // the command a second time (AcquisitionStart must not start twice).
        ack = last->second.ack;
    } else if (auto nak = nak_for(cmd)) {
        ack = ack_header(*nak, cmd.code + 1, 0, cmd.req_id);
    } else {
        ack = execute(cmd, source, now);
    }
    if (ack.empty()) {
        return {};  // a command meant for another device (FORCEIP to another MAC)
    }
    if (cmd.code != reg::kDiscoveryCmd && cmd.code != reg::kForceIpCmd) {
        if (last_commands_.size() > 64 && last == last_commands_.end()) {
            last_commands_.erase(last_commands_.begin());
        }
        last_commands_[key_src] = LastCommand{std::move(command), ack};
    }
    if (!ack_required && cmd.code != reg::kDiscoveryCmd) {
        return {};
    }
    return apply_faults(std::move(ack), cmd.req_id);
}

std::optional<uint16_t> GvcpDevice::nak_for(const Command& cmd) const {
    for (const NakRule& rule : faults_.naks) {
        if (rule.command != 0 && rule.command != cmd.code) {
            continue;
        }
        if (!rule.address) {
            return rule.status;
        }
        uint32_t a = *rule.address;
        const auto& p = cmd.payload;
        if (cmd.code == reg::kReadRegCmd || cmd.code == reg::kWriteRegCmd) {
            size_t stride = cmd.code == reg::kReadRegCmd ? 4 : 8;
            for (size_t i = 0; i + 4 <= p.size(); i += stride) {
                if (load_be32(p.data() + i) == a) {
                    return rule.status;
                }
            }
        } else if ((cmd.code == reg::kReadMemCmd && p.size() >= 8) ||
                   (cmd.code == reg::kWriteMemCmd && p.size() >= 4)) {
            uint64_t start = load_be32(p.data());
            uint64_t count = cmd.code == reg::kReadMemCmd ? load_be32(p.data() + 4) : p.size() - 4;
            if (a >= start && a < start + std::max<uint64_t>(count, 1)) {
                return rule.status;
            }
        }
    }
    return std::nullopt;
}

std::vector<Reply> GvcpDevice::apply_faults(std::vector<uint8_t> ack, uint16_t req_id) {
    if (faults_.drop_first_acks > 0) {
        faults_.drop_first_acks--;
        counters_->acks_dropped++;
        return {};
    }
    if (faults_.drop_ack_fraction > 0 &&
        std::uniform_real_distribution<double>(0, 1)(rng_) < faults_.drop_ack_fraction) {
        counters_->acks_dropped++;
        return {};
    }
    if (load_be16(ack.data()) & 0x8000) {
        counters_->naks++;
    }
    std::vector<Reply> out;
    uint32_t delay = faults_.ack_delay_ms;
    if (faults_.pending_ack_ms > 0) {
        auto pending = ack_header(reg::kSuccess, reg::kPendingAck, 4, req_id);
        uint16_t ms = static_cast<uint16_t>(std::min<uint32_t>(faults_.pending_ack_ms, 0xFFFF));
        store_be16(pending.data() + 10, ms);  // reserved 16 bits, then time to completion
        out.push_back(Reply{std::move(pending), 0});
        counters_->pending_acks++;
        if (delay == 0) {
            delay = faults_.pending_ack_ms / 2;
        }
    }
    counters_->acks_sent++;
    out.push_back(Reply{std::move(ack), delay});
    return out;
}

std::vector<uint8_t> GvcpDevice::execute(const Command& cmd, Endpoint source, Instant now) {
    switch (cmd.code) {
        case reg::kDiscoveryCmd:
            return discovery_ack(cmd.req_id);
        case reg::kForceIpCmd:
            return force_ip(cmd);
        case reg::kReadRegCmd:
            return read_reg(cmd, source, now);
        case reg::kWriteRegCmd:
            return write_reg(cmd, source, now);
        case reg::kReadMemCmd:
            return read_mem(cmd, source, now);
        case reg::kWriteMemCmd:
            return write_mem(cmd, source, now);
        case actreg::kActionCmd:
            return action(cmd, now);
        default:
            return ack_header(reg::kNotImplemented, cmd.code + 1, 0, cmd.req_id);
    }
}

std::vector<uint8_t> GvcpDevice::discovery_ack(uint16_t req_id) const {
    auto out = ack_header(reg::kSuccess, reg::kDiscoveryCmd + 1, reg::kDiscoveryBlockSize, req_id);
    for (uint32_t a = 0; a < reg::kDiscoveryBlockSize; a += 4) {
        store_be32(out.data() + 8 + a, word(a));
    }
    return out;
}

// Actions are accepted from any sender (they usually come by broadcast), but only while an
// application controls the device; one addressed elsewhere gets no answer.
std::vector<uint8_t> GvcpDevice::action(const Command& cmd, Instant now) {
    if (!controller_) {
        return {};
    }
    auto status = actions_.command(cmd.flags, cmd.payload, timestamp(now), acquiring_);
    if (!status) {
        return {};
    }
    if (hooks_ && actions_.trigger_pending()) {
        hooks_->acquisition_changed();
    }
    return ack_header(*status, actreg::kActionAck, 0, cmd.req_id);
}

bool GvcpDevice::may_read(Endpoint source) const {
    bool exclusive = (word(reg::kCcp) & reg::kCcpExclusive) != 0;
    return !(controller_ && exclusive && !(*controller_ == source));
}

std::vector<uint8_t> GvcpDevice::read_reg(const Command& cmd, Endpoint source, Instant now) {
    const auto& p = cmd.payload;
    uint16_t ack = reg::kReadRegCmd + 1;
    if (p.empty() || p.size() % 4 != 0 || p.size() / 4 > reg::kMaxRegs) {
        return ack_header(reg::kInvalidParameter, ack, 0, cmd.req_id);
    }
    if (!may_read(source)) {
        return ack_header(reg::kAccessDenied, ack, 0, cmd.req_id);
    }
    std::vector<uint32_t> values;
    uint16_t status = reg::kSuccess;
    for (size_t i = 0; i < p.size(); i += 4) {
        uint32_t v = 0;
        status = read_word(load_be32(p.data() + i), now, v);
        if (status != reg::kSuccess) {
            break;  // the values read so far are returned with the error
        }
        values.push_back(v);
    }
    // A device that cannot concatenate answers with the first value only.
    const size_t count =
        faults_.single_value_readreg ? std::min<size_t>(values.size(), 1) : values.size();
    auto out = ack_header(status, ack, static_cast<uint16_t>(count * 4), cmd.req_id);
    for (size_t i = 0; i < count; ++i) {
        store_be32(out.data() + 8 + 4 * i, values[i]);
    }
    return out;
}

std::vector<uint8_t> GvcpDevice::write_reg(const Command& cmd, Endpoint source, Instant now) {
    const auto& p = cmd.payload;
    uint16_t ack = reg::kWriteRegCmd + 1;
    if (p.empty() || p.size() % 8 != 0 || p.size() / 8 > reg::kMaxRegs) {
        return ack_header(reg::kInvalidParameter, ack, 4, cmd.req_id);
    }
    uint16_t index = 0;
    uint16_t status = reg::kSuccess;
    for (size_t i = 0; i < p.size(); i += 8, ++index) {
        status = write_word(load_be32(p.data() + i), load_be32(p.data() + i + 4), source, now);
        if (status != reg::kSuccess) {
            break;
        }
    }
    // Payload: reserved 16 bits, then the number of registers written (= index of the failure).
    auto out = ack_header(status, ack, 4, cmd.req_id);
    store_be16(out.data() + 10, index);
    return out;
}

bool GvcpDevice::in_xml(uint32_t addr, uint32_t count) const {
    uint64_t end = uint64_t{xml_base_} + ((xml_file_.size() + 3) & ~size_t{3});
    return addr >= xml_base_ && uint64_t{addr} + count <= end;
}

std::vector<uint8_t> GvcpDevice::read_mem(const Command& cmd, Endpoint source, Instant now) {
    const auto& p = cmd.payload;
    uint16_t ack = reg::kReadMemCmd + 1;
    if (p.size() != 8) {
        return ack_header(reg::kInvalidParameter, ack, 0, cmd.req_id);
    }
    uint32_t addr = load_be32(p.data());
    uint32_t count = load_be32(p.data() + 4) & 0xFFFF;  // upper 16 bits reserved
    auto fail = [&](uint16_t status) {
        auto out = ack_header(status, ack, 4, cmd.req_id);
        store_be32(out.data() + 8, addr);
        return out;
    };
    if (addr % 4 != 0 || count % 4 != 0) {
        return fail(reg::kBadAlignment);
    }
    if (count == 0 || count > reg::kMaxMemBytes) {
        return fail(reg::kInvalidParameter);
    }
    if (!may_read(source)) {
        return fail(reg::kAccessDenied);
    }
    auto out = ack_header(reg::kSuccess, ack, static_cast<uint16_t>(4 + count), cmd.req_id);
    store_be32(out.data() + 8, addr);
    uint8_t* dst = out.data() + 12;
    if (in_xml(addr, count)) {
        size_t off = addr - xml_base_;
        size_t n = std::min<size_t>(count, xml_file_.size() - std::min(off, xml_file_.size()));
        std::memcpy(dst, xml_file_.data() + off, n);
        return out;
    }
    for (uint32_t i = 0; i < count; i += 4) {
        uint32_t v = 0;
        if (uint64_t{addr} + i > 0xFFFFFFFC) {
            return fail(reg::kInvalidAddress);
        }
        uint16_t status = read_word(addr + i, now, v);
        if (status != reg::kSuccess) {
            return fail(status);
        }
        store_be32(dst + i, v);
    }
    return out;
}

std::vector<uint8_t> GvcpDevice::write_mem(const Command& cmd, Endpoint source, Instant now) {
    const auto& p = cmd.payload;
    uint16_t ack = reg::kWriteMemCmd + 1;
    auto result = [&](uint16_t status, uint16_t index) {
        auto out = ack_header(status, ack, 4, cmd.req_id);
        store_be16(out.data() + 10, index);
        return out;
    };
    if (p.size() < 8 || p.size() - 4 > reg::kMaxMemBytes) {
        return result(reg::kInvalidParameter, 0);
    }
    uint32_t addr = load_be32(p.data());
    size_t count = p.size() - 4;
    if (addr % 4 != 0 || count % 4 != 0) {
        return result(reg::kBadAlignment, 0);
    }
    if (in_xml(addr, static_cast<uint32_t>(count))) {
        return result(reg::kWriteProtect, 0);
    }
    // Check every word first so a bad address leaves memory untouched.
    for (size_t i = 0; i < count; i += 4) {
        if (uint64_t{addr} + i > 0xFFFFFFFC) {
            return result(reg::kInvalidAddress, 0);
        }
        auto it = words_.find(addr + static_cast<uint32_t>(i));
        if (it == words_.end() && !described_ &&
            !FileAccess::owns(addr + static_cast<uint32_t>(i))) {
            return result(reg::kInvalidAddress, 0);
        }
    }
    for (size_t i = 0; i < count; i += 4) {
        uint16_t status =
            write_word(addr + static_cast<uint32_t>(i), load_be32(p.data() + 4 + i), source, now);
        if (status != reg::kSuccess) {
            return result(status, static_cast<uint16_t>(i));
        }
    }
    return result(reg::kSuccess, static_cast<uint16_t>(count));
}

void GvcpDevice::packet_resend(const Command& cmd) {
    if (!(word(reg::kGvcpCapability) & reg::kCapPacketResend)) {
        return;  // no resend capability: the command is silently ignored (no ack is wanted)
    }
    const auto& p = cmd.payload;
    ResendRequest req;
    req.extended = (cmd.flags & 0x10) != 0;
    if (req.extended) {
        if (p.size() < 20) {
            counters_->malformed++;
            return;
        }
        req.channel = load_be16(p.data());
        req.first = load_be32(p.data() + 4);
        req.last = load_be32(p.data() + 8);
        req.block_id = load_be64(p.data() + 12);
    } else {
        if (p.size() < 12) {
            counters_->malformed++;
            return;
        }
        req.channel = load_be16(p.data());
        req.block_id = load_be16(p.data() + 2);
        req.first = load_be32(p.data() + 4) & 0xFFFFFF;
        req.last = load_be32(p.data() + 8) & 0xFFFFFF;
    }
    if (req.channel >= reg::kChannelCount) {
        counters_->malformed++;
        return;
    }
    counters_->resend_requests++;
    if (hooks_) {
        hooks_->packet_resend(req);
    }
}

// ---- Registers -----------------------------------------------------------------------------

uint16_t GvcpDevice::read_word(uint32_t addr, Instant /*now*/, uint32_t& out) const {
    if (addr % 4 != 0) {
        return reg::kBadAlignment;
    }
    if (in_xml(addr, 4)) {
        uint8_t b[4] = {0, 0, 0, 0};
        size_t off = addr - xml_base_;
        std::memcpy(b, xml_file_.data() + off, std::min<size_t>(4, xml_file_.size() - off));
        out = load_be32(b);
        return reg::kSuccess;
    }
    if (described_ && addr == described_->packet_size_mirror()) {
        uint32_t scps = 0;
        const uint16_t status = read_word(reg::kScps, Instant{}, scps);
        out = scps & kPacketSizeBits;
        return status;
    }
    if (ActionUnit::owns(addr) && (!described_ || addr < reg::kWidth)) {
        return actions_.read(addr, out);
    }
    if (FileAccess::owns(addr) && !described_) {
        return files_.read(addr, out);
    }
    auto it = words_.find(addr);
    if (it == words_.end() && hooks_ != nullptr && !described_) {
        if (auto status = hooks_->extension_read(addr, out)) {
            return *status;
        }
    }
    if (it == words_.end() && described_) {
        out = described_->read_word(addr);
        return reg::kSuccess;
    }
    if (it == words_.end()) {
        return reg::kInvalidAddress;
    }
    if (!it->second.readable) {
        return reg::kAccessDenied;
    }
    switch (addr) {
        case reg::kTimestampHigh:
            out = static_cast<uint32_t>(latched_timestamp_ >> 32);
            return reg::kSuccess;
        case reg::kTimestampLow:
            out = static_cast<uint32_t>(latched_timestamp_);
            return reg::kSuccess;
        case reg::kAcquisitionStatus:
            out = acquiring_ ? 1 : 0;
            return reg::kSuccess;
        default:
            out = it->second.value;
            return reg::kSuccess;
    }
}

uint16_t GvcpDevice::write_word(uint32_t addr, uint32_t value, Endpoint source, Instant now) {
    if (addr % 4 != 0) {
        return reg::kBadAlignment;
    }
    if (in_xml(addr, 4)) {
        return reg::kWriteProtect;
    }
    if (described_ && addr == described_->packet_size_mirror()) {
        uint32_t scps = 0;
        (void)read_word(reg::kScps, now, scps);
        const uint32_t flags = scps & ~kPacketSizeBits & ~reg::kScpsFireTest;
        return write_word(reg::kScps, flags | (value & kPacketSizeBits), source, now);
    }
    if (ActionUnit::owns(addr) && (!described_ || addr < reg::kWidth)) {
        if (!controller_ || !(*controller_ == source)) {
            return reg::kAccessDenied;
        }
        uint16_t status = actions_.write(addr, value, timestamp(now), acquiring_);
        if (hooks_ && actions_.trigger_pending()) {
            hooks_->acquisition_changed();
        }
        return status;
    }
    if (FileAccess::owns(addr) && !described_) {
        if (!controller_ || !(*controller_ == source)) {
            return reg::kAccessDenied;
        }
        return files_.write(addr, value);
    }
    auto it = words_.find(addr);
    if (it == words_.end() && hooks_ != nullptr && !described_ && controller_ &&
        *controller_ == source) {
        if (auto status = hooks_->extension_write(addr, value, timestamp(now))) {
            return *status;
        }
    }
    if (it == words_.end() && described_) {
        return write_described(addr, value, source);
    }
    if (it == words_.end()) {
        return reg::kInvalidAddress;
    }
    if (addr == reg::kCcp) {
        return write_ccp(value, source, now);
    }
    // Only the application holding control privilege may change the device.
    if (!controller_ || !(*controller_ == source)) {
        return reg::kAccessDenied;
    }
    if (!it->second.writable) {
        return reg::kWriteProtect;
    }
    if (is_channel_reg(addr)) {
        uint32_t channel = channel_of(addr);
        return write_channel(channel, addr - reg::kScp - channel * reg::kChannelStride, value,
                             it->second);
    }
    switch (addr) {
        case reg::kHeartbeatTimeout:
            if (value == 0) {
                return reg::kInvalidParameter;
            }
            it->second.value = value;
            return reg::kSuccess;
        case reg::kTimestampControl:
            if (value & reg::kTimestampReset) {
                timestamp_origin_ = now;
            }
            if (value & reg::kTimestampLatch) {
                latched_timestamp_ = timestamp(now);
            }
            return reg::kSuccess;
        case reg::kGvcpConfig:
            it->second.value = value & reg::kGvcpConfigHeartbeatDisable;
            return reg::kSuccess;
        case reg::kGvspConfig:
            it->second.value = value & reg::kGvspConfig64BitIds;
            return reg::kSuccess;
        case reg::kIpConfigCurrent:
            return write_ip_config(value, it->second);
        default:
            return write_feature(addr, value, it->second);
    }
}

uint16_t GvcpDevice::write_ccp(uint32_t value, Endpoint source, Instant now) {
    uint32_t bits = value & (reg::kCcpExclusive | reg::kCcpControl);
    if (controller_ && !(*controller_ == source)) {
        return reg::kAccessDenied;  // someone else holds control; no switchover support
    }
    if (bits == 0) {
        if (controller_) {
            release_control();
        }
        return reg::kSuccess;
    }
    if (!controller_) {
        control_since_ = now;
    }
    controller_ = source;
    last_heard_ = now;
    set_word(reg::kCcp, bits | reg::kCcpControl * ((bits & reg::kCcpExclusive) != 0));
    set_word(reg::kPrimaryPort, source.port);
    set_word(reg::kPrimaryIp, source.ip);
    return reg::kSuccess;
}

uint16_t GvcpDevice::write_channel(uint32_t channel, uint32_t offset, uint32_t value, Word& w) {
    switch (offset) {
        case 0x00: {  // SCP: host port in the low 16 bits; direction and interface index RO/0
            bool was_closed = (w.value & 0xFFFF) == 0;
            w.value = value & 0xFFFF;
            if (was_closed && w.value != 0 && hooks_) {
                hooks_->channel_opened(channel);
            }
            if (hooks_) {
                hooks_->acquisition_changed();
            }
            return reg::kSuccess;
        }
        case 0x04: {  // SCPS
            uint32_t size = value & 0xFFFF;
            if (size < 64) {
                return reg::kInvalidParameter;
            }
            bool df = (value & reg::kScpsDontFragment) != 0;
            w.value = size | (df ? reg::kScpsDontFragment : 0);
            if ((value & reg::kScpsFireTest) && hooks_) {
                hooks_->fire_test(channel_locked(channel), size);
            }
            return reg::kSuccess;
        }
        case 0x08:  // SCPD, in timestamp ticks
        case 0x18:  // SCDA
            w.value = value;
            return reg::kSuccess;
        default:
            return reg::kWriteProtect;
    }
}

uint16_t GvcpDevice::write_feature(uint32_t addr, uint32_t value, Word& w) {
    bool locked = word(reg::kTLParamsLocked) != 0 || acquiring_;
    switch (addr) {
        case reg::kWidth:
        case reg::kHeight:
        case reg::kPixelFormat:
            if (locked) {
                return reg::kWriteProtect;  // transport parameters are locked while streaming
            }
            break;
        default:
            break;
    }
    uint32_t sw = word(reg::kSensorWidth), sh = word(reg::kSensorHeight);
    switch (addr) {
        case reg::kWidth:
            if (value < 16 || value % 4 != 0 || value + word(reg::kOffsetX) > sw) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kHeight:
            if (value < 2 || value % 2 != 0 || value + word(reg::kOffsetY) > sh) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kOffsetX:
            if (value % 4 != 0 || value + word(reg::kWidth) > sw) {
                return reg::kInvalidParameter;
            }
            set_word(reg::kWidthMax, sw - value);
            break;
        case reg::kOffsetY:
            if (value % 2 != 0 || value + word(reg::kHeight) > sh) {
                return reg::kInvalidParameter;
            }
            set_word(reg::kHeightMax, sh - value);
            break;
        case reg::kPixelFormat:
            if (!valid_pixel_format(value)) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kAcquisitionMode:
            if (value > static_cast<uint32_t>(AcqMode::MultiFrame)) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kAcquisitionFrameCount:
            if (value == 0) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kTestPattern:
            if (value > static_cast<uint32_t>(Pattern::ChannelRamps)) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kTLParamsLocked:
            if (value > 1) {
                return reg::kInvalidParameter;
            }
            break;
        case reg::kFrameRate: {
            float fps = word_to_le_float(value);
            if (!std::isfinite(fps) || fps < 0 || fps > 100000) {
                return reg::kInvalidParameter;
            }
            break;
        }
        case reg::kUserSetSelector:
        case reg::kUserSetDefault:
        case reg::kUserSetLoad:
        case reg::kUserSetSave:
            return write_user_set(addr, value, w);
        case reg::kAcquisitionStart:
            if (value == 1) {
                start_acquisition();
            }
            return reg::kSuccess;
        case reg::kAcquisitionStop:
            if (value == 1) {
                stop_acquisition();
            }
            return reg::kSuccess;
        default:
            break;
    }
    w.value = value;
    return reg::kSuccess;
}

// UserSetSelector / UserSetDefault choose a set; UserSetSave snapshots the configuration into
// the selected set (never into the factory Default); UserSetLoad restores it, refused while the
// transport parameters are locked, as it changes the image format.
uint16_t GvcpDevice::write_user_set(uint32_t addr, uint32_t value, Word& w) {
    const uint32_t selected = word(reg::kUserSetSelector);
    switch (addr) {
        case reg::kUserSetSelector:
        case reg::kUserSetDefault:
            if (value >= UserSets::kCount) {
                return reg::kInvalidParameter;
            }
            w.value = value;
            return reg::kSuccess;
        case reg::kUserSetSave:
            if (value != 1) {
                return reg::kSuccess;
            }
            if (selected == UserSets::kDefault) {
                return reg::kWriteProtect;
            }
            user_sets_.save(selected, [this](uint32_t a) { return word(a); });
            return reg::kSuccess;
        default:  // UserSetLoad
            if (value != 1) {
                return reg::kSuccess;
            }
            if (word(reg::kTLParamsLocked) != 0 || acquiring_) {
                return reg::kWriteProtect;
            }
            if (!user_sets_.load(selected, [this](uint32_t a, uint32_t v) { set_word(a, v); })) {
                return reg::kInvalidParameter;  // nothing saved in that set yet
            }
            return reg::kSuccess;
    }
}

uint16_t GvcpDevice::write_described(uint32_t addr, uint32_t value, Endpoint source) {
    if (!controller_ || !(*controller_ == source)) {
        return reg::kAccessDenied;
    }
    switch (described_->write_word(addr, value)) {
        case DescribedMemory::Effect::Start:
            start_acquisition();
            break;
        case DescribedMemory::Effect::Stop:
            stop_acquisition();
            break;
        case DescribedMemory::Effect::Refused:
            return reg::kWriteProtect;  // the sparse memory is full
        case DescribedMemory::Effect::None:
            break;
    }
    return reg::kSuccess;
}

void GvcpDevice::start_acquisition() {
    auto mode = described_ ? described_->acquisition_mode()
                           : static_cast<AcqMode>(word(reg::kAcquisitionMode));
    frames_left_ = mode == AcqMode::SingleFrame  ? 1
                   : mode == AcqMode::MultiFrame ? word(reg::kAcquisitionFrameCount)
                                                 : 0;
    acquiring_ = true;
    start_generation_++;
    if (hooks_) {
        hooks_->acquisition_changed();
    }
}

void GvcpDevice::stop_acquisition() {
    acquiring_ = false;
    actions_.reset_pending();
    if (hooks_) {
        hooks_->acquisition_changed();
    }
}

void GvcpDevice::frame_sent(uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (!acquiring_ || generation != start_generation_ || frames_left_ == 0) {
        return;
    }
    if (--frames_left_ == 0) {
        acquiring_ = false;
    }
}

// ---- Control privilege and heartbeat -------------------------------------------------------

void GvcpDevice::release_control() {
    controller_.reset();
    set_word(reg::kCcp, 0);
    set_word(reg::kPrimaryPort, 0);
    set_word(reg::kPrimaryIp, 0);
    // Losing the controller resets the stream channels, as a disconnect would.
    for (uint32_t n = 0; n < reg::kChannelCount; ++n) {
        set_word(reg::kScp + n * reg::kChannelStride, 0);
    }
    set_word(reg::kTLParamsLocked, 0);
    acquiring_ = false;
    actions_.reset_pending();
    if (hooks_) {
        hooks_->acquisition_changed();
    }
}

void GvcpDevice::expire(Instant now) {
    if (!controller_) {
        return;
    }
    bool heartbeat = (word(reg::kGvcpConfig) & reg::kGvcpConfigHeartbeatDisable) == 0;
    auto timeout = std::chrono::milliseconds(word(reg::kHeartbeatTimeout));
    auto clear_after = std::chrono::milliseconds(faults_.ccp_clear_after_ms);
    if ((heartbeat && now - last_heard_ > timeout) ||
        (faults_.ccp_clear_after_ms > 0 && now - control_since_ >= clear_after)) {
        counters_->control_released++;
        release_control();
    }
}

std::optional<Instant> GvcpDevice::poll(Instant now) {
    std::lock_guard lock(mutex_);
    expire(now);
    std::optional<Instant> next;
    const uint64_t device_now = timestamp(now);
    if (auto due = actions_.run_due(device_now, acquiring_)) {
        next = now + std::chrono::nanoseconds(*due - device_now);
    }
    if (hooks_ && actions_.trigger_pending()) {
        hooks_->acquisition_changed();
    }
    if (!controller_) {
        return next;
    }
    if ((word(reg::kGvcpConfig) & reg::kGvcpConfigHeartbeatDisable) == 0) {
        Instant t = last_heard_ + std::chrono::milliseconds(word(reg::kHeartbeatTimeout)) +
                    std::chrono::milliseconds(1);
        next = next ? std::min(*next, t) : t;
    }
    if (faults_.ccp_clear_after_ms > 0) {
        Instant t = control_since_ + std::chrono::milliseconds(faults_.ccp_clear_after_ms);
        next = next ? std::min(*next, t) : t;
    }
    return next;
}

void GvcpDevice::lose_control() {
    std::lock_guard lock(mutex_);
    if (controller_) {
        counters_->control_released++;
        release_control();
    }
}

std::optional<Endpoint> GvcpDevice::controller() const {
    std::lock_guard lock(mutex_);
    return controller_;
}

GvcpFaults GvcpDevice::gvcp_faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void GvcpDevice::set_gvcp_faults(GvcpFaults faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

StreamState GvcpDevice::stream_state() const {
    std::lock_guard lock(mutex_);
    StreamState s;
    s.acquiring = acquiring_;
    s.width = word(reg::kWidth);
    s.height = word(reg::kHeight);
    s.offset_x = word(reg::kOffsetX);
    s.offset_y = word(reg::kOffsetY);
    s.pixel_format = word(reg::kPixelFormat);
    s.pattern = static_cast<Pattern>(word(reg::kTestPattern));
    s.frame_rate = word_to_le_float(word(reg::kFrameRate));
    s.extended_ids = (word(reg::kGvspConfig) & reg::kGvspConfig64BitIds) != 0;
    s.start_generation = start_generation_;
    const uint64_t exposure_bits =
        (uint64_t{word(reg::kExposureTime)} << 32) | word(reg::kExposureTime + 4);
    std::memcpy(&s.exposure_us, &exposure_bits, sizeof s.exposure_us);
    s.gain_raw = word(reg::kAnalog) & 0xFFFF;
    s.trigger_mode = actions_.trigger_mode();
    if (described_ && described_->streams()) {
        s.width = described_->width();
        s.height = described_->height();
        s.offset_x = s.offset_y = 0;
        s.pixel_format = described_->pixel_format();
        s.pattern = described_->pattern();
        s.frame_rate = described_->frame_rate();
    }
    for (uint32_t n = 0; n < reg::kChannelCount; ++n) {
        s.channels[n] = channel_locked(n);
    }
    return s;
}

ChannelState GvcpDevice::channel_locked(uint32_t n) const {
    uint32_t base = n * reg::kChannelStride;
    ChannelState c;
    c.port = static_cast<uint16_t>(word(reg::kScp + base) & 0xFFFF);
    c.dest_ip = word(reg::kScda + base);
    uint32_t scps = word(reg::kScps + base);
    c.packet_size = scps & 0xFFFF;
    c.dont_fragment = (scps & reg::kScpsDontFragment) != 0;
    c.delay_ticks = word(reg::kScpd + base);
    c.throughput_limit = word(reg::kThroughputLimit);
    c.multicast_ttl = actions_.stream_ttl();
    return c;
}

void GvcpDevice::set_stream_source_port(uint16_t port) {
    std::lock_guard lock(mutex_);
    for (uint32_t n = 0; n < reg::kChannelCount; ++n) {
        set_word(reg::kScsp + n * reg::kChannelStride, port);
    }
}

}  // namespace corvisk::sim
