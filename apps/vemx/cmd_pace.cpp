// vemx pace: a synthetic 30 packets/s stream with arrival jitter through a
// master queue, and a 50 packets/s stream on the same timeline through its
// slave; prints how the packets left.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"

namespace {

constexpr int64_t kMs = 10000;  // 100-ns units

int64_t Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

void SleepUntil(int64_t t) {
    timespec ts{static_cast<time_t>(t / 10000000), static_cast<long>(t % 10000000) * 100};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

struct Packet {
    int64_t pts = 0;
    int64_t arrival = 0;
    int64_t delivered = 0;
};

struct Stream {
    std::vector<Packet> packets;
    std::atomic<int> released{0};
};

int OnPacket(void* p, void*, int) {
    static_cast<Packet*>(p)->delivered = Now();
    return 0;
}

int OnRelease(void*, void* ctx) {
    static_cast<Stream*>(ctx)->released++;
    return 0;
}

void Feed(void* queue, Stream& s, int64_t start, int64_t jitter, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> shift(-jitter, jitter);
    for (auto& p : s.packets) {
        SleepUntil(start + p.pts + shift(rng));
        p.arrival = Now();
        vemx_mediaqueue_enqueue(queue, &p, sizeof p, p.pts);
    }
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1,
                      static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1)];
}

void Print(const char* name, const std::vector<double>& v) {
    double worst = 0;
    for (double x : v) worst = std::max(worst, std::fabs(x));
    std::printf("%s: p50 %.2f ms, p99 %.2f ms, max |.| %.2f ms\n", name, Percentile(v, 0.5),
                Percentile(v, 0.99), worst);
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

constexpr char kUsage[] = "usage: vemx pace [seconds] [delay_ms] [jitter_ms]\n";

int run_pace(const std::vector<std::string>& args) {
    if (args.size() > 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    using vemx_tool::IntOption;
    const int seconds = args.size() > 0 ? int(IntOption(kUsage, "seconds", args[0], 1, 3600)) : 3;
    const int delay = args.size() > 1 ? int(IntOption(kUsage, "delay_ms", args[1], 0, 60000)) : 100;
    const int jitter = args.size() > 2 ? int(IntOption(kUsage, "jitter_ms", args[2], 0, 60000)) : 5;

    Stream video, audio;
    for (int k = 0; k < 30 * seconds; ++k) video.packets.push_back({k * 10000000LL / 30, 0, 0});
    for (int k = 0; k < 50 * seconds; ++k) audio.packets.push_back({k * 10000000LL / 50, 0, 0});

    void* master = vemx_mediaqueue_new();
    void* slave = vemx_mediaqueue_new();
    if (!master || !slave) {
        std::fprintf(stderr, "vemx pace: cannot create the queues\n");
        vemx_mediaqueue_release(master);
        vemx_mediaqueue_release(slave);
        return 1;
    }
    vemx_mediaqueue_set_callback(master, OnPacket, OnRelease, &video);
    vemx_mediaqueue_set_callback(slave, OnPacket, OnRelease, &audio);
    vemx_mediaqueue_set_delay(master, delay);
    vemx_mediaqueue_set_delay(slave, delay);
    vemx_mediaqueue_set_master(slave, master);
    if (!vemx_mediaqueue_init(master) || !vemx_mediaqueue_init(slave)) {
        std::fprintf(stderr, "vemx pace: cannot start playout\n");
        vemx_mediaqueue_release(slave);
        vemx_mediaqueue_release(master);
        return 1;
    }
    std::printf("master: 30 packets/s, slave: 50 packets/s, %d s, delay %d ms, jitter +-%d ms\n",
                seconds, delay, jitter);

    const double cpu0 = CpuSeconds();
    const int64_t start = Now() + 20 * kMs;
    std::thread v([&] { Feed(master, video, start, jitter * kMs, 1); });
    std::thread a([&] { Feed(slave, audio, start, jitter * kMs, 2); });
    v.join();
    a.join();
    SleepUntil(Now() + (delay + 2 * jitter + 50) * kMs);
    const double cpu = CpuSeconds() - cpu0;
    vemx_mediaqueue_uninit(slave);
    vemx_mediaqueue_uninit(master);
    vemx_mediaqueue_release(slave);
    vemx_mediaqueue_release(master);

    std::vector<double> late;
    for (const auto& p : video.packets)
        if (p.delivered)
            late.push_back(static_cast<double>(p.delivered - p.arrival - delay * kMs) / kMs);
    // The master's timeline: delivery time minus pts of its packets, followed
    // in delivery order; each slave packet is compared with the latest one.
    std::vector<double> sync;
    size_t m = 0;
    for (const auto& s : audio.packets) {
        if (!s.delivered) continue;
        while (m + 1 < video.packets.size() && video.packets[m + 1].delivered &&
               video.packets[m + 1].delivered <= s.delivered)
            ++m;
        const auto& mp = video.packets[m];
        if (!mp.delivered || mp.delivered > s.delivered) continue;
        sync.push_back(
            std::fabs(static_cast<double>((s.delivered - s.pts) - (mp.delivered - mp.pts)) / kMs));
    }
    std::printf("master delivered %zu of %zu, released %d\n", late.size(), video.packets.size(),
                video.released.load());
    std::printf(
        "slave delivered %zu of %zu, released %d\n",
        static_cast<size_t>(std::count_if(audio.packets.begin(), audio.packets.end(),
                                          [](const Packet& p) { return p.delivered != 0; })),
        audio.packets.size(), audio.released.load());
    Print("master delivery - (arrival + delay)", late);
    Print("slave |offset from master timeline|", sync);
    std::printf("cpu: %.2f %% of a core (process, both queues and feeders)\n",
                100.0 * cpu / (static_cast<double>(seconds) + (delay + 2 * jitter + 50) / 1000.0));
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND(
    "pace",
    "[seconds] [delay_ms] [jitter_ms]: pace a jittered stream through master and slave queues",
    run_pace);
