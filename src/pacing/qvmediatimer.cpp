// The exported frame-rate timer.  Its service thread keeps one clock alarm
// set, for the next tick's due time, and on each wake-up delivers every
// tick the clock says is due.
#include "vemx/qvmediatimer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "frame/LazyWindow.h"
#include "frame/error.h"
#include "frame/handle.h"
#include "platform/refclock.h"

namespace vemx::qvmediatimer {

using frame::HRESULT;
using platform::ReferenceClock;

class MediaTimer : public VIZur::Service {
  public:
    ~MediaTimer() override { Stop(); }

    void SetRate(int64_t numerator, int64_t denominator) {
        numerator_ = numerator;
        denominator_ = denominator;
        rate_changed_.set();
    }

    void SetCallback(qvmediatimer_callback_t callback, void* context) {
        std::lock_guard guard(settings_);
        callback_ = callback;
        context_ = context;
    }

    bool HasCallback() {
        std::lock_guard guard(settings_);
        return callback_ != nullptr;
    }

    // From the callback: no tick follows, and the thread ends on its own.
    void StopTicking() noexcept { running_ = 0; }

  private:
    void OnCreate(VIZur::HWND) override {
        tick_count_ = 0;
        start_time_ = 0;
        alarm_.reset();
        clock_.reset();
        try {
            HRESULT hr = frame::E_FAIL;
            clock_ = ReferenceClock::Create(&hr);
            if (!clock_) frame::RaiseComError(hr, L"qvmediatimer", 91);
            int64_t t0 = 0;
            hr = clock_->GetTime(&t0);
            if (hr < 0) frame::RaiseComError(hr, L"qvmediatimer", 91);
            // The kernel signals the alarm itself, so a tick costs one
            // wake-up of this thread and no hop through a timer thread.
            alarm_ = clock_->CreateAlarm(&hr);
            if (!alarm_) frame::RaiseComError(hr, L"qvmediatimer", 91);
            hr = alarm_->Set(t0);
            if (hr < 0) frame::RaiseComError(hr, L"qvmediatimer", 92);
        } catch (const frame::ComError&) {
            // Reported; the timer runs without ticks.
        }
    }

    void OnClose() override {
        try {
            if (alarm_ && alarm_->Cancel() < 0)
                frame::RaiseComError(frame::E_FAIL, L"qvmediatimer", 102);
        } catch (const frame::ComError&) {
        }
        alarm_.reset();
        clock_.reset();
    }

    intptr_t OnCommand(uint32_t, VIZur::CommandRequest*) override { return 0; }

    void Run() override {
        const int64_t denominator = denominator_.load();
        platform::Waitable* tick =
            alarm_ ? static_cast<platform::Waitable*>(alarm_.get()) : &never_;
        platform::Waitable* objects[] = {tick, &rate_changed_};
        while (running_) {
            const int r = VIZur::MsgWaitForMultipleObjects(objects);
            if (r == 0) {
                Tick(denominator);
            } else if (r == 1) {
                // The next due time moved: Tick re-arms the alarm for it.
                if (alarm_) Tick(denominator);
            } else if (r == 2) {
                VIZur::MSG m;
                while (VIZur::PeekMessageW(m, nullptr, 0, UINT32_MAX)) {
                    if (m.message == VIZur::WM_QUIT) {
                        msg_ = m;
                        return;
                    }
                    VIZur::DispatchMessageW(m);
                }
            } else {
                frame::ReportShort(
                    L"vemx", L"MsgWaitForMultipleObjects failed, err=" + std::to_wstring(errno));
                return;
            }
        }
    }

    // Delivers the due ticks, then asks for a wake-up at the next one.
    void Tick(int64_t denominator) {
        int64_t now = 0;
        if (!clock_ || !alarm_ || clock_->GetTime(&now) < 0) return;
        qvmediatimer_callback_t callback;
        void* context;
        {
            std::lock_guard guard(settings_);
            callback = callback_;
            context = context_;
        }
        const int64_t numerator = numerator_.load();
        constexpr int64_t kSecond = 10000000;
        if (tick_count_ == 0) {
            start_time_ = now;
            tick_count_ = 1;
            if (callback) callback(0, 0, context);
        } else {
            // Tick k is due once k <= numerator * t / (denominator * 10^7).
            // The products are widened so that long runs and high rates do
            // not overflow; every quotient fits 64 bits.
            const int64_t t = now - start_time_;
            while (running_ && tick_count_ <= static_cast<int64_t>(
                                                  static_cast<__int128>(numerator) * t /
                                                  (static_cast<__int128>(denominator) * kSecond))) {
                const auto tick_time = static_cast<int64_t>(static_cast<__int128>(tick_count_) *
                                                            denominator * kSecond / numerator);
                ++tick_count_;
                if (callback) callback(tick_time, tick_time - t, context);
            }
        }
        // Earliest t at which the next tick is due: ceil(k * den * 10^7 / num).
        // Slow rates put it past the clock's range: saturated, it means never.
        const __int128 scaled = static_cast<__int128>(tick_count_) * denominator * kSecond;
        const __int128 due = (scaled + numerator - 1) / numerator;
        const int64_t at =
            due >= INT64_MAX - start_time_ ? INT64_MAX : start_time_ + static_cast<int64_t>(due);
        try {
            const HRESULT hr = alarm_->Set(at);
            if (hr < 0) frame::RaiseComError(hr, L"qvmediatimer", 92);
        } catch (const frame::ComError&) {
            // Reported; no further ticks until the rate changes.
        }
    }

    std::atomic<int64_t> numerator_{30000};
    std::atomic<int64_t> denominator_{1001};
    std::mutex settings_;
    qvmediatimer_callback_t callback_ = nullptr;
    void* context_ = nullptr;
    std::shared_ptr<ReferenceClock> clock_;
    int64_t start_time_ = 0;
    std::unique_ptr<ReferenceClock::Alarm> alarm_;
    platform::Event never_;  // stands in for the alarm when there is none
    platform::Event rate_changed_;
    int64_t tick_count_ = 0;
};

}  // namespace vemx::qvmediatimer

using vemx::qvmediatimer::MediaTimer;

VEMX_EXPORT void* qvmediatimer_new(void) {
    return vemx::frame::Guarded("qvmediatimer_new", static_cast<void*>(nullptr), []() -> void* {
        VIZur::LazyWindow::Initialize();
        try {
            return new MediaTimer();
        } catch (...) {
            VIZur::LazyWindow::Uninitialize();
            return nullptr;
        }
    });
}

VEMX_EXPORT void qvmediatimer_set_rate(void* timer, int32_t numerator, int32_t denominator) {
    if (!timer) return;
    vemx::frame::Guarded("qvmediatimer_set_rate", [&] {
        if (numerator <= 0 || denominator <= 0) {
            vemx::frame::ReportFunction(L"vemx", L"qvmediatimer", __LINE__,
                                        L"qvmediatimer_set_rate",
                                        L"invalid rate " + std::to_wstring(numerator) + L"/" +
                                            std::to_wstring(denominator));
            return;
        }
        static_cast<MediaTimer*>(timer)->SetRate(numerator, denominator);
    });
}

VEMX_EXPORT void qvmediatimer_set_callback(void* timer, qvmediatimer_callback_t callback,
                                           void* context) {
    if (!timer) return;
    vemx::frame::Guarded("qvmediatimer_set_callback",
                         [&] { static_cast<MediaTimer*>(timer)->SetCallback(callback, context); });
}

VEMX_EXPORT int32_t qvmediatimer_init(void* timer) {
    if (!timer) return 0;
    return vemx::frame::Guarded("qvmediatimer_init", int32_t{0}, [&]() -> int32_t {
        auto* t = static_cast<MediaTimer*>(timer);
        if (!t->HasCallback()) return 0;
        t->Start();
        return 1;
    });
}

VEMX_EXPORT void qvmediatimer_delete(void* timer) {
    if (!timer) return;
    vemx::frame::Guarded("qvmediatimer_delete", [&] {
        auto* t = static_cast<MediaTimer*>(timer);
        constexpr auto destroy = [](void* p) {
            delete static_cast<MediaTimer*>(p);
            VIZur::LazyWindow::Uninitialize();
        };
        if (t->OnServiceThread()) {
            // Deleting here would wait for the thread we are on.
            vemx::frame::ReportFunction(L"vemx", L"qvmediatimer", __LINE__, L"qvmediatimer_delete",
                                        L"called from the timer's callback; deleted once the "
                                        L"callback has returned");
            t->StopTicking();
            vemx::frame::DestroyElsewhere(destroy, t);
            return;
        }
        destroy(t);
    });
}
