#pragma once
// The media queue: a pts-ordered jitter buffer with its own playout thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "frame/handle.h"
#include "frame/log.h"
#include "pacing/media_deadline.h"
#include "platform/refclock.h"
#include "platform/waitable.h"

namespace vemx::mediaqueue {

using CallbackFn = int (*)(void* packet, void* context, int arg);
using ReleaseFn = int (*)(void* packet, void* context);

struct QueueItem {
    void* packet;
    uint64_t size;
    int64_t pts;
    int64_t recv_ts;
};

class MediaQueue : public frame::RefCounted {
  public:
    // log_enabled defaults to the INI switch, read now.
    MediaQueue();
    explicit MediaQueue(bool log_enabled);
    ~MediaQueue() override;

    void SetMaster(MediaQueue* master);
    void SetDelay(int32_t delay_ms);
    void SetMaxQueueSize(int32_t size);
    void SetEnableResetTimer(int32_t enable);
    void SetCallback(CallbackFn callback, ReleaseFn release, void* context);
    void SetLiveMode(int32_t live) noexcept { live_mode_.store(live, std::memory_order_relaxed); }

    bool Init();
    void Uninit();
    void Enqueue(void* packet, uint64_t size, int64_t pts);

    // The queue's clock: 100-ns units since construction.
    int64_t Now() const noexcept;
    // Reference-clock time of queue time 0.
    int64_t Origin() const noexcept { return origin_; }
    int32_t Instance() const noexcept { return instance_; }
    // The master playout's current estimate of pts - arrival, in seconds;
    // NaN until known.
    double RemoteTime() const noexcept { return remote_time_.load(std::memory_order_acquire); }
    int64_t LastDeliveredPts() const noexcept {
        return last_delivered_pts_.load(std::memory_order_relaxed);
    }
    size_t QueuedCount();
    // Times the playout thread has woken from a wait, for measuring idle cost.
    uint64_t Wakeups() const noexcept { return wakeups_.load(std::memory_order_relaxed); }

    // Where master and slave playout get their reference clock (tests
    // replace it to exercise clock failures).  Set before Init.
    using ClockSource = std::function<std::shared_ptr<platform::ReferenceClock>()>;
    void SetClockSource(ClockSource source) { clock_source_ = std::move(source); }

  private:
    struct Handlers {
        CallbackFn callback;
        ReleaseFn release;
        void* context;
    };
    class Pacer;
    enum class Wake { Stop, Packet, Timeout, Clock, Notify, Failed };

    static void Deliver(const QueueItem& item, const Handlers& h);
    // The thread log's line for a packet delivered against a deadline.
    void LogPaced(int64_t now, size_t qsize, int64_t deadline, const QueueItem& item);
    void ReleaseAll(const Handlers& h);  // items lock held
    void PublishRemote(double mean);
    void AddFollower(MediaQueue* slave);
    void RemoveFollower(MediaQueue* slave);
    void QueueLog(int64_t ts, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Takes up to max packet signals; returns how many it took.
    uint64_t TakeSignals(uint64_t max) noexcept;
    // Waits as the playout bodies do, for stop, a packet, the clock (if
    // given) or a notification, in that order of precedence.  *err takes
    // errno when the wait fails.
    Wake WaitForWork(platform::Waitable* clock, platform::Timeout timeout, int* err);
    // The master and slave bodies' wait on their pacer: false when the body
    // is to end (stopped, or the wait failed and was reported with the
    // body's line and name).
    bool PacedWait(Pacer& pacer, int line, const wchar_t* function);

    void ThreadMain(bool live, MediaQueue* master);
    void Main_Live();
    void Main_Master1();
    void Main_Slave1(MediaQueue* master);

    std::mutex master_lock_;
    MediaQueue* master_ = nullptr;  // counted reference
    std::atomic<int32_t> delay_{0};
    std::atomic<int32_t> max_queue_size_{64};
    std::atomic<int32_t> enable_reset_timer_{0};
    std::atomic<int32_t> live_mode_{0};

    const int64_t origin_;
    std::thread thread_;
    // Held while thread_ is assigned; the thread takes it before it
    // delivers, so a callback that ends the queue finds thread_ set.
    std::mutex start_lock_;

    std::mutex items_lock_;
    std::vector<QueueItem> items_;  // heap, earliest pts on top
    // Read where items are taken off, so a delivery costs one lock.
    Handlers handlers_;
    // The packet semaphore and the stop event, kept in user space so that
    // an enqueue makes a system call only when the playout thread sleeps:
    // signals_ counts the packets accepted while playing_ (items_lock_).
    bool playing_ = false;
    alignas(64) std::atomic<uint64_t> signals_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> sleeping_{false};
    platform::Event bell_;  // rung for a sleeping playout thread
    // Re-examine now: the delay changed or the master published a new estimate.
    platform::Event wake_;

    const int32_t instance_;
    std::atomic<double> remote_time_;
    std::atomic<int64_t> last_delivered_pts_{0};
    int64_t last_sync_report_ = 0;  // playout thread only
    std::atomic<uint64_t> wakeups_{0};

    std::mutex followers_lock_;
    std::vector<MediaQueue*> followers_;

    const bool log_enabled_;
    std::mutex log_lock_;
    std::optional<frame::RollingLogFile> log_;
    std::optional<frame::RollingLogFile> thread_log_;  // playout thread only

    ClockSource clock_source_;
};

}  // namespace vemx::mediaqueue
