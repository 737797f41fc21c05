// vemx simulate-device: stands in for N network devices on this machine.  It
// answers discovery probes on a UDP port (joined to the group on every
// multicast interface, and reachable by unicast) and answers each HTTP POST
// with a JSON object echoing the request's members.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command.h"

namespace {

constexpr const char* kUsage =
    "usage: vemx simulate-device [--count N] [--port P] [--group A] [--http-port H]\n"
    "                            [--seconds S]\n"
    "  answers discovery probes on UDP port P (12345; group A, 224.2.3.4) as N devices (1)\n"
    "  and their HTTP requests on TCP port H (any free one), for S seconds or until\n"
    "  interrupted\n";

volatile sig_atomic_t interrupted = 0;

void OnSignal(int) {
    interrupted = 1;
}

bool IsProbe(const uint8_t* p, ssize_t n) {
    if (n < 8 || n > 23) return false;
    for (ssize_t i = 0; i < n; ++i)
        if ((p[i] & "XEDA"[i % 4]) != "XEDA"[i % 4]) return false;
    return true;
}

std::vector<uint8_t> Reply(unsigned device, uint16_t http_port) {
    const std::string uri = "/device/" + std::to_string(device);
    const uint32_t id = 0x10000000u + device;
    std::vector<uint8_t> b(20 + uri.size());
    std::memcpy(b.data(), "XEDA", 4);
    // Locally administered MAC addresses, one per device.
    const uint8_t mac[6] = {0x02, 0x56, 0x45, 0x00, uint8_t(device >> 8), uint8_t(device)};
    std::memcpy(b.data() + 4, mac, 6);
    for (int i = 0; i < 4; ++i) b[10 + i] = uint8_t(id >> (24 - 8 * i));
    b[14] = uint8_t(http_port >> 8);
    b[15] = uint8_t(http_port);
    for (int i = 0; i < 4; ++i) b[16 + i] = uint8_t(uri.size() >> (24 - 8 * i));
    std::memcpy(b.data() + 20, uri.data(), uri.size());
    return b;
}

// The answer to one complete request: the request's members (but the
// nonce), the device number, and what was asked for.
std::string Answer(const std::string& path, const std::string& body) {
    rapidjson::Document request;
    const bool parsed = !request.Parse(body.c_str()).HasParseError() && request.IsObject();
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    w.StartObject();
    w.Key("path");
    w.String(path.c_str());
    if (path.rfind("/device/", 0) == 0) {
        w.Key("device");
        w.Int(std::atoi(path.c_str() + 8));
    }
    if (parsed) {
        for (auto& m : request.GetObject()) {
            if (std::strcmp(m.name.GetString(), "xedaid") == 0) continue;
            m.name.Accept(w);
            m.value.Accept(w);
        }
    } else {
        w.Key("error");
        w.String("request body is not a JSON object");
    }
    w.EndObject();
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(out.GetSize()) + "\r\nConnection: close\r\n\r\n";
    return head + out.GetString();
}

// Bytes received on one HTTP connection; answered once headers and body
// (by Content-Length) are in.
struct Client {
    std::string in;
    std::string out;
    size_t sent = 0;
};

bool RequestComplete(Client& c) {
    const size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = 0;
    for (size_t at = c.in.find("\r\n"); at < end; at = c.in.find("\r\n", at + 2)) {
        if (strncasecmp(c.in.c_str() + at + 2, "Content-Length:", 15) == 0)
            length = std::strtoul(c.in.c_str() + at + 17, nullptr, 10);
    }
    if (c.in.size() < end + 4 + length) return false;
    const size_t sp1 = c.in.find(' '), sp2 = c.in.find(' ', sp1 + 1);
    const std::string path = sp1 < sp2 && sp2 < end ? c.in.substr(sp1 + 1, sp2 - sp1 - 1) : "";
    const std::string body = c.in.substr(end + 4, length);
    std::printf("request %s %s\n", path.c_str(), body.c_str());
    std::fflush(stdout);
    c.out = Answer(path, body);
    return true;
}

int JoinGroupEverywhere(int fd, const in_addr& group) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int joined = 0;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if ((a->ifa_flags & (IFF_UP | IFF_MULTICAST)) != (IFF_UP | IFF_MULTICAST)) continue;
        ip_mreqn join{};
        join.imr_multiaddr = group;
        join.imr_ifindex = static_cast<int>(if_nametoindex(a->ifa_name));
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0) ++joined;
    }
    freeifaddrs(list);
    return joined;
}

int RunSimulateDevice(const std::vector<std::string>& args) {
    unsigned long count = 1, port = 12345, http_port_wanted = 0;
    double seconds = 0;
    std::string group = "224.2.3.4";
    for (size_t i = 0; i < args.size(); ++i) {
        const bool has_value = i + 1 < args.size();
        char* end = nullptr;
        if (args[i] == "--count" && has_value) {
            count = std::strtoul(args[++i].c_str(), &end, 10);
            if (*end || count == 0 || count > 65535) return std::fprintf(stderr, "%s", kUsage), 2;
        } else if (args[i] == "--port" && has_value) {
            port = std::strtoul(args[++i].c_str(), &end, 10);
            if (*end || port == 0 || port > 65535) return std::fprintf(stderr, "%s", kUsage), 2;
        } else if (args[i] == "--http-port" && has_value) {
            http_port_wanted = std::strtoul(args[++i].c_str(), &end, 10);
            if (*end || http_port_wanted > 65535) return std::fprintf(stderr, "%s", kUsage), 2;
        } else if (args[i] == "--group" && has_value) {
            group = args[++i];
        } else if (args[i] == "--seconds" && has_value) {
            seconds = std::strtod(args[++i].c_str(), &end);
            if (*end || seconds <= 0) return std::fprintf(stderr, "%s", kUsage), 2;
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    in_addr group_addr{};
    if (inet_pton(AF_INET, group.c_str(), &group_addr) != 1) {
        std::fprintf(stderr, "vemx simulate-device: bad group address '%s'\n", group.c_str());
        return 2;
    }

    const int one = 1;
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int http = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(http, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "vemx simulate-device: UDP port %lu: %s\n", port, strerror(errno));
        return 1;
    }
    a.sin_port = htons(static_cast<uint16_t>(http_port_wanted));
    socklen_t alen = sizeof a;
    if (bind(http, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(http, 128) != 0 ||
        getsockname(http, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
        std::fprintf(stderr, "vemx simulate-device: HTTP listener: %s\n", strerror(errno));
        return 1;
    }
    const uint16_t http_port = ntohs(a.sin_port);
    const int joined =
        IN_MULTICAST(ntohl(group_addr.s_addr)) ? JoinGroupEverywhere(udp, group_addr) : 0;
    std::vector<std::vector<uint8_t>> replies;
    for (unsigned d = 0; d < count; ++d) replies.push_back(Reply(d, http_port));

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    std::printf(
        "simulating %lu device(s): probes on UDP port %lu (group %s on %d interface(s)), "
        "HTTP on TCP port %u\n",
        count, port, group.c_str(), joined, http_port);
    std::fflush(stdout);

    const auto stop_at = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::map<int, Client> clients;
    while (!interrupted && (seconds == 0 || std::chrono::steady_clock::now() < stop_at)) {
        std::vector<pollfd> fds = {{udp, POLLIN, 0}, {http, POLLIN, 0}};
        for (const auto& [fd, c] : clients)
            fds.push_back({fd, static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
        if (poll(fds.data(), fds.size(), 100) < 0) continue;
        if (fds[0].revents & POLLIN) {
            uint8_t probe[512];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got =
                recvfrom(udp, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (IsProbe(probe, got)) {
                for (const auto& r : replies)
                    sendto(udp, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
                char ip[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
                std::printf("probe from %s:%u answered as %lu device(s)\n", ip,
                            ntohs(from.sin_port), count);
                std::fflush(stdout);
            }
        }
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(http, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) clients[fd];
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Client& c = clients[fds[i].fd];
            bool done = false;
            if (c.out.empty()) {
                char buf[4096];
                const ssize_t got = recv(fds[i].fd, buf, sizeof buf, 0);
                if (got <= 0) {
                    done = got == 0 || errno != EAGAIN;
                } else {
                    c.in.append(buf, size_t(got));
                    RequestComplete(c);
                }
            } else {
                const ssize_t put =
                    send(fds[i].fd, c.out.data() + c.sent, c.out.size() - c.sent, 0);
                if (put > 0) c.sent += size_t(put);
                done = put < 0 ? errno != EAGAIN : c.sent == c.out.size();
            }
            if (done) {
                close(fds[i].fd);
                clients.erase(fds[i].fd);
            }
        }
    }
    for (const auto& [fd, c] : clients) close(fd);
    close(udp);
    close(http);
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("simulate-device", "[--count N] [--port P]: answer probes and requests",
                  RunSimulateDevice);
