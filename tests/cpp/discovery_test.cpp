// Discovery against a responder thread on a loopback unicast address standing in for the
// adapters' broadcast address, so no beacon ever leaves the host.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "gige/discovery.hpp"
#include "gige/proto/gvcp.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

using namespace corvisk;
using namespace corvisk::gige;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr std::array<uint8_t, 4> kResponderIp = {127, 0, 4, 10};

std::array<uint8_t, 6> mac_of(uint8_t last) {
    return {0x00, 0x1A, 0x2B, 0x3C, 0x4D, last};
}

// A DISCOVERY_ACK datagram (status, code and payload size adjustable for the junk cases).
Bytes answer(std::array<uint8_t, 6> mac, const std::string& model, uint16_t status = 0,
             uint16_t code = gvcp::kDiscoveryAck, size_t record_size = 248) {
    Bytes d(8 + record_size, 0);
    store_be16(&d[0], status);
    store_be16(&d[2], code);
    store_be16(&d[4], static_cast<uint16_t>(record_size));
    store_be16(&d[6], 0xFFFF);
    uint8_t* rec = d.data() + 8;
    if (record_size >= 248) {
        store_be32(rec, 0x00020000);
        std::memcpy(rec + 10, mac.data(), 6);
        store_be32(rec + 36, 0xC0A8010A);
        std::memcpy(rec + 72, "VendorX", 7);
        std::memcpy(rec + 104, model.data(), std::min<size_t>(model.size(), 32));
    }
    return d;
}

std::string ip_text(const sockaddr_in& sa) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    return buf;
}

// Answers every beacon it receives with the datagrams the script returns for its source.
class Responder {
  public:
    using Script = std::function<std::vector<Bytes>(const sockaddr_in& from)>;

    explicit Responder(Script script) : script_(std::move(script)) {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        std::memcpy(&sa.sin_addr.s_addr, kResponderIp.data(), 4);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
    }

    uint16_t port() const { return port_; }
    int beacons() const { return beacons_.load(); }

    // Waits until `n` beacons arrived, at most 5 s.
    bool wait_for_beacons(int n) const {
        const auto deadline = Clock::now() + 5s;
        std::unique_lock lock(mu_);
        return cv_.wait_until(lock, deadline, [&] { return beacons_.load() >= n; });
    }

  private:
    void run() {
        const auto beacon = gvcp::discovery_command();
        uint8_t buf[1500];
        while (!stop_) {
            pollfd pfd{fd_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0) {
                continue;
            }
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 8 || std::memcmp(buf, beacon.data(), 8) != 0) {
                continue;
            }
            for (const Bytes& d : script_(from)) {
                ::sendto(fd_.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            }
            {
                std::lock_guard lock(mu_);
                ++beacons_;
            }
            cv_.notify_all();
        }
    }

    Script script_;
    UniqueFd fd_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> beacons_{0};
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::thread thread_;
};

NetworkAdapter loopback_adapter(const std::string& name, uint8_t last_octet) {
    NetworkAdapter a;
    a.name = name;
    a.ip = {127, 0, 4, last_octet};
    a.netmask = {255, 0, 0, 0};
    a.broadcast = kResponderIp;
    return a;
}

DiscoveryConfig config_for(const Responder& r, std::vector<NetworkAdapter> adapters,
                           Duration timeout = 300ms) {
    DiscoveryConfig c;
    c.adapters = std::move(adapters);
    c.timeout = timeout;
    c.port = r.port();
    c.limited_broadcast = false;  // never let a beacon reach a real adapter
    return c;
}

}  // namespace

TEST(DiscoveryTest, ListsValidAnswersAndIgnoresEverythingElse) {
    Responder r([](const sockaddr_in&) {
        auto overlong = answer(mac_of(1), "overlong");
        store_be16(&overlong[4], 249);
        const auto beacon = gvcp::discovery_command();  // another host discovering too
        return std::vector<Bytes>{
            Bytes{0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0xFF},     // 7 bytes
            overlong,                                            // length beyond the datagram
            Bytes(beacon.begin(), beacon.end()),                 // not an acknowledge
            answer(mac_of(3), "nak", 0x8001),                    // error status
            answer(mac_of(4), "readreg", 0, gvcp::kReadRegAck),  // not a discovery ack
            answer(mac_of(5), "short", 0, gvcp::kDiscoveryAck, 247),
            answer(mac_of(6), "good", 0x0100),  // non-error status counts
            answer(mac_of(7), "longer", 0, gvcp::kDiscoveryAck, 300),
        };
    });
    auto result = discover(config_for(r, {loopback_adapter("lo-a", 1)}));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result->size(), 2u);
    const DiscoveredDevice& d = (*result)[0];
    EXPECT_EQ(d.info.model, "good");
    EXPECT_EQ(d.info.mac, mac_of(6));
    EXPECT_EQ(bootstrap::format_ip(d.info.ip), "192.168.1.10");
    EXPECT_EQ(d.adapter.name, "lo-a");
    EXPECT_EQ(ip_text(d.source), "127.0.4.10");
    EXPECT_EQ(ntohs(d.source.sin_port), r.port());
    EXPECT_EQ((*result)[1].info.model, "longer");
}

TEST(DiscoveryTest, SameMacTwiceKeepsTheFirstAnswer) {
    Responder r([](const sockaddr_in&) {
        return std::vector<Bytes>{answer(mac_of(1), "first"), answer(mac_of(2), "other"),
                                  answer(mac_of(1), "second")};
    });
    auto result = discover(config_for(r, {loopback_adapter("lo-a", 1)}));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result->size(), 2u);
    EXPECT_EQ((*result)[0].info.model, "first");
    EXPECT_EQ((*result)[1].info.model, "other");
}

TEST(DiscoveryTest, SameCameraOnTwoAdaptersIsListedOnce) {
    // The camera names the adapter address it answered in the model field, so the test can
    // check that the listed record and its adapter come from the same (first) answer.
    Responder r([](const sockaddr_in& from) {
        return std::vector<Bytes>{answer(mac_of(9), ip_text(from))};
    });
    auto result =
        discover(config_for(r, {loopback_adapter("lo-a", 1), loopback_adapter("lo-b", 2)}));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(r.beacons(), 2);
    ASSERT_EQ(result->size(), 1u);
    const DiscoveredDevice& d = (*result)[0];
    EXPECT_EQ(d.info.model, bootstrap::format_ip(d.adapter.ip));
}

TEST(DiscoveryTest, ZeroTimeoutSendsBeaconsAndReturnsEmpty) {
    Responder r([](const sockaddr_in&) { return std::vector<Bytes>{answer(mac_of(1), "cam")}; });
    log::ScopedCapture capture;
    auto result = discover(config_for(r, {loopback_adapter("lo-a", 1)}, 0s));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_TRUE(result->empty());
    EXPECT_TRUE(r.wait_for_beacons(1));
    ASSERT_TRUE(capture.sink().contains(log::Level::Debug, "corvisk::gige::discovery",
                                        "discovery finished"));
    for (const auto& rec : capture.sink().records()) {
        if (rec.message == "discovery finished") {
            ASSERT_NE(rec.field("devices"), nullptr);
            EXPECT_EQ(*rec.field("devices"), "0");
        }
    }
}

TEST(DiscoveryTest, UnusableAdaptersAreSkippedWithAWarning) {
    Responder r([](const sockaddr_in&) { return std::vector<Bytes>{answer(mac_of(1), "cam")}; });
    NetworkAdapter bad = loopback_adapter("bad0", 1);
    bad.ip = {192, 0, 2, 1};  // not an address of this host: bind fails
    log::ScopedCapture capture;
    auto result = discover(config_for(r, {bad, loopback_adapter("lo-a", 1)}));
    ASSERT_TRUE(result) << result.error().message();
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0].adapter.name, "lo-a");
    EXPECT_TRUE(capture.sink().contains(
        log::Level::Warn, "corvisk::gige::discovery",
        "discovery: skipping bad0 (192.0.2.1): Cannot assign requested address"));
}

TEST(DiscoveryTest, NoUsableAdapterIsAnIoError) {
    NetworkAdapter bad;
    bad.name = "bad0";
    bad.ip = {192, 0, 2, 1};
    bad.broadcast = kResponderIp;
    for (const auto& adapters : {std::vector<NetworkAdapter>{}, std::vector<NetworkAdapter>{bad}}) {
        DiscoveryConfig c;
        c.adapters = adapters;
        c.limited_broadcast = false;
        auto result = discover(c);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), CameraError::Kind::Io);
        EXPECT_EQ(result.error().os_errno(), EADDRNOTAVAIL);
        EXPECT_EQ(result.error().message(), "io error: no usable network adapter for discovery");
    }
}

TEST(DiscoveryTest, BeaconDestinations) {
    NetworkAdapter a;
    a.broadcast = {255, 255, 255, 255};
    auto dests = beacon_destinations(a, 3956, true);
    ASSERT_EQ(dests.size(), 1u) << "an all-ones broadcast address gets one beacon";
    EXPECT_EQ(ip_text(dests[0]), "255.255.255.255");
    EXPECT_EQ(ntohs(dests[0].sin_port), 3956);

    a.broadcast = {10, 0, 0, 255};
    dests = beacon_destinations(a, 4000, true);
    ASSERT_EQ(dests.size(), 2u);
    EXPECT_EQ(ip_text(dests[0]), "10.0.0.255");
    EXPECT_EQ(ip_text(dests[1]), "255.255.255.255");
    EXPECT_EQ(ntohs(dests[1].sin_port), 4000);

    dests = beacon_destinations(a, 4000, false);
    ASSERT_EQ(dests.size(), 1u);
    EXPECT_EQ(ip_text(dests[0]), "10.0.0.255");
}

TEST(DiscoveryTest, EnumeratedAdaptersExcludeLoopbackAndUnset) {
    auto adapters = enumerate_adapters();
    ASSERT_TRUE(adapters) << adapters.error().message();
    for (const NetworkAdapter& a : *adapters) {
        EXPECT_NE(a.ip[0], 127) << a.name;
        EXPECT_NE(a.ip, (std::array<uint8_t, 4>{})) << a.name;
        EXPECT_FALSE(a.name.empty());
    }
}
