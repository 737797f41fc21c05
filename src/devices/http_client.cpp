#include "devices/http_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>
#include <vector>

#include "devices/devinfo_json.h"
#include "devices/http_answer.h"
#include "frame/log.h"

namespace vemx_dev_detail::http {

using vemx::devinfo::devinfo_t;
using vemx::frame::LogPrint;

namespace {

constexpr const char* kInfo = "INFO[vemx!dev] ";
constexpr const char* kError = "ERROR[vemx!dev] ";
constexpr const char* kMain = "vemx_dev_detail::devcon_t::Main";
constexpr const char* kInit = "vemx_dev_detail::devcon_t::http_client_t::init";
constexpr const char* kTryConnect = "vemx_dev_detail::devcon_t::http_client_t::try_connect";
constexpr const char* kOnExcept = "vemx_dev_detail::devcon_t::http_client_t::on_except";

// Request states: connecting, sending the request, waiting for the answer.
constexpr int kConnecting = 1;
constexpr int kSending = 2;
constexpr int kWaiting = 5;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string host_name() {
    char name[257] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace

struct request_t {
    explicit request_t(job_t j) : job(std::move(j)), answer(new devinfo_t) {}
    ~request_t() {
        if (fd >= 0) close(fd);
    }
    request_t(const request_t&) = delete;
    request_t& operator=(const request_t&) = delete;

    job_t job;
    record_ref answer;
    int fd = -1;
    int state = 0;
    int64_t deadline = 0;
    std::string out;  // request line, headers and body, sent in one piece
    size_t sent = 0;
    http_answer::answer_reader reader;
    bool finished = false;
};

client_thread::client_thread(const std::string& address, uint16_t port, std::string uri)
    : uri_(std::move(uri)) {
    peer_.sin_family = AF_INET;
    peer_.sin_port = htons(port);
    peer_valid_ = inet_pton(AF_INET, address.c_str(), &peer_.sin_addr) == 1;
}

client_thread::~client_thread() {
    stop();
}

void client_thread::start() {
    std::lock_guard g(lock_);
    if (thread_.joinable() || quit_) {
        LogPrint(kError, "inited already");
        return;
    }
    try {
        thread_ = std::thread([self = shared_from_this()] { self->main(); });
    } catch (const std::system_error& e) {
        LogPrint(kError, "%s: CreateThread failed, err=%d", "vemx_dev_detail::devcon_t::Init",
                 e.code().value());
    }
}

bool client_thread::enqueue(job_t job) {
    {
        std::lock_guard g(lock_);
        jobs_.push_back(std::move(job));
    }
    wake_.set();
    return true;
}

void client_thread::stop() noexcept {
    std::thread thread;
    {
        std::lock_guard g(lock_);
        quit_ = true;
        thread = std::move(thread_);
    }
    wake_.set();
    if (!thread.joinable()) return;
    // From one of our own callbacks: the thread holds its own reference and
    // ends once the callback returns.
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

void client_thread::main() noexcept {
    LogPrint(kInfo, "HTTP client thread starts.");
    const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        LogPrint(kError, "%s: epoll_create1 failed, err=%d", kMain, errno);
    } else {
        try {
            loop(epoll_fd);
        } catch (const std::exception& e) {
            LogPrint(kError, "%s: %s", kMain, e.what());
        }
        close(epoll_fd);
    }
    LogPrint(kInfo, "HTTP client thread ends.");
}

void client_thread::loop(int epoll_fd) {
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_.fd(), &wake) != 0) {
        LogPrint(kError, "%s: WaitForSingleObject failed, err=%d", kMain, errno);
        return;
    }
    std::deque<std::unique_ptr<request_t>> in_flight;
    std::vector<epoll_event> events(256);
    int timeout = -1;
    while (!quit_) {
        const int n = epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            LogPrint(kError, "%s: select failed, err=%d", kMain, errno);
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (!events[i].data.ptr) {
                wake_.try_acquire();
                take_jobs(epoll_fd, in_flight);
                continue;
            }
            auto& r = *static_cast<request_t*>(events[i].data.ptr);
            if (!r.finished) on_events(r, events[i].events);
        }
        if (quit_) break;

        const int64_t now = now_ms();
        int64_t next = INT64_MAX;
        for (auto& r : in_flight) {
            if (!r->finished && r->deadline <= now) {
                if (r->state == kConnecting) {
                    http_answer::set_error(*r->answer, "connect timed out");
                } else if (r->state == kSending) {
                    LogPrint(kError, "send timed out");
                    http_answer::set_error(*r->answer, "send failed");
                } else {
                    http_answer::set_error(*r->answer, "recv timed out");
                }
                finish(*r);
            }
            if (!r->finished) next = std::min(next, r->deadline);
        }
        for (request_t* r : finished_) {
            // A callback that dropped the connection ends the others' calls.
            if (quit_) break;
            if (r->job.callback)
                r->job.callback(vemx::devinfo::to_handle(r->answer.get()), r->job.user);
        }
        if (!finished_.empty()) {
            finished_.clear();
            std::erase_if(in_flight, [](const auto& r) { return r->finished; });
        }
        // Measured after the callbacks, which may have taken a while.
        timeout = next == INT64_MAX
                      ? -1
                      : static_cast<int>(std::clamp<int64_t>(next - now_ms(), 0, INT_MAX));
    }
    finished_.clear();
}

void client_thread::take_jobs(int epoll_fd, std::deque<std::unique_ptr<request_t>>& in_flight) {
    std::deque<job_t> jobs;
    {
        std::lock_guard g(lock_);
        jobs.swap(jobs_);
    }
    for (auto& job : jobs) {
        try {
            if (auto r = start_request(epoll_fd, std::move(job))) in_flight.push_back(std::move(r));
        } catch (const std::exception& e) {
            LogPrint(kError, "%s: %s", kInit, e.what());
        }
    }
}

std::unique_ptr<request_t> client_thread::start_request(int epoll_fd, job_t job) {
    auto r = std::make_unique<request_t>(std::move(job));
    const std::string body =
        vemx::devinfo_json::request_body(*r->job.request, vemx::devinfo_json::make_nonce());
    r->out.reserve(uri_.size() + body.size() + 384);
    r->out.append("POST ").append(uri_).append(" HTTP/1.1\r\nHost: ").append(host_name());
    r->out.append("\r\nContent-Type: application/json\r\nContent-Length: ");
    r->out.append(std::to_string(body.size())).append("\r\n\r\n").append(body);

    r->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (r->fd < 0) {
        LogPrint(kError, "%s: socket failed, err=%d", kInit, errno);
        return nullptr;
    }
    int on = 1;
    if (ioctl(r->fd, FIONBIO, &on) != 0) {
        LogPrint(kError, "%s: ioctlsocket(FIONBIO, %d) failed, err=%d", kInit, on, errno);
        return nullptr;
    }

    r->state = kConnecting;
    r->deadline = now_ms() + kConnectDeadlineMs;
    // An address that does not parse is never connected; the socket then
    // reports hang-up at once and the request ends as a failed connect.
    if (!peer_valid_) {
        LogPrint(kError, "%s: connect failed, err=%d", kTryConnect, EINVAL);
    } else if (connect(r->fd, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) == 0) {
        r->state = kSending;
    } else if (errno != EINPROGRESS) {
        LogPrint(kError, "%s: connect failed, err=%d", kTryConnect, errno);
    }

    // Edge-triggered: a connected socket stays writable, and must not wake
    // the thread again and again while its answer is awaited.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLPRI | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = r.get();
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, r->fd, &ev) != 0) {
        LogPrint(kError, "%s: epoll_ctl failed, err=%d", kInit, errno);
        return nullptr;
    }
    return r;
}

void client_thread::on_events(request_t& r, uint32_t events) {
    if (r.state == kConnecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        // A refused connect shows as an error condition, not as writable.
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
            on_except(r);
            return;
        }
        r.state = kSending;
        r.deadline = now_ms() + kAnswerDeadlineMs;
        try_send(r);
        if (r.finished) return;
        // Edge-triggered: data or a close that came with the connect is
        // reported this once, so it is handled below, now.
        events &= ~static_cast<uint32_t>(EPOLLOUT);
    }
    // Out-of-band data is the one error condition of a connected socket.
    if (events & EPOLLPRI) {
        on_except(r);
        return;
    }
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        on_readable(r);
        if (r.finished) return;
    }
    if ((events & EPOLLOUT) && r.state == kSending) try_send(r);
}

void client_thread::try_send(request_t& r) {
    while (r.sent < r.out.size()) {
        const ssize_t n = send(r.fd, r.out.data() + r.sent, r.out.size() - r.sent, MSG_NOSIGNAL);
        if (n >= 0) {
            r.sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        // The rest goes when the socket reports writable again.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == ECONNRESET || errno == EPIPE) {
            LogPrint(kError, "connection reset by remote peer");
            http_answer::set_error(*r.answer, "connection reset");
        } else {
            LogPrint(kError, "send failed, err=%d", errno);
            http_answer::set_error(*r.answer, "send failed");
        }
        finish(r);
        return;
    }
    r.state = kWaiting;
    r.deadline = now_ms() + kAnswerDeadlineMs;
}

void client_thread::on_readable(request_t& r) {
    // Edge-triggered: read until the socket has nothing more.
    for (;;) {
        const ssize_t n = recv(r.fd, recv_buf_, sizeof recv_buf_, 0);
        if (n > 0) {
            if (r.reader.feed(recv_buf_, static_cast<size_t>(n), *r.answer)) {
                finish(r);
                return;
            }
            continue;
        }
        if (n == 0) {
            // The end of the connection does not end an answer without a length.
            LogPrint(kError, "connection closed by peer");
            http_answer::set_error(*r.answer, "connection reset");
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else {
            LogPrint(kError, "recv() failed, err=%d", errno);
            http_answer::set_error(*r.answer, "recv failed");
        }
        finish(r);
        return;
    }
}

void client_thread::on_except(request_t& r) {
    if (r.state == kConnecting) {
        http_answer::set_error(*r.answer, "connect timed out");
    } else {
        http_answer::set_error(*r.answer, "unexpected error");
        LogPrint(kError, "%s: unexpected state(%d)", kOnExcept, r.state);
    }
    finish(r);
}

void client_thread::finish(request_t& r) {
    r.finished = true;
    finished_.push_back(&r);
}

}  // namespace vemx_dev_detail::http
