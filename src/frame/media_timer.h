#pragma once
// A scheduler that hands items to its owner at given stream times.  Stream
// time 0 lies at the owner's base time on the owner's reference clock.  One
// one-shot clock advice is kept pending, for the earliest due time; items
// due at the same time share one entry and one wake-up.
//
// The lock is private and never held while the owner is called, and only
// Stop (and destruction) waits for the timer thread, so an owner may call
// any other operation from anywhere, holding any lock of its own, without
// a deadlock.  A typical owner keeps a few due times queued:
//
//     while (timer.PendingCount() < 4 && next sample) timer.Schedule(t, item);
//
// from one filling thread, again whenever OnRelease hands an item back.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/LazyWindow.h"
#include "platform/refclock.h"

namespace VIZur {

class MediaTimer : private Service {
  public:
    using Clock = vemx::platform::ReferenceClock;

    ~MediaTimer() override;

    // The owner's clock; required before Schedule.
    void SetClock(std::shared_ptr<Clock> clock);
    std::shared_ptr<Clock> GetClock() const;
    // The clock time at which stream time 0 lies.
    void SetBaseTime(int64_t base) noexcept { base_time_.store(base); }
    int64_t BaseTime() const noexcept { return base_time_.load(); }

    // Runs the timer on a service thread of its own.
    void Start();
    // Flush, then ends the thread; every item has been handed back when this
    // returns.  Waits for the thread: not from OnTimer or OnRelease (refused
    // there with an error line), nor holding a lock that they take.
    void Stop();

    // Queues item for stream time `time`; a time whose clock time lies past
    // the clock's range (INT64_MAX, say) is never due.  Without a clock,
    // raises E_POINTER.  Any thread, also from OnTimer and OnRelease.
    void Schedule(int64_t time, int64_t item);

    // Takes every queued item off at once (none reaches OnTimer after this
    // returns) and cancels the pending advice.  The items go to OnRelease on
    // the timer's thread while it has one, without this call waiting for
    // them, and before anything scheduled later is delivered; without a
    // thread, on the calling thread before this returns.  Any thread.
    void Flush();

    // Clock time minus base time; 0 when the clock cannot be read.
    int64_t GetStreamTime() const;

    // Distinct due times still queued.  Lock-free; any thread.
    size_t PendingCount() const noexcept { return pending_.load(std::memory_order_acquire); }

  protected:
    MediaTimer();

    // At an entry's time, for each of its items in scheduling order, on the
    // timer thread, without the lock: lateness = now - time.
    virtual void OnTimer(int64_t time, int64_t item, int64_t lateness) = 0;
    // Once for every item the timer lets go of, after OnTimer or instead of it.
    virtual void OnRelease(int64_t item) = 0;

  private:
    struct TimerEntry {
        int64_t time;
        std::vector<int64_t> items;
    };
    using Entries = std::deque<TimerEntry>;
    class ReleaseRequest;

    void Run() override;
    intptr_t OnCommand(uint32_t command, CommandRequest* request) override;

    void Deliver();
    // Runs the releases of earlier flushes still queued for this thread.
    void RunPendingReleases();
    void ReleaseAll(const Entries& entries);
    // With the lock held.
    void Arm(int64_t time);
    void Disarm() noexcept;
    void Counted() noexcept { pending_.store(entries_.size(), std::memory_order_release); }

    std::shared_ptr<Clock> clock_;
    std::atomic<int64_t> base_time_{0};
    std::atomic<int> own_thread_{0};
    vemx::platform::Event timer_event_;
    Clock::Cookie cookie_ = 0;
    int64_t advised_time_ = 0;
    Entries entries_;
    std::atomic<size_t> pending_{0};
    mutable std::mutex lock_;
};

// Forwards OnTimer and OnRelease to two member functions of a target object.
template <class T>
class media_timer_t final : public MediaTimer {
  public:
    using timer_fn = void (T::*)(int64_t time, int64_t item, int64_t lateness);
    using release_fn = void (T::*)(int64_t item);

    media_timer_t(T* target, timer_fn on_timer, release_fn on_release)
        : target_(target), on_timer_(on_timer), on_release_(on_release) {}
    ~media_timer_t() override { Stop(); }

  private:
    void OnTimer(int64_t time, int64_t item, int64_t lateness) override {
        (target_->*on_timer_)(time, item, lateness);
    }
    void OnRelease(int64_t item) override { (target_->*on_release_)(item); }

    T* target_;
    timer_fn on_timer_;
    release_fn on_release_;
};

}  // namespace VIZur
