#pragma once
// A scheduler that hands items to its owner at given stream times.  Stream
// time 0 lies at the owner's base time on the owner's reference clock.  One
// one-shot clock advice is kept pending, for the earliest due time; items
// due at the same time share one entry and one wake-up.
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
    // Flush, then ends the thread.
    void Stop();

    // Queues item for stream time `time`.  Without a clock, raises E_POINTER.
    // Any thread, also from OnTimer and OnRelease.
    void Schedule(int64_t time, int64_t item);

    // Hands every queued item to OnRelease (none to OnTimer) and cancels the
    // pending advice.  Runs on the timer's thread while it has one.
    void Flush();

    // Clock time minus base time; 0 when the clock cannot be read.
    int64_t GetStreamTime() const;

    // Distinct due times still queued.  The lock is recursive, so an owner
    // may hold it across reading this and scheduling.
    size_t PendingCount() const;
    std::recursive_mutex& Lock() const noexcept { return lock_; }

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

    void Run() override;
    intptr_t OnCommand(uint32_t command, CommandRequest* request) override;

    void Deliver();
    // With the lock held.
    void Arm(int64_t time);
    void Disarm() noexcept;
    void Clear();

    std::shared_ptr<Clock> clock_;
    std::atomic<int64_t> base_time_{0};
    std::atomic<int> own_thread_{0};
    vemx::platform::Event timer_event_;
    Clock::Cookie cookie_ = 0;
    int64_t advised_time_ = 0;
    std::deque<TimerEntry> entries_;
    mutable std::recursive_mutex lock_;
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
