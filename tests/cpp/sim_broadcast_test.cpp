// DISCOVERY sent to broadcast addresses reaches the simulated camera. Runs inside a network
// namespace the test creates and deletes, so nothing is broadcast on the host's adapters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "sim_raw_client.hpp"

namespace corvisk::sim {
namespace {

bool run(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// A namespace with a veth pair: 10.77.0.1/24 (host) on cvk0, 10.77.0.2/24 (camera) on cvk1.
class Netns {
  public:
    Netns() : name_("cvksim" + std::to_string(::getpid())) {
        std::string in = "ip -n " + name_ + " ";
        ok_ = run("ip netns add " + name_) && run(in + "link add cvk0 type veth peer name cvk1") &&
              run(in + "addr add 10.77.0.1/24 brd + dev cvk0") &&
              run(in + "addr add 10.77.0.2/24 brd + dev cvk1") && run(in + "link set cvk0 up") &&
              run(in + "link set cvk1 up") && run(in + "link set lo up");
    }
    ~Netns() { run("ip netns del " + name_); }
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    bool ok_ = false;
};

// 0 when the camera answered a discovery sent to `broadcast` (and, if `expect_answer` is false,
// when it stayed silent).
int discover_in_child(const char* broadcast, bool listen_broadcast, bool expect_answer) {
    SimConfig c;
    c.ip = "10.77.0.2";
    c.subnet_mask = 0xFFFFFF00;
    c.listen_broadcast = listen_broadcast;
    SimCamera cam(c);
    if (!cam.start().ok()) {
        return 10;
    }
    testing::RawUdp host("10.77.0.1");
    int one = 1;
    ::setsockopt(host.fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof(one));
    host.send({0x42, 0x11, 0x00, 0x02, 0x00, 0x00, 0xFF, 0xFF},
              Endpoint{testing::ip_of(broadcast), 3956});
    Endpoint from;
    auto answer = host.recv(500, &from);
    if (!expect_answer) {
        return answer ? 11 : 0;
    }
    if (!answer || answer->size() != 256 || from.ip != testing::ip_of("10.77.0.2")) {
        return 12;
    }
    return 0;
}

TEST(SimBroadcast, DiscoveryToBroadcastAddressesIsAnswered) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    Netns ns;
    if (!ns.ok()) {
        GTEST_SKIP() << "ip netns not permitted here";
    }
    struct Case {
        const char* address;
        bool listen;
        bool answered;
    };
    for (Case c : {Case{"255.255.255.255", true, true}, Case{"10.77.0.255", true, true},
                   Case{"255.255.255.255", false, false}}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fd = ::open(("/var/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
                ::_exit(20);
            }
            ::_exit(discover_in_child(c.address, c.listen, c.answered));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.address << " listen=" << c.listen;
    }
}

}  // namespace
}  // namespace corvisk::sim
