// Media queue: pacing accuracy, master/slave sync, the cost of pacing and
// enqueue throughput.  Peers from the same run: a playout thread woken by a
// 0.1 ms periodic clock advice, and a mutex + priority_queue + condition
// variable jitter buffer for enqueue throughput.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

#include "pacing/mediaqueue.h"
#include "platform/clock.h"
#include "platform/refclock.h"
#include "vemx/vemx_log.h"
#include "vemx/vemx_mediaqueue.h"

using vemx::mediaqueue::MediaQueue;
using vemx::platform::monotonic_100ns;

namespace {

constexpr int64_t kMs = 10000;

MediaQueue* Q(void* h) {
    return vemx::frame::FromHandle<MediaQueue>(h);
}

void SleepUntil(int64_t t) {
    timespec ts{static_cast<time_t>(t / 10000000), static_cast<long>(t % 10000000) * 100};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

double MaxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

struct Delivery {
    int64_t at;
    int64_t pts;
    double remote;
};

struct Log {
    MediaQueue* queue = nullptr;
    std::vector<Delivery> deliveries;  // playout thread only until it stops
};

int Record(void* packet, void* ctx, int) {
    auto* log = static_cast<Log*>(ctx);
    log->deliveries.push_back(
        {monotonic_100ns(), reinterpret_cast<intptr_t>(packet), log->queue->RemoteTime()});
    return 0;
}

// A stream of count packets, one every interval, each arriving up to
// jitter early or late; pts = stream time of the packet.  Returns arrivals.
std::vector<int64_t> Feed(void* q, int64_t start, int count, int64_t interval, int64_t jitter,
                          uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> shift(-jitter, jitter);
    std::vector<int64_t> arrivals;
    for (int k = 0; k < count; ++k) {
        const int64_t pts = k * interval;
        SleepUntil(start + pts + shift(rng));
        arrivals.push_back(monotonic_100ns());
        // The packet pointer carries its pts for the callback.
        vemx_mediaqueue_enqueue(q, reinterpret_cast<void*>(static_cast<intptr_t>(pts)), 1, pts);
    }
    return arrivals;
}

void PacingAndSync() {
    constexpr int kSeconds = 20;
    constexpr int32_t kDelay = 100;
    void* master = vemx_mediaqueue_new();
    void* slave = vemx_mediaqueue_new();
    // The slave's record carries the master's estimate, the one it paces by.
    Log mlog{Q(master), {}}, slog{Q(master), {}};
    vemx_mediaqueue_set_callback(master, Record, nullptr, &mlog);
    vemx_mediaqueue_set_callback(slave, Record, nullptr, &slog);
    vemx_mediaqueue_set_delay(master, kDelay);
    vemx_mediaqueue_set_delay(slave, kDelay);
    vemx_mediaqueue_set_master(slave, master);
    vemx_mediaqueue_init(master);
    vemx_mediaqueue_init(slave);

    const int64_t start = monotonic_100ns() + 50 * kMs;
    std::vector<int64_t> m_arrivals;
    std::thread video(
        [&] { m_arrivals = Feed(master, start, 30 * kSeconds, 10000000 / 30, 5 * kMs, 1); });
    std::thread audio([&] { Feed(slave, start, 50 * kSeconds, 10000000 / 50, 5 * kMs, 2); });
    video.join();
    audio.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    vemx_mediaqueue_uninit(slave);
    vemx_mediaqueue_uninit(master);

    // Delivery against arrival + delay (what a fixed-delay buffer would do),
    // and against the due time of the pacing rule (how exactly the playout
    // thread wakes).
    std::vector<double> vs_arrival, vs_due;
    for (size_t k = 0; k < mlog.deliveries.size() && k < m_arrivals.size(); ++k) {
        const Delivery& d = mlog.deliveries[k];
        vs_arrival.push_back(static_cast<double>(d.at - (m_arrivals[k] + kDelay * kMs)) / kMs);
        const int64_t due =
            vemx::mediaqueue::DueTime(d.remote, kDelay, d.pts) + Q(master)->Origin();
        vs_due.push_back(static_cast<double>(d.at - due) / kMs);
    }
    std::printf("pacing_packets: %zu of %zu\n", mlog.deliveries.size(), m_arrivals.size());
    std::printf("pacing_vs_arrival_plus_delay_p50: %.3f ms\n", Percentile(vs_arrival, 0.5));
    std::printf("pacing_vs_arrival_plus_delay_p99: %.3f ms\n", Percentile(vs_arrival, 0.99));
    std::printf("pacing_vs_arrival_plus_delay_max: %.3f ms\n", MaxAbs(vs_arrival));
    std::printf("pacing_vs_due_p50: %.3f ms\n", Percentile(vs_due, 0.5));
    std::printf("pacing_vs_due_p99: %.3f ms\n", Percentile(vs_due, 0.99));
    std::printf("pacing_vs_due_max: %.3f ms\n", MaxAbs(vs_due));

    // The master's timeline at a moment: its latest delivery time minus that
    // packet's pts.  Each slave delivery is compared with it.
    std::vector<double> sync;
    size_t m = 0;
    for (const Delivery& s : slog.deliveries) {
        while (m + 1 < mlog.deliveries.size() && mlog.deliveries[m + 1].at <= s.at) ++m;
        if (mlog.deliveries.empty() || mlog.deliveries[m].at > s.at) continue;
        const Delivery& md = mlog.deliveries[m];
        sync.push_back(static_cast<double>((s.at - s.pts) - (md.at - md.pts)) / kMs);
    }
    std::vector<double> sync_abs;
    for (double x : sync) sync_abs.push_back(std::fabs(x));
    std::printf("slave_sync_packets: %zu\n", sync.size());
    std::printf("slave_sync_vs_master_deliveries_abs_p50: %.3f ms\n", Percentile(sync_abs, 0.5));
    std::printf("slave_sync_vs_master_deliveries_abs_p99: %.3f ms\n", Percentile(sync_abs, 0.99));
    std::printf("slave_sync_vs_master_deliveries_abs_max: %.3f ms\n", MaxAbs(sync));

    // The master's timeline as its estimate defines it: when the master
    // would deliver this pts.  Unlike the above, the master's own wake-up
    // latency does not enter.
    std::vector<double> vs_estimate;
    for (const Delivery& s : slog.deliveries) {
        if (std::isnan(s.remote)) continue;
        const int64_t on_master =
            vemx::mediaqueue::DueTime(s.remote, kDelay, s.pts) + Q(master)->Origin();
        vs_estimate.push_back(std::fabs(static_cast<double>(s.at - on_master) / kMs));
    }
    std::printf("slave_sync_vs_master_estimate_abs_p50: %.3f ms\n", Percentile(vs_estimate, 0.5));
    std::printf("slave_sync_vs_master_estimate_abs_p99: %.3f ms\n", Percentile(vs_estimate, 0.99));
    std::printf("slave_sync_vs_master_estimate_abs_max: %.3f ms\n", MaxAbs(vs_estimate));
    vemx_mediaqueue_release(slave);
    vemx_mediaqueue_release(master);
}

int Nothing(void*, void*, int) {
    return 0;
}

// CPU of everything but the calling thread, per second of wall time.
struct CostMeter {
    double process0 = CpuSeconds(RUSAGE_SELF), self0 = CpuSeconds(RUSAGE_THREAD);
    int64_t t0 = monotonic_100ns();
    double PercentOfCore() const {
        const double others =
            (CpuSeconds(RUSAGE_SELF) - process0) - (CpuSeconds(RUSAGE_THREAD) - self0);
        return 100.0 * others / (static_cast<double>(monotonic_100ns() - t0) / 1e7);
    }
};

void Cost() {
    void* q = vemx_mediaqueue_new();
    vemx_mediaqueue_set_callback(q, Nothing, nullptr, nullptr);
    vemx_mediaqueue_set_delay(q, 100);
    vemx_mediaqueue_init(q);
    {
        CostMeter meter;
        const uint64_t w0 = Q(q)->Wakeups();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        std::printf("idle_cpu: %.3f %% of a core\n", meter.PercentOfCore());
        std::printf("idle_wakeups: %.2f /s\n", static_cast<double>(Q(q)->Wakeups() - w0) / 3.0);
    }
    {
        constexpr int kPackets = 5000;  // 5 s at 1000 packets/s
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int64_t start = monotonic_100ns();
        CostMeter meter;
        const uint64_t w0 = Q(q)->Wakeups();
        for (int k = 0; k < kPackets; ++k) {
            SleepUntil(start + k * kMs);
            vemx_mediaqueue_enqueue(q, nullptr, 1, k * kMs);
        }
        SleepUntil(start + kPackets * kMs + 100 * kMs);  // the last one leaves
        const double cpu = meter.PercentOfCore();
        const double wakeups = static_cast<double>(Q(q)->Wakeups() - w0);
        std::printf("load_1000pps_cpu: %.3f %% of a core\n", cpu);
        std::printf("load_1000pps_wakeups: %.1f /s\n", wakeups / 5.1);
        std::printf("load_1000pps_wakeups_per_packet: %.3f\n", wakeups / kPackets);
    }
    vemx_mediaqueue_release(q);

    // The peer: a thread woken by a 0.1 ms periodic advice, doing nothing else.
    {
        vemx::platform::Semaphore tick;
        std::atomic<bool> stop{false};
        uint64_t wakes = 0;
        CostMeter meter;
        std::thread peer([&] {
            auto clock = vemx::platform::ReferenceClock::Create();
            int64_t t0 = 0;
            clock->GetTime(&t0);
            vemx::platform::ReferenceClock::Cookie cookie;
            clock->AdvisePeriodic(t0, 1000, &tick, &cookie);
            while (!stop.load(std::memory_order_relaxed)) {
                vemx::platform::wait_one(tick);
                ++wakes;
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(2));
        stop = true;
        peer.join();
        std::printf("peer_periodic_0.1ms_cpu: %.3f %% of a core\n", meter.PercentOfCore());
        std::printf("peer_periodic_0.1ms_wakeups: %.0f /s (nominal 10000 /s)\n",
                    static_cast<double>(wakes) / 2.0);
    }
}

// The textbook jitter buffer: mutex, priority queue, condition variable.
class PeerQueue {
  public:
    void Push(void* p, int64_t pts) {
        {
            std::lock_guard lock(lock_);
            heap_.push({pts, p});
        }
        ready_.notify_one();
    }
    void Run(std::atomic<bool>& stop) {
        std::unique_lock lock(lock_);
        while (!stop.load() || !heap_.empty()) {
            if (heap_.empty()) {
                ready_.wait_for(lock, std::chrono::milliseconds(10));
                continue;
            }
            heap_.pop();
        }
    }

  private:
    using Item = std::pair<int64_t, void*>;
    std::mutex lock_;
    std::condition_variable ready_;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap_;
};

void Throughput() {
    constexpr int kPerProducer = 1000000;
    void* q = vemx_mediaqueue_new();
    vemx_mediaqueue_set_live_mode(q, 1);
    vemx_mediaqueue_set_max_queue_size(q, -1);
    vemx_mediaqueue_set_callback(q, Nothing, nullptr, nullptr);
    vemx_mediaqueue_init(q);
    const int64_t t0 = monotonic_100ns();
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t)
        producers.emplace_back([q, t] {
            for (int i = 0; i < kPerProducer; ++i)
                vemx_mediaqueue_enqueue(q, nullptr, 1, i * 2 + t);
        });
    for (auto& p : producers) p.join();
    const double ours = 2.0 * kPerProducer / (static_cast<double>(monotonic_100ns() - t0) / 1e7);
    vemx_mediaqueue_release(q);

    PeerQueue peer;
    std::atomic<bool> stop{false};
    std::thread consumer([&] { peer.Run(stop); });
    const int64_t t1 = monotonic_100ns();
    producers.clear();
    for (int t = 0; t < 2; ++t)
        producers.emplace_back([&peer, t] {
            for (int i = 0; i < kPerProducer; ++i) peer.Push(nullptr, i * 2 + t);
        });
    for (auto& p : producers) p.join();
    const double theirs = 2.0 * kPerProducer / (static_cast<double>(monotonic_100ns() - t1) / 1e7);
    stop = true;
    consumer.join();
    std::printf("enqueue_2_producers: %.0f packets/s\n", ours);
    std::printf("peer_mutex_priority_queue_2_producers: %.0f packets/s\n", theirs);
}

}  // namespace

int main() {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    PacingAndSync();
    Cost();
    Throughput();
    return 0;
}
