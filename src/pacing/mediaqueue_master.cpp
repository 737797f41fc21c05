// Master playout: paces packets by their pts against the arrival offset it
// estimates, and publishes that estimate to its slaves.
#include "pacing/mediaqueue_playout.h"

#include <algorithm>

namespace vemx::mediaqueue {

using frame::LogPrint;

void MediaQueue::Main_Master1() {
    LogPrint("INFO[mediaq] ", "MASTER1 MODE[%d], thread started", instance_);
    if (log_enabled_) {
        thread_log_.emplace(LogName(instance_, "-thread"));
        thread_log_->Write(Now(), "Master mode");
    }
    try {
        Pacer pacer(*this, 888, 891);
        pacer.Start();

        MovingAverage window;
        bool reset = true;
        int64_t last_pts = 0, last_now = 0, last_recv = 0;
        for (;;) {
            if (!PacedWait(pacer, 911, L"vemx::mediaqueue::MediaQueue::Main_Master1")) break;

            const int64_t now = Now();
            int64_t wake_at = -1;  // none: the queue is empty
            for (;;) {
                std::unique_lock lock(items_lock_);
                if (items_.empty()) break;
                const int64_t pts = items_.front().pts;
                const int64_t recv_ts = items_.front().recv_ts;
                if (reset) {
                    window.reset(Difference(pts, recv_ts) / 1e7);
                    last_recv = recv_ts;
                    last_pts = pts;
                    last_now = now;
                    reset = false;
                } else if (Within(pts, last_pts, kSecond) && Within(now, last_now, kSecond)) {
                    last_pts = pts;
                    last_now = now;
                } else {
                    if (thread_log_)
                        thread_log_->Write(
                            now,
                            "%s(%d): packet pts or real ts rewinds, pts=%.2f, last_pts=%.2f "
                            "last_real_ts=%.2f",
                            "vemx::mediaqueue::MediaQueue::Main_Master1", 948, pts / 10000.0,
                            last_pts / 10000.0, last_now / 10000.0);
                    reset = true;
                    continue;
                }
                const double mean = window.mean();
                PublishRemote(mean);
                const int32_t delay = delay_.load(std::memory_order_relaxed);
                const int64_t deadline = Deadline(mean, now, delay);
                if (deadline < pts) {
                    wake_at = std::min(DueTime(mean, delay, pts), last_now + kKeepAlive);
                    break;
                }
                std::pop_heap(items_.begin(), items_.end(), LaterPts{});
                const QueueItem item = items_.back();
                items_.pop_back();
                const size_t qsize = items_.size();
                const Handlers h = handlers_;
                lock.unlock();

                if (item.recv_ts - last_recv >= kSampleSpacing)
                    window.add(Difference(item.pts, item.recv_ts) / 1e7);
                last_recv = item.recv_ts;
                last_delivered_pts_.store(item.pts, std::memory_order_relaxed);
                Deliver(item, h);
                LogPaced(now, qsize, deadline, item);
            }
            if (wake_at >= 0)
                pacer.Arm(wake_at);
            else
                pacer.Disarm();
        }
    } catch (const std::exception&) {
        // Reported where raised; the thread ends through its usual steps.
    }
    LogPrint("INFO[mediaq] ", "MASTER1 MODE[%d], thread ended", instance_);
    thread_log_.reset();
}

}  // namespace vemx::mediaqueue
