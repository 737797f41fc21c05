// Many live streams at once: 64 demultiplexers, each fed 1316-byte blocks
// of a 4 Mbit/s transport stream at the stream's real rate for 20 s and
// recording into an MP4 file on tmpfs, beside 64 threads each running a
// plain libavformat demux-and-mux loop over the same blocks at the same rate.
// Our blocks come from one pacing thread, as from a server's receive loop;
// each peer thread waits for its own blocks, as a blocking socket read does.
// Printed: CPU per stream (share of one core), threads per stream, the
// process's memory growth, and packets lost.
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "vemx/vemx.h"

namespace {

constexpr int kStreams = 64;
constexpr size_t kBlock = 1316;
constexpr double kSeconds = 20.0;
const std::string kOut = "/dev/shm/vemx-bench-tsdemux-many";

std::vector<uint8_t> Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

int64_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUntil(int64_t ns) {
    const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

long RssKib() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

int Threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// When block `k` of stream `s` is due: the streams are spread over one block
// interval so that they do not all arrive at the same instant.
struct Pace {
    int64_t start;
    double block_ns;
    int64_t Due(int s, size_t k) const {
        return start + static_cast<int64_t>((k + static_cast<double>(s) / kStreams) * block_ns);
    }
};

struct Figures {
    double cpu_seconds;
    double threads;
    long rss_growth_kib;
    uint64_t packets;
};

// Samples threads and memory while `run` goes on.
template <class Run>
Figures Measure(Run run) {
    const long rss0 = RssKib();
    const int threads0 = Threads();
    std::atomic<bool> done{false};
    long rss_peak = rss0;
    int threads_peak = threads0;
    std::thread sampler([&] {
        while (!done) {
            rss_peak = std::max(rss_peak, RssKib());
            threads_peak = std::max(threads_peak, Threads());
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const double cpu = CpuNow();
    const uint64_t packets = run();
    const double cpu_seconds = CpuNow() - cpu;
    done = true;
    sampler.join();
    // The sampler itself is not the work measured.
    return {cpu_seconds, static_cast<double>(threads_peak - threads0 - 1) / kStreams,
            rss_peak - rss0, packets};
}

// --- ours -------------------------------------------------------------------

struct Recording {
    void* writer = vemx_mp4filewriter_new();
    std::string path;
    std::atomic<uint64_t> packets{0};

    static void OnFormat(const char* vt, int w, int h, const char* pf, int fn, int fd,
                         const char* at, int ch, const char* sf, int sr, void* ctx) {
        auto* r = static_cast<Recording*>(ctx);
        vemx_mp4filewriter_set_video_property(r->writer, vt, w, h, pf, fn, fd);
        vemx_mp4filewriter_set_audio_property(r->writer, at, ch, sf, sr);
        vemx_mp4filewriter_set_filename(r->writer, r->path.c_str());
        vemx_mp4filewriter_init(r->writer);
    }
    static void OnVideo(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key,
                        void* ctx) {
        auto* r = static_cast<Recording*>(ctx);
        vemx_mp4filewriter_write_video_frame(r->writer, pts, dts, data, static_cast<int>(size),
                                             key);
        ++r->packets;
    }
    static void OnAudio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
        auto* r = static_cast<Recording*>(ctx);
        vemx_mp4filewriter_write_audio_frame(r->writer, pts, dts, data, static_cast<int>(size));
        ++r->packets;
    }
};

uint64_t RunOurs(const std::vector<uint8_t>& bytes, const Pace& pace) {
    std::vector<std::unique_ptr<Recording>> recordings;
    std::vector<void*> demuxes;
    for (int s = 0; s < kStreams; ++s) {
        auto& r = *recordings.emplace_back(std::make_unique<Recording>());
        r.path = kOut + "/ours" + std::to_string(s) + ".mp4";
        void* d = demuxes.emplace_back(vemx_tsdemux_new());
        vemx_tsdemux_set_callbacks(d, &Recording::OnFormat, &Recording::OnVideo,
                                   &Recording::OnAudio, &r);
        vemx_tsdemux_init(d);
    }
    const size_t blocks = (bytes.size() + kBlock - 1) / kBlock;
    for (size_t k = 0; k < blocks; ++k) {
        for (int s = 0; s < kStreams; ++s) {
            SleepUntil(pace.Due(s, k));
            const size_t at = k * kBlock;
            vemx_tsdemux_write_data(demuxes[s], bytes.data() + at,
                                    std::min(kBlock, bytes.size() - at));
        }
    }
    uint64_t packets = 0;
    for (int s = 0; s < kStreams; ++s) {
        vemx_tsdemux_uninit(demuxes[s]);
        vemx_tsdemux_release(demuxes[s]);
        vemx_mp4filewriter_release(recordings[s]->writer);
        packets += recordings[s]->packets;
    }
    return packets;
}

// --- the plain libavformat loop -----------------------------------------------

struct LiveInput {
    const std::vector<uint8_t>* bytes;
    const Pace* pace;
    int stream;
    size_t at = 0;
};

// A blocking read of a live source: the next block once it is due.
int ReadLive(void* opaque, uint8_t* buf, int size) {
    auto* in = static_cast<LiveInput*>(opaque);
    if (in->at >= in->bytes->size()) return AVERROR_EOF;
    SleepUntil(in->pace->Due(in->stream, in->at / kBlock));
    const size_t n =
        std::min({static_cast<size_t>(size), kBlock - in->at % kBlock, in->bytes->size() - in->at});
    std::memcpy(buf, in->bytes->data() + in->at, n);
    in->at += n;
    return static_cast<int>(n);
}

uint64_t DemuxAndMux(const std::vector<uint8_t>& bytes, const Pace& pace, int s) {
    LiveInput live{&bytes, &pace, s};
    AVFormatContext* in = avformat_alloc_context();
    auto* buffer = static_cast<uint8_t*>(av_malloc(4096));
    in->pb = avio_alloc_context(buffer, 4096, 0, &live, &ReadLive, nullptr, nullptr);
    AVIOContext* pb = in->pb;
    uint64_t packets = 0;
    AVFormatContext* out = nullptr;
    const std::string path = kOut + "/plain" + std::to_string(s) + ".mp4";
    if (avformat_open_input(&in, nullptr, av_find_input_format("mpegts"), nullptr) == 0 &&
        avformat_find_stream_info(in, nullptr) >= 0 &&
        avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str()) >= 0) {
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            AVStream* st = avformat_new_stream(out, nullptr);
            avcodec_parameters_copy(st->codecpar, in->streams[i]->codecpar);
            st->codecpar->codec_tag = 0;
            st->time_base = in->streams[i]->time_base;
        }
        if (avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
            avformat_write_header(out, nullptr) >= 0) {
            AVPacket* pkt = av_packet_alloc();
            while (av_read_frame(in, pkt) >= 0) {
                ++packets;
                av_packet_rescale_ts(pkt, in->streams[pkt->stream_index]->time_base,
                                     out->streams[pkt->stream_index]->time_base);
                av_interleaved_write_frame(out, pkt);
            }
            av_packet_free(&pkt);
            av_write_trailer(out);
        }
        avio_closep(&out->pb);
    }
    avformat_free_context(out);
    avformat_close_input(&in);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    return packets;
}

uint64_t RunPlain(const std::vector<uint8_t>& bytes, const Pace& pace) {
    std::vector<uint64_t> packets(kStreams);
    std::vector<std::thread> threads;
    for (int s = 0; s < kStreams; ++s)
        threads.emplace_back([&, s] { packets[s] = DemuxAndMux(bytes, pace, s); });
    for (auto& t : threads) t.join();
    uint64_t total = 0;
    for (uint64_t p : packets) total += p;
    return total;
}

// Packets in the input, as one demultiplexer reads it from memory.
uint64_t CountPackets(const std::string& path) {
    AVFormatContext* in = nullptr;
    uint64_t n = 0;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) == 0) {
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(in, pkt) >= 0) {
            ++n;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&in);
    return n;
}

void Print(const char* name, const Figures& f, uint64_t expected) {
    std::printf("%s_cpu_per_stream: %.2f %% of a core\n", name,
                100.0 * f.cpu_seconds / kSeconds / kStreams);
    std::printf("%s_threads_per_stream: %.2f\n", name, f.threads);
    std::printf("%s_memory_growth: %.1f MiB\n", name, f.rss_growth_kib / 1024.0);
    std::printf("%s_packets_lost: %lld\n", name,
                static_cast<long long>(expected * kStreams) - static_cast<long long>(f.packets));
}

}  // namespace

int main() {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    av_log_set_level(AV_LOG_ERROR);
    std::filesystem::create_directories(kOut);
    const std::string input = kOut + "/input.ts";
    const std::string make =
        "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=20 -c:v libx264 -preset "
        "ultrafast -pix_fmt yuv420p -b:v 3800k -maxrate 3800k -bufsize 4M -g 50 -c:a aac -b:a "
        "128k -muxrate 4M " +
        input;
    if (std::system(make.c_str()) != 0) return 1;
    const auto bytes = Load(input);
    const uint64_t expected = CountPackets(input);
    std::printf("input: %.2f Mbit/s, %llu packets\n", bytes.size() * 8 / kSeconds / 1e6,
                static_cast<unsigned long long>(expected));
    // Paced at the file's own rate, so that it lasts kSeconds.
    const double block_ns = kSeconds * 1e9 * kBlock / static_cast<double>(bytes.size());

    const Figures ours = Measure([&] { return RunOurs(bytes, Pace{Now() + 100000000, block_ns}); });
    const Figures plain = Measure([&] {
        return RunPlain(bytes, Pace{Now() + 100000000, block_ns});
    });
    std::filesystem::remove_all(kOut);
    Print("vemx_tsdemux_mp4", ours, expected);
    Print("plain_libavformat_mp4", plain, expected);
    std::printf("vemx_vs_plain_cpu_per_stream: %.2f x\n", ours.cpu_seconds / plain.cpu_seconds);
    std::printf("vemx_streams_per_core: %.0f\n", kSeconds * kStreams / ours.cpu_seconds);
    std::printf("plain_streams_per_core: %.0f\n", kSeconds * kStreams / plain.cpu_seconds);
    return 0;
}
