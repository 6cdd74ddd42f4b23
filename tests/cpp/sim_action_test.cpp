// Action commands, triggers and the PTP clock of the simulated camera, fed datagram by datagram.
#include <gtest/gtest.h>

#include <cstdlib>

#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::gvcp_cmd;
using testing::ip_of;
using testing::parse_ack;
using testing::words;

constexpr uint32_t kDeviceKey = 0x12345678;
constexpr uint32_t kGroupKey = 0x00000010;
constexpr uint32_t kGroupMask = 0x00000003;

class SimAction : public ::testing::Test {
  protected:
    SimAction() : dev_(config(false)) {}

    static SimConfig config(bool ptp) {
        SimConfig c;
        c.ip = "127.34.0.1";
        c.ptp_synchronised = ptp;
        return c;
    }

    // Sends one command from `from` and returns the acknowledge's status (nothing if none).
    std::optional<uint16_t> send(GvcpDevice& dev, const std::vector<uint8_t>& datagram,
                                 Endpoint from, Instant at) {
        auto replies = dev.handle_datagram(datagram, from, at);
        if (replies.empty()) {
            return std::nullopt;
        }
        auto ack = parse_ack(replies.back().bytes);
        return ack ? std::optional<uint16_t>(ack->status) : std::nullopt;
    }

    uint16_t write(GvcpDevice& dev, uint32_t addr, uint32_t value, Endpoint from = kHost) {
        return send(dev, gvcp_cmd(0x01, reg::kWriteRegCmd, ++req_, words({addr, value})), from,
                    Clock::now())
            .value_or(0xFFFF);
    }

    std::optional<uint32_t> read(GvcpDevice& dev, uint32_t addr) {
        auto replies =
            dev.handle_datagram(gvcp_cmd(0x01, reg::kReadRegCmd, ++req_, words({addr})), kHost);
        auto ack = parse_ack(replies.at(0).bytes);
        if (!ack || !ack->ok()) {
            return std::nullopt;
        }
        return ack->word(0);
    }

    // Control, keys on signal 0, trigger on Action1, acquisition running.
    void arm(GvcpDevice& dev) {
        ASSERT_EQ(write(dev, reg::kCcp, 2), 0);
        ASSERT_EQ(write(dev, actreg::kActionDeviceKey, kDeviceKey), 0);
        ASSERT_EQ(write(dev, actreg::kActionGroupKey, kGroupKey), 0);
        ASSERT_EQ(write(dev, actreg::kActionGroupMask, kGroupMask), 0);
        ASSERT_EQ(write(dev, actreg::kTriggerMode, 1), 0);
        ASSERT_EQ(write(dev, actreg::kTriggerSource, 1), 0);
        ASSERT_EQ(write(dev, reg::kAcquisitionStart, 1), 0);
    }

    std::vector<uint8_t> action(uint32_t device_key, uint32_t group_key, uint32_t mask,
                                std::optional<uint64_t> at = std::nullopt) {
        auto payload = words({device_key, group_key, mask});
        if (at) {
            payload.insert(payload.end(), 8, 0);
            store_be64(payload.data() + 12, *at);
        }
        uint8_t flags = 0x01 | (at ? actreg::kFlagScheduled : 0);
        return gvcp_cmd(flags, actreg::kActionCmd, ++req_, payload);
    }

    static constexpr Endpoint kHost{0x7F000001, 5000};
    static constexpr Endpoint kOther{0x7F000001, 5001};
    GvcpDevice dev_;
    uint16_t req_ = 0;
};

TEST_F(SimAction, MatchingActionIsAcknowledgedAndTriggersOneFrameStampedOnArrival) {
    arm(dev_);
    Instant at = Clock::now();
    // Any sender may trigger, not only the controlling application.
    EXPECT_EQ(send(dev_, action(kDeviceKey, kGroupKey, 0x2), kOther, at), 0);
    auto stamp = dev_.take_trigger();
    ASSERT_TRUE(stamp.has_value());
    EXPECT_EQ(*stamp, dev_.timestamp(at));
    EXPECT_FALSE(dev_.take_trigger().has_value());
}

struct Miss {
    const char* what;
    uint32_t device_key, group_key, group_mask;
};

class SimActionMiss : public SimAction, public ::testing::WithParamInterface<Miss> {};

TEST_P(SimActionMiss, ActionForAnotherDeviceOrGroupIsIgnoredSilently) {
    arm(dev_);
    const Miss& m = GetParam();
    EXPECT_EQ(send(dev_, action(m.device_key, m.group_key, m.group_mask), kHost, Clock::now()),
              std::nullopt);
    EXPECT_FALSE(dev_.take_trigger().has_value());
}

INSTANTIATE_TEST_SUITE_P(Keys, SimActionMiss,
                         ::testing::Values(Miss{"device", kDeviceKey + 1, kGroupKey, kGroupMask},
                                           Miss{"group", kDeviceKey, kGroupKey + 1, kGroupMask},
                                           Miss{"mask", kDeviceKey, kGroupKey, 0x4}),
                         [](const auto& p) { return std::string(p.param.what); });

TEST_F(SimAction, UncontrolledDeviceIgnoresActions) {
    EXPECT_EQ(send(dev_, action(0, 0, 0xFFFFFFFF), kHost, Clock::now()), std::nullopt);
}

TEST_F(SimAction, ShortCommandIsRefusedAsInvalidParameter) {
    arm(dev_);
    auto cmd = gvcp_cmd(0x01, actreg::kActionCmd, 7, words({kDeviceKey, kGroupKey}));
    EXPECT_EQ(send(dev_, cmd, kHost, Clock::now()), reg::kInvalidParameter);
    // The scheduled flag without its time field.
    auto bare = gvcp_cmd(0x81, actreg::kActionCmd, 8, words({kDeviceKey, kGroupKey, 1}));
    EXPECT_EQ(send(dev_, bare, kHost, Clock::now()), reg::kInvalidParameter);
}

TEST_F(SimAction, ScheduledActionFiresAtItsDeviceTimeWithThatStamp) {
    arm(dev_);
    Instant now = Clock::now();
    uint64_t when = dev_.timestamp(now) + 50'000'000;  // 50 ms ahead
    EXPECT_EQ(send(dev_, action(kDeviceKey, kGroupKey, 1, when), kHost, now), 0);
    EXPECT_FALSE(dev_.take_trigger().has_value());
    auto next = dev_.poll(now + std::chrono::milliseconds(10));
    ASSERT_TRUE(next.has_value());
    EXPECT_LE(*next, now + std::chrono::milliseconds(50));
    EXPECT_FALSE(dev_.take_trigger().has_value());
    dev_.poll(now + std::chrono::milliseconds(53));  // the device wakes a little late
    EXPECT_EQ(dev_.take_trigger(), std::optional<uint64_t>(when));
}

TEST_F(SimAction, LateScheduledActionRunsAtOnceAndSaysLate) {
    arm(dev_);
    Instant now = Clock::now();
    uint64_t past = dev_.timestamp(now) - 1;
    EXPECT_EQ(send(dev_, action(kDeviceKey, kGroupKey, 1, past), kHost, now), actreg::kActionLate);
    EXPECT_EQ(dev_.take_trigger(), std::optional<uint64_t>(dev_.timestamp(now)));
}

TEST_F(SimAction, StoppingAcquisitionDropsScheduledActions) {
    arm(dev_);
    Instant now = Clock::now();
    uint64_t when = dev_.timestamp(now) + 1'000'000;
    ASSERT_EQ(send(dev_, action(kDeviceKey, kGroupKey, 1, when), kHost, now), 0);
    ASSERT_EQ(write(dev_, reg::kAcquisitionStop, 1), 0);
    dev_.poll(now + std::chrono::milliseconds(5));
    EXPECT_FALSE(dev_.take_trigger().has_value());
}

TEST_F(SimAction, TriggerNeedsTriggerModeItsSourceAndAcquisition) {
    arm(dev_);
    ASSERT_EQ(write(dev_, actreg::kTriggerSource, 2), 0);  // Action2: signal 1, not keyed
    EXPECT_EQ(send(dev_, action(kDeviceKey, kGroupKey, 1), kHost, Clock::now()), 0);
    EXPECT_FALSE(dev_.take_trigger().has_value());
    ASSERT_EQ(write(dev_, actreg::kTriggerSource, 0), 0);  // Software
    ASSERT_EQ(write(dev_, actreg::kTriggerSoftware, 1), 0);
    EXPECT_TRUE(dev_.take_trigger().has_value());
    ASSERT_EQ(write(dev_, actreg::kTriggerMode, 0), 0);
    ASSERT_EQ(write(dev_, actreg::kTriggerSoftware, 1), 0);
    EXPECT_FALSE(dev_.take_trigger().has_value());
}

TEST_F(SimAction, RegistersSelectSignalsAndRefuseOthers) {
    ASSERT_EQ(write(dev_, reg::kCcp, 2), 0);
    EXPECT_EQ(read(dev_, actreg::kActionSignalCount), std::optional<uint32_t>(2));
    EXPECT_EQ(read(dev_, actreg::kActionDeviceKey), std::nullopt);  // write-only
    ASSERT_EQ(write(dev_, actreg::kActionGroupKey + actreg::kActionStride, 77), 0);
    EXPECT_EQ(read(dev_, actreg::kActionGroupKey + actreg::kActionStride),
              std::optional<uint32_t>(77));
    EXPECT_EQ(read(dev_, actreg::kActionGroupKey), std::optional<uint32_t>(0));
    EXPECT_EQ(write(dev_, actreg::kActionGroupKey, 1, kOther), reg::kAccessDenied);
    EXPECT_EQ(write(dev_, actreg::kTriggerSource, 3), reg::kInvalidParameter);
    EXPECT_EQ(write(dev_, actreg::kPtpStatus, 2), reg::kWriteProtect);
    uint32_t cap = read(dev_, reg::kGvcpCapability).value_or(0);
    EXPECT_EQ(cap & (actreg::kCapAction | actreg::kCapScheduledAction),
              actreg::kCapAction | actreg::kCapScheduledAction);
}

TEST_F(SimAction, PtpSynchronisedClockReadsTheHostWallClockWhileEnabled) {
    GvcpDevice dev(config(true));
    ASSERT_EQ(write(dev, reg::kCcp, 2), 0);
    EXPECT_EQ(read(dev, actreg::kPtpStatus), std::optional<uint32_t>(actreg::kPtpSlave));
    int64_t skew = static_cast<int64_t>(dev.timestamp()) - static_cast<int64_t>(wall_clock_ns());
    EXPECT_LT(std::abs(skew), 50'000'000);
    ASSERT_EQ(write(dev, actreg::kPtpEnable, 0), 0);
    EXPECT_EQ(read(dev, actreg::kPtpStatus), std::optional<uint32_t>(actreg::kPtpDisabled));
    EXPECT_LT(dev.timestamp(), uint64_t{3600} * 1'000'000'000);  // ticks since power-up again
    // A camera without a PTP master only listens.
    ASSERT_EQ(write(dev_, reg::kCcp, 2), 0);
    ASSERT_EQ(write(dev_, actreg::kPtpEnable, 1), 0);
    EXPECT_EQ(read(dev_, actreg::kPtpStatus), std::optional<uint32_t>(actreg::kPtpListening));
}

}  // namespace
}  // namespace corvisk::sim
