#include "platform/waitable.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace vemx::platform {

namespace {

int make_eventfd(uint32_t initial, int flags) {
    int fd = eventfd(initial, EFD_CLOEXEC | EFD_NONBLOCK | flags);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

void add(int fd, uint64_t n) noexcept {
    // Only fails when the counter would overflow, which a signalled event or
    // a semaphore of plausible size never reaches.
    [[maybe_unused]] ssize_t r = write(fd, &n, sizeof n);
}

bool take(int fd) noexcept {
    uint64_t v;
    return read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

}  // namespace

Waitable::~Waitable() {
    close(fd_);
}

Event::Event(bool manual_reset, bool initially_set)
    : Waitable(make_eventfd(initially_set ? 1 : 0, 0)), manual_(manual_reset) {}

void Event::set() noexcept {
    add(fd_, 1);
}

void Event::reset() noexcept {
    take(fd_);
}

bool Event::try_acquire() noexcept {
    if (!manual_) return take(fd_);
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

Semaphore::Semaphore(uint32_t initial) : Waitable(make_eventfd(initial, EFD_SEMAPHORE)) {}

void Semaphore::release(uint32_t count) noexcept {
    add(fd_, count);
}

bool Semaphore::try_acquire() noexcept {
    return take(fd_);
}

int wait_any(std::span<Waitable* const> objects, Timeout timeout) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    // A timeout reaching past the clock's range is as good as infinite; adding
    // it would overflow into the past.
    const bool infinite = timeout >= clock::time_point::max() - start;
    const auto deadline = infinite ? clock::time_point::max() : start + timeout;

    pollfd small[8];
    std::vector<pollfd> large;
    pollfd* fds = small;
    if (objects.size() > std::size(small)) {
        large.resize(objects.size());
        fds = large.data();
    }
    for (size_t i = 0; i < objects.size(); ++i) fds[i] = {objects[i]->fd(), POLLIN, 0};

    for (;;) {
        timespec ts{};
        timespec* pts = nullptr;
        if (!infinite) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now());
            if (left.count() < 0) left = {};
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            pts = &ts;
        }
        int r = ppoll(fds, objects.size(), pts, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            return kWaitFailed;
        }
        for (size_t i = 0; r > 0 && i < objects.size(); ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL)) {
                errno = EBADF;
                return kWaitFailed;
            }
            // Another waiter may have taken the signal between poll and here;
            // then keep waiting.
            if ((fds[i].revents & POLLIN) && objects[i]->try_acquire()) return static_cast<int>(i);
        }
        if (!infinite && clock::now() >= deadline) return kWaitTimeout;
    }
}

bool wait_one(Waitable& object, Timeout timeout) {
    Waitable* one[] = {&object};
    return wait_any(one, timeout) == 0;
}

}  // namespace vemx::platform
