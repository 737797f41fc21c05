// MP4 player figures, each beside a peer measured in the same run:
//   delivery at rates 1 and 2 over 20 s of 30 fps H.264 + AAC (lateness of
//   video samples as the scheduler saw it, wake-ups, CPU; a bare timerfd
//   thread beside it shows what the machine allows) vs
//   `ffmpeg -re -i FILE -c copy -f null -` (its CPU and wake-ups from wait4);
//   seek to a random frame of a 2 s GOP, command to the target's delivery,
//   vs av_seek_frame plus reads up to the same packet.
// Usage: bench_mp4player [seconds of media (20)] [seeks (200)]
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame/LazyWindow.h"
#include "latency_stats.h"
#include "mp4/mp4_file_demuxer.h"
#include "mp4/mp4_reader.h"
#include "platform/clock.h"
#include "platform/waitable.h"

using vemx::detail::AudioPacket;
using vemx::detail::VideoPacket;
using vemx::platform::monotonic_100ns;
using vemx_bench::percentiles;
using vemx_bench::Stats;

namespace {

constexpr int64_t kSecond = 10000000;

struct Usage {
    double cpu;
    long wakes;  // voluntary context switches, all threads
};

Usage usage_of(const rusage& u) {
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw};
}

Usage self_usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return usage_of(u);
}

// Receives what the demuxer delivers, with the scheduler's lateness.
class Sink {
  public:
    Sink() : demuxer_(this) {}
    ~Sink() { demuxer_.Stop(); }

    vemx::detail::MP4FileDemuxer& demuxer() { return demuxer_; }

    std::mutex lock;
    std::vector<int64_t> late;
    uint64_t audio = 0;
    std::atomic<bool> ended{false};
    std::atomic<uint64_t> target{0};
    std::atomic<int64_t> target_at{0};
    vemx::platform::Event end;

  private:
    void OnVideo(int64_t, const VideoPacket& p, int64_t lateness) {
        if (p.id == target && !p.preroll) target_at = monotonic_100ns();
        if (p.preroll) return;
        {
            std::lock_guard g(lock);
            late.push_back(lateness);
        }
        if (p.last) end.set();
    }
    void OnAudio(int64_t, const AudioPacket&) {
        std::lock_guard g(lock);
        ++audio;
    }

    vemx::detail::mp4_file_demuxer_t<Sink, &Sink::OnVideo, &Sink::OnAudio> demuxer_;
};

// The machine's own floor, measured beside the player in the same seconds: a
// thread sleeping on an absolute 30 fps timerfd, how late it wakes.  Its
// wake-ups and CPU are taken off the player's figures.
class Floor {
  public:
    Floor()
        : thread_([this] {
              const int fd = timerfd_create(CLOCK_MONOTONIC, 0);
              const int64_t first = monotonic_100ns() + kSecond / 30;
              itimerspec period{};
              period.it_value = {static_cast<time_t>(first / kSecond),
                                 static_cast<long>(first % kSecond * 100)};
              period.it_interval = {0, 33333333};
              timerfd_settime(fd, TFD_TIMER_ABSTIME, &period, nullptr);
              rusage u{};
              for (int64_t k = 0; !stop_; ++k) {
                  uint64_t expirations;
                  if (read(fd, &expirations, sizeof expirations) != sizeof expirations) break;
                  late_.push_back(monotonic_100ns() - (first + k * kSecond / 30));
                  k += static_cast<int64_t>(expirations) - 1;
              }
              getrusage(RUSAGE_THREAD, &u);
              usage_ = usage_of(u);
              close(fd);
          }) {}
    // Stops the thread; its late times, wake-ups and CPU.
    std::vector<int64_t> Finish(Usage& usage) {
        stop_ = true;
        thread_.join();
        usage = usage_;
        return late_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<int64_t> late_;
    Usage usage_{};
    std::thread thread_;
};

void bench_delivery(const std::string& file, double rate, double media_seconds) {
    Sink sink;
    auto& d = sink.demuxer();
    d.SetFilename(file);
    d.Start();
    if (rate != 1.0) d.SetRate(rate);
    const Usage u0 = self_usage();
    const int64_t t0 = monotonic_100ns();
    Floor floor;
    d.Play();
    vemx::platform::wait_one(sink.end,
                             std::chrono::seconds(static_cast<int>(media_seconds / rate) + 10));
    const double wall = static_cast<double>(monotonic_100ns() - t0) / kSecond;
    Usage floor_usage{};
    const Stats f = percentiles(floor.Finish(floor_usage), 10000.0);
    const Usage u1 = self_usage();
    d.Stop();
    std::lock_guard g(sink.lock);
    const Stats s = percentiles(sink.late, 10000.0);
    char name[64];
    std::snprintf(name, sizeof name, "player rate %g", rate);
    std::printf("%s video lateness p50: %.3f ms\n", name, s.p50);
    std::printf("%s video lateness p99: %.3f ms\n", name, s.p99);
    std::printf("%s video lateness max: %.3f ms\n", name, s.max);
    std::printf("%s frames: %zu, audio samples: %llu, wall %.2f s\n", name, sink.late.size(),
                static_cast<unsigned long long>(sink.audio), wall);
    std::printf("%s wake-ups: %.1f per s\n", name,
                static_cast<double>(u1.wakes - u0.wakes - floor_usage.wakes) / wall);
    std::printf("%s cpu: %.3f %% of a core\n", name,
                100.0 * (u1.cpu - u0.cpu - floor_usage.cpu) / wall);
    std::printf(
        "floor (timerfd 30 fps, same seconds) lateness p50: %.3f ms, p99: %.3f ms, max: "
        "%.3f ms\n",
        f.p50, f.p99, f.max);
}

void bench_ffmpeg(const std::string& file, double rate) {
    const int64_t t0 = monotonic_100ns();
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string r = std::to_string(rate);
        if (rate == 1.0)
            execlp("ffmpeg", "ffmpeg", "-v", "error", "-re", "-i", file.c_str(), "-c", "copy", "-f",
                   "null", "-", static_cast<char*>(nullptr));
        else
            execlp("ffmpeg", "ffmpeg", "-v", "error", "-readrate", r.c_str(), "-i", file.c_str(),
                   "-c", "copy", "-f", "null", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage u{};
    wait4(pid, &status, 0, &u);
    const double wall = static_cast<double>(monotonic_100ns() - t0) / kSecond;
    const Usage c = usage_of(u);
    char name[64];
    std::snprintf(name, sizeof name, "peer ffmpeg -c copy rate %g", rate);
    std::printf("%s wall %.2f s, exit %d\n", name, wall, WEXITSTATUS(status));
    std::printf("%s wake-ups: %.1f per s\n", name, static_cast<double>(c.wakes) / wall);
    std::printf("%s cpu: %.3f %% of a core\n", name, 100.0 * c.cpu / wall);
}

void bench_seek(const std::string& file, int seeks) {
    using namespace vemx::mp4reader;
    // The targets and their presentation times, from our reader.
    void* h = nullptr;
    QvMP4CreateEditFileRead(file.c_str(), &h);
    unsigned long frames = 0, audio = 0;
    QvMP4GetSampleNumber(h, &frames, &audio);
    std::vector<int64_t> pts(frames), dts(frames);
    for (unsigned long id = 1; id <= frames; ++id)
        QvMP4GetVideoSample(h, id, nullptr, nullptr, &dts[id - 1], &pts[id - 1], nullptr);
    QvMP4ReleaseEditFileRead(h);
    std::mt19937 rng(7);
    std::vector<uint64_t> targets(static_cast<size_t>(seeks));
    for (auto& t : targets) t = 1 + rng() % frames;

    std::vector<int64_t> ours;
    {
        Sink sink;
        auto& d = sink.demuxer();
        d.SetFilename(file);
        d.Start();
        d.Pause();
        for (uint64_t t : targets) {
            sink.target = t;
            sink.target_at = 0;
            const int64_t t0 = monotonic_100ns();
            d.SeekByFrame(t);
            if (sink.target_at) ours.push_back(sink.target_at - t0);
        }
        d.Stop();
    }

    std::vector<int64_t> peer;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, file.c_str(), nullptr, nullptr) < 0) return;
    avformat_find_stream_info(fmt, nullptr);
    const int vs = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVRational tb = fmt->streams[vs]->time_base;
    AVPacket* pkt = av_packet_alloc();
    for (uint64_t t : targets) {
        const int64_t want = av_rescale_q(pts[t - 1], AVRational{1, 10000000}, tb);
        const int64_t t0 = monotonic_100ns();
        av_seek_frame(fmt, vs, av_rescale_q(dts[t - 1], AVRational{1, 10000000}, tb),
                      AVSEEK_FLAG_BACKWARD);
        bool found = false;
        while (!found && av_read_frame(fmt, pkt) >= 0) {
            found = pkt->stream_index == vs && pkt->pts == want;
            av_packet_unref(pkt);
        }
        if (found) peer.push_back(monotonic_100ns() - t0);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);

    const Stats a = percentiles(ours, 10000.0), b = percentiles(peer, 10000.0);
    std::printf("player seek by frame (%zu of %d): median %.3f ms, p99 %.3f ms\n", ours.size(),
                seeks, a.p50, a.p99);
    std::printf("peer av_seek_frame + reads (%zu of %d): median %.3f ms, p99 %.3f ms\n",
                peer.size(), seeks, b.p50, b.p99);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const int seeks = argc > 2 ? std::atoi(argv[2]) : 200;
    if (!(seconds > 0) || seeks <= 0) {
        std::fprintf(stderr, "usage: bench_mp4player [seconds] [seeks]\n");
        return 2;
    }
    char dir_template[] = "/tmp/vemx-bench-XXXXXX";
    if (!mkdtemp(dir_template)) return 1;
    const std::string dir = dir_template;
    const std::string file = dir + "/av.mp4";
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t " +
        std::to_string(seconds) +
        " -c:v libx264 -preset veryfast -bf 2 -g 60 -keyint_min 60 -sc_threshold 0 -c:a aac " +
        file;
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the input\n");
        return 1;
    }
    VIZur::LazyWindow::Initialize();
    for (double rate : {1.0, 2.0}) {
        bench_delivery(file, rate, seconds);
        bench_ffmpeg(file, rate);
    }
    bench_seek(file, seeks);
    VIZur::LazyWindow::Uninitialize();
    std::filesystem::remove_all(dir);
    return 0;
}
