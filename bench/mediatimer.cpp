// Media timer figures, each beside a plain peer measured in the same run:
//   qvmediatimer vs a timerfd loop: tick lateness, CPU, wake-ups per second;
//   the scheduler vs clock_nanosleep per item: lateness at 1 ms spacing;
//   a service command round trip vs a mutex/condition-variable hand-off.
// Usage: bench_mediatimer [timer seconds (20)] [scheduler items (10000)]
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/LazyWindow.h"
#include "frame/media_timer.h"
#include "latency_stats.h"
#include "platform/clock.h"
#include "platform/waitable.h"
#include "vemx/qvmediatimer.h"

using vemx::platform::monotonic_100ns;
using vemx_bench::percentiles;
using vemx_bench::Stats;

namespace {

constexpr int64_t kSecond = 10000000;

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A thread's voluntary context switches: every time it went to sleep, so
// every wake-up.  (Preemptions on a busy machine are not counted.)
long switches(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string key;
    long v = 0;
    while (in >> key)
        if (key == "voluntary_ctxt_switches:" && in >> v) break;
    return v;
}

long this_tid() {
    return static_cast<long>(syscall(SYS_gettid));
}

// What a tick-rate run measured, whichever timer produced it.
struct TickRun {
    std::mutex lock;
    int64_t first = 0;
    std::vector<int64_t> late;
    std::atomic<long> tid{0};
    vemx::platform::Event started;

    void OnTick(int64_t tick_time) {
        const int64_t now = monotonic_100ns();
        std::lock_guard g(lock);
        if (tick_time == 0) {
            first = now;
            tid = this_tid();
            started.set();
        } else {
            late.push_back(now - (first + tick_time));
        }
    }

    void Report(const char* name, double seconds, double cpu, long wakes) {
        std::lock_guard g(lock);
        const Stats s = percentiles(late, 10000.0);
        std::printf("%s lateness p50: %.3f ms\n", name, s.p50);
        std::printf("%s lateness p99: %.3f ms\n", name, s.p99);
        std::printf("%s lateness max: %.3f ms\n", name, s.max);
        std::printf("%s cpu: %.3f %% of a core\n", name, 100.0 * cpu / seconds);
        std::printf("%s timer thread wake-ups: %.1f per s\n", name,
                    static_cast<double>(wakes) / seconds);
        std::printf("%s ticks: %.2f per s\n", name, static_cast<double>(late.size()) / seconds);
    }
};

int OnQvTick(int64_t tick_time, int64_t, void* ctx) {
    static_cast<TickRun*>(ctx)->OnTick(tick_time);
    return 0;
}

void bench_qvmediatimer(double seconds) {
    TickRun run;
    void* timer = qvmediatimer_new();
    qvmediatimer_set_callback(timer, &OnQvTick, &run);
    const double cpu0 = cpu_seconds();
    qvmediatimer_init(timer);
    vemx::platform::wait_one(run.started);
    const long w0 = switches(run.tid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long wakes = switches(run.tid) - w0;
    const double cpu = cpu_seconds() - cpu0;
    qvmediatimer_delete(timer);
    run.Report("qvmediatimer 30000/1001", seconds, cpu, wakes);
}

// The peer: a thread reading an absolute-time periodic timerfd, ticks
// counted from its first expiry the same way.
void bench_timerfd(double seconds) {
    TickRun run;
    std::atomic<bool> stop{false};
    const double cpu0 = cpu_seconds();
    std::thread t([&] {
        const int fd = timerfd_create(CLOCK_MONOTONIC, 0);
        itimerspec period{};
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        period.it_value = now;
        period.it_interval = {0, 33366667};
        timerfd_settime(fd, TFD_TIMER_ABSTIME, &period, nullptr);
        int64_t k = 0;
        while (!stop) {
            uint64_t expirations;
            if (read(fd, &expirations, sizeof expirations) != sizeof expirations) break;
            for (uint64_t i = 0; i < expirations; ++i, ++k) run.OnTick(k * 1001 * kSecond / 30000);
        }
        close(fd);
    });
    vemx::platform::wait_one(run.started);
    const long w0 = switches(run.tid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long wakes = switches(run.tid) - w0;
    const double cpu = cpu_seconds() - cpu0;
    stop = true;
    t.join();
    run.Report("peer timerfd 29.97", seconds, cpu, wakes);
}

class SchedulerRun {
  public:
    SchedulerRun() : timer_(this, &SchedulerRun::OnTimer, &SchedulerRun::OnRelease) {}
    ~SchedulerRun() { timer_.Stop(); }

    std::vector<int64_t> Go(int items) {
        auto clock = vemx::platform::ReferenceClock::Create();
        int64_t base = 0;
        clock->GetTime(&base);
        base += 20 * 10000;  // scheduling finishes before the first is due
        timer_.SetClock(clock);
        timer_.SetBaseTime(base);
        timer_.Start();
        base_ = base;
        left_ = items;
        for (int i = 0; i < items; ++i) timer_.Schedule(static_cast<int64_t>(i) * 10000, i);
        vemx::platform::wait_one(done_);
        return late_;
    }

  private:
    void OnTimer(int64_t time, int64_t, int64_t) {
        late_.push_back(monotonic_100ns() - (base_ + time));
    }
    void OnRelease(int64_t) {
        if (--left_ == 0) done_.set();
    }

    int64_t base_ = 0;
    int left_ = 0;
    std::vector<int64_t> late_;
    vemx::platform::Event done_;
    VIZur::media_timer_t<SchedulerRun> timer_;
};

void bench_scheduler(int items) {
    std::vector<int64_t> late;
    {
        SchedulerRun run;
        late = run.Go(items);
    }
    Stats s = percentiles(late, 10000.0);
    std::printf("scheduler %d items at 1 ms lateness p50: %.3f ms\n", items, s.p50);
    std::printf("scheduler %d items at 1 ms lateness p99: %.3f ms\n", items, s.p99);
    std::printf("scheduler %d items at 1 ms lateness max: %.3f ms\n", items, s.max);

    late.clear();
    const int64_t base = monotonic_100ns() + 20 * 10000;
    for (int i = 0; i < items; ++i) {
        const int64_t due = base + static_cast<int64_t>(i) * 10000;
        timespec ts{static_cast<time_t>(due / kSecond), static_cast<long>(due % kSecond) * 100};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        late.push_back(monotonic_100ns() - due);
    }
    s = percentiles(late, 10000.0);
    std::printf("peer clock_nanosleep %d items at 1 ms lateness p50: %.3f ms\n", items, s.p50);
    std::printf("peer clock_nanosleep %d items at 1 ms lateness p99: %.3f ms\n", items, s.p99);
    std::printf("peer clock_nanosleep %d items at 1 ms lateness max: %.3f ms\n", items, s.max);
}

class Echo final : public VIZur::Service {
  public:
    ~Echo() override { Stop(); }

  private:
    intptr_t OnCommand(uint32_t, VIZur::CommandRequest*) override { return 0; }
};

void bench_round_trip() {
    constexpr int kTrips = 20000;
    std::vector<int64_t> ns;
    ns.reserve(kTrips);
    VIZur::LazyWindow::Initialize();
    {
        Echo echo;
        echo.Start();
        vemx::platform::Event done;
        for (int i = 0; i < kTrips; ++i) {
            const int64_t t = monotonic_100ns();
            echo.SendCommand(1, new VIZur::CommandRequest(&done));
            ns.push_back(monotonic_100ns() - t);
        }
    }
    VIZur::LazyWindow::Uninitialize();
    Stats s = percentiles(ns, 10.0);
    std::printf("SendCommand round trip median: %.1f us\n", s.p50);
    std::printf("SendCommand round trip p99: %.1f us\n", s.p99);

    // Peer: hand a job to a worker under a mutex and wait for its answer.
    std::mutex m;
    std::condition_variable cv;
    int posted = 0, answered = 0;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock l(m);
        for (;;) {
            cv.wait(l, [&] { return stop || posted > answered; });
            if (stop) return;
            ++answered;
            cv.notify_all();
        }
    });
    ns.clear();
    for (int i = 0; i < kTrips; ++i) {
        const int64_t t = monotonic_100ns();
        std::unique_lock l(m);
        ++posted;
        cv.notify_all();
        cv.wait(l, [&] { return answered == posted; });
        ns.push_back(monotonic_100ns() - t);
    }
    {
        std::lock_guard l(m);
        stop = true;
    }
    cv.notify_all();
    worker.join();
    s = percentiles(ns, 10.0);
    std::printf("peer condition-variable round trip median: %.1f us\n", s.p50);
    std::printf("peer condition-variable round trip p99: %.1f us\n", s.p99);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const int items = argc > 2 ? std::atoi(argv[2]) : 10000;
    bench_round_trip();
    bench_qvmediatimer(seconds);
    bench_timerfd(seconds);
    bench_scheduler(items);
    return 0;
}
