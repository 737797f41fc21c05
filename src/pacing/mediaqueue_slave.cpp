// Slave playout: paces packets by the offset its master publishes.
#include "pacing/mediaqueue_playout.h"

#include <cmath>

namespace vemx::mediaqueue {

using frame::LogPrint;

void MediaQueue::Main_Slave1(MediaQueue* master) {
    LogPrint("INFO[mediaq] ", "SLAVE1 MODE[%d], thread started", instance_);
    if (log_enabled_) {
        thread_log_.emplace(LogName(instance_, "-thread"));
        thread_log_->Write(Now(), "Slave mode");
    }
    try {
        // The master wakes us whenever its estimate changes.
        master->AddFollower(this);
        Pacer pacer(*this, 1046, 1049);
        pacer.Start();
        for (;;) {
            if (!PacedWait(pacer, 1062, L"vemx::mediaqueue::MediaQueue::Main_Slave1")) break;

            const int64_t now = Now();
            int64_t wake_at = -1;
            for (;;) {
                const double remote = master->RemoteTime();
                if (std::isnan(remote)) break;
                std::unique_lock lock(items_lock_);
                if (items_.empty()) break;
                const int64_t pts = items_.front().pts;
                const int32_t delay = delay_.load(std::memory_order_relaxed);
                const int64_t deadline = Deadline(remote, now, delay);
                if (deadline < pts) {
                    wake_at = DueTime(remote, delay, pts);
                    break;
                }
                std::pop_heap(items_.begin(), items_.end(), LaterPts{});
                const QueueItem item = items_.back();
                items_.pop_back();
                const size_t qsize = items_.size();
                const Handlers h = handlers_;
                lock.unlock();
                last_delivered_pts_.store(item.pts, std::memory_order_relaxed);

                if (now - last_sync_report_ > kSyncReportInterval) {
                    const int64_t master_pts = master->LastDeliveredPts();
                    LogPrint("INFO[mediaq] ", "Sync[%d/%d]: master=%.2fms, diff=%.2fms",
                             master->Instance(), instance_, master_pts / 10000.0,
                             Difference(master_pts, item.pts) / 10000.0);
                    last_sync_report_ = now;
                }
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
    master->RemoveFollower(this);
    LogPrint("INFO[mediaq] ", "SLAVE1 MODE[%d], thread ended", instance_);
    thread_log_.reset();
}

}  // namespace vemx::mediaqueue
