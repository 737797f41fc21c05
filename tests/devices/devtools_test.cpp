// The tool's discovery pair: simulate-device answers what discover sends,
// both on loopback.
#include <gtest/gtest.h>

#include "common/log_capture.h"
#include "devices/device_sim.h"

namespace {

// A port of the kind that was free a moment ago.
std::string free_port(int type) {
    const int fd = vemx_test_dev::bound_socket(type, "127.0.0.1", 0);
    const uint16_t port = vemx_test_dev::local_port(fd);
    close(fd);
    return std::to_string(port);
}

}  // namespace

TEST(DevTools, DiscoverFindsEverySimulatedDeviceAndTheSimulatorAnswersRequests) {
    const std::string port = free_port(SOCK_DGRAM), http = free_port(SOCK_STREAM);
    const std::string tool = "VEMX_LOG=off '" VEMX_TOOL "' ";
    // The simulator lives until the request is answered: a fixed lifetime
    // ran out first on a loaded machine.
    const std::string out = vemx_test::run_command(
        "(" + tool + "simulate-device --count 3 --port " + port + " --http-port " + http +
        " --seconds 60 & sim=$!; sleep 0.3; " + tool + "discover --addr 127.0.0.1 --port " + port +
        " --interval 200 --seconds 1; " + tool + "request 127.0.0.1 " + http +
        " /device/2 cmd=status; kill $sim; wait)");
    for (const char* line : {"127.0.0.1  mac 02:56:45:00:00:00  id 0x10000000", "uri /device/0\n",
                             "127.0.0.1  mac 02:56:45:00:00:02  id 0x10000002", "uri /device/2\n",
                             "\n3 device(s) found\n", "\"device\":2.000000", "\"cmd\":\"status\""})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in:\n" << out;
}
