// Device requests against a local simulated device: 1000 POSTs with 32 in
// flight on 32 connections, then 32 queued on one connection, beside
// libcurl's multi interface doing the same POSTs 32 at a time.  Then the CPU
// the client spends while 32 requests wait on a device that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "devices/devinfo.h"
#include "devices/devinfo_json.h"
#include "vemx/vemx.h"

#ifdef VEMX_HAVE_CURL
#include <curl/curl.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRequests = 1000;
constexpr int kInFlight = 32;

int listen_loopback(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 1024);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// One epoll thread answering every complete POST with a small JSON object
// and closing the connection.
class Device {
  public:
    Device() : listen_fd_(listen_loopback(&port_)), stop_fd_(eventfd(0, EFD_CLOEXEC)) {
        thread_ = std::thread([this] { run(); });
    }
    ~Device() {
        const uint64_t one = 1;
        (void)!write(stop_fd_, &one, sizeof one);
        thread_.join();
        for (auto& [fd, in] : pending_) close(fd);
        close(listen_fd_);
        close(stop_fd_);
    }
    uint16_t port() const { return port_; }

  private:
    void run() {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        add(ep, listen_fd_);
        add(ep, stop_fd_);
        epoll_event events[64];
        static const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 25\r\n"
            "Connection: close\r\n\r\n{\"result\":0,\"state\":\"ok\"}";
        for (;;) {
            const int n = epoll_wait(ep, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == stop_fd_) {
                    close(ep);
                    return;
                }
                if (fd == listen_fd_) {
                    int c;
                    while ((c = accept4(listen_fd_, nullptr, nullptr,
                                        SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                        add(ep, c);
                        pending_[c];
                    }
                    continue;
                }
                char buf[4096];
                const ssize_t got = recv(fd, buf, sizeof buf, 0);
                auto& in = pending_[fd];
                if (got > 0) in.append(buf, static_cast<size_t>(got));
                if (got <= 0 || complete(in)) {
                    if (got > 0) (void)!send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                    pending_.erase(fd);
                    close(fd);
                }
            }
        }
    }
    static bool complete(const std::string& in) {
        const size_t head = in.find("\r\n\r\n");
        if (head == std::string::npos) return false;
        const size_t cl = in.find("Content-Length: ");
        const size_t body = cl < head ? std::stoul(in.substr(cl + 16)) : 0;
        return in.size() >= head + 4 + body;
    }
    static void add(int ep, int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }

    uint16_t port_ = 0;
    int listen_fd_;
    int stop_fd_;
    std::thread thread_;
    std::unordered_map<int, std::string> pending_;
};

struct Figures {
    double per_second;
    double p99_ms;
};

Figures figures(Clock::duration total, std::vector<Clock::duration> latencies) {
    std::sort(latencies.begin(), latencies.end());
    const auto p99 = latencies[latencies.size() * 99 / 100];
    return {latencies.size() / std::chrono::duration<double>(total).count(),
            std::chrono::duration<double, std::milli>(p99).count()};
}

// Keeps `connections` connections busy, each with `per_connection` requests
// queued, until kRequests have been answered.
class VemxRun {
  public:
    VemxRun(uint16_t port, int connections, int per_connection) {
        record_ = vemx_devinfo_new();
        vemx_devinfo_set_str(record_, "cmd", "status");
        vemx_devinfo_set_i(record_, "channel", 3);
        vemx_devinfo_set_d(record_, "gain", 0.5);
        slots_.resize(kRequests);
        latencies_.reserve(kRequests);
        for (int c = 0; c < connections; ++c) {
            cons_.push_back(vemx_devcon_new2("127.0.0.1", port, "/api"));
            vemx_devcon_init(cons_.back());
        }
        start_ = Clock::now();
        for (int c = 0; c < connections; ++c)
            for (int k = 0; k < per_connection; ++k) send(cons_[c]);
    }
    ~VemxRun() {
        for (void* c : cons_) vemx_devcon_release(c);
        vemx_devinfo_release(record_);
    }
    Figures wait() {
        std::unique_lock g(lock_);
        cv_.wait(g, [&] { return static_cast<int>(latencies_.size()) == kRequests; });
        return figures(end_ - start_, latencies_);
    }
    int failures() const { return failures_; }

  private:
    struct Slot {
        VemxRun* run;
        void* con;
        Clock::time_point sent;
    };
    void send(void* con) {
        const int i = next_++;
        if (i >= kRequests) return;
        slots_[i] = Slot{this, con, Clock::now()};
        vemx_devcon_request(con, record_, &VemxRun::on_answer, &slots_[i]);
    }
    static void on_answer(void* answer, void* user) {
        auto* s = static_cast<Slot*>(user);
        const auto now = Clock::now();
        char err[4];
        size_t size = sizeof err;
        vemx_devinfo_get_str(answer, "_error_", err, &size);
        VemxRun* r = s->run;
        {
            std::lock_guard g(r->lock_);
            if (err[0]) ++r->failures_;
            r->latencies_.push_back(now - s->sent);
            if (static_cast<int>(r->latencies_.size()) == kRequests) {
                r->end_ = now;
                r->cv_.notify_all();
            }
        }
        r->send(s->con);
    }

    void* record_;
    std::vector<void*> cons_;
    std::vector<Slot> slots_;
    std::atomic<int> next_{0};
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Clock::duration> latencies_;
    Clock::time_point start_, end_;
    int failures_ = 0;
};

#ifdef VEMX_HAVE_CURL
size_t discard(char*, size_t size, size_t n, void*) {
    return size * n;
}

Figures curl_run(uint16_t port, const std::string& body, int* failures) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api";
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> easy(kInFlight);
    std::vector<Clock::time_point> sent(kInFlight);
    std::vector<Clock::duration> latencies;
    int started = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kInFlight; ++i) {
        easy[i] = curl_easy_init();
        curl_easy_setopt(easy[i], CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy[i], CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(easy[i], CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy[i], CURLOPT_HTTPHEADER, headers);
        // A new TCP connection per request, as the device client makes.
        curl_easy_setopt(easy[i], CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy[i], CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(easy[i], CURLOPT_PRIVATE,
                         reinterpret_cast<void*>(static_cast<intptr_t>(i)));
        sent[i] = Clock::now();
        curl_multi_add_handle(multi, easy[i]);
        ++started;
    }
    Clock::time_point end;
    while (static_cast<int>(latencies.size()) < kRequests) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            void* priv = nullptr;
            curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &priv);
            const auto i = static_cast<int>(reinterpret_cast<intptr_t>(priv));
            end = Clock::now();
            latencies.push_back(end - sent[i]);
            if (m->data.result != CURLE_OK) ++*failures;
            CURL* e = m->easy_handle;
            curl_multi_remove_handle(multi, e);
            if (started < kRequests) {
                sent[i] = Clock::now();
                curl_multi_add_handle(multi, e);
                ++started;
            }
        }
        if (static_cast<int>(latencies.size()) < kRequests)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    for (CURL* e : easy) curl_easy_cleanup(e);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    return figures(end - start, latencies);
}
#endif

double process_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void print(const char* what, const Figures& f, int failures) {
    std::printf("%-42s %9.0f requests/s   p99 %7.2f ms   failed %d\n", what, f.per_second, f.p99_ms,
                failures);
}

}  // namespace

int main() {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    Device device;
    {
        VemxRun run(device.port(), kInFlight, 1);
        print("vemx, 32 connections x 1 in flight", run.wait(), run.failures());
    }
    {
        VemxRun run(device.port(), 1, kInFlight);
        print("vemx, 1 connection x 32 in flight", run.wait(), run.failures());
    }
#ifdef VEMX_HAVE_CURL
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        vemx::devinfo::devinfo_t record;
        record.set_str("cmd", "status");
        record.set_i("channel", 3);
        record.set_d("gain", 0.5);
        const std::string body =
            vemx::devinfo_json::request_body(record, vemx::devinfo_json::make_nonce());
        int failures = 0;
        print("libcurl multi, 32 in flight", curl_run(device.port(), body, &failures), failures);
        curl_global_cleanup();
    }
#else
    std::printf("libcurl multi: not built (libcurl4-openssl-dev missing)\n");
#endif

    // A device that completes connections but never reads or answers: the
    // kernel accepts into the listener's queue and nobody takes them.
    uint16_t silent_port = 0;
    const int silent = listen_loopback(&silent_port);
    void* con = vemx_devcon_new2("127.0.0.1", silent_port, "/api");
    vemx_devcon_init(con);
    void* record = vemx_devinfo_new();
    for (int i = 0; i < kInFlight; ++i)
        vemx_devcon_request(
            con, record, [](void*, void*) {}, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double cpu = process_cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("vemx, 32 requests waiting on a silent device: %.4f %% of a core\n",
                100.0 * cpu / wall);
    vemx_devinfo_release(record);
    vemx_devcon_release(con);
    close(silent);
    return 0;
}
