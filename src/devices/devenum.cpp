#include "devices/devenum.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <future>
#include <system_error>

#include "devices/devcon.h"
#include "devices/mcast_ifaces.h"
#include "frame/log.h"
#include "vemx/vemx_devenum.h"

namespace vemx_dev_detail {

namespace {

constexpr const char* kInfo = "INFO[vemx!dev] ";
constexpr const char* kError = "ERROR[vemx!dev] ";

using vemx::frame::LogPrint;

void DoNothing(void*, void*) {}

uint64_t NowMs() noexcept {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class socket_fd {
  public:
    explicit socket_fd(int fd) noexcept : fd_(fd) {}
    socket_fd(const socket_fd&) = delete;
    socket_fd& operator=(const socket_fd&) = delete;
    ~socket_fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const noexcept { return fd_; }

  private:
    int fd_;
};

}  // namespace

scanner_t::scanner_t()
    : callback_(&DoNothing),
      rng_(static_cast<std::minstd_rand::result_type>(
          std::chrono::system_clock::now().time_since_epoch().count())) {}

void scanner_t::SetGroupAddress(const char* address) {
    std::lock_guard guard(lock_);
    group_ = address ? address : "";
}

void scanner_t::SetPort(unsigned int port) {
    std::lock_guard guard(lock_);
    port_ = static_cast<uint16_t>(port);
}

void scanner_t::SetCallback(found_fn callback, void* user) {
    std::lock_guard guard(lock_);
    callback_ = callback ? callback : &DoNothing;
    user_ = user;
}

void scanner_t::Stop() noexcept {
    running_.store(false);
    stop_.set();
}

devenum_t::~devenum_t() {
    scanner_->Stop();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void devenum_t::Scan(uint32_t interval_ms) {
    if (thread_.joinable()) {
        LogPrint(kError, "Still scanning devices...");
        return;
    }
    try {
        // The thread waits until thread_ is stored: a callback may drop the
        // last reference, and the destructor then reads thread_.
        std::promise<void> stored;
        thread_ = std::thread([scanner = scanner_, interval_ms, go = stored.get_future()] {
            go.wait();
            try {
                scanner->Main(interval_ms);
            } catch (const std::exception& e) {
                // Only allocation can throw in there; the scan ends.
                LogPrint(kError, "%s: %s", "vemx_dev_detail::devenum_t::Main", e.what());
            }
        });
        stored.set_value();
    } catch (const std::system_error& e) {
        LogPrint(kError, "%s: CreateThread failed, err=%d", "vemx_dev_detail::devenum_t::Scan",
                 e.code().value());
    }
}

void scanner_t::Main(uint32_t interval_ms) {
    LogPrint(kInfo, "Start scanning devices...");
    socket_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_IP));
    if (sock.get() < 0) {
        LogPrint(kError, "socket(AF_INET, SOCK_DGRAM, IPPROTO_IP) failed, err=%d", errno);
        LogPrint(kInfo, "Stop scanning devices...");
        return;
    }
    int one = 1;
    if (ioctl(sock.get(), FIONBIO, &one) != 0) {
        LogPrint(kError, "ioctlsocket(sock, FIONBIO, %d) failed, err=%d", 1, errno);
        LogPrint(kInfo, "Stop scanning devices...");
        return;
    }
    // Hundreds of devices answer one probe within a millisecond or two; the
    // default buffer holds fewer than that while a callback runs.  The system
    // caps the size, and a smaller buffer only costs a later probe.
    const int rcvbuf = 1 << 20;
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    const uint64_t interval = interval_ms < kMinIntervalMs ? kMinIntervalMs : interval_ms;
    vemx_dev_reply::found_list_t found(kMaxDevices);
    uint64_t last_probe = NowMs() - interval;
    while (running_.load()) {
        uint64_t now = NowMs();
        if (now - last_probe >= interval) {
            last_probe = now;
            Probe(sock.get());
            now = NowMs();
        }
        const uint64_t since = now - last_probe;
        // Long intervals are waited for in pieces that poll can take.
        const uint64_t wait = since >= interval ? 0 : interval - since;
        const int timeout = static_cast<int>(std::min<uint64_t>(wait, INT_MAX));
        pollfd fds[2] = {{sock.get(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            LogPrint(kError, "select() failed, err=%d", errno);
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR)) Drain(sock.get(), found);
    }
    LogPrint(kInfo, "Stop scanning devices...");
}

void scanner_t::Probe(int sock) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::string group;
    {
        std::lock_guard guard(lock_);
        group = group_;
        to.sin_port = htons(port_);
    }
    if (inet_pton(AF_INET, group.c_str(), &to.sin_addr) != 1) {
        if (group != bad_group_) {
            LogPrint(kError, "invalid multicast address: \"%s\"", group.c_str());
            bad_group_ = group;
        }
        return;
    }
    bad_group_.clear();

    uint8_t probe[vemx_dev_reply::kMaxProbeSize];
    const size_t length = vemx_dev_reply::BuildProbe(rng_, probe);
    if (!IN_MULTICAST(ntohl(to.sin_addr.s_addr))) {
        SendProbe(sock, to, probe, length);
        return;
    }
    const auto ifaces = vemx_dev_net::MulticastInterfaces();
    if (ifaces.empty()) {
        if (errno != 0) LogPrint(kError, "getifaddrs() failed, err=%d", errno);
        // Leave it to the routing table; with no route this logs the error.
        SendProbe(sock, to, probe, length);
        return;
    }
    for (const auto& iface : ifaces) {
        ip_mreqn via{};
        via.imr_address = iface.address;
        via.imr_ifindex = static_cast<int>(iface.index);
        if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) {
            LogPrint(kError, "setsockopt(IP_MULTICAST_IF, %s) failed, err=%d", iface.name.c_str(),
                     errno);
            continue;
        }
        SendProbe(sock, to, probe, length);
    }
}

void scanner_t::SendProbe(int sock, const sockaddr_in& to, const uint8_t* probe, size_t length) {
    if (sendto(sock, probe, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        LogPrint(kError, "sendto() failed, err=%d", errno);
}

void scanner_t::Drain(int sock, vemx_dev_reply::found_list_t& found) {
    for (int i = 0; i < kMaxRepliesPerWake && running_.load(); ++i) {
        uint8_t buffer[vemx_dev_reply::kReplyBufferSize];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t n = recvfrom(sock, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_length);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            LogPrint(kError, "recvfrom() failed, err=%d", errno);
            return;
        }
        if (from.sin_family != AF_INET) continue;
        const auto reply =
            vemx_dev_reply::ParseReply(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
        if (!reply) continue;
        switch (found.Add(from.sin_addr.s_addr, *reply)) {
            case vemx_dev_reply::found_list_t::verdict::fresh:
                Report(from, *reply);
                break;
            case vemx_dev_reply::found_list_t::verdict::known:
                break;
            case vemx_dev_reply::found_list_t::verdict::full:
                if (!full_reported_) {
                    LogPrint(kError, "%zu devices found, further devices are ignored",
                             found.size());
                    full_reported_ = true;
                }
                break;
        }
    }
}

void scanner_t::Report(const sockaddr_in& from, const vemx_dev_reply::reply_t& reply) {
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    const uint8_t* m = reply.mac;
    LogPrint(kInfo, "(%s @ [%02X:%02X:%02X:%02X:%02X:%02X]): ID=0x%08X, Port=%d, URI=%s", address,
             m[0], m[1], m[2], m[3], m[4], m[5], reply.id, reply.port, reply.uri.c_str());
    found_fn callback;
    void* user;
    {
        std::lock_guard guard(lock_);
        callback = callback_;
        user = user_;
    }
    auto* con = new devcon_t(address, reply.mac, reply.id, reply.port, reply.uri);
    callback(to_handle(con), user);
    release(con);
}

}  // namespace vemx_dev_detail

using vemx::frame::FromHandle;
using vemx::frame::Guarded;
using vemx_dev_detail::devenum_t;

VEMX_EXPORT void* vemx_devenum_new(void) {
    return vemx::frame::NewHandle<devenum_t>();
}

VEMX_EXPORT void vemx_devenum_add_ref(void* handle) {
    Guarded("vemx_devenum_add_ref", [&] { vemx::frame::AddRefHandle(handle); });
}

VEMX_EXPORT void vemx_devenum_release(void* handle) {
    Guarded("vemx_devenum_release", [&] { vemx::frame::ReleaseHandle(handle); });
}

VEMX_EXPORT void vemx_devenum_set_mcast_addr(void* handle, const char* address) {
    Guarded("vemx_devenum_set_mcast_addr", [&] {
        if (handle) FromHandle<devenum_t>(handle)->scanner().SetGroupAddress(address);
    });
}

VEMX_EXPORT void vemx_devenum_set_mcast_port(void* handle, unsigned int port) {
    Guarded("vemx_devenum_set_mcast_port", [&] {
        if (handle) FromHandle<devenum_t>(handle)->scanner().SetPort(port);
    });
}

VEMX_EXPORT void vemx_devenum_set_callbacks(void* handle, vemx_devenum_callback_t callback,
                                            void* user) {
    Guarded("vemx_devenum_set_callbacks", [&] {
        if (handle) FromHandle<devenum_t>(handle)->scanner().SetCallback(callback, user);
    });
}

VEMX_EXPORT void vemx_devenum_scan(void* handle, unsigned int interval_ms) {
    Guarded("vemx_devenum_scan", [&] {
        if (handle) FromHandle<devenum_t>(handle)->Scan(interval_ms);
    });
}
