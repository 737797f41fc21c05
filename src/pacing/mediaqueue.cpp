#include "pacing/mediaqueue.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <limits>
#include <span>
#include <string>

#include "frame/vemx.h"
#include "pacing/mediaqueue_playout.h"
#include "platform/clock.h"

namespace vemx::mediaqueue {

using frame::LogPrint;
using platform::Waitable;

namespace {

std::atomic<int32_t> g_instances{0};

int NoCallback(void*, void*, int) {
    return 0;
}
int NoRelease(void*, void*) {
    return 0;
}

// The playout clock unless a test substitutes one.
std::shared_ptr<platform::ReferenceClock> SystemClock() {
    frame::HRESULT hr = frame::E_FAIL;
    auto clock = platform::ReferenceClock::Create(&hr);
    if (!clock) frame::RaiseComError(hr, kSource, __LINE__);
    return clock;
}

// Items in pts order, earliest first.
void SortByPts(std::vector<QueueItem>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const QueueItem& a, const QueueItem& b) { return a.pts < b.pts; });
}

uintptr_t Address(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

// The queue whose playout thread is the calling thread.
thread_local const MediaQueue* t_playing = nullptr;

}  // namespace

MediaQueue::MediaQueue() : MediaQueue(frame::EnableLogFile() != 0) {}

MediaQueue::MediaQueue(bool log_enabled)
    : origin_(platform::monotonic_100ns()),
      instance_(g_instances.fetch_add(1, std::memory_order_relaxed) + 1),
      remote_time_(std::numeric_limits<double>::quiet_NaN()),
      log_enabled_(log_enabled),
      clock_source_(SystemClock) {
    handlers_ = {NoCallback, NoRelease, nullptr};
    if (log_enabled_) {
        LogPrint("DEBUG[mediaq] ", "ENABLE_LOG_FILE is ON");
        log_.emplace(LogName(instance_, ""));
    }
}

MediaQueue::~MediaQueue() {
    Uninit();
}

int64_t MediaQueue::Now() const noexcept {
    return platform::monotonic_100ns() - origin_;
}

void MediaQueue::SetMaster(MediaQueue* master) {
    if (master == this) master = nullptr;
    if (master) master->AddRef();
    MediaQueue* previous;
    {
        std::lock_guard lock(master_lock_);
        previous = master_;
        master_ = master;
    }
    if (previous) previous->Release();
}

void MediaQueue::SetDelay(int32_t delay_ms) {
    delay_.store(delay_ms, std::memory_order_relaxed);
    frame::InfoLine(kComponent,
                    Numbered(L"MQ[", instance_, L"]: delay = ") + std::to_wstring(delay_ms));
    wake_.set();  // the pending due time may have moved
}

void MediaQueue::SetMaxQueueSize(int32_t size) {
    max_queue_size_.store(size, std::memory_order_relaxed);
    frame::InfoLine(kComponent,
                    Numbered(L"MQ[", instance_, L"]: maxQueueSize = ") + std::to_wstring(size));
}

void MediaQueue::SetEnableResetTimer(int32_t enable) {
    enable_reset_timer_.store(enable, std::memory_order_relaxed);
    frame::InfoLine(kComponent, Numbered(L"MQ[", instance_, L"]: enableResetTimer = ") +
                                    std::to_wstring(enable));
}

void MediaQueue::SetCallback(CallbackFn callback, ReleaseFn release, void* context) {
    std::lock_guard lock(items_lock_);
    handlers_ = {callback ? callback : NoCallback, release ? release : NoRelease, context};
}

size_t MediaQueue::QueuedCount() {
    std::lock_guard lock(items_lock_);
    return items_.size();
}

bool MediaQueue::Init() {
    if (thread_.joinable()) return false;
    MediaQueue* master;
    {
        std::lock_guard lock(master_lock_);
        master = master_;
        if (master) master->AddRef();  // the thread's own reference
    }
    const int32_t delay = delay_.load(std::memory_order_relaxed);
    const int32_t live = live_mode_.load(std::memory_order_relaxed);
    if (log_) {
        std::lock_guard lock(log_lock_);
        log_->Write(Now(),
                    "Init, master=0x%016" PRIXPTR
                    ", delay=%d, maxQueueSize=%d, enableResetTimer=%d, liveMode=%d",
                    Address(master), delay, max_queue_size_.load(std::memory_order_relaxed),
                    enable_reset_timer_.load(std::memory_order_relaxed), live);
    }
    {
        // Packets queued before now released no signal.
        std::lock_guard lock(items_lock_);
        playing_ = true;
        signals_.store(0, std::memory_order_relaxed);
    }
    stopping_.store(false, std::memory_order_relaxed);
    bell_.reset();
    wake_.reset();
    try {
        std::lock_guard start(start_lock_);
        thread_ = std::thread(&MediaQueue::ThreadMain, this, live != 0 || delay < 0, master);
        return true;
    } catch (const std::exception&) {
        if (master) master->Release();
        return false;
    }
}

void MediaQueue::Uninit() {
    if (t_playing == this) {
        frame::ReportObject(kComponent, kSource, __LINE__, L"vemx::mediaqueue::MediaQueue::Uninit",
                            this, L"called from the playout thread");
        return;
    }
    if (log_) {
        MediaQueue* master;
        {
            std::lock_guard lock(master_lock_);
            master = master_;
        }
        std::lock_guard lock(log_lock_);
        log_->Write(Now(),
                    "Uninit, master=0x%016" PRIXPTR
                    ", delay=%d, maxQueueSize=%d, enableResetTimer=%d, liveMode=%d",
                    Address(master), delay_.load(std::memory_order_relaxed),
                    max_queue_size_.load(std::memory_order_relaxed),
                    enable_reset_timer_.load(std::memory_order_relaxed),
                    live_mode_.load(std::memory_order_relaxed));
    }
    if (thread_.joinable()) {
        stopping_.store(true, std::memory_order_seq_cst);
        bell_.set();
        thread_.join();
    }
    SetMaster(nullptr);
    std::vector<QueueItem> rest;
    Handlers h;
    {
        std::lock_guard lock(items_lock_);
        playing_ = false;
        rest.swap(items_);
        h = handlers_;
    }
    SortByPts(rest);
    for (const auto& item : rest) h.release(item.packet, h.context);
}

void MediaQueue::Enqueue(void* packet, uint64_t size, int64_t pts) {
    const int64_t recv_ts = Now();
    const int32_t max = max_queue_size_.load(std::memory_order_relaxed);
    size_t count;
    bool ring = false;
    std::vector<QueueItem> dropped;
    Handlers h;
    {
        std::lock_guard lock(items_lock_);
        count = items_.size();
        // Compared unsigned: a negative size never fills the queue.
        if (count <= static_cast<size_t>(static_cast<int64_t>(max))) {
            items_.push_back({packet, size, pts, recv_ts});
            std::push_heap(items_.begin(), items_.end(), LaterPts{});
            if (playing_) {
                // Paired with the playout thread's store to sleeping_ and
                // load of signals_: one of the two sides sees the other.
                // Of several producers, one rings per sleep.
                signals_.fetch_add(1, std::memory_order_seq_cst);
                ring = sleeping_.load(std::memory_order_seq_cst) &&
                       sleeping_.exchange(false, std::memory_order_seq_cst);
            }
        } else {
            frame::ReportShort(kComponent, Numbered(L"MQ[", instance_, L"]: buffer overflow[") +
                                               std::to_wstring(count) + L"], CLEAR ALL");
            dropped.swap(items_);
            h = handlers_;
        }
    }
    if (ring) bell_.set();
    const bool overflow = count > static_cast<size_t>(static_cast<int64_t>(max));
    if (overflow) {
        // Released outside the lock so that a release function may enqueue.
        SortByPts(dropped);
        for (const auto& item : dropped) h.release(item.packet, h.context);
    }
    if (log_) {
        std::lock_guard lock(log_lock_);
        log_->Write(recv_ts, "Enqueue, pkt={ .size=%u, pts=%.2f, recv_ts=%.2f }, qSize=%u/%d%s",
                    static_cast<uint32_t>(size), pts / 10000.0, recv_ts / 10000.0,
                    static_cast<uint32_t>(count), max,
                    overflow ? ", buffer overflow, clear all" : "");
    }
}

void MediaQueue::Deliver(const QueueItem& item, const Handlers& h) {
    h.callback(item.packet, h.context, 0);
    h.release(item.packet, h.context);
}

void MediaQueue::PublishRemote(double mean) {
    const double previous = remote_time_.exchange(mean, std::memory_order_acq_rel);
    if (previous == mean) return;  // NaN never compares equal: the first estimate wakes slaves
    std::lock_guard lock(followers_lock_);
    for (MediaQueue* slave : followers_) slave->wake_.set();
}

void MediaQueue::AddFollower(MediaQueue* slave) {
    std::lock_guard lock(followers_lock_);
    followers_.push_back(slave);
}

void MediaQueue::RemoveFollower(MediaQueue* slave) {
    std::lock_guard lock(followers_lock_);
    const auto it = std::find(followers_.begin(), followers_.end(), slave);
    if (it != followers_.end()) followers_.erase(it);
}

uint64_t MediaQueue::TakeSignals(uint64_t max) noexcept {
    uint64_t n = signals_.load(std::memory_order_relaxed);
    while (n > 0) {
        const uint64_t take = std::min(n, max);
        if (signals_.compare_exchange_weak(n, n - take, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return take;
    }
    return 0;
}

MediaQueue::Wake MediaQueue::WaitForWork(Waitable* clock, platform::Timeout timeout, int* err) {
    for (;;) {
        if (stopping_.load(std::memory_order_acquire)) return Wake::Stop;
        if (TakeSignals(1)) return Wake::Packet;
        sleeping_.store(true, std::memory_order_seq_cst);
        if (stopping_.load(std::memory_order_seq_cst) ||
            signals_.load(std::memory_order_seq_cst) > 0) {
            sleeping_.store(false, std::memory_order_relaxed);
            continue;
        }
        Waitable* const objects[] = {&bell_, clock, &wake_};
        const int r = platform::wait_any(std::span(objects, clock ? 3 : 1), timeout);
        *err = errno;
        sleeping_.store(false, std::memory_order_relaxed);
        wakeups_.fetch_add(1, std::memory_order_relaxed);
        switch (r) {
            case 0:
                continue;  // stop or packet: the flags tell
            case 1:
                return Wake::Clock;
            case 2:
                return Wake::Notify;
            case platform::kWaitTimeout:
                return Wake::Timeout;
            default:
                return Wake::Failed;
        }
    }
}

bool MediaQueue::PacedWait(Pacer& pacer, int line, const wchar_t* function) {
    int err = 0;
    const Wake w = WaitForWork(pacer.event(), platform::kInfinite, &err);
    if (w == Wake::Stop) return false;
    if (w == Wake::Failed) {
        frame::ReportObject(kComponent, kSource, line, function, this,
                            L"WaitForMultipleObjects failed, err=" + std::to_wstring(err));
        return false;
    }
    if (w == Wake::Clock) pacer.Fired();
    return true;
}

void MediaQueue::ThreadMain(bool live, MediaQueue* master) {
    t_playing = this;
    // A callback that releases the queue's last reference defers its end.
    const frame::ServingThread serving(this);
    { const std::lock_guard published(start_lock_); }
    try {
        if (live)
            Main_Live();
        else if (master)
            Main_Slave1(master);
        else
            Main_Master1();
    } catch (...) {
        // Whatever ended the body, the packets still queued go back below.
    }
    std::vector<QueueItem> rest;
    Handlers h;
    {
        std::lock_guard lock(items_lock_);
        rest.swap(items_);
        h = handlers_;
    }
    SortByPts(rest);
    for (const auto& item : rest) h.release(item.packet, h.context);
    if (master) master->Release();
}

void MediaQueue::LogPaced(int64_t now, size_t qsize, int64_t deadline, const QueueItem& item) {
    if (thread_log_)
        thread_log_->Write(now, "qsize=%u, remote_time=%.2f, pkt0={.pts=%.2f, .recv_ts=%.2f}",
                           static_cast<uint32_t>(qsize), deadline / 10000.0, item.pts / 10000.0,
                           item.recv_ts / 10000.0);
}

}  // namespace vemx::mediaqueue
