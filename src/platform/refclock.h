#pragma once
// The system reference clock: a monotonic 100-ns clock that signals events
// and semaphores at requested times.  All clocks share one timer thread with
// a deadline-ordered set of advices; it exists only while some clock does and
// sleeps until the earliest advice is due, so idle clocks cost nothing.
#include <cstdint>
#include <memory>

#include "platform/hresult.h"
#include "platform/waitable.h"

namespace vemx::platform {

class AdviseScheduler;

class ReferenceClock {
  public:
    using Cookie = uint64_t;

    // Null on failure, with the failing result in *status when given.
    static std::shared_ptr<ReferenceClock> Create(HRESULT* status = nullptr) noexcept;

    ReferenceClock(const ReferenceClock&) = delete;
    ReferenceClock& operator=(const ReferenceClock&) = delete;
    // Cancels every advice of this clock that is still pending.
    ~ReferenceClock();

    // Never goes backwards.
    HRESULT GetTime(int64_t* time) const noexcept;

    // Sets event once, when the clock reaches base + stream.  A time already
    // past fires at once.
    HRESULT AdviseTime(int64_t base, int64_t stream, Event* event, Cookie* cookie) noexcept;

    // Releases semaphore once per period from start on.  When the timer
    // thread falls behind, missed periods are skipped, not released in a burst.
    HRESULT AdvisePeriodic(int64_t start, int64_t period, Semaphore* semaphore,
                           Cookie* cookie) noexcept;

    // After this returns, the advice's object is not signalled again.
    HRESULT Unadvise(Cookie cookie) noexcept;

    // A one-shot advice owned by one waiting thread and re-armed in place:
    // the kernel signals it directly (a timerfd on the clock's time base),
    // so moving it costs one system call and no timer-thread round trip.
    // Waited on like any Waitable; acquiring it consumes the expiry.
    class Alarm final : public Waitable {
      public:
        // Signals once when the clock reaches time, replacing any pending
        // time and any expiry not yet acquired.  A time already past
        // signals at once.
        HRESULT Set(int64_t time) noexcept;
        // No signal follows, and an expiry not yet acquired is dropped.
        HRESULT Cancel() noexcept;
        bool try_acquire() noexcept override;

      private:
        friend class ReferenceClock;
        explicit Alarm(int fd) noexcept : Waitable(fd) {}
    };
    // Null on failure, with the failing result in *status when given.
    std::unique_ptr<Alarm> CreateAlarm(HRESULT* status = nullptr) noexcept;

  private:
    explicit ReferenceClock(std::shared_ptr<AdviseScheduler> scheduler);
    std::shared_ptr<AdviseScheduler> scheduler_;
};

}  // namespace vemx::platform
