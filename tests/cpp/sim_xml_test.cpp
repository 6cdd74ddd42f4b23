// The simulated camera's GenICam description, fetched as a host would in each offered form.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

#include <cstring>

#include "registers.hpp"
#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

using testing::RawGvcp;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return le16(p) | (uint32_t{le16(p + 2)} << 16);
}

// Minimal ZIP reader for the test: the first member, stored or deflated.
std::optional<std::string> unzip_first(const std::vector<uint8_t>& z) {
    if (z.size() < 22) {
        return std::nullopt;
    }
    size_t e = z.size() - 22;
    if (le32(&z[e]) != 0x06054b50) {
        return std::nullopt;
    }
    size_t c = le32(&z[e + 16]);
    if (c + 46 > z.size() || le32(&z[c]) != 0x02014b50) {
        return std::nullopt;
    }
    uint16_t method = le16(&z[c + 10]);
    uint32_t csize = le32(&z[c + 20]), usize = le32(&z[c + 24]), crc = le32(&z[c + 16]);
    size_t l = le32(&z[c + 42]);
    if (l + 30 > z.size() || le32(&z[l]) != 0x04034b50) {
        return std::nullopt;
    }
    size_t start = l + 30 + le16(&z[l + 26]) + le16(&z[l + 28]);
    if (start + csize > z.size()) {
        return std::nullopt;
    }
    std::string out(usize, '\0');
    if (method == 0) {
        std::memcpy(out.data(), &z[start], csize);
    } else if (method == 8) {
        z_stream zs{};
        inflateInit2(&zs, -15);
        zs.next_in = const_cast<Bytef*>(&z[start]);
        zs.avail_in = csize;
        zs.next_out = reinterpret_cast<Bytef*>(out.data());
        zs.avail_out = usize;
        int rc = inflate(&zs, Z_FINISH);
        inflateEnd(&zs);
        if (rc != Z_STREAM_END || zs.total_out != usize) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (crc32(0, reinterpret_cast<const Bytef*>(out.data()), usize) != crc) {
        return std::nullopt;
    }
    return out;
}

struct LocalUrl {
    std::string name;
    uint32_t address;
    uint32_t length;
};

std::optional<LocalUrl> parse_local(const std::string& url) {
    if (url.rfind("Local:", 0) != 0) {
        return std::nullopt;
    }
    auto a = url.find(';');
    auto b = url.find(';', a + 1);
    if (a == std::string::npos || b == std::string::npos) {
        return std::nullopt;
    }
    return LocalUrl{url.substr(6, a - 6),
                    static_cast<uint32_t>(std::stoul(url.substr(a + 1, b - a - 1), nullptr, 16)),
                    static_cast<uint32_t>(std::stoul(url.substr(b + 1), nullptr, 16))};
}

struct FormCase {
    XmlForm form;
    const char* ip;
    const char* extension;
};

class SimXml : public ::testing::TestWithParam<FormCase> {};

TEST_P(SimXml, HostFetchesTheDescription) {
    SimConfig c;
    c.ip = GetParam().ip;
    c.xml_form = GetParam().form;
    SimCamera cam(c);
    ASSERT_TRUE(cam.start().ok());
    RawGvcp host("127.0.0.1", cam.control_endpoint());
    auto first = host.read_mem(reg::kFirstUrl, 512);
    ASSERT_TRUE(first);
    std::vector<uint8_t> url_bytes;
    if (GetParam().form == XmlForm::SecondUrl) {
        EXPECT_EQ(first->status, 0x8003);
        auto second = host.read_block(reg::kSecondUrl, 512);
        ASSERT_TRUE(second);
        url_bytes = *second;
    } else {
        ASSERT_TRUE(first->ok());
        url_bytes.assign(first->payload.begin() + 4, first->payload.end());
    }
    std::string url(reinterpret_cast<const char*>(url_bytes.data()));
    auto local = parse_local(url);
    ASSERT_TRUE(local) << url;
    EXPECT_EQ(local->name, std::string("corvisk_sim.") + GetParam().extension);
    auto file = host.read_block(local->address, local->length);
    ASSERT_TRUE(file);
    std::string xml;
    if (std::string(GetParam().extension) == "zip") {
        auto unpacked = unzip_first(*file);
        ASSERT_TRUE(unpacked);
        xml = *unpacked;
        EXPECT_EQ(file->size() < xml.size(), GetParam().form == XmlForm::ZipDeflated);
    } else {
        xml.assign(file->begin(), file->end());
    }
    EXPECT_EQ(xml, device_xml());
}

INSTANTIATE_TEST_SUITE_P(Forms, SimXml,
                         ::testing::Values(FormCase{XmlForm::Plain, "127.0.4.11", "xml"},
                                           FormCase{XmlForm::ZipStored, "127.0.4.12", "zip"},
                                           FormCase{XmlForm::ZipDeflated, "127.0.4.13", "zip"},
                                           FormCase{XmlForm::SecondUrl, "127.0.4.14", "xml"}));

std::string child_text(xmlNode* node, const char* name) {
    for (xmlNode* c = node->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && std::strcmp((const char*)c->name, name) == 0) {
            xmlChar* t = xmlNodeGetContent(c);
            std::string s = t ? (const char*)t : "";
            xmlFree(t);
            return s;
        }
    }
    return "";
}

void collect_registers(xmlNode* node, std::vector<xmlNode*>& out) {
    for (xmlNode* c = node->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (!child_text(c, "Address").empty()) {
            out.push_back(c);
        }
        collect_registers(c, out);
    }
}

// Every register the description names must exist in the device with the access it claims.
TEST(SimXmlContent, EveryDescribedRegisterIsBackedByTheDevice) {
    SimConfig c;
    c.ip = "127.0.4.15";
    SimCamera cam(c);
    ASSERT_TRUE(cam.start().ok());
    RawGvcp host("127.0.0.1", cam.control_endpoint());
    const std::string& text = device_xml();
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "sim.xml", nullptr,
                                XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr);
    std::vector<xmlNode*> regs;
    collect_registers(xmlDocGetRootElement(doc), regs);
    EXPECT_GT(regs.size(), 40u);
    for (xmlNode* r : regs) {
        uint32_t addr = static_cast<uint32_t>(std::stoul(child_text(r, "Address"), nullptr, 0));
        uint32_t len = static_cast<uint32_t>(std::stoul(child_text(r, "Length"), nullptr, 0));
        auto ack = host.read_mem(addr, (len + 3) & ~3u);
        ASSERT_TRUE(ack);
        bool wo = child_text(r, "AccessMode") == "WO";
        EXPECT_EQ(ack->status, wo ? 0x8006 : 0x0000) << child_text(r, "Address");
    }
    xmlFreeDoc(doc);
}

TEST(SimXmlContent, SchemaVersionSuffixIsOptional) {
    SimConfig c;
    c.url_schema_version = true;
    GvcpDevice dev(c);
    auto r = dev.handle_datagram(testing::gvcp_cmd(1, 0x84, 1, testing::words({0x200, 512})),
                                 {testing::ip_of("127.0.0.1"), 4000});
    ASSERT_EQ(r.size(), 1u);
    std::string url(reinterpret_cast<const char*>(r[0].bytes.data() + 12));
    EXPECT_NE(url.find(";100000;"), std::string::npos) << url;
    EXPECT_TRUE(url.ends_with("?SchemaVersion=1.1.0")) << url;
}

}  // namespace
}  // namespace corvisk::sim
