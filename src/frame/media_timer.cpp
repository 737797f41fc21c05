#include "frame/media_timer.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "frame/error.h"
#include "frame/log.h"
#include "platform/clock.h"

namespace VIZur {

using vemx::frame::ComError;
using vemx::frame::RaiseComError;

namespace {
constexpr uint32_t kReleaseCommand = 1;
}

// Carries flushed entries to the timer thread.  Should the command never
// run, the service thread still destroys the request, and nothing is lost.
class MediaTimer::ReleaseRequest final : public CommandRequest {
  public:
    ReleaseRequest(MediaTimer& timer, Entries entries)
        : timer_(timer), entries_(std::move(entries)) {}
    ~ReleaseRequest() override { Run(); }

    void Run() {
        Entries entries;
        entries.swap(entries_);
        timer_.ReleaseAll(entries);
    }
    Entries Take() noexcept { return std::move(entries_); }

  private:
    MediaTimer& timer_;
    Entries entries_;
};

MediaTimer::MediaTimer() = default;

MediaTimer::~MediaTimer() {
    // A derived class has already stopped the timer, so no callback can
    // reach the parts that are gone.
    Service::Stop();
    std::lock_guard guard(lock_);
    Disarm();
}

void MediaTimer::SetClock(std::shared_ptr<Clock> clock) {
    std::lock_guard guard(lock_);
    Disarm();
    clock_ = std::move(clock);
    if (!entries_.empty()) Arm(entries_.front().time);
}

std::shared_ptr<MediaTimer::Clock> MediaTimer::GetClock() const {
    std::lock_guard guard(lock_);
    return clock_;
}

void MediaTimer::Start() {
    own_thread_ = 1;
    Service::Start();
}

void MediaTimer::Stop() {
    if (OnServiceThread()) {
        // It would wait for itself.
        vemx::frame::ReportFunction(L"vemx", L"MediaTimer", __LINE__, L"VIZur::MediaTimer::Stop",
                                    L"called on the timer's own thread, ignored");
        return;
    }
    Flush();
    Service::Stop();
    own_thread_ = 0;
    // What the last callbacks scheduled goes back too.
    Flush();
}

int64_t MediaTimer::GetStreamTime() const {
    const auto clock = GetClock();
    int64_t now = 0;
    if (!clock || clock->GetTime(&now) < 0) return 0;
    return vemx::platform::saturating_sub(now, base_time_.load());
}

void MediaTimer::Schedule(int64_t time, int64_t item) {
    std::lock_guard guard(lock_);
    if (!clock_) RaiseComError(vemx::frame::E_POINTER, L"MediaTimer", __LINE__);
    auto it = std::lower_bound(entries_.begin(), entries_.end(), time,
                               [](const TimerEntry& e, int64_t t) { return e.time < t; });
    if (it != entries_.end() && it->time == time)
        it->items.push_back(item);
    else
        entries_.insert(it, TimerEntry{time, {item}});
    Counted();

    const int64_t front = entries_.front().time;
    if (cookie_ && advised_time_ <= front) return;
    Disarm();
    Arm(front);
}

void MediaTimer::Arm(int64_t time) {
    if (!clock_) RaiseComError(vemx::frame::E_POINTER, L"MediaTimer", __LINE__);
    const int64_t base = base_time_.load();
    Clock::Cookie cookie = 0;
    vemx::frame::HRESULT hr;
    if (base >= 0 && time >= 0 && base <= INT64_MAX - time) {
        hr = clock_->AdviseTime(base, time, &timer_event_, &cookie);
    } else {
        // Before the clock's zero or beyond its range: the nearest time it
        // has (the end of the range is never reached).
        const int64_t at = std::max<int64_t>(0, vemx::platform::saturating_add(base, time));
        hr = clock_->AdviseTime(0, at, &timer_event_, &cookie);
    }
    if (hr < 0) RaiseComError(hr, L"MediaTimer", __LINE__);
    cookie_ = cookie;
    advised_time_ = time;
}

void MediaTimer::Disarm() noexcept {
    if (!cookie_) return;
    // A cookie that already fired fails to cancel; its signal is cleared below.
    if (clock_) clock_->Unadvise(cookie_);
    cookie_ = 0;
    timer_event_.reset();
}

void MediaTimer::Flush() {
    Entries taken;
    {
        std::lock_guard guard(lock_);
        taken.swap(entries_);
        Counted();
        Disarm();
    }
    if (taken.empty()) return;
    if (own_thread_ && !OnServiceThread()) {
        // Posted, not sent: waiting for the timer thread here is what would
        // deadlock an owner whose callbacks take a lock it holds.
        try {
            auto request = std::make_unique<ReleaseRequest>(*this, std::move(taken));
            if (PostMessageW(Window(), WM_SERVICE_COMMAND + kReleaseCommand,
                             reinterpret_cast<uintptr_t>(request.get()), 0) == 0) {
                request.release();
                return;
            }
            taken = request->Take();
        } catch (const std::bad_alloc&) {
            // taken is intact: make_unique failed before moving from it.
        }
    }
    // No thread, or it is closing: released here, nothing is left behind.
    ReleaseAll(taken);
}

intptr_t MediaTimer::OnCommand(uint32_t command, CommandRequest* request) {
    if (command == kReleaseCommand && request) static_cast<ReleaseRequest*>(request)->Run();
    return 0;
}

void MediaTimer::ReleaseAll(const Entries& entries) {
    for (const auto& entry : entries)
        for (int64_t item : entry.items) OnRelease(item);
}

void MediaTimer::RunPendingReleases() {
    MSG m;
    while (PeekMessageW(m, Window(), WM_SERVICE_COMMAND + kReleaseCommand,
                        WM_SERVICE_COMMAND + kReleaseCommand))
        DispatchMessageW(m);
}

void MediaTimer::Run() {
    vemx::platform::Waitable* objects[] = {&timer_event_};
    while (running_) {
        const int r = MsgWaitForMultipleObjects(objects);
        if (r == 0) {
            Deliver();
        } else if (r == 1) {
            MSG m;
            while (PeekMessageW(m, nullptr, 0, UINT32_MAX)) {
                if (m.message == WM_QUIT) {
                    msg_ = m;
                    return;
                }
                DispatchMessageW(m);
            }
        } else {
            vemx::frame::ReportShort(
                L"vemx", L"MsgWaitForMultipleObjects failed, err=" + std::to_wstring(errno));
            return;
        }
    }
}

void MediaTimer::Deliver() {
    // What was flushed goes back before what was scheduled after it.
    RunPendingReleases();
    const int64_t now = GetStreamTime();
    TimerEntry entry{};
    {
        std::lock_guard guard(lock_);
        if (entries_.empty()) return;
        // The advice has fired; Disarm also clears a stale signal's cookie.
        Disarm();
        try {
            if (entries_.front().time > now) {
                // Not due: the base time moved on since the advice was made.
                Arm(entries_.front().time);
                return;
            }
            entry = std::move(entries_.front());
            entries_.pop_front();
            Counted();
            if (!entries_.empty()) Arm(entries_.front().time);
        } catch (const ComError&) {
            // Reported; the next Schedule arms again.
        }
    }
    for (int64_t item : entry.items) {
        try {
            OnTimer(entry.time, item, vemx::platform::saturating_sub(now, entry.time));
        } catch (const ComError&) {
        } catch (const std::exception& e) {
            vemx::frame::LogPrint("ERROR[VIZur::LazyWindow] ", "VIZur::MediaTimer::OnTimer: %s",
                                  e.what());
        }
        OnRelease(item);
    }
}

}  // namespace VIZur
