#pragma once
// What the media queue's playout bodies share: their timing constants, the
// report names, the pts order of the queue and the clock pacer.  Included
// only by the queue's own files.
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "frame/error.h"
#include "pacing/mediaqueue.h"
#include "platform/refclock.h"

namespace vemx::mediaqueue {

inline constexpr int64_t kSecond = 10000000;
// Samples closer together than this in arrival time add nothing to the window.
inline constexpr int64_t kSampleSpacing = 80000;
inline constexpr int64_t kSyncReportInterval = 30000000;
// A master examination more than a second after the previous one resets the
// offset window.  While a packet waits longer than that for its time, the
// playout thread looks at it again at this interval so that the wait itself
// does not count as a gap.
inline constexpr int64_t kKeepAlive = kSecond / 2;
inline constexpr auto kLiveTimeout = std::chrono::milliseconds(100);

inline constexpr const wchar_t* kSource = L"mediaqueue";
inline constexpr const wchar_t* kComponent = L"mediaq";

struct LaterPts {
    bool operator()(const QueueItem& a, const QueueItem& b) const noexcept { return a.pts > b.pts; }
};

inline std::string LogName(int32_t instance, const char* suffix) {
    char name[64];
    std::snprintf(name, sizeof name, "mediaqueue[%06d]%s", instance, suffix);
    return name;
}

inline std::wstring Numbered(const wchar_t* head, int64_t n, const wchar_t* tail) {
    std::wstring s(head);
    s += std::to_wstring(n);
    s += tail;
    return s;
}

// |a - b| <= limit, false when the difference does not even fit.
inline bool Within(int64_t a, int64_t b, int64_t limit) {
    int64_t d;
    if (__builtin_sub_overflow(a, b, &d)) return false;
    return d >= -limit && d <= limit;
}

// a - b as a double, exact wherever the integer difference fits.
inline double Difference(int64_t a, int64_t b) {
    int64_t d;
    if (__builtin_sub_overflow(a, b, &d)) return static_cast<double>(a) - static_cast<double>(b);
    return static_cast<double>(d);
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

    platform::Waitable* event() { return alarm_.get(); }
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

}  // namespace vemx::mediaqueue
