#pragma once
// Records what a media queue hands back: deliveries with their time and
// argument, and the order of releases.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "pacing/mediaqueue.h"
#include "platform/clock.h"
#include "vemx/vemx_mediaqueue.h"

namespace vemx_test {

inline void* Packet(uintptr_t id) {
    return reinterpret_cast<void*>(id);
}
inline uintptr_t Id(void* packet) {
    return reinterpret_cast<uintptr_t>(packet);
}
inline vemx::mediaqueue::MediaQueue* Internal(void* handle) {
    return vemx::frame::FromHandle<vemx::mediaqueue::MediaQueue>(handle);
}
// The queue's number as its log lines show it, and its clock.
inline std::string N(void* q) {
    return std::to_string(Internal(q)->Instance());
}
inline int64_t Now(void* q) {
    return Internal(q)->Now();
}
constexpr int64_t kMs = 10000;

class Recorder {
  public:
    struct Delivery {
        uintptr_t id;
        int64_t at;  // monotonic, 100-ns units
        int arg;
    };
    // Runs inside the callback first.
    void (*on_packet)(Recorder&, void* packet) = nullptr;
    void* queue = nullptr;

    // Attaches to q, by default a new queue; returns it.
    void* Attach(void* q = vemx_mediaqueue_new()) {
        vemx_mediaqueue_set_callback(queue = q, &OnPacket, &OnRelease, this);
        return q;
    }
    std::vector<Delivery> deliveries() {
        std::lock_guard lock(lock_);
        return deliveries_;
    }
    std::vector<uintptr_t> delivered_ids() {
        std::vector<uintptr_t> ids;
        for (const auto& d : deliveries()) ids.push_back(d.id);
        return ids;
    }
    std::vector<uintptr_t> released() {
        std::lock_guard lock(lock_);
        return released_;
    }
    bool WaitDeliveries(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= n; });
    }
    bool WaitReleases(size_t n) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(5),
                                 [&] { return released_.size() >= n; });
    }

  private:
    static int OnPacket(void* packet, void* ctx, int arg) {
        auto* self = static_cast<Recorder*>(ctx);
        if (self->on_packet) self->on_packet(*self, packet);
        const int64_t now = vemx::platform::monotonic_100ns();
        std::lock_guard lock(self->lock_);
        self->deliveries_.push_back({Id(packet), now, arg});
        self->changed_.notify_all();
        return 0;
    }
    static int OnRelease(void* packet, void* ctx) {
        auto* self = static_cast<Recorder*>(ctx);
        std::lock_guard lock(self->lock_);
        self->released_.push_back(Id(packet));
        self->changed_.notify_all();
        return 0;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
    std::vector<uintptr_t> released_;
};

}  // namespace vemx_test
