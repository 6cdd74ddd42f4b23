// The corvisk-sim program (ready line, clean exit on SIGTERM), and a replay of the GVCP fuzz
// corpus through the device handler under the regular build.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

std::filesystem::path program_path() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "corvisk-sim";
}

TEST(SimProgram, PrintsOneReadyLineAndExitsCleanlyOnSigterm) {
    auto path = program_path();
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "corvisk-sim not built next to the tests";
    }
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::execl(path.c_str(), "corvisk-sim", "--ip", "127.0.4.60", "--xml", "zip-deflated",
                "--drop-packets", "1:2,3", "--nak", "0x84@0x200=0x8006", nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0 &&
           ::read(out[0], &c, 1) == 1) {
        line += c;
    }
    EXPECT_EQ(line, "corvisk-sim ready on 127.0.4.60:3956\n");
    testing::RawGvcp host("127.0.0.1", Endpoint{testing::ip_of("127.0.4.60"), 3956});
    EXPECT_EQ(host.read_reg(0x0000), 0x00020000u);
    EXPECT_EQ(host.read_mem(0x200, 4)->status, 0x8006);  // the --nak rule
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(out[0]);
}

TEST(SimProgram, RejectsBadOptions) {
    auto path = program_path();
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "corvisk-sim not built next to the tests";
    }
    for (const char* bad :
         {"--width=abc", "--xml=tar", "--drop-fraction=2", "--nosuch=1", "--bogus"}) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::execl(path.c_str(), "corvisk-sim", bad, nullptr);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
    }
}

// Every seed of the fuzz corpus goes through the handler; answers stay well-formed.
TEST(SimFuzzCorpus, ReplaysWithoutFault) {
    auto dir = std::filesystem::path(CORVISK_SOURCE_DIR) / "fuzz/corpus/sim_gvcp";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});
        GvcpDevice device(SimConfig{});
        Endpoint host{testing::ip_of("127.0.0.1"), 4000};
        size_t pos = 0;
        while (pos < data.size()) {
            size_t n = std::min<size_t>(data[pos], data.size() - pos - 1);
            auto replies = device.handle_datagram({data.data() + pos + 1, n}, host);
            for (const auto& r : replies) {
                ASSERT_GE(r.bytes.size(), 8u) << entry.path();
                EXPECT_EQ(load_be16(r.bytes.data() + 4), r.bytes.size() - 8) << entry.path();
            }
            pos += 1 + n;
        }
        ++files;
    }
    EXPECT_GE(files, 10u);
}

}  // namespace
}  // namespace corvisk::sim
