#pragma once
// A device's HTTP side on 127.0.0.1 for the connection tests.  Each accepted
// connection reads one request, then answers as the request's "case" member
// says; in close-at-once mode it closes its sending side before reading.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vemx_test {

inline void send_all(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
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

// A 127.0.0.1 TCP listener on a free port.
inline int listen_loopback(int backlog, uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

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
            shutdown(fd, SHUT_WR);
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

}  // namespace vemx_test
