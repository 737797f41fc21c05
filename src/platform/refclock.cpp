#include "platform/refclock.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/clock.h"

namespace vemx::platform {

class AdviseScheduler {
  public:
    AdviseScheduler() : thread_([this] { Run(); }) {}

    ~AdviseScheduler() {
        {
            std::lock_guard lock(lock_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    static std::shared_ptr<AdviseScheduler> Shared() {
        static std::mutex lock;
        static std::weak_ptr<AdviseScheduler> current;
        std::lock_guard guard(lock);
        auto s = current.lock();
        if (!s) {
            s = std::make_shared<AdviseScheduler>();
            current = s;
        }
        return s;
    }

    ReferenceClock::Cookie Add(const void* owner, int64_t due, int64_t period, Waitable* target) {
        std::lock_guard lock(lock_);
        const ReferenceClock::Cookie id = ++last_id_;
        advices_.emplace(id, Advice{owner, due, period, target});
        const bool earliest = queue_.empty() || due < queue_.begin()->first;
        queue_.emplace(due, id);
        if (earliest) wake_.notify_one();
        return id;
    }

    bool Remove(ReferenceClock::Cookie id) {
        std::lock_guard lock(lock_);
        auto it = advices_.find(id);
        if (it == advices_.end()) return false;
        queue_.erase({it->second.due, id});
        advices_.erase(it);
        return true;
    }

    void RemoveAll(const void* owner) {
        std::lock_guard lock(lock_);
        for (auto it = advices_.begin(); it != advices_.end();) {
            if (it->second.owner == owner) {
                queue_.erase({it->second.due, it->first});
                it = advices_.erase(it);
            } else {
                ++it;
            }
        }
    }

  private:
    struct Advice {
        const void* owner;
        int64_t due;
        int64_t period;  // 0 for a one-shot advice
        Waitable* target;
    };

    static void Signal(Waitable* target, bool periodic) {
        // The kinds are fixed by the advise call that stored them.
        if (periodic)
            static_cast<Semaphore*>(target)->release();
        else
            static_cast<Event*>(target)->set();
    }

    void Run() {
        std::unique_lock lock(lock_);
        while (!stop_) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const int64_t due = queue_.begin()->first;
            const int64_t now = monotonic_100ns();
            if (due > now) {
                if (due >= kNever100ns) {
                    // Only a new earlier advice or the end can wake us.
                    wake_.wait(lock);
                } else {
                    // steady_clock is CLOCK_MONOTONIC, the clock of monotonic_100ns.
                    wake_.wait_until(lock, std::chrono::steady_clock::time_point(
                                               std::chrono::nanoseconds(due * 100)));
                }
                continue;
            }
            // Signalling under the lock is what lets Unadvise promise that no
            // signal follows it; eventfd writes do not block.
            while (!queue_.empty() && queue_.begin()->first <= now) {
                const auto id = queue_.begin()->second;
                queue_.erase(queue_.begin());
                auto it = advices_.find(id);
                Advice& a = it->second;
                Signal(a.target, a.period > 0);
                if (a.period > 0) {
                    // now >= a.due >= 0 here, so the difference cannot overflow.
                    const int64_t missed = (now - a.due) / a.period;
                    a.due = saturating_add(a.due, saturating_mul(missed + 1, a.period));
                    queue_.emplace(a.due, id);
                } else {
                    advices_.erase(it);
                }
            }
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    ReferenceClock::Cookie last_id_ = 0;
    std::set<std::pair<int64_t, ReferenceClock::Cookie>> queue_;
    std::unordered_map<ReferenceClock::Cookie, Advice> advices_;
    std::thread thread_;  // last: starts after the state above exists
};

namespace {

// Stores the result where the caller asked for it.
void Tell(HRESULT* status, HRESULT hr) noexcept {
    if (status) *status = hr;
}

}  // namespace

std::shared_ptr<ReferenceClock> ReferenceClock::Create(HRESULT* status) noexcept {
    try {
        auto clock = std::shared_ptr<ReferenceClock>(new ReferenceClock(AdviseScheduler::Shared()));
        Tell(status, S_OK);
        return clock;
    } catch (const std::bad_alloc&) {
        Tell(status, E_OUTOFMEMORY);
    } catch (...) {
        Tell(status, E_FAIL);  // the timer thread could not start
    }
    return nullptr;
}

ReferenceClock::ReferenceClock(std::shared_ptr<AdviseScheduler> scheduler)
    : scheduler_(std::move(scheduler)) {}

ReferenceClock::~ReferenceClock() {
    scheduler_->RemoveAll(this);
}

HRESULT ReferenceClock::GetTime(int64_t* time) const noexcept {
    if (!time) return E_POINTER;
    *time = monotonic_100ns();
    return S_OK;
}

HRESULT ReferenceClock::AdviseTime(int64_t base, int64_t stream, Event* event,
                                   Cookie* cookie) noexcept {
    if (!event || !cookie) return E_POINTER;
    if (base < 0 || stream < 0 || base > INT64_MAX - stream) return E_INVALIDARG;
    try {
        *cookie = scheduler_->Add(this, base + stream, 0, event);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT ReferenceClock::AdvisePeriodic(int64_t start, int64_t period, Semaphore* semaphore,
                                       Cookie* cookie) noexcept {
    if (!semaphore || !cookie) return E_POINTER;
    if (start < 0 || period <= 0) return E_INVALIDARG;
    try {
        *cookie = scheduler_->Add(this, start, period, semaphore);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT ReferenceClock::Unadvise(Cookie cookie) noexcept {
    return scheduler_->Remove(cookie) ? S_OK : E_FAIL;
}

std::unique_ptr<ReferenceClock::Alarm> ReferenceClock::CreateAlarm(HRESULT* status) noexcept {
    // CLOCK_MONOTONIC is the time base of GetTime.
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        Tell(status, E_FAIL);
        return nullptr;
    }
    std::unique_ptr<Alarm> alarm(new (std::nothrow) Alarm(fd));
    if (!alarm) close(fd);
    Tell(status, alarm ? S_OK : E_OUTOFMEMORY);
    return alarm;
}

HRESULT ReferenceClock::Alarm::Set(int64_t time) noexcept {
    if (time < 0) return E_INVALIDARG;
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(time / 10000000);
    setting.it_value.tv_nsec = static_cast<long>(time % 10000000) * 100;
    // An all-zero value would disarm; time 0 is long past anyway.
    if (time == 0) setting.it_value.tv_nsec = 1;
    // Re-arming also clears an expiry nobody acquired.
    return timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0 ? S_OK : E_FAIL;
}

HRESULT ReferenceClock::Alarm::Cancel() noexcept {
    const itimerspec off{};
    return timerfd_settime(fd_, 0, &off, nullptr) == 0 ? S_OK : E_FAIL;
}

bool ReferenceClock::Alarm::try_acquire() noexcept {
    uint64_t expirations;
    return read(fd_, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations);
}

}  // namespace vemx::platform
