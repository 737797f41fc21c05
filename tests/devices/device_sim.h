#pragma once
// A device simulated on loopback, both of its sides: the UDP side answers
// every discovery probe with a configurable list of reply datagrams, the HTTP
// side answers each request as the request's "case" member says.  Also a
// collector for the devices an enumerator reports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devices/devcon.h"
#include "platform/waitable.h"

namespace vemx_test_dev {

using bytes = std::vector<uint8_t>;

// A socket bound to address:port (0: a free one).
inline int bound_socket(int type, const char* address, uint16_t port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        throw std::runtime_error(std::string("bind ") + address + ": " + strerror(errno));
    }
    return fd;
}

inline int udp_socket(const char* address, uint16_t port) {
    return bound_socket(SOCK_DGRAM, address, port);
}

inline uint16_t local_port(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A 127.0.0.1 TCP listener on a free port.
inline int listen_loopback(int backlog, uint16_t* port) {
    const int fd = bound_socket(SOCK_STREAM, "127.0.0.1", 0);
    listen(fd, backlog);
    *port = local_port(fd);
    return fd;
}

inline void send_all(int fd, const std::string& bytes) {
    for (size_t off = 0; off < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Reads until the peer closes (or the simulator shuts the socket down).
inline void drain(int fd) {
    char buf[4096];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
}

// The reply datagram a device sends; uri_length overrides the stated length.
inline bytes make_reply(const uint8_t (&mac)[6], uint32_t id, uint16_t port, const std::string& uri,
                        int64_t uri_length = -1) {
    const uint32_t length = uri_length < 0 ? uint32_t(uri.size()) : uint32_t(uri_length);
    bytes b(20 + uri.size());
    std::memcpy(b.data(), "XEDA", 4);
    std::memcpy(b.data() + 4, mac, 6);
    for (int i = 0; i < 4; ++i) b[10 + i] = uint8_t(id >> (24 - 8 * i));
    b[14] = uint8_t(port >> 8);
    b[15] = uint8_t(port);
    for (int i = 0; i < 4; ++i) b[16 + i] = uint8_t(length >> (24 - 8 * i));
    std::memcpy(b.data() + 20, uri.data(), uri.size());
    return b;
}

// Answers on a socket that the caller made (bound, and joined to a group
// where multicast is tested); replies marked `from_alt` leave from a second
// socket bound to alt_address, as if another device sent them.
class probe_responder {
  public:
    struct reply {
        bytes data;
        bool from_alt = false;
    };

    explicit probe_responder(int fd, const char* alt_address = nullptr)
        : fd_(fd), alt_fd_(alt_address ? udp_socket(alt_address, 0) : -1) {
        thread_ = std::thread([this] { run(); });
    }
    explicit probe_responder(const char* address = "127.0.0.1",
                             const char* alt_address = "127.0.0.2")
        : probe_responder(udp_socket(address, 0), alt_address) {}
    ~probe_responder() {
        stop_.set();
        thread_.join();
        close(fd_);
        if (alt_fd_ >= 0) close(alt_fd_);
    }

    uint16_t port() const { return local_port(fd_); }

    void set_replies(std::vector<reply> replies) {
        std::lock_guard g(lock_);
        replies_ = std::move(replies);
    }
    std::vector<bytes> probes() const {
        std::lock_guard g(lock_);
        return probes_;
    }

  private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
            uint8_t buf[512];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &n);
            if (got < 0) continue;
            std::lock_guard g(lock_);
            probes_.emplace_back(buf, buf + got);
            for (const auto& r : replies_)
                sendto(r.from_alt ? alt_fd_ : fd_, r.data.data(), r.data.size(), 0,
                       reinterpret_cast<sockaddr*>(&from), n);
        }
    }

    int fd_;
    int alt_fd_;
    mutable std::mutex lock_;
    std::vector<reply> replies_;
    std::vector<bytes> probes_;
    vemx::platform::Event stop_{true};
    std::thread thread_;
};

// Keeps, per device the enumerator reports, "address mac id port uri".
class found_devices {
  public:
    static void on_found(void* devcon, void* user) {
        auto* self = static_cast<found_devices*>(user);
        const auto* con = vemx_dev_detail::from_handle(devcon);
        char line[512];
        const uint8_t* m = con->mac();
        std::snprintf(line, sizeof line, "%s %02X%02X%02X%02X%02X%02X %08X %u %s",
                      con->address().c_str(), m[0], m[1], m[2], m[3], m[4], m[5], con->id(),
                      con->port(), con->uri().c_str());
        std::unique_lock g(self->lock_);
        if (self->devices_.empty() && self->first_call_stall_.count()) {
            g.unlock();
            std::this_thread::sleep_for(self->first_call_stall_);
            g.lock();
        }
        self->devices_.push_back(line);
        self->changed_.notify_all();
    }

    // An application that takes its time over the first device, while
    // further replies pile up in the socket.
    void stall_first_call(std::chrono::milliseconds d) { first_call_stall_ = d; }

    // Waits until at least n devices were reported or the time is up.
    bool wait_for(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock g(lock_);
        return changed_.wait_for(g, limit, [&] { return devices_.size() >= n; });
    }
    std::vector<std::string> devices() const {
        std::lock_guard g(lock_);
        return devices_;
    }

  private:
    mutable std::mutex lock_;
    std::chrono::milliseconds first_call_stall_{0};
    std::condition_variable changed_;
    std::vector<std::string> devices_;
};

// The HTTP side.  Each accepted connection reads one request and runs the
// behaviour its "case" names; in close-at-once mode it closes its sending
// side before reading.
class HttpDeviceSim {
  public:
    // Answers the request on fd; the connection closes when it returns.
    using Behaviour = std::function<void(int fd)>;

    explicit HttpDeviceSim(std::map<std::string, Behaviour> cases, bool close_at_once = false)
        : cases_(std::move(cases)), close_at_once_(close_at_once) {
        listen_fd_ = listen_loopback(64, &port_);
        if (listen_fd_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~HttpDeviceSim() {
        shutdown(listen_fd_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        {
            std::lock_guard g(lock_);
            stopping_ = true;
            for (int fd : open_) shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : workers_) t.join();
        close(listen_fd_);
    }

    uint16_t port() const { return port_; }

    std::vector<std::string> requests() const {
        std::lock_guard g(lock_);
        return requests_;
    }

  private:
    void accept_loop() {
        for (;;) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            // At once, so that the close can reach the client together with
            // the connect.
            if (close_at_once_) shutdown(fd, SHUT_WR);
            std::lock_guard g(lock_);
            if (stopping_) {
                close(fd);
                return;
            }
            open_.push_back(fd);
            workers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        if (close_at_once_) {
            drain(fd);
        } else {
            const std::string request = read_request(fd);
            {
                std::lock_guard g(lock_);
                requests_.push_back(request);
            }
            const size_t at = request.find("\"case\":\"");
            if (at != std::string::npos) {
                const size_t from = at + 8;
                auto it = cases_.find(request.substr(from, request.find('"', from) - from));
                if (it != cases_.end()) it->second(fd);
            }
        }
        std::lock_guard g(lock_);
        std::erase(open_, fd);
        close(fd);
    }

    // The head and a Content-Length body.
    static std::string read_request(int fd) {
        std::string in;
        char buf[4096];
        size_t want = std::string::npos;
        while (want == std::string::npos || in.size() < want) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
            const size_t head_end = in.find("\r\n\r\n");
            if (want == std::string::npos && head_end != std::string::npos) {
                const size_t length = in.find("Content-Length: ");
                want = head_end + 4 + (length < head_end ? std::stoul(in.substr(length + 16)) : 0);
            }
        }
        return in;
    }

    std::map<std::string, Behaviour> cases_;
    bool close_at_once_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    mutable std::mutex lock_;
    bool stopping_ = false;
    std::vector<int> open_;
    std::vector<std::thread> workers_;
    std::vector<std::string> requests_;
};

}  // namespace vemx_test_dev
