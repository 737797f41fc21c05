// Live playout: packets go out as they arrive, earliest pts first.
#include "pacing/mediaqueue_playout.h"

#include <algorithm>
#include <array>

namespace vemx::mediaqueue {

void MediaQueue::Main_Live() {
    frame::InfoLine(kComponent, Numbered(L"LIVE MODE [", instance_, L"]"));
    // Every enqueue while playing signals a packet, so the time-out
    // only matters for packets that were queued before it existed: an empty
    // queue can wait without one.
    bool pending;
    {
        std::lock_guard lock(items_lock_);
        pending = !items_.empty();
    }
    std::array<QueueItem, 64> batch;
    for (;;) {
        int err = 0;
        const Wake w = WaitForWork(
            nullptr, pending ? platform::Timeout(kLiveTimeout) : platform::kInfinite, &err);
        if (w == Wake::Stop) return;
        if (w == Wake::Failed) {
            frame::ReportObject(kComponent, kSource, 842,
                                L"vemx::mediaqueue::MediaQueue::Main_Live", this,
                                L"WaitForMultipleObjects failed, err=" + std::to_wstring(err));
            return;
        }
        // A backlog of signalled packets is taken off under one lock: the
        // same packets in the same order as one wake-up each, without a
        // lock round trip per packet.
        const size_t wanted = w == Wake::Packet ? 1 + TakeSignals(batch.size() - 1) : 1;
        size_t taken = 0;
        Handlers h;
        {
            std::lock_guard lock(items_lock_);
            while (taken < wanted && !items_.empty()) {
                std::pop_heap(items_.begin(), items_.end(), LaterPts{});
                batch[taken++] = items_.back();
                items_.pop_back();
            }
            pending = !items_.empty();
            h = handlers_;
        }
        for (size_t i = 0; i < taken; ++i) {
            if (i > 0 && stopping_.load(std::memory_order_acquire)) {
                // Stop comes first, as it would at the next wake-up: the
                // rest goes back for the ending steps to release.
                std::lock_guard lock(items_lock_);
                for (; i < taken; ++i) {
                    items_.push_back(batch[i]);
                    std::push_heap(items_.begin(), items_.end(), LaterPts{});
                }
                return;
            }
            Deliver(batch[i], h);
        }
    }
}

}  // namespace vemx::mediaqueue
