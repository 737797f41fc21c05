#include "platform/msgqueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vemx::platform {

namespace {

int make_fd() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

// Closes the thread's queue when the thread ends, so posts to it fail
// instead of piling up where nobody will take them.
struct ThreadQueue {
    std::shared_ptr<MessageQueue> queue;
    ~ThreadQueue() {
        if (queue) queue->Close();
    }
};

thread_local ThreadQueue current_queue;

}  // namespace

// The descriptor's counter is non-zero exactly while entries are pending;
// both change together under the lock.
MessageQueue::MessageQueue() : Waitable(make_fd()) {}

std::shared_ptr<MessageQueue> MessageQueue::Current() {
    if (!current_queue.queue) current_queue.queue = std::make_shared<MessageQueue>();
    return current_queue.queue;
}

bool MessageQueue::Post(const Message& m) {
    std::lock_guard guard(lock_);
    if (closed_) return false;
    entries_.push_back(m);
    if (entries_.size() == 1) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(fd_, &one, sizeof one);
    }
    return true;
}

bool MessageQueue::Take(Message& out, uintptr_t window, uint32_t first, uint32_t last) {
    std::lock_guard guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((window && it->window != window) || it->message < first || it->message > last) continue;
        out = *it;
        entries_.erase(it);
        if (entries_.empty()) {
            uint64_t v;
            [[maybe_unused]] ssize_t r = read(fd_, &v, sizeof v);
        }
        return true;
    }
    return false;
}

bool MessageQueue::Get(Message& out) {
    while (!Take(out)) {
        if (!wait_one(*this)) return false;
    }
    return true;
}

void MessageQueue::Close() {
    std::lock_guard guard(lock_);
    closed_ = true;
}

bool MessageQueue::try_acquire() noexcept {
    std::lock_guard guard(lock_);
    return !entries_.empty();
}

}  // namespace vemx::platform
