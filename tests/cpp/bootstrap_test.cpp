// DeviceInfo from a discovery record and from identity registers; lossy string fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "gige/proto/bootstrap.hpp"

using namespace corvisk;
using namespace corvisk::bootstrap;
using Bytes = std::vector<uint8_t>;

namespace {

void put_text(Bytes& b, size_t offset, const std::string& s) {
    std::memcpy(b.data() + offset, s.data(), s.size());
}

// A discovery record built field by field at the documented offsets.
Bytes sample_record(size_t size = kDiscoveryRecordSize) {
    Bytes b(size, 0);
    store_be32(&b[0], 0x00020001);  // version 2.1
    store_be32(&b[4], 0x80000001);
    const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    std::memcpy(&b[10], mac, 6);
    store_be32(&b[16], 0x00000007);
    store_be32(&b[20], 0x00000005);
    store_be32(&b[36], 0xC0A8010A);  // 192.168.1.10
    store_be32(&b[52], 0xFFFFFF00);
    store_be32(&b[68], 0xC0A80101);
    put_text(b, 72, "VendorX");
    put_text(b, 104, "CamModel");
    put_text(b, 136, "1.2.3");
    put_text(b, 168, "extra info");
    put_text(b, 216, "S123");
    put_text(b, 232, "left-cam");
    return b;
}

}  // namespace

TEST(DeviceInfoTest, ParsesEveryFieldOfTheRecord) {
    const auto info = DeviceInfo::parse(sample_record());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->spec_major, 2);
    EXPECT_EQ(info->spec_minor, 1);
    EXPECT_EQ(info->device_mode, 0x80000001u);
    EXPECT_EQ(format_mac(info->mac), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(info->mac_u64(), 0x001A2B3C4D5Eull);
    EXPECT_EQ(info->ip_config_supported, 7u);
    EXPECT_EQ(info->ip_config_current, 5u);
    EXPECT_EQ(format_ip(info->ip), "192.168.1.10");
    EXPECT_EQ(format_ip(info->subnet_mask), "255.255.255.0");
    EXPECT_EQ(format_ip(info->gateway), "192.168.1.1");
    EXPECT_EQ(info->manufacturer, "VendorX");
    EXPECT_EQ(info->model, "CamModel");
    EXPECT_EQ(info->device_version, "1.2.3");
    EXPECT_EQ(info->manufacturer_info, "extra info");
    EXPECT_EQ(info->serial, "S123");
    EXPECT_EQ(info->user_defined_name, "left-cam");
}

TEST(DeviceInfoTest, RecordSizeBoundary) {
    EXPECT_FALSE(DeviceInfo::parse(Bytes{}));
    EXPECT_FALSE(DeviceInfo::parse(sample_record(247)));
    EXPECT_TRUE(DeviceInfo::parse(sample_record(248)));
    auto longer = sample_record(600);
    std::memset(&longer[248], 'Z', longer.size() - 248);
    const auto info = DeviceInfo::parse(longer);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->user_defined_name, "left-cam");
}

TEST(DeviceInfoTest, FullWidthFieldsWithoutZeroByteStayInsideTheirField) {
    auto b = sample_record();
    put_text(b, 72, std::string(32, 'M'));   // manufacturer, runs into model
    put_text(b, 232, std::string(16, 'U'));  // user name, last field of the record
    const auto info = DeviceInfo::parse(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->manufacturer, std::string(32, 'M'));
    EXPECT_EQ(info->model, "CamModel");
    EXPECT_EQ(info->user_defined_name, std::string(16, 'U'));
}

TEST(StringRegTest, DecodesUpToFirstZeroOrWholeWidth) {
    struct Case {
        Bytes field;
        std::string text;
    };
    const std::vector<Case> cases = {
        {Bytes(32, 'A'), std::string(32, 'A')},
        {Bytes{0, 'A', 'B', 0}, ""},
        {Bytes{'A', 'B', 0, 'C'}, "AB"},
        {Bytes{}, ""},
        {Bytes{0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, "\u00e9\u20ac\U0001F600"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(string_reg(c.field, 0, c.field.size()), c.text);
    }
    const Bytes b = {'x', 'y', 'A', 'B', 'C', 'z'};
    EXPECT_EQ(string_reg(b, 2, 3), "ABC");
}

TEST(StringRegTest, ReplacesEachInvalidSequenceWithFffd) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        Bytes field;
        std::string text;
    };
    const std::vector<Case> cases = {
        {Bytes{'A', 0xFF, 'B'}, "A" + r + "B"},
        {Bytes{0x80, 0x80}, r + r},                      // stray continuations
        {Bytes{0xC0, 0xAF}, r + r},                      // overlong lead
        {Bytes{0xE2, 0x82}, r},                          // truncated by the field end
        {Bytes{0xE2, 0x82, 'A'}, r + "A"},               // truncated by an ASCII byte
        {Bytes{0xED, 0xA0, 0x80}, r + r + r},            // surrogate
        {Bytes{0xF4, 0x90, 0x80, 0x80}, r + r + r + r},  // above U+10FFFF
        {Bytes{0xF0, 0x9F, 0x98}, r},
        {Bytes{0xE2, 0x82, 0xAC, 0x82}, "\u20ac" + r},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(string_reg(c.field, 0, c.field.size()), c.text) << c.field.size();
    }
}

TEST(StringRegTest, ClampsARangeOutsideThePayload) {
    const Bytes b = {'A', 'B', 'C'};
    EXPECT_EQ(string_reg(b, 1, 10), "BC");
    EXPECT_EQ(string_reg(b, 5, 2), "");
}

TEST(DeviceInfoTest, FromRegistersMatchesTheDiscoveryRecord) {
    const uint32_t regs[9] = {0x00020001, 0x80000001, 0xFFFF001A, 0x2B3C4D5E, 7,
                              5,          0xC0A8010A, 0xFFFFFF00, 0xC0A80101};
    const std::string strings[6] = {"VendorX",    "CamModel", "1.2.3",
                                    "extra info", "S123",     "left-cam"};
    const auto info = DeviceInfo::from_registers(regs, strings);
    const auto parsed = DeviceInfo::parse(sample_record());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(format_mac(info.mac), "00:1a:2b:3c:4d:5e") << "upper half of MAC high is ignored";
    EXPECT_EQ(info.mac, parsed->mac);
    EXPECT_EQ(info.ip, parsed->ip);
    EXPECT_EQ(info.subnet_mask, parsed->subnet_mask);
    EXPECT_EQ(info.gateway, parsed->gateway);
    EXPECT_EQ(info.spec_major, 2);
    EXPECT_EQ(info.spec_minor, 1);
    EXPECT_EQ(info.device_mode, parsed->device_mode);
    EXPECT_EQ(info.ip_config_supported, 7u);
    EXPECT_EQ(info.ip_config_current, 5u);
    EXPECT_EQ(info.manufacturer, "VendorX");
    EXPECT_EQ(info.manufacturer_info, "extra info");
    EXPECT_EQ(info.user_defined_name, "left-cam");
}

TEST(DeviceInfoTest, FormatsAddresses) {
    EXPECT_EQ(format_ip({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(format_ip({255, 255, 255, 255}), "255.255.255.255");
    EXPECT_EQ(format_mac({0xFF, 0, 0x0A, 0xB0, 1, 0x10}), "ff:00:0a:b0:01:10");
}
