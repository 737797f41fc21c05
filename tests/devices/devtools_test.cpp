// The tool's discovery pair: simulate-device answers what discover sends,
// both on loopback.
#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "devices/probe_responder.h"

TEST(DevTools, DiscoverFindsEverySimulatedDeviceAndTheSimulatorAnswersRequests) {
    // A UDP port that was free a moment ago.
    const int probe_fd = vemx_test_dev::udp_socket("127.0.0.1", 0);
    const std::string port = std::to_string(vemx_test_dev::local_port(probe_fd));
    close(probe_fd);
    const std::string tool = "VEMX_LOG=off '" VEMX_TOOL "' ";
    const std::string out = vemx_test::run_command(
        "(" + tool + "simulate-device --count 3 --port " + port + " --seconds 2 & sleep 0.3; " +
        tool + "discover --addr 127.0.0.1 --port " + port + " --interval 200 --seconds 1; wait)");
    for (const char* line : {"127.0.0.1  mac 02:56:45:00:00:00  id 0x10000000", "uri /device/0\n",
                             "127.0.0.1  mac 02:56:45:00:00:02  id 0x10000002", "uri /device/2\n",
                             "\n3 device(s) found\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in:\n" << out;
}
