// Device events of the simulated camera: registers, description fragment and the sender.
#include "events.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "bytes.hpp"
#include "gige/proto/gvcp.hpp"
#include "registers.hpp"
#include "time.hpp"

namespace corvisk::sim {
namespace {

constexpr size_t kQueueLimit = 1024;

// Event data of the exposure events: the timestamp and frame id (big-endian, 8 bytes each),
// read by the description's EventExposure<Start|End>Timestamp / FrameID features.
std::vector<uint8_t> exposure_data(uint64_t timestamp, uint64_t block_id) {
    std::vector<uint8_t> data(16);
    ByteWriter w(data);
    w.write_u64(timestamp);
    w.write_u64(block_id);
    return data;
}

}  // namespace

const char* events_xml() {
    return R"XML(
  <Category Name="EventControl" NameSpace="Standard">
    <pFeature>EventSelector</pFeature>
    <pFeature>EventNotification</pFeature>
    <pFeature>TestEventGenerate</pFeature>
  </Category>
  <Enumeration Name="EventSelector" NameSpace="Standard">
    <pSelected>EventNotification</pSelected>
    <EnumEntry Name="ExposureStart" NameSpace="Standard"><Value>36864</Value></EnumEntry>
    <EnumEntry Name="ExposureEnd" NameSpace="Standard"><Value>36865</Value></EnumEntry>
    <EnumEntry Name="FrameStart" NameSpace="Standard"><Value>36866</Value></EnumEntry>
    <pValue>EventSelectorReg</pValue>
  </Enumeration>
  <IntReg Name="EventSelectorReg">
    <Address>0x10400</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Enumeration Name="EventNotification" NameSpace="Standard">
    <EnumEntry Name="Off" NameSpace="Standard"><Value>0</Value></EnumEntry>
    <EnumEntry Name="On" NameSpace="Standard"><Value>1</Value></EnumEntry>
    <pValue>EventNotificationReg</pValue>
  </Enumeration>
  <IntReg Name="EventNotificationReg">
    <Address>0x10404</Address><Length>4</Length><AccessMode>RW</AccessMode>
    <pPort>Device</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Command Name="TestEventGenerate" NameSpace="Standard">
    <pValue>TestEventGenerateReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <IntReg Name="TestEventGenerateReg">
    <Address>0x10408</Address><Length>4</Length><AccessMode>WO</AccessMode>
    <pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Integer Name="EventTest" NameSpace="Standard"><Value>0x4FFF</Value></Integer>
  <Integer Name="EventExposureEnd" NameSpace="Standard"><Value>0x9001</Value></Integer>
  <Port Name="EventExposureStartPort"><EventID>9000</EventID></Port>
  <Port Name="EventExposureEndPort"><EventID>0x9001</EventID></Port>
  <Integer Name="EventExposureStartTimestamp" NameSpace="Standard">
    <pValue>EventExposureStartTimestampReg</pValue>
  </Integer>
  <IntReg Name="EventExposureStartTimestampReg">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>EventExposureStartPort</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Integer Name="EventExposureEndTimestamp" NameSpace="Standard">
    <pValue>EventExposureEndTimestampReg</pValue>
  </Integer>
  <IntReg Name="EventExposureEndTimestampReg">
    <Address>0</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>EventExposureEndPort</pPort><Cachable>NoCache</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="EventExposureEndFrameID" NameSpace="Standard">
    <Address>8</Address><Length>8</Length><AccessMode>RO</AccessMode>
    <pPort>EventExposureEndPort</pPort><Cachable>WriteThrough</Cachable><Sign>Unsigned</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
)XML";
}

CameraResult<void> SimEvents::start(const std::string& ip) {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.is_valid()) {
        return Err{CameraError::io(errno)};
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return Err{CameraError::io(errno)};
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    {
        std::lock_guard lock(mu_);
        source_port_ = ntohs(sa.sin_port);
        acks_to_ignore_ = faults_.ack_loss;
    }
    waker_ = CVK_TRY(Waker::create());
    // The poller exists before the thread does, so that whatever the device holds open is
    // open once start() returns, whenever the thread first runs.
    auto poller = std::make_shared<Poller>(CVK_TRY(Poller::create()));
    CVK_TRY_VOID(poller->add_readable(fd_.get(), 0));
    CVK_TRY_VOID(poller->add_waker(*waker_, 1));
    thread_.set_waker(waker_);
    return spawn_worker(thread_, "corvisk-simgvmc", [this, poller] { loop(*poller); });
}

void SimEvents::stop() {
    thread_.stop_and_join();
    fd_.reset();
}

std::optional<uint16_t> SimEvents::read(uint32_t addr, uint32_t& out) const {
    std::lock_guard lock(mu_);
    switch (addr) {
        case events::kMcp:
            out = mcp_;
            break;
        case events::kMcda:
            out = mcda_;
            break;
        case events::kMctt:
            out = mctt_;
            break;
        case events::kMcrc:
            out = mcrc_;
            break;
        case events::kMcsp:
            out = source_port_;
            break;
        case events::kEventSelector:
            out = selector_;
            break;
        case events::kEventNotification:
            out = enabled_.count(selector_) && enabled_.at(selector_);
            break;
        case events::kTestEventGenerate:
            return reg::kAccessDenied;
        default:
            return std::nullopt;
    }
    return reg::kSuccess;
}

std::optional<uint16_t> SimEvents::write(uint32_t addr, uint32_t value, uint64_t timestamp) {
    {
        std::lock_guard lock(mu_);
        switch (addr) {
            case events::kMcp:
                mcp_ = value & 0xFFFF;
                return reg::kSuccess;
            case events::kMcda:
                mcda_ = value;
                return reg::kSuccess;
            case events::kMctt:
                mctt_ = value;
                return reg::kSuccess;
            case events::kMcrc:
                mcrc_ = value;
                return reg::kSuccess;
            case events::kMcsp:
                return reg::kWriteProtect;
            case events::kEventSelector:
                if (value != events::kExposureStart && value != events::kExposureEnd &&
                    value != events::kFrameStart) {
                    return reg::kInvalidParameter;
                }
                selector_ = value;
                return reg::kSuccess;
            case events::kEventNotification:
                enabled_[selector_] = value != 0;
                return reg::kSuccess;
            case events::kTestEventGenerate:
                break;
            default:
                return std::nullopt;
        }
    }
    emit(events::kTest, 0, timestamp, {});
    return reg::kSuccess;
}

void SimEvents::frame_events(uint64_t block_id, uint64_t timestamp, uint64_t exposure_ns) {
    bool start = false, end = false, frame = false;
    {
        std::lock_guard lock(mu_);
        start = enabled_[events::kExposureStart];
        end = enabled_[events::kExposureEnd];
        frame = enabled_[events::kFrameStart];
    }
    if (frame) {
        emit(events::kFrameStart, block_id, timestamp, {});
    }
    if (start) {
        emit(events::kExposureStart, block_id, timestamp, exposure_data(timestamp, block_id));
    }
    if (end) {
        const uint64_t t = timestamp + exposure_ns;
        emit(events::kExposureEnd, block_id, t, exposure_data(t, block_id));
    }
}

void SimEvents::emit(uint16_t id, uint64_t block_id, uint64_t timestamp,
                     std::vector<uint8_t> data) {
    {
        std::lock_guard lock(mu_);
        if (mcp_ == 0 || mcda_ == 0) {
            return;
        }
        if (queue_.size() >= kQueueLimit) {
            ++counters_.overflow;
            return;
        }
        next_req_ = gvcp::next_request_id(next_req_);
        const uint16_t command = data.empty() ? gvcp::kEventCmd : gvcp::kEventDataCmd;
        gvcp::DeviceEventRecord ev{id, 0, block_id, timestamp, std::move(data)};
        queue_.push_back(gvcp::encode_event_command(command, next_req_, 0, {&ev, 1}));
    }
    if (waker_) {
        waker_->wake();
    }
}

EventCounters SimEvents::counters() const {
    std::lock_guard lock(mu_);
    return counters_;
}

void SimEvents::send(const std::vector<uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(mcda_);
    to.sin_port = htons(static_cast<uint16_t>(mcp_));
    ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Reads the acknowledges waiting on the socket; one matching the command in flight settles it
// (unless the fault swallows it).
void SimEvents::take_acks() {
    std::array<uint8_t, 64> buf{};
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 8) {
            return;
        }
        ByteReader r(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
        uint16_t status = 0, code = 0, length = 0, ack_id = 0;
        r.read_u16(status), r.read_u16(code), r.read_u16(length), r.read_u16(ack_id);
        std::lock_guard lock(mu_);
        if (!inflight_ || ack_id != inflight_->req_id ||
            (code != gvcp::kEventAck && code != gvcp::kEventDataAck)) {
            continue;
        }
        if (acks_to_ignore_ > 0) {
            --acks_to_ignore_;
            ++counters_.ignored_acks;
            continue;
        }
        ++counters_.acked;
        inflight_.reset();
    }
}

void SimEvents::loop(Poller& poller) {
    std::array<Poller::Event, 4> ready{};
    while (!thread_.stop_flag()->load(std::memory_order_acquire)) {
        std::optional<Instant> deadline;
        {
            std::lock_guard lock(mu_);
            if (inflight_) {
                deadline = inflight_->retry_at;
            }
        }
        (void)poller.wait(ready, deadline ? ms_until(*deadline, 1000) : 1000);
        waker_->drain();
        take_acks();
        std::lock_guard lock(mu_);
        const Instant now = Clock::now();
        if (inflight_ && now >= inflight_->retry_at) {
            if (inflight_->tries_left == 0) {
                ++counters_.given_up;
                inflight_.reset();
            } else {
                --inflight_->tries_left;
                ++counters_.resent;
                send(inflight_->bytes);
                inflight_->retry_at = now + std::chrono::milliseconds(std::max<uint32_t>(mctt_, 1));
            }
        }
        if (!inflight_ && !queue_.empty() && mcp_ != 0) {
            Pending p{std::move(queue_.front()), 0, mcrc_,
                      now + std::chrono::milliseconds(std::max<uint32_t>(mctt_, 1))};
            queue_.pop_front();
            p.req_id = load_be16(p.bytes.data() + 6);
            send(p.bytes);
            if (faults_.duplicates) {
                send(p.bytes);
            }
            ++counters_.sent;
            inflight_ = std::move(p);
        }
    }
}

}  // namespace corvisk::sim
