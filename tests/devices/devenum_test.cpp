// Discovery over loopback: the group address set to 127.0.0.1 turns the
// probe into a unicast datagram that a test responder answers.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "common/log_capture.h"
#include "devices/device_sim.h"
#include "vemx/vemx.h"

using namespace std::chrono_literals;
using vemx_test::LogCapture;
using vemx_test_dev::found_devices;
using vemx_test_dev::make_reply;
using vemx_test_dev::probe_responder;

namespace {

constexpr uint8_t kMacA[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
constexpr uint8_t kMacB[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};

// An enumerator aimed at the responder, reporting into `found`.
struct scanner {
    scanner(const probe_responder& device, found_devices& found) : handle(vemx_devenum_new()) {
        vemx_devenum_set_mcast_addr(handle, "127.0.0.1");
        vemx_devenum_set_mcast_port(handle, device.port());
        vemx_devenum_set_callbacks(handle, &found_devices::on_found, &found);
    }
    ~scanner() {
        if (handle) vemx_devenum_release(handle);
    }
    void* handle;
};

bool is_probe(const vemx_test_dev::bytes& p) {
    if (p.size() < 8 || p.size() > 23) return false;
    for (size_t i = 0; i < p.size(); ++i)
        if ((p[i] & "XEDA"[i % 4]) != "XEDA"[i % 4]) return false;
    return true;
}

// Waits up to 10 s for a log line containing text.
bool wait_for_line(const LogCapture& log, const std::string& text) {
    for (int i = 0; i < 1000 && log.count_containing(text) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    return log.count_containing(text) != 0;
}

}  // namespace

TEST(DevEnum, ReportsEachDeviceOnceWithItsIdentityAndLogLine) {
    LogCapture log;
    probe_responder device;
    const auto a = make_reply(kMacA, 0xDEADBEEF, 8080, "/control");
    auto bad_magic = a;
    bad_magic[3] = 'B';
    auto longest = make_reply(kMacB, 3, 80, std::string(236, 'u'));
    longest.push_back(0);  // bytes after the URI do not matter
    const uint8_t mac_a2[6] = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x60};
    std::vector<probe_responder::reply> replies = {
        {a},
        {a},                                              // the same device again
        {make_reply(kMacA, 0xDEADBEEF, 9090, "/moved")},  // port and URI changed
        {bad_magic},
        {make_reply(kMacB, 2, 80, "/x", 200)},         // URI length runs past the end
        {make_reply(kMacB, 2, 80, "/x", 0xFFFFFFFF)},  // and wraps
        {a, true},                                     // same MAC and ID, other address
        {make_reply(kMacB, 2, 80, "")},
        {make_reply(mac_a2, 0xDEADBEEF, 8080, "/")},  // only the MAC differs
        {longest},
    };
    for (size_t cut : {4, 9, 10, 14, 16, 19}) {  // cut short inside each field
        replies.push_back({make_reply(kMacB, 4, 80, "")});
        replies.back().data.resize(cut);
    }
    device.set_replies(std::move(replies));
    found_devices found;
    {
        scanner s(device, found);
        vemx_devenum_scan(s.handle, 50);
        ASSERT_TRUE(found.wait_for(5));
        // Several more probes, answered alike, change nothing.
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(found.devices(), (std::vector<std::string>{
                                   "127.0.0.1 001B2C3D4E5F DEADBEEF 8080 /control",
                                   "127.0.0.2 001B2C3D4E5F DEADBEEF 8080 /control",
                                   "127.0.0.1 AABBCCDDEE01 00000002 80 ",
                                   "127.0.0.1 001B2C3D4E60 DEADBEEF 8080 /",
                                   "127.0.0.1 AABBCCDDEE01 00000003 80 " + std::string(236, 'u'),
                               }));
    const auto probes = device.probes();
    EXPECT_GE(probes.size(), 3u);
    for (const auto& p : probes) EXPECT_TRUE(is_probe(p));

    const auto found_lines = log.lines_starting("INFO[vemx!dev] (");
    ASSERT_EQ(found_lines.size(), 5u);
    EXPECT_EQ(found_lines[0],
              "INFO[vemx!dev] (127.0.0.1 @ [00:1B:2C:3D:4E:5F]): ID=0xDEADBEEF, Port=8080, "
              "URI=/control\n");
    EXPECT_EQ(found_lines[2],
              "INFO[vemx!dev] (127.0.0.1 @ [AA:BB:CC:DD:EE:01]): ID=0x00000002, Port=80, URI=\n");
    EXPECT_EQ(log.lines().front(), "INFO[vemx!dev] Start scanning devices...\n");
    EXPECT_EQ(log.lines().back(), "INFO[vemx!dev] Stop scanning devices...\n");
    EXPECT_EQ(log.count_containing("ERROR"), 0u);
}

TEST(DevEnum, AWholeBurstOfRepliesToOneProbeIsReported) {
    LogCapture quiet;
    probe_responder device;
    std::vector<probe_responder::reply> replies;
    for (uint32_t i = 0; i < 200; ++i) {
        const uint8_t mac[6] = {2, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        // Long URIs, so the burst needs more than a default socket buffer.
        replies.push_back(
            {make_reply(mac, i, 80, "/dev" + std::to_string(i) + std::string(200, 'u'))});
    }
    device.set_replies(std::move(replies));
    found_devices found;
    found.stall_first_call(200ms);
    scanner s(device, found);
    // One probe in the whole test: every device must come from its answers.
    vemx_devenum_scan(s.handle, 600000);
    EXPECT_TRUE(found.wait_for(200, 5s)) << found.devices().size() << " of 200";
    EXPECT_EQ(device.probes().size(), 1u);
}

// A long first interval holds against a second scan; a zero one probes
// repeatedly but not back to back.
TEST(DevEnum, ProbesFollowTheFirstIntervalOnlyAndReleaseStopsASleepingScan) {
    LogCapture log;
    probe_responder slow_device, fast_device;
    found_devices found;
    auto slow = std::make_unique<scanner>(slow_device, found);
    scanner fast(fast_device, found);
    vemx_devenum_scan(slow->handle, 600000);
    vemx_devenum_scan(slow->handle, 0);
    vemx_devenum_scan(fast.handle, 0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(slow_device.probes().size(), 1u) << "the second scan must not change the interval";
    EXPECT_EQ(log.count_containing("ERROR[vemx!dev] Still scanning devices...\n"), 1u);
    const auto probes = fast_device.probes();
    EXPECT_GE(probes.size(), 5u);
    EXPECT_LE(probes.size(), 51u);
    std::set<size_t> lengths;
    for (const auto& p : probes) lengths.insert(p.size());
    EXPECT_GT(lengths.size(), 1u) << "probe lengths are random";

    // The thread waits for a probe ten minutes away; release must not.
    const auto start = std::chrono::steady_clock::now();
    slow.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(log.count_containing("INFO[vemx!dev] Stop scanning devices...\n"), 1u);
}

TEST(DevEnum, SettersApplyToTheNextProbeAndABadGroupIsReportedOnce) {
    LogCapture log;
    probe_responder first, second;
    const auto a = make_reply(kMacA, 1, 80, "/");
    first.set_replies({{a}});
    second.set_replies({{a}});
    found_devices found;
    scanner s(first, found);
    vemx_devenum_set_mcast_addr(s.handle, "not an address");
    vemx_devenum_scan(s.handle, 20);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(
        log.count_containing("ERROR[vemx!dev] invalid multicast address: \"not an address\"\n"),
        1u);
    vemx_devenum_set_mcast_port(s.handle, second.port());
    vemx_devenum_set_mcast_addr(s.handle, "127.0.0.1");
    ASSERT_TRUE(found.wait_for(1));
    EXPECT_TRUE(first.probes().empty());
    EXPECT_FALSE(second.probes().empty());
    // A null callback is the do-nothing one.
    vemx_devenum_set_callbacks(s.handle, nullptr, nullptr);
    second.set_replies({{make_reply(kMacB, 2, 80, "/")}});
    ASSERT_TRUE(wait_for_line(log, "ID=0x00000002"));
    EXPECT_EQ(found.devices().size(), 1u);
}

TEST(DevEnum, AFloodOfForgedDevicesStopsAtTheListLimit) {
    LogCapture log;
    probe_responder device;
    std::vector<probe_responder::reply> replies;
    for (uint32_t i = 0; i < 4200; ++i) {
        const uint8_t mac[6] = {2, 0, 0, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
        replies.push_back({make_reply(mac, i, 80, "/")});
    }
    device.set_replies(std::move(replies));
    found_devices found;
    scanner s(device, found);
    vemx_devenum_scan(s.handle, 20);
    ASSERT_TRUE(found.wait_for(4096, 30s));
    ASSERT_TRUE(wait_for_line(log, "further devices are ignored"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(found.devices().size(), 4096u);
    EXPECT_EQ(log.count_containing("ERROR[vemx!dev] 4096 devices found, further devices are "
                                   "ignored\n"),
              1u);
}

TEST(DevEnum, ACallbackThatDropsTheLastReferenceEndsTheScanAfterItself) {
    LogCapture log;
    probe_responder device;
    device.set_replies({{make_reply(kMacA, 1, 80, "/")}, {make_reply(kMacB, 2, 80, "/")}});
    struct state {
        void* enumerator;
        int calls = 0;
    } st{vemx_devenum_new()};
    vemx_devenum_set_mcast_addr(st.enumerator, "127.0.0.1");
    vemx_devenum_set_mcast_port(st.enumerator, device.port());
    vemx_devenum_set_callbacks(
        st.enumerator,
        [](void*, void* user) {
            auto* s = static_cast<state*>(user);
            if (++s->calls == 1) vemx_devenum_release(s->enumerator);
        },
        &st);
    vemx_devenum_scan(st.enumerator, 20);
    ASSERT_TRUE(wait_for_line(log, "Stop scanning devices..."));
    EXPECT_EQ(st.calls, 1);
}
