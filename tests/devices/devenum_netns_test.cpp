// Discovery by real multicast: the enumerator lives in a network namespace
// with two veth links, each leading to a namespace of its own with one device
// that has joined the group.  Only a probe sent on both links finds both.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <functional>
#include <memory>
#include <set>

#include "common/log_capture.h"
#include "devices/device_sim.h"
#include "vemx/vemx.h"

using vemx_test_dev::found_devices;
using vemx_test_dev::make_reply;
using vemx_test_dev::probe_responder;

namespace {

bool sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class netns {
  public:
    explicit netns(std::string name) : name_(std::move(name)) {
        if (!sh("ip netns add " + name_)) return;
        fd_ = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~netns() {
        if (fd_ >= 0) close(fd_);
        sh("ip netns del " + name_);
    }
    bool ok() const { return fd_ >= 0; }
    const std::string& name() const { return name_; }

    // Runs fn on a thread inside the namespace; sockets and threads made
    // there stay in it.
    void run(const std::function<void()>& fn) const {
        std::thread t([&] {
            if (setns(fd_, CLONE_NEWNET) == 0) fn();
        });
        t.join();
    }

  private:
    std::string name_;
    int fd_ = -1;
};

// A device socket on the group's port that joined the group on its link.
int group_member(const char* local) {
    const int fd = vemx_test_dev::udp_socket("0.0.0.0", 12345);
    ip_mreqn join{};
    inet_pton(AF_INET, "224.2.3.4", &join.imr_multiaddr);
    inet_pton(AF_INET, local, &join.imr_address);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
        throw std::runtime_error("IP_ADD_MEMBERSHIP");
    return fd;
}

}  // namespace

TEST(DevEnumMulticast, AProbeLeavesOnEveryInterfaceAndFindsDevicesOnBoth) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    const std::string tag = std::to_string(getpid());
    netns scan("vemx-scan-" + tag), dev1("vemx-dev1-" + tag), dev2("vemx-dev2-" + tag);
    if (!scan.ok() || !dev1.ok() || !dev2.ok())
        GTEST_SKIP() << "cannot create network namespaces with `ip netns add`";
    for (int link : {1, 2}) {
        const std::string n = std::to_string(link), dev = link == 1 ? dev1.name() : dev2.name();
        const std::string a = "vxa" + n + "-" + tag, b = "vxb" + n + "-" + tag;
        ASSERT_TRUE(sh("ip -n " + scan.name() + " link add " + a + " type veth peer name " + b +
                       " netns " + dev) &&
                    sh("ip -n " + scan.name() + " addr add 10.201." + n + ".1/24 dev " + a) &&
                    sh("ip -n " + scan.name() + " link set " + a + " up") &&
                    sh("ip -n " + dev + " addr add 10.201." + n + ".2/24 dev " + b) &&
                    sh("ip -n " + dev + " link set " + b + " up"))
            << "veth pair " << n;
    }

    const uint8_t mac1[6] = {2, 0, 0, 0, 1, 1}, mac2[6] = {2, 0, 0, 0, 2, 2};
    std::unique_ptr<probe_responder> device1, device2;
    dev1.run([&] { device1 = std::make_unique<probe_responder>(group_member("10.201.1.2")); });
    dev2.run([&] { device2 = std::make_unique<probe_responder>(group_member("10.201.2.2")); });
    ASSERT_TRUE(device1 && device2);
    device1->set_replies({{make_reply(mac1, 1, 8001, "/one")}});
    device2->set_replies({{make_reply(mac2, 2, 8002, "/two")}});

    vemx_test::LogCapture log;
    found_devices found;
    void* enumerator = nullptr;
    scan.run([&] {
        enumerator = vemx_devenum_new();
        vemx_devenum_set_callbacks(enumerator, &found_devices::on_found, &found);
        vemx_devenum_scan(enumerator, 200);
    });
    const bool both = found.wait_for(2);
    vemx_devenum_release(enumerator);
    EXPECT_TRUE(both) << "found " << found.devices().size() << " of 2";

    const auto devices = found.devices();
    EXPECT_EQ(std::set<std::string>(devices.begin(), devices.end()),
              (std::set<std::string>{"10.201.1.2 020000000101 00000001 8001 /one",
                                     "10.201.2.2 020000000202 00000002 8002 /two"}));
    EXPECT_FALSE(device1->probes().empty());
    EXPECT_FALSE(device2->probes().empty());
    EXPECT_EQ(log.count_containing("ERROR"), 0u);
}
