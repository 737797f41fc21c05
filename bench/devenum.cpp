// Discovery figures over loopback, each beside a plain peer in the same run:
//   200 devices answering one probe: time from vemx_devenum_scan until the
//   last of them is reported, beside one blocking socket that sends the
//   probe and reads the 200 replies itself (the floor);
//   release of a scanning enumerator whose next probe is minutes away.
// Usage: bench_devenum [devices (200)] [runs (20)]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/waitable.h"
#include "vemx/vemx.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

int bound_udp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bench_devenum: bind");
        std::exit(1);
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// Devices on one socket: every datagram received is answered with one reply
// per device, each with a realistic 40-byte URI.
class devices {
  public:
    explicit devices(unsigned count) : fd_(bound_udp(0)) {
        for (unsigned d = 0; d < count; ++d) {
            char uri[41];
            std::snprintf(uri, sizeof uri, "/api/device/%04u/control/json/v1/request", d % 10000);
            std::vector<uint8_t> r(20 + 40);
            std::memcpy(r.data(), "XEDA", 4);
            const uint8_t mac[6] = {2, 0, 0, 0, uint8_t(d >> 8), uint8_t(d)};
            std::memcpy(r.data() + 4, mac, 6);
            r[12] = uint8_t(d >> 8), r[13] = uint8_t(d), r[15] = 80, r[19] = 40;
            std::memcpy(r.data() + 20, uri, 40);
            replies_.push_back(std::move(r));
        }
        thread_ = std::thread([this] {
            for (;;) {
                pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
                if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
                uint8_t probe[64];
                sockaddr_in from{};
                socklen_t n = sizeof from;
                if (recvfrom(fd_, probe, sizeof probe, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &n) < 0)
                    continue;
                for (const auto& r : replies_)
                    sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
            }
        });
    }
    ~devices() {
        stop_.set();
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_of(fd_); }

  private:
    int fd_;
    std::vector<std::vector<uint8_t>> replies_;
    vemx::platform::Event stop_{true};
    std::thread thread_;
};

struct counter {
    std::mutex lock;
    std::condition_variable done;
    unsigned seen = 0;
    static void on_found(void*, void* user) {
        auto* c = static_cast<counter*>(user);
        std::lock_guard g(c->lock);
        ++c->seen;
        c->done.notify_all();
    }
};

// Milliseconds until all devices are reported, or a negative number when
// they are not within 10 s.
double time_enumerator(const devices& sim, unsigned count) {
    counter c;
    void* e = vemx_devenum_new();
    vemx_devenum_set_mcast_addr(e, "127.0.0.1");
    vemx_devenum_set_mcast_port(e, sim.port());
    vemx_devenum_set_callbacks(e, &counter::on_found, &c);
    const auto start = clock_type::now();
    vemx_devenum_scan(e, 600000);
    bool all;
    {
        std::unique_lock g(c.lock);
        all = c.done.wait_for(g, std::chrono::seconds(10), [&] { return c.seen >= count; });
    }
    const double ms = ms_since(start);
    vemx_devenum_release(e);
    return all ? ms : -1;
}

// The floor: one blocking socket sends the probe and reads every reply.
double time_plain_socket(const devices& sim, unsigned count) {
    const auto start = clock_type::now();
    const int fd = bound_udp(0);
    const int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(sim.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const uint8_t probe[8] = {'X', 'E', 'D', 'A', 'X', 'E', 'D', 'A'};
    sendto(fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    uint8_t buf[256];
    unsigned got = 0;
    pollfd p{fd, POLLIN, 0};
    while (got < count && poll(&p, 1, 10000) == 1)
        if (recv(fd, buf, sizeof buf, 0) >= 20) ++got;
    const double ms = ms_since(start);
    close(fd);
    return got == count ? ms : -1;
}

double release_while_scanning() {
    void* e = vemx_devenum_new();
    vemx_devenum_set_mcast_addr(e, "127.0.0.1");
    vemx_devenum_set_mcast_port(e, 9);
    vemx_devenum_scan(e, 600000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = clock_type::now();
    vemx_devenum_release(e);
    return ms_since(start);
}

void print(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const bool failed = !v.empty() && v.front() < 0;
    if (failed) {
        std::printf("%-52s FAILED (not all reported within 10 s)\n", what);
        return;
    }
    std::printf("%-52s median %8.2f ms  max %8.2f ms\n", what, v[v.size() / 2], v.back());
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 200;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
    setenv("VEMX_LOG", "off", 1);
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    devices sim(count);
    std::vector<double> ours, plain, release;
    for (int i = 0; i < runs; ++i) {
        ours.push_back(time_enumerator(sim, count));
        plain.push_back(time_plain_socket(sim, count));
        release.push_back(release_while_scanning());
    }
    std::printf("%u devices answering one probe, %d runs (goal: all within 1000 ms)\n", count,
                runs);
    print("vemx_devenum: scan until the last is reported", ours);
    print("peer, one blocking socket reading the replies", plain);
    print("vemx_devenum_release while scanning (goal 100 ms)", release);
    return 0;
}
