#include "platform/file_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vemx::platform {

namespace {

int make_watch(const char* path) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    if (inotify_add_watch(fd, path, IN_MODIFY | IN_CLOSE_WRITE) < 0) {
        const int err = errno;
        close(fd);
        throw std::system_error(err, std::generic_category(), "inotify_add_watch");
    }
    return fd;
}

}  // namespace

FileWatch::FileWatch(const char* path) : Waitable(make_watch(path)) {}

bool FileWatch::try_acquire() noexcept {
    alignas(inotify_event) char events[4096];
    bool any = false;
    while (read(fd_, events, sizeof events) > 0) any = true;
    return any;
}

}  // namespace vemx::platform
