// vemx discover: scans for devices for a while and prints each one found.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

constexpr const char* kUsage =
    "usage: vemx discover [--addr A] [--port P] [--interval MS] [--seconds S]\n"
    "  probes group A (224.2.3.4; 127.0.0.1 for devices on this machine) on UDP port P\n"
    "  (12345) every MS ms (1000) for S seconds (5) and prints each device found\n";

std::atomic<int> found{0};

void OnDevice(void* con, void*) {
    char ip[64], uri[512];
    size_t ip_size = sizeof ip, uri_size = sizeof uri, mac_size = 6;
    uint8_t mac[6];
    uint32_t id = 0;
    uint16_t port = 0;
    vemx_devcon_get_ip(con, ip, &ip_size);
    vemx_devcon_get_uri(con, uri, &uri_size);
    vemx_devcon_get_mac_address(con, mac, &mac_size);
    vemx_devcon_get_id(con, &id);
    vemx_devcon_get_port(con, &port);
    std::printf("%s  mac %02x:%02x:%02x:%02x:%02x:%02x  id 0x%08x  http port %u  uri %s\n", ip,
                mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], id, port, uri);
    std::fflush(stdout);
    found.fetch_add(1);
}

int RunDiscover(const std::vector<std::string>& args) {
    std::string addr = "224.2.3.4";
    unsigned long port = 12345, interval = 1000;
    double seconds = 5;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool has_value = i + 1 < args.size();
        char* end = nullptr;
        if (args[i] == "--addr" && has_value) {
            addr = args[++i];
        } else if (args[i] == "--port" && has_value) {
            port = std::strtoul(args[++i].c_str(), &end, 10);
            if (*end || port == 0 || port > 65535) return std::fprintf(stderr, "%s", kUsage), 2;
        } else if (args[i] == "--interval" && has_value) {
            interval = std::strtoul(args[++i].c_str(), &end, 10);
            if (*end) return std::fprintf(stderr, "%s", kUsage), 2;
        } else if (args[i] == "--seconds" && has_value) {
            seconds = std::strtod(args[++i].c_str(), &end);
            if (*end || seconds <= 0) return std::fprintf(stderr, "%s", kUsage), 2;
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    void* enumerator = vemx_devenum_new();
    if (!enumerator) {
        std::fprintf(stderr, "vemx discover: out of memory\n");
        return 1;
    }
    vemx_devenum_set_mcast_addr(enumerator, addr.c_str());
    vemx_devenum_set_mcast_port(enumerator, static_cast<unsigned>(port));
    vemx_devenum_set_callbacks(enumerator, &OnDevice, nullptr);
    std::printf("probing %s:%lu every %lu ms for %g s\n", addr.c_str(), port, interval, seconds);
    std::fflush(stdout);
    vemx_devenum_scan(enumerator, static_cast<unsigned>(interval));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    vemx_devenum_release(enumerator);
    std::printf("%d device(s) found\n", found.load());
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("discover", "[--addr A --port P --interval MS --seconds S]: find devices",
                  RunDiscover);
