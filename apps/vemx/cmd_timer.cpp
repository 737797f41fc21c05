// vemx timer: runs a media timer for a while and reports how late its ticks
// arrived, measured against the ideal tick times from the first tick.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"

namespace {

int64_t now_100ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

struct Run {
    std::mutex lock;
    int64_t first = 0;
    std::vector<int64_t> late;  // 100-ns units, per tick after the first
    int64_t worst_reported = 0;

    static int OnTick(int64_t tick_time, int64_t lateness, void* ctx) {
        auto* r = static_cast<Run*>(ctx);
        const int64_t now = now_100ns();
        std::lock_guard g(r->lock);
        if (tick_time == 0) {
            r->first = now;
            return 0;
        }
        r->late.push_back(now - (r->first + tick_time));
        r->worst_reported = std::min(r->worst_reported, lateness);
        return 0;
    }
};

double ms(int64_t v) {
    return static_cast<double>(v) / 10000.0;
}

constexpr char kUsage[] = "usage: vemx timer [seconds] [NUM/DEN]\n";

int run_timer(const std::vector<std::string>& args) {
    double seconds = 3;
    int num = 30000, den = 1001;
    if (args.size() > 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!args.empty()) seconds = vemx_tool::RealOption(kUsage, "seconds", args[0], 0.001, 86400);
    if (args.size() > 1) {
        const size_t slash = args[1].find('/');
        if (slash == std::string::npos)
            throw vemx_tool::UsageError("rate must be NUM/DEN, e.g. 30000/1001", kUsage);
        num = int(vemx_tool::IntOption(kUsage, "NUM", args[1].substr(0, slash), 1, 1000000));
        den = int(vemx_tool::IntOption(kUsage, "DEN", args[1].substr(slash + 1), 1, 1000000));
    }
    Run run;
    void* timer = qvmediatimer_new();
    if (!timer) return 1;
    qvmediatimer_set_rate(timer, num, den);
    qvmediatimer_set_callback(timer, &Run::OnTick, &run);
    if (!qvmediatimer_init(timer)) {
        qvmediatimer_delete(timer);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    qvmediatimer_delete(timer);

    std::vector<int64_t> late;
    {
        std::lock_guard g(run.lock);
        late = run.late;
    }
    std::printf("rate: %d/%d (%.3f ticks/s) for %.1f s\n", num, den, static_cast<double>(num) / den,
                seconds);
    std::printf("ticks: %zu\n", late.size() + 1);
    if (late.empty()) return 1;
    std::sort(late.begin(), late.end());
    auto at = [&](double q) {
        return late[static_cast<size_t>(q * static_cast<double>(late.size() - 1))];
    };
    std::printf("lateness p50: %.3f ms\n", ms(at(0.5)));
    std::printf("lateness p99: %.3f ms\n", ms(at(0.99)));
    std::printf("lateness max: %.3f ms\n", ms(late.back()));
    std::printf("latest tick as the timer saw it: %.3f ms\n", ms(-run.worst_reported));
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND(
    "timer", "[seconds] [NUM/DEN]: run a media timer (default 3 s at 30000/1001), print lateness",
    run_timer);
