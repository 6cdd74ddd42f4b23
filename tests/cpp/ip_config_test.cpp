// FORCEIP on the wire (the host's encoder read back by the simulated device) and the device's
// IP configuration registers.
#include <gtest/gtest.h>

#include "bytes.hpp"
#include "gige/proto/forceip.hpp"
#include "gvcp_device.hpp"
#include "registers.hpp"

namespace corvisk {
namespace {

using sim::Endpoint;
using sim::GvcpDevice;
using sim::SimConfig;

gvcp::ForceIp request(std::array<uint8_t, 6> mac) {
    return gvcp::ForceIp{mac, {10, 27, 0, 2}, {255, 255, 255, 0}, {10, 27, 0, 254}};
}

constexpr std::array<uint8_t, 6> kSimMac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const Endpoint kHost{0x0A1B0001, 40000};

TEST(ForceIpCodec, LayoutAndRoundTrip) {
    const auto bytes = gvcp::encode_force_ip(request(kSimMac), 0x1234);
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<uint8_t>{0x42, 0x11, 0x00, 0x04, 0x00, 0x38, 0x12, 0x34}));
    EXPECT_EQ(load_be16(bytes.data() + 10), 0x0200u);  // MAC high
    EXPECT_EQ(load_be32(bytes.data() + 12), 0x5e100001u);
    EXPECT_EQ(load_be32(bytes.data() + 28), 0x0A1B0002u);
    EXPECT_EQ(load_be32(bytes.data() + 44), 0xFFFFFF00u);
    EXPECT_EQ(load_be32(bytes.data() + 60), 0x0A1B00FEu);
    auto back = gvcp::decode_force_ip(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->mac, kSimMac);
    EXPECT_EQ(back->gateway, (std::array<uint8_t, 4>{10, 27, 0, 254}));
    // Truncated or lying length fields decode to nothing.
    EXPECT_FALSE(gvcp::decode_force_ip(std::span(bytes).first(63)).has_value());
    auto short_length = bytes;
    short_length[5] = 0x30;
    EXPECT_FALSE(gvcp::decode_force_ip(short_length).has_value());
}

TEST(ForceIpCodec, AcknowledgeMustMatchCodeAndId) {
    const std::vector<uint8_t> ok = {0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x12, 0x34};
    ASSERT_TRUE(gvcp::force_ip_ack_status(ok, 0x1234).has_value());
    EXPECT_FALSE(gvcp::force_ip_ack_status(ok, 0x1234)->is_error());
    EXPECT_FALSE(gvcp::force_ip_ack_status(ok, 0x1235).has_value());
    const std::vector<uint8_t> discovery = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x12, 0x34};
    EXPECT_FALSE(gvcp::force_ip_ack_status(discovery, 0x1234).has_value());
    const std::vector<uint8_t> refused = {0x80, 0x06, 0x00, 0x05, 0x00, 0x00, 0x12, 0x34};
    EXPECT_TRUE(gvcp::force_ip_ack_status(refused, 0x1234)->is_error());
    EXPECT_FALSE(gvcp::force_ip_ack_status(std::span(ok).first(7), 0x1234).has_value());
}

uint32_t read_word(GvcpDevice& dev, uint32_t addr) {
    std::vector<uint8_t> cmd = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x07, 0, 0, 0, 0};
    store_be32(cmd.data() + 8, addr);
    auto replies = dev.handle_datagram(cmd, kHost);
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? 0 : load_be32(replies[0].bytes.data() + 8);
}

TEST(SimForceIp, MatchingMacMovesTheDeviceAndAcknowledges) {
    GvcpDevice dev(SimConfig{});
    auto replies = dev.handle_datagram(gvcp::encode_force_ip(request(kSimMac), 9), kHost);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, (std::vector<uint8_t>{0, 0, 0x00, 0x05, 0, 0, 0, 9}));
    auto change = dev.take_address_change();
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->ip, 0x0A1B0002u);
    EXPECT_TRUE(change->broadcast_ack);
    EXPECT_FALSE(dev.take_address_change().has_value());  // reported once
    EXPECT_EQ(read_word(dev, sim::reg::kCurrentIp), 0x0A1B0002u);
    EXPECT_EQ(read_word(dev, sim::reg::kCurrentSubnet), 0xFFFFFF00u);
    EXPECT_EQ(read_word(dev, sim::reg::kCurrentGateway), 0x0A1B00FEu);
}

TEST(SimForceIp, OtherMacShortPayloadAndRestart) {
    GvcpDevice dev(SimConfig{});
    auto other = kSimMac;
    other[5] = 0x02;
    EXPECT_TRUE(dev.handle_datagram(gvcp::encode_force_ip(request(other), 3), kHost).empty());
    auto truncated = gvcp::encode_force_ip(request(kSimMac), 4);
    truncated.resize(60);
    truncated[5] = 52;
    auto replies = dev.handle_datagram(truncated, kHost);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(load_be16(replies[0].bytes.data()), sim::reg::kInvalidParameter);
    auto restart = request(kSimMac);
    restart.ip = {0, 0, 0, 0};
    replies = dev.handle_datagram(gvcp::encode_force_ip(restart, 5), kHost);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(load_be16(replies[0].bytes.data()), 0u);
    EXPECT_FALSE(dev.take_address_change().has_value());
}

TEST(SimIpConfig, ConfigurationRegisterKeepsOnlySupportedBitsAndLinkLocal) {
    GvcpDevice dev(SimConfig{});
    auto write = [&](uint32_t addr, uint32_t value) {
        std::vector<uint8_t> cmd(16);
        const std::vector<uint8_t> head = {0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x11};
        std::copy(head.begin(), head.end(), cmd.begin());
        store_be32(cmd.data() + 8, addr);
        store_be32(cmd.data() + 12, value);
        auto replies = dev.handle_datagram(cmd, kHost);
        return replies.empty() ? 0xFFFFu : load_be16(replies[0].bytes.data());
    };
    ASSERT_EQ(write(sim::reg::kCcp, 2), 0u);
    EXPECT_EQ(write(sim::reg::kIpConfigCurrent, 0xFFFFFFF2u), 0u);
    EXPECT_EQ(read_word(dev, sim::reg::kIpConfigCurrent), 0x6u);  // DHCP + forced link-local
    EXPECT_EQ(write(sim::reg::kPersistentIp, 0x0A1B0005u), 0u);
    EXPECT_EQ(read_word(dev, sim::reg::kPersistentIp), 0x0A1B0005u);
}

}  // namespace
}  // namespace corvisk
