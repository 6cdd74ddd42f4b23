// Fetching the device description from the simulated camera in every form it offers.
#include <gtest/gtest.h>

#include "genicam/node.hpp"
#include "genicam/retrieval.hpp"
#include "gige/camera.hpp"
#include "log.hpp"
#include "sim_camera.hpp"

using namespace corvisk;
using namespace std::chrono_literals;

namespace {

struct RetrievalCase {
    const char* ip;
    sim::XmlForm form;
    bool first_register_fails;
};

class RetrievalTest : public ::testing::TestWithParam<RetrievalCase> {};

gige::ConnectionConfig config_for(const std::string& ip) {
    auto c = gige::ConnectionConfig::for_device(*gige::IpAddress::parse(ip));
    c.gvcp_timeout = 200ms;
    c.retries = 2;
    return c;
}

}  // namespace

TEST_P(RetrievalTest, LoadsTheNodeMapAndCachesIt) {
    const auto& p = GetParam();
    log::ScopedCapture capture;
    sim::SimConfig sc;
    sc.ip = p.ip;
    sc.xml_form = p.form;
    sim::SimCamera device(sc);
    ASSERT_TRUE(device.start().ok());
    gige::GigECamera cam(config_for(p.ip));
    ASSERT_TRUE(cam.connect().ok());

    auto r = genicam::ensure_genicam(cam);
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_NE(cam.connection()->feature_model, nullptr);
    EXPECT_TRUE(cam.connection()->feature_model->find("Width").has_value());
    EXPECT_TRUE(capture.sink().contains(log::Level::Debug, "corvisk::gige",
                                        "GenICam feature model loaded"));
    EXPECT_EQ(capture.sink().count_containing("GenICam URL at 0x200 failed"),
              p.first_register_fails ? 1u : 0u);

    // A second call is served from the connection: no traffic at all.
    auto before = cam.link_stats()->commands;
    ASSERT_TRUE(genicam::ensure_genicam(cam).ok());
    EXPECT_EQ(cam.link_stats()->commands, before);

    // A new connection fetches the description again.
    cam.disconnect();
    EXPECT_EQ(genicam::ensure_genicam(cam).error().message(), "driver is not connected");
    ASSERT_TRUE(cam.connect().ok());
    EXPECT_EQ(cam.connection()->feature_model, nullptr);
    ASSERT_TRUE(genicam::ensure_genicam(cam).ok());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RetrievalTest,
    ::testing::Values(RetrievalCase{"127.0.9.1", sim::XmlForm::Plain, false},
                      RetrievalCase{"127.0.9.2", sim::XmlForm::ZipStored, false},
                      RetrievalCase{"127.0.9.3", sim::XmlForm::ZipDeflated, false},
                      RetrievalCase{"127.0.9.4", sim::XmlForm::SecondUrl, true}));

TEST(RetrievalFailureTest, BothRegistersFailingNamesBothCauses) {
    sim::SimConfig sc;
    sc.ip = "127.0.9.5";
    sc.gvcp_faults.naks.push_back(
        sim::NakRule{.command = 0x0084, .address = 0x0200, .status = 0x8003});
    sc.gvcp_faults.naks.push_back(
        sim::NakRule{.command = 0x0084, .address = 0x0400, .status = 0x8005});
    sim::SimCamera device(sc);
    ASSERT_TRUE(device.start().ok());
    gige::GigECamera cam(config_for(sc.ip));
    ASSERT_TRUE(cam.connect().ok());
    auto r = genicam::ensure_genicam(cam);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), GenicamError::Kind::DeviceDescription);
    EXPECT_EQ(r.error().message(),
              "device description: GenICam URL at 0x200 failed: device answered command 0x0084 "
              "with invalid address (0x8003); GenICam URL at 0x400 failed: device answered "
              "command 0x0084 with bad alignment (0x8005)");
}

TEST(RetrievalFailureTest, SchemaVersionQueryIsAccepted) {
    sim::SimConfig sc;
    sc.ip = "127.20.1.1";
    sc.url_schema_version = true;
    sim::SimCamera device(sc);
    ASSERT_TRUE(device.start().ok());
    gige::GigECamera cam(config_for(sc.ip));
    ASSERT_TRUE(cam.connect().ok());
    auto r = genicam::ensure_genicam(cam);
    ASSERT_TRUE(r.ok()) << r.error().message();
}
