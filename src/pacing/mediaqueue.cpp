#include "pacing/mediaqueue.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <string>

#include "frame/vemx.h"
#include "platform/clock.h"
#include "vemx/vemx_mediaqueue.h"

namespace vemx::mediaqueue {

using frame::LogPrint;
using platform::Waitable;

namespace {

constexpr int64_t kSecond = 10000000;
// Samples closer together than this in arrival time add nothing to the window.
constexpr int64_t kSampleSpacing = 80000;
constexpr int64_t kSyncReportInterval = 30000000;
// A master examination more than a second after the previous one resets the
// offset window.  While a packet waits longer than that for its time, the
// playout thread looks at it again at this interval so that the wait itself
// does not count as a gap.
constexpr int64_t kKeepAlive = kSecond / 2;
constexpr auto kLiveTimeout = std::chrono::milliseconds(100);

constexpr const wchar_t* kSource = L"mediaqueue";
constexpr const wchar_t* kComponent = L"mediaq";

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

struct LaterPts {
    bool operator()(const QueueItem& a, const QueueItem& b) const noexcept { return a.pts > b.pts; }
};

int64_t Saturate(double v) noexcept {
    constexpr double kLimit = 9223372036854775808.0;                // 2^63
    if (std::isnan(v)) return std::numeric_limits<int64_t>::min();  // never due
    if (v >= kLimit) return std::numeric_limits<int64_t>::max();
    if (v <= -kLimit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);  // truncates toward zero
}

int64_t SaturatingAdd(int64_t a, int64_t b) noexcept {
    int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

std::string LogName(int32_t instance, const char* suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "mediaqueue[%06d]%s", instance, suffix);
    return name;
}

std::wstring Numbered(const wchar_t* head, int64_t n, const wchar_t* tail) {
    std::wstring s(head);
    s += std::to_wstring(n);
    s += tail;
    return s;
}

// Items in pts order, earliest first.
void SortByPts(std::vector<QueueItem>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const QueueItem& a, const QueueItem& b) { return a.pts < b.pts; });
}

uintptr_t Address(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

// |a - b| <= limit, false when the difference does not even fit.
bool Within(int64_t a, int64_t b, int64_t limit) {
    int64_t d;
    if (__builtin_sub_overflow(a, b, &d)) return false;
    return d >= -limit && d <= limit;
}

// a - b as a double, exact wherever the integer difference fits.
double Difference(int64_t a, int64_t b) {
    int64_t d;
    if (__builtin_sub_overflow(a, b, &d)) return static_cast<double>(a) - static_cast<double>(b);
    return static_cast<double>(d);
}

// The queue whose playout thread is the calling thread.
thread_local const MediaQueue* t_playing = nullptr;

}  // namespace

void MovingAverage::reset(double v) {
    samples_.fill(v);
    oldest_ = 0;
    sum_ = static_cast<double>(kCapacity) * v;
}

void MovingAverage::add(double v) {
    sum_ -= samples_[oldest_];
    samples_[oldest_] = v;
    sum_ += v;
    oldest_ = (oldest_ + 1) % kCapacity;
}

int64_t Deadline(double remote, int64_t now, int32_t delay_ms) noexcept {
    const int64_t delay = static_cast<int64_t>(delay_ms) * 10000;
    return Saturate(remote * 1e7 + static_cast<double>(now) - static_cast<double>(delay));
}

int64_t DueTime(double remote, int32_t delay_ms, int64_t pts) noexcept {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    if (std::isnan(remote)) return kMax;
    auto due = [&](int64_t now) { return Deadline(remote, now, delay_ms) >= pts; };
    // The deadline never decreases as now grows, so bracket the answer
    // around the algebraic solution and narrow it down; rounding puts the
    // guess at most a unit or two off for any realistic time.
    const int64_t guess = Saturate(std::ceil(static_cast<double>(pts) - remote * 1e7 +
                                             static_cast<double>(delay_ms) * 10000.0));
    int64_t lo, hi;
    if (due(guess)) {
        hi = guess;
        for (int64_t step = 1;; step *= 2) {
            lo = SaturatingAdd(guess, -step);
            if (!due(lo)) break;
            if (lo == kMin || step > kMax / 2) return lo;
            hi = lo;
        }
    } else {
        lo = guess;
        for (int64_t step = 1;; step *= 2) {
            hi = SaturatingAdd(guess, step);
            if (due(hi)) break;
            if (hi == kMax || step > kMax / 2) return kMax;
            lo = hi;
        }
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (due(mid) ? hi : lo) = mid;
    }
    return hi;
}

// Wakes the playout thread at one queue time through an alarm of the
// reference clock.  Re-arming for the time already armed costs nothing, so a
// steady stream re-arms once per delivered packet.
class MediaQueue::Pacer {
  public:
    Pacer(MediaQueue& queue, int time_line, int advise_line)
        : queue_(queue), time_line_(time_line), advise_line_(advise_line) {}
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    void Start() {
        clock_ = queue_.clock_source_();
        int64_t t0 = 0;
        frame::HRESULT hr = clock_->GetTime(&t0);
        if (hr < 0) frame::RaiseComError(hr, kSource, time_line_);
        alarm_ = clock_->CreateAlarm(&hr);
        if (!alarm_) frame::RaiseComError(hr, kSource, time_line_);
    }

    Waitable* event() { return alarm_.get(); }
    // The alarm was acquired: it is spent.
    void Fired() { armed_ = false; }

    // Queue time at; the queue clock and the reference clock share their
    // time base, offset by the queue's origin.
    void Arm(int64_t at) {
        if (at > std::numeric_limits<int64_t>::max() - queue_.origin_) {
            Disarm();  // beyond the clock's range: never
            return;
        }
        if (armed_ && at == at_) return;
        const frame::HRESULT hr = alarm_->Set(queue_.origin_ + at);
        if (hr < 0) frame::RaiseComError(hr, kSource, advise_line_);
        armed_ = true;
        at_ = at;
    }

    void Disarm() {
        if (!armed_) return;
        armed_ = false;
        alarm_->Cancel();
    }

  private:
    MediaQueue& queue_;
    const int time_line_;
    const int advise_line_;
    std::shared_ptr<platform::ReferenceClock> clock_;
    std::unique_ptr<platform::ReferenceClock::Alarm> alarm_;
    bool armed_ = false;
    int64_t at_ = 0;
};

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

void MediaQueue::LogPaced(int64_t now, size_t qsize, int64_t deadline, const QueueItem& item) {
    if (thread_log_)
        thread_log_->Write(now, "qsize=%u, remote_time=%.2f, pkt0={.pts=%.2f, .recv_ts=%.2f}",
                           static_cast<uint32_t>(qsize), deadline / 10000.0, item.pts / 10000.0,
                           item.recv_ts / 10000.0);
}

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

using vemx::frame::Guarded;
using vemx::mediaqueue::MediaQueue;

namespace {

MediaQueue* Queue(void* handle) {
    return vemx::frame::FromHandle<MediaQueue>(handle);
}

}  // namespace

VEMX_EXPORT void* vemx_mediaqueue_new(void) {
    return Guarded("vemx_mediaqueue_new", static_cast<void*>(nullptr), [] {
        vemx::frame::GlobalInit();
        return vemx::frame::NewHandle<MediaQueue>();
    });
}

VEMX_EXPORT void vemx_mediaqueue_add_ref(void* queue) {
    Guarded("vemx_mediaqueue_add_ref", [&] { vemx::frame::AddRefHandle(queue); });
}

VEMX_EXPORT void vemx_mediaqueue_release(void* queue) {
    Guarded("vemx_mediaqueue_release", [&] { vemx::frame::ReleaseHandle(queue); });
}

VEMX_EXPORT void vemx_mediaqueue_set_master(void* queue, void* master) {
    Guarded("vemx_mediaqueue_set_master", [&] {
        if (queue) Queue(queue)->SetMaster(master ? Queue(master) : nullptr);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_delay(void* queue, int32_t delay_ms) {
    Guarded("vemx_mediaqueue_set_delay", [&] {
        if (queue) Queue(queue)->SetDelay(delay_ms);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_max_queue_size(void* queue, int32_t max_queue_size) {
    Guarded("vemx_mediaqueue_set_max_queue_size", [&] {
        if (queue) Queue(queue)->SetMaxQueueSize(max_queue_size);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_enable_reset_timer(void* queue, int32_t enable) {
    Guarded("vemx_mediaqueue_set_enable_reset_timer", [&] {
        if (queue) Queue(queue)->SetEnableResetTimer(enable);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_callback(void* queue, vemx_mediaqueue_callback_fn callback,
                                              vemx_mediaqueue_release_fn release, void* context) {
    Guarded("vemx_mediaqueue_set_callback", [&] {
        if (queue) Queue(queue)->SetCallback(callback, release, context);
    });
}

VEMX_EXPORT void vemx_mediaqueue_set_live_mode(void* queue, int32_t live) {
    Guarded("vemx_mediaqueue_set_live_mode", [&] {
        if (queue) Queue(queue)->SetLiveMode(live);
    });
}

VEMX_EXPORT int32_t vemx_mediaqueue_init(void* queue) {
    return Guarded("vemx_mediaqueue_init", int32_t{0},
                   [&] { return queue && Queue(queue)->Init() ? 1 : 0; });
}

VEMX_EXPORT void vemx_mediaqueue_uninit(void* queue) {
    Guarded("vemx_mediaqueue_uninit", [&] {
        if (queue) Queue(queue)->Uninit();
    });
}

VEMX_EXPORT void vemx_mediaqueue_enqueue(void* queue, void* packet, uint64_t size, int64_t pts) {
    // The handle must be valid; a null one is ignored rather than crashed on.
    Guarded("vemx_mediaqueue_enqueue", [&] {
        if (queue) Queue(queue)->Enqueue(packet, size, pts);
    });
}
