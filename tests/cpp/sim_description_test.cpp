// The simulated camera serving a description of its own choosing: scan, placement, sparse
// memory and the described stream features, through the socket-free command handler.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>

#include "description_device.hpp"
#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::gvcp_cmd;
using testing::ip_of;
using testing::words;

// Registers straddling the simulated camera's usual document address, an indexed register,
// little-endian bit fields, a StructReg and the standard features as plain registers.
const std::string kStreaming = R"(<?xml version="1.0"?>
<RegisterDescription>
  <Integer Name="Width"><pValue>WidthReg</pValue></Integer>
  <IntReg Name="WidthReg"><Address>0x100000</Address><Length>4</Length>
    <Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="Height"><pValue>HeightReg</pValue></Integer>
  <MaskedIntReg Name="HeightReg"><Address>0x100006</Address><Length>2</Length>
    <LSB>0</LSB><MSB>11</MSB><Endianess>LittleEndian</Endianess></MaskedIntReg>
  <Enumeration Name="PixelFormat">
    <EnumEntry Name="Mono8"><Value>0x01080001</Value></EnumEntry>
    <EnumEntry Name="Mono16"><Value>0x01100007</Value></EnumEntry>
    <pValue>PixelFormatReg</pValue></Enumeration>
  <IntReg Name="PixelFormatReg"><Address>0x180000</Address><Length>4</Length>
    <Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="PayloadSize"><pValue>PayloadSizeReg</pValue></Integer>
  <IntReg Name="PayloadSizeReg"><Address>0x180004</Address><Length>4</Length>
    <Endianess>BigEndian</Endianess></IntReg>
  <Command Name="AcquisitionStart"><pValue>AcqCmd</pValue><CommandValue>1</CommandValue></Command>
  <Command Name="AcquisitionStop"><pValue>AcqCmd</pValue><CommandValue>2</CommandValue></Command>
  <StructReg Name="AcqStruct"><Address>0x180008</Address><Length>4</Length>
    <Endianess>BigEndian</Endianess>
    <StructEntry Name="AcqCmd"><LSB>31</LSB><MSB>24</MSB></StructEntry>
    <StructEntry Name="ModeBits"><LSB>7</LSB><MSB>0</MSB></StructEntry></StructReg>
  <Enumeration Name="AcquisitionMode"><pValue>ModeBits</pValue>
    <EnumEntry Name="SingleFrame"><Value>7</Value></EnumEntry>
    <EnumEntry Name="Continuous"><Value>9</Value></EnumEntry></Enumeration>
  <Enumeration Name="Gain"><pValue>GainReg</pValue>
    <EnumEntry Name="Low"><Value>100</Value></EnumEntry>
    <EnumEntry Name="High"><Value>200</Value></EnumEntry></Enumeration>
  <IntReg Name="GainReg"><Address>0x200000</Address><Length>4</Length>
    <Endianess>BigEndian</Endianess></IntReg>
  <IntReg Name="Lut"><Address>0x280000</Address><pIndex Offset="0x1000">Gain</pIndex>
    <Length>4</Length></IntReg>
  <Integer Name="GevSCPHostPort"><pValue>PortReg</pValue></Integer>
  <MaskedIntReg Name="PortReg"><Address>0xD00</Address><pIndex Offset="0x40">Chan</pIndex>
    <Length>4</Length><LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>
</RegisterDescription>
)";

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::shared_ptr<const Description> prepare(const std::string& xml, const std::string& name,
                                           uint64_t seed = 1) {
    auto d = prepare_description(bytes_of(xml), name, seed);
    EXPECT_TRUE(d.ok()) << (d.ok() ? "" : d.error());
    return d.ok() ? *d : nullptr;
}

SimConfig described(std::shared_ptr<const Description> d) {
    SimConfig c;
    c.ip = "127.24.0.1";
    c.width = 64;
    c.height = 48;
    c.description = std::move(d);
    return c;
}

uint32_t read_reg(GvcpDevice& dev, uint32_t addr, uint16_t* status = nullptr) {
    static uint16_t id = 1;
    auto r = dev.handle_datagram(gvcp_cmd(1, reg::kReadRegCmd, id++, words({addr})),
                                 {ip_of("127.0.0.1"), 5000});
    EXPECT_EQ(r.size(), 1u);
    if (status) {
        *status = load_be16(r[0].bytes.data());
    }
    return r[0].bytes.size() >= 12 ? load_be32(r[0].bytes.data() + 8) : 0;
}

uint16_t write_reg(GvcpDevice& dev, uint32_t addr, uint32_t value, uint16_t port = 5000) {
    static uint16_t id = 1000;
    auto r = dev.handle_datagram(gvcp_cmd(1, reg::kWriteRegCmd, id++, words({addr, value})),
                                 {ip_of("127.0.0.1"), port});
    EXPECT_EQ(r.size(), 1u);
    return load_be16(r[0].bytes.data());
}

std::string url_of(GvcpDevice& dev) {
    std::string url;
    for (uint32_t a = reg::kFirstUrl; a < reg::kFirstUrl + 64; a += 4) {
        uint32_t w = read_reg(dev, a);
        for (int s = 24; s >= 0; s -= 8) {
            if (char c = static_cast<char>(w >> s)) {
                url += c;
            }
        }
    }
    return url;
}

TEST(SimDescription, IsPlacedClearOfEveryRegisterItReaches) {
    auto d = prepare(kStreaming, "/some/dir/Cam;1.xml");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->file_name, "Cam_1.xml");
    EXPECT_EQ(d->registers, 8u);
    // Registers sit at 0x100000..0x200004 and the indexed one reaches 256 steps of 0x1000.
    EXPECT_GE(d->base, 0x380000u + 0x10000u);
    EXPECT_EQ(d->base % 0x100000, 0u);
    for (const auto& [begin, end] : d->used) {
        EXPECT_TRUE(d->base + d->file.size() <= begin || d->base >= end);
    }
    ASSERT_TRUE(d->stream) << d->control_only_reason;
    EXPECT_EQ(d->stream->height.low, 0u);
    EXPECT_EQ(d->stream->height.high, 11u);
    EXPECT_FALSE(d->stream->height.big_endian);
    EXPECT_EQ(d->stream->start.address, 0x180008u);
    // Big-endian bit numbers count from the most significant bit: LSB 31 / MSB 24 is the low
    // byte of the value.
    EXPECT_EQ(d->stream->start.low, 0u);
    EXPECT_EQ(d->stream->start.high, 7u);
    EXPECT_EQ(describe_serving(*d).substr(0, 22), "description Cam_1.xml ");
}

TEST(SimDescription, DocumentIsServedThroughTheFirstUrlRegister) {
    auto d = prepare(kStreaming, "cam.xml");
    GvcpDevice dev(described(d));
    EXPECT_EQ(url_of(dev), fmt::format("Local:cam.xml;{:X};{:X}", d->base, d->file.size()));
    EXPECT_EQ(read_reg(dev, d->base), load_be32(d->file.data()));
    EXPECT_EQ(dev.xml_file(), d->file);
}

TEST(SimDescription, SparseMemoryIsSeededDeterministicAndPersistsWrites) {
    auto d1 = prepare(kStreaming, "cam.xml", 1);
    auto d7 = prepare(kStreaming, "cam.xml", 7);
    SimConfig c1 = described(d1), c7 = described(d7);
    c7.seed = 7;
    GvcpDevice a(c1), b(c1), other(c7);
    bool differs = false;
    for (uint32_t addr = 0x300000; addr < 0x300100; addr += 4) {
        uint16_t status = 0;
        uint32_t v = read_reg(a, addr, &status);
        EXPECT_EQ(status, reg::kSuccess);
        EXPECT_EQ(v, read_reg(b, addr));
        EXPECT_LT(v, 4u);
        differs |= v != read_reg(other, addr);
    }
    EXPECT_TRUE(differs);
    // Writes need control privilege, then persist; bootstrap registers work as before.
    EXPECT_EQ(write_reg(a, 0x300000, 0xCAFE), reg::kAccessDenied);
    ASSERT_EQ(write_reg(a, reg::kCcp, 2), reg::kSuccess);
    EXPECT_EQ(write_reg(a, 0x300000, 0xCAFE), reg::kSuccess);
    EXPECT_EQ(read_reg(a, 0x300000), 0xCAFEu);
    EXPECT_EQ(read_reg(a, reg::kCcp), 2u);
    EXPECT_EQ(write_reg(a, d1->base, 0), reg::kWriteProtect);
    // The simulated camera's own feature registers are gone: 0x10000 is plain memory now.
    EXPECT_EQ(write_reg(a, reg::kWidth, 3), reg::kSuccess);
    EXPECT_EQ(read_reg(a, reg::kWidth), 3u);
}

TEST(SimDescription, EnumerationsStartAtOneOfTheirEntries) {
    for (uint64_t seed : {1, 2, 3, 4, 5}) {
        SimConfig c = described(prepare(kStreaming, "cam.xml", seed));
        c.seed = seed;
        GvcpDevice dev(c);
        uint32_t gain = read_reg(dev, 0x200000);
        EXPECT_TRUE(gain == 100 || gain == 200) << gain;
    }
}

// kStreaming with each `from` replaced by its `to`, prepared; null (and a failure) when an edit
// finds nothing to replace or the result does not stream.
std::shared_ptr<const Description> streaming_with(
    std::initializer_list<std::pair<std::string, std::string>> edits) {
    std::string xml = kStreaming;
    for (const auto& [from, to] : edits) {
        const auto at = xml.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at == std::string::npos) {
            return nullptr;
        }
        xml.replace(at, from.size(), to);
    }
    auto d = prepare(xml, "cam.xml");
    EXPECT_TRUE(d && d->stream) << (d ? d->control_only_reason : "");
    return d && d->stream ? d : nullptr;
}

const std::string kEnd = "</RegisterDescription>";

TEST(SimDescription, DescribedFeaturesDriveTheStream) {
    auto d = prepare(kStreaming, "cam.xml");
    GvcpDevice dev(described(d));
    EXPECT_EQ(read_reg(dev, 0x100000), 64u);
    EXPECT_EQ(read_reg(dev, 0x100004) & 0xFFFF, 0x3000u);  // 48, little-endian 16 bits
    EXPECT_EQ(read_reg(dev, 0x180000), pfnc::kMono8);
    EXPECT_EQ(read_reg(dev, 0x180004), 64u * 48u);
    EXPECT_EQ(read_reg(dev, 0x180008) >> 24, 9u);  // Continuous
    ASSERT_EQ(write_reg(dev, reg::kCcp, 2), reg::kSuccess);
    ASSERT_EQ(write_reg(dev, 0x180000, pfnc::kMono16), reg::kSuccess);
    EXPECT_EQ(read_reg(dev, 0x180004), 64u * 48u * 2u);  // PayloadSize follows
    StreamState st = dev.stream_state();
    EXPECT_EQ(st.width, 64u);
    EXPECT_EQ(st.height, 48u);
    EXPECT_EQ(st.pixel_format, pfnc::kMono16);
    EXPECT_FALSE(st.acquiring);
    // The command field takes its value and reads 0 again; other bits of the word stay.
    uint32_t word = read_reg(dev, 0x180008);
    ASSERT_EQ(write_reg(dev, 0x180008, (word & 0xFFFFFF00) | 1), reg::kSuccess);
    EXPECT_TRUE(dev.stream_state().acquiring);
    EXPECT_EQ(read_reg(dev, 0x180008), word & 0xFFFFFF00);
    ASSERT_EQ(write_reg(dev, 0x180008, (word & 0xFFFFFF00) | 2), reg::kSuccess);
    EXPECT_FALSE(dev.stream_state().acquiring);
    // SingleFrame stops by itself after one frame.
    ASSERT_EQ(write_reg(dev, 0x180008, (word & 0x00FFFF00) | 0x07000001), reg::kSuccess);
    auto gen = dev.stream_state().start_generation;
    dev.frame_sent(gen);
    EXPECT_FALSE(dev.stream_state().acquiring);
}

// A camera that describes GevSCPSPacketSize at a word of its own: that word and the channel's
// SCPS register are one packet size, whichever is written, and the flags of SCPS stay.
TEST(SimDescription, APacketSizeOfTheCamerasOwnMirrorsTheChannel) {
    auto d =
        streaming_with({{kEnd,
                         "<Integer Name=\"GevSCPSPacketSize\"><pValue>SizeReg</pValue></Integer>\n"
                         "<IntReg Name=\"SizeReg\"><Address>0x10000dc8</Address><Length>4</Length>"
                         "<Endianess>BigEndian</Endianess></IntReg>\n" +
                             kEnd}});
    ASSERT_TRUE(d);
    GvcpDevice dev(described(d));
    ASSERT_EQ(write_reg(dev, reg::kCcp, 2), reg::kSuccess);
    ASSERT_EQ(write_reg(dev, reg::kScps, reg::kScpsDontFragment | 1400), reg::kSuccess);
    EXPECT_EQ(read_reg(dev, 0x10000dc8), 1400u);
    ASSERT_EQ(write_reg(dev, 0x10000dc8, 8000), reg::kSuccess);
    EXPECT_EQ(read_reg(dev, reg::kScps), reg::kScpsDontFragment | 8000);
    EXPECT_EQ(dev.stream_state().channels[0].packet_size, 8000u);
    // Only the controlling application may change it, through either register.
    EXPECT_EQ(write_reg(dev, 0x10000dc8, 1500, 5001), reg::kAccessDenied);
    EXPECT_EQ(read_reg(dev, 0x10000dc8), 8000u);
    // A packet size in the high half of a word of its own still serves control only.
    std::string masked = kStreaming;
    masked.insert(masked.find("</RegisterDescription>"),
                  "<Integer Name=\"GevSCPSPacketSize\"><pValue>SizeReg</pValue></Integer>\n"
                  "<MaskedIntReg Name=\"SizeReg\"><Address>0x10000dc8</Address><Length>4</Length>"
                  "<LSB>15</LSB><MSB>0</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>\n");
    auto m = prepare(masked, "cam.xml");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->control_only_reason,
              "GevSCPSPacketSize: at 0x10000dc8, not the stream channel register");
}

// A PayloadSize whose formula only reads out a register of the camera's own: the camera keeps
// the payload size there, following the image features.
TEST(SimDescription, APayloadSizeReadOutOfARegisterIsKeptThere) {
    auto d =
        streaming_with({{"<Integer Name=\"PayloadSize\"><pValue>PayloadSizeReg</pValue></Integer>",
                         "<Integer Name=\"PayloadSize\"><pValue>Bytes</pValue></Integer>"
                         "<IntSwissKnife Name=\"Bytes\"><pVariable Name=\"HI\">GainReg</pVariable>"
                         "<pVariable Name=\"LO\">PayloadSizeReg</pVariable><Formula> LO </Formula>"
                         "</IntSwissKnife>"}});
    ASSERT_TRUE(d);
    GvcpDevice dev(described(d));
    EXPECT_EQ(read_reg(dev, 0x180004), 64u * 48u);
    ASSERT_EQ(write_reg(dev, reg::kCcp, 2), reg::kSuccess);
    ASSERT_EQ(write_reg(dev, 0x180000, pfnc::kMono16), reg::kSuccess);
    EXPECT_EQ(read_reg(dev, 0x180004), 64u * 48u * 2u);
}

// A camera whose start command goes through a converter into a register the acquisition mode
// places, the mode itself kept nowhere on the device: the register written tells the mode.
TEST(SimDescription, AStartRegisterPlacedByTheModeTellsTheMode) {
    auto d = streaming_with(
        {{"<pValue>AcqCmd</pValue><CommandValue>1</CommandValue>",
          "<pValue>StartCode</pValue><CommandValue>1</CommandValue>"},
         {"<Enumeration Name=\"AcquisitionMode\"><pValue>ModeBits</pValue>",
          "<Enumeration Name=\"AcquisitionMode\"><pValue>ModeValue</pValue>"},
         {kEnd,
          "<Integer Name=\"ModeValue\"><Value>9</Value></Integer>\n"
          "<IntConverter Name=\"StartCode\"><pVariable Name=\"OLD\">StartReg</pVariable>"
          "<FormulaTo>(OLD &amp; 0x7fffffff) | (FROM &lt;&lt; 31)</FormulaTo>"
          "<FormulaFrom>TO &gt;&gt; 31</FormulaFrom><pValue>StartReg</pValue>"
          "</IntConverter>\n"
          "<IntReg Name=\"StartReg\"><pAddress>StartAt</pAddress><Length>4</Length>"
          "<Endianess>BigEndian</Endianess></IntReg>\n"
          "<IntSwissKnife Name=\"StartAt\"><pVariable Name=\"SEL\">ModeValue</pVariable>"
          "<Formula>(SEL = 7) ? 0x30001c : 0x300014</Formula></IntSwissKnife>\n" +
              kEnd}});
    ASSERT_TRUE(d);
    GvcpDevice dev(described(d));
    ASSERT_EQ(write_reg(dev, reg::kCcp, 2), reg::kSuccess);
    // The single-frame register: one frame, then the camera stops by itself.
    ASSERT_EQ(write_reg(dev, 0x30001c, 0x80000000), reg::kSuccess);
    ASSERT_TRUE(dev.stream_state().acquiring);
    EXPECT_EQ(read_reg(dev, 0x30001c), 0u);  // taken
    dev.frame_sent(dev.stream_state().start_generation);
    EXPECT_FALSE(dev.stream_state().acquiring);
    // The continuous one: frames until the stop command (still a plain register).
    ASSERT_EQ(write_reg(dev, 0x300014, 0x80000000), reg::kSuccess);
    dev.frame_sent(dev.stream_state().start_generation);
    EXPECT_TRUE(dev.stream_state().acquiring);
    const uint32_t word = read_reg(dev, 0x180008);
    ASSERT_EQ(write_reg(dev, 0x180008, (word & 0xFFFFFF00) | 2), reg::kSuccess);
    EXPECT_FALSE(dev.stream_state().acquiring);
    // A value the converter does not read as the command's is no start.
    ASSERT_EQ(write_reg(dev, 0x300014, 0x7fffffff), reg::kSuccess);
    EXPECT_FALSE(dev.stream_state().acquiring);
}

TEST(SimDescription, SaysWhyItServesControlOnly) {
    struct Case {
        std::string from, to, reason;
    };
    const Case cases[] = {
        {"<pValue>WidthReg</pValue>", "<Value>4</Value>", "Width: a Integer without a register"},
        {"<Address>0x100000</Address>", "<pAddress>Base</pAddress>",
         "WidthReg: computed through pAddress"},
        {"<Address>0x200000</Address><Length>4</Length>",
         "<Address>0x200000</Address><pIndex>Sel</pIndex><Length>4</Length>", ""},
        {"<Value>0x01080001</Value>", "<Value>0</Value>", ""},
        {"0x01080001</Value></EnumEntry>\n    <EnumEntry Name=\"Mono16\"><Value>0x01100007",
         "0</Value></EnumEntry><EnumEntry Name=\"Mono16\"><Value>0",
         "PixelFormat: no entry the simulated camera can produce"},
        {"<CommandValue>2</CommandValue>", "<pCommandValue>X</pCommandValue>",
         "AcquisitionStop: command value computed"},
        {"<Address>0xD00</Address>", "<Address>0xE00</Address>",
         "GevSCPHostPort: at 0xe00, not the stream channel register"},
        {"<Length>2</Length>", "<Length>16</Length>", "HeightReg: not a 1 to 8 byte register"},
        {"<Integer Name=\"PayloadSize\"><pValue>PayloadSizeReg</pValue></Integer>",
         "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable>"
         "<pVariable Name=\"H\">Height</pVariable><pVariable Name=\"PF\">PixelFormat"
         "</pVariable><Formula>W * H * ((PF &gt;&gt; 16) &amp; 0xFF) / 8</Formula>"
         "</IntSwissKnife>",
         ""},
        {"<Integer Name=\"PayloadSize\"><pValue>PayloadSizeReg</pValue></Integer>",
         "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable>"
         "<pVariable Name=\"VENDOR\">GainReg</pVariable><Formula>W * VENDOR</Formula>"
         "</IntSwissKnife>",
         "PayloadSize: its formula does not follow the image features"},
        {"<pValue>PixelFormatReg</pValue></Enumeration>",
         "<pValue>Code</pValue></Enumeration><IntConverter Name=\"Code\"><pVariable Name=\"F\">"
         "Nowhere</pVariable><FormulaTo>FROM</FormulaTo><FormulaFrom>TO + F</FormulaFrom>"
         "<pValue>PixelFormatReg</pValue></IntConverter>",
         "Code: converted through Nowhere"},
        {"<Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>",
         "<Integer Name=\"Width\"><pValue>Half</pValue></Integer><IntConverter Name=\"Half\">"
         "<FormulaTo>FROM / 2</FormulaTo><FormulaFrom>TO * 2</FormulaFrom><pValue>WidthReg"
         "</pValue></IntConverter>",
         "Width: converted by a formula"},
    };
    for (const Case& c : cases) {
        std::string xml = kStreaming;
        size_t at = xml.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        xml.replace(at, c.from.size(), c.to);
        auto d = prepare(xml, "cam.xml");
        ASSERT_TRUE(d);
        EXPECT_EQ(d->control_only_reason, c.reason) << c.to;
        EXPECT_EQ(d->stream.has_value(), c.reason.empty()) << c.to;
        if (!c.reason.empty()) {
            EXPECT_NE(describe_serving(*d).find(", control only (" + c.reason + ")"),
                      std::string::npos);
            // Control only: AcquisitionStart's register is plain memory and nothing streams.
            GvcpDevice dev(described(d));
            ASSERT_EQ(write_reg(dev, reg::kCcp, 2), reg::kSuccess);
            ASSERT_EQ(write_reg(dev, 0x180008, 1), reg::kSuccess);
            EXPECT_FALSE(dev.stream_state().acquiring);
        }
    }
}

// Cameras place register banks through formulas of constants and selectors: such an address
// counts at the selectors' power-up values, so the first channel's registers are found.
TEST(SimDescription, AddressFormulasOfConstantsAndSelectorsArePlaced) {
    struct Case {
        std::string address;  // replaces WidthReg's Address
        std::string extra;    // nodes added to the description
        uint32_t expected;    // 0: not placeable
    };
    const std::string base = R"(<Integer Name="Base"><Value>0xF0F00000</Value></Integer>)";
    const Case cases[] = {
        {"<Address>0x10</Address><pAddress>Base</pAddress>", base, 0xF0F00010},
        {"<pAddress>Bank</pAddress>",
         base + R"(<IntSwissKnife Name="Bank"><pVariable Name="B">Base</pVariable>
            <pVariable Name="UNUSED">GainReg</pVariable><Formula>B | 0xA00</Formula>
            </IntSwissKnife>)",
         0xF0F00A00},
        {"<pAddress>ChanOffset</pAddress>",
         R"(<Integer Name="Sel"><Value>0</Value><pValue>SelAlias</pValue></Integer>
            <Integer Name="SelAlias"><Value>0</Value></Integer>
            <IntSwissKnife Name="ChanOffset"><pVariable Name="CHAN">Sel</pVariable>
            <Constant Name="STEP">0x40</Constant><Formula>0xD00 + CHAN * STEP</Formula>
            </IntSwissKnife>)",
         0xD00},
        {"<IntSwissKnife><Constant Name=\"K\">3</Constant><Formula>K * 0x1000</Formula>"
         "</IntSwissKnife>",
         "", 0x3000},
        {"<pAddress>ByRegister</pAddress>",
         R"(<IntSwissKnife Name="ByRegister"><pVariable Name="R">GainReg</pVariable>
            <Formula>R * 4</Formula></IntSwissKnife>)",
         0},
        {"<pAddress>Loop</pAddress>",
         R"(<IntSwissKnife Name="Loop"><pVariable Name="L">Loop</pVariable>
            <Formula>L + 1</Formula></IntSwissKnife>)",
         0},
        {"<pAddress>Broken</pAddress>",
         R"(<IntSwissKnife Name="Broken"><Formula>(1 +</Formula></IntSwissKnife>)", 0},
    };
    for (const Case& c : cases) {
        std::string xml = kStreaming;
        const std::string from = "<Address>0x100000</Address>";
        xml.replace(xml.find(from), from.size(), c.address);
        xml.replace(xml.find("</RegisterDescription>"), 0, c.extra);
        auto d = prepare(xml, "cam.xml");
        ASSERT_TRUE(d);
        if (c.expected == 0) {
            EXPECT_NE(d->control_only_reason.find("WidthReg: computed through "), std::string::npos)
                << c.address << ": " << d->control_only_reason;
            continue;
        }
        ASSERT_TRUE(d->stream) << c.address << ": " << d->control_only_reason;
        EXPECT_EQ(d->stream->width.address, c.expected) << c.address;
    }
}

TEST(SimDescription, ZipArchivesAreServedAsTheyAreAndScannedInside) {
    auto xml = bytes_of(kStreaming);
    auto zip = make_zip("inner.xml", xml, true);
    auto d = prepare_description(zip, "camera.zip", 1);
    ASSERT_TRUE(d.ok()) << d.error();
    EXPECT_EQ((*d)->file, zip);
    EXPECT_EQ((*d)->file_name, "camera.zip");
    EXPECT_TRUE((*d)->stream);
    auto renamed = prepare_description(zip, "camera.bin", 1);
    ASSERT_TRUE(renamed.ok());
    EXPECT_EQ((*renamed)->file_name, "camera.bin.zip");  // the client unpacks by the name
}

TEST(SimDescription, BadFilesAreRefusedWithAReason) {
    auto bad_xml = prepare_description(bytes_of("<RegisterDescription><IntReg>"), "x.xml", 1);
    ASSERT_FALSE(bad_xml.ok());
    EXPECT_EQ(bad_xml.error().rfind("XML: ", 0), 0u) << bad_xml.error();
    auto bad_zip = prepare_description(bytes_of("PK\x03\x04garbage"), "x.zip", 1);
    ASSERT_FALSE(bad_zip.ok());
    EXPECT_EQ(bad_zip.error().rfind("archive: ", 0), 0u) << bad_zip.error();
    auto missing = load_description("/nonexistent/description.xml", 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("cannot open /nonexistent/description.xml"), std::string::npos);
    // An external entity is never read.
    auto entity = prepare_description(
        bytes_of("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r><String "
                 "Name=\"S\"><Value>&e;</Value></String></r>"),
        "x.xml", 1);
    EXPECT_TRUE(entity.ok());
    // A description whose registers fill the address space leaves no room for itself.
    auto full = prepare_description(
        bytes_of("<r><IntReg Name=\"R\"><Address>0x100000</Address><Length>0xFFE00000</Length>"
                 "</IntReg></r>"),
        "x.xml", 1);
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error(), "no free address range left for the description");
}

// A PixelFormat kept as the camera's own colour code: the register holds the code, the
// frames carry the format it stands for, and a client's write of a code changes the frames.
TEST(SimDescription, AConvertedPixelFormatHoldsTheCamerasCode) {
    std::string xml = kStreaming;
    const std::string from = "<pValue>PixelFormatReg</pValue></Enumeration>";
    xml.replace(xml.find(from), from.size(), R"(<pValue>Code</pValue></Enumeration>
      <IntSwissKnife Name="Bias"><pVariable Name="G">GainReg</pVariable>
        <pVariable Name="UNUSED">Nowhere</pVariable><Formula>G</Formula></IntSwissKnife>
      <IntConverter Name="Code"><pVariable Name="BIAS">Bias</pVariable>
        <Constant Name="MONO16">0x01100007</Constant>
        <FormulaTo>(FROM = MONO16) ? 7 + BIAS : 1 + BIAS</FormulaTo>
        <FormulaFrom>(TO - BIAS = 7) ? MONO16 : 0x01080001</FormulaFrom>
        <pValue>PixelFormatReg</pValue></IntConverter>)");
    auto d = prepare(xml, "cam.xml");
    ASSERT_TRUE(d && d->stream) << (d ? d->control_only_reason : "");
    ASSERT_TRUE(d->stream->pixel_format_code);
    SimConfig c = described(d);
    c.pixel_format = 0x01100007;  // Mono16
    DescribedMemory mem(c.description, c);
    const uint32_t bias = mem.read_word(0x200000);
    EXPECT_EQ(mem.read_word(0x180000), 7 + bias);
    EXPECT_EQ(mem.pixel_format(), 0x01100007u);
    EXPECT_EQ(mem.read_word(0x180004), mem.width() * mem.height() * 2);  // PayloadSize
    mem.write_word(0x180000, 1 + bias);
    EXPECT_EQ(mem.pixel_format(), 0x01080001u);
    EXPECT_EQ(mem.read_word(0x180004), mem.width() * mem.height());
}

// Formulas naming many formulas that name themselves again: the scan gives up on them after a
// bounded amount of work instead of following every path.
TEST(SimDescription, SelfReferringFormulasAreGivenUpOn) {
    std::string vars, sum;
    for (int i = 0; i < 20; ++i) {
        vars += fmt::format(R"(<pVariable Name="V{}">Knot</pVariable>)", i);
        sum += fmt::format("{}V{}", i ? " + " : "", i);
    }
    std::string xml = kStreaming;
    const std::string from = "<pValue>PixelFormatReg</pValue></Enumeration>";
    xml.replace(xml.find(from), from.size(),
                fmt::format(R"(<pValue>Code</pValue></Enumeration>
      <IntSwissKnife Name="Knot">{0}<Formula>{1}</Formula></IntSwissKnife>
      <IntConverter Name="Code">{0}<FormulaTo>FROM + {1}</FormulaTo>
        <FormulaFrom>TO</FormulaFrom><pValue>PixelFormatReg</pValue></IntConverter>)",
                            vars, sum));
    auto d = prepare(xml, "cam.xml");
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->stream);
    EXPECT_NE(d->control_only_reason.find("Code: converted through Knot"), std::string::npos)
        << d->control_only_reason;
}

TEST(SimDescription, SparseMemoryIsBounded) {
    SimConfig c = described(prepare(kStreaming, "cam.xml"));
    DescribedMemory mem(c.description, c);
    uint32_t addr = 0x40000000;
    size_t accepted = 0;
    while (mem.write_word(addr, 1) != DescribedMemory::Effect::Refused) {
        addr += 4;
        ++accepted;
        ASSERT_LE(accepted, DescribedMemory::kMaxWrittenWords);
    }
    EXPECT_GT(accepted, DescribedMemory::kMaxWrittenWords - 64);
    EXPECT_EQ(mem.write_word(0x40000000, 5), DescribedMemory::Effect::None);  // known words
    EXPECT_EQ(mem.read_word(0x40000000), 5u);
}

}  // namespace
}  // namespace corvisk::sim
