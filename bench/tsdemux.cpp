// Transport-stream demultiplexing speed: the demultiplexer fed in 64 KiB
// blocks and in 1316-byte blocks (a UDP datagram's seven packets) beside a
// plain libavformat loop reading the same bytes from memory, once passing
// H.264 + AAC through and once decoding MPEG audio layer II.  Wall and CPU
// time of the whole process are both compared; run it once more under
// `taskset -c 0` for a single core.  The inputs (60 s of 720p at about
// 4 Mbit/s) are made with ffmpeg.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "vemx/vemx.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSeconds = 60.0;

std::vector<uint8_t> Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Make(const std::string& command) {
    if (std::system(command.c_str()) == 0) return true;
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    return false;
}

// Wall time and the process's CPU time (all threads).  On a loaded machine
// every hand-over between the feeding and the demux thread waits for the
// scheduler, so the CPU figure is the one that compares the work done.
struct Result {
    double seconds;
    double cpu_seconds;
    uint64_t packets;
};

double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// --- ours -------------------------------------------------------------------

struct Counter {
    uint64_t packets = 0;
    uint64_t bytes = 0;
};

void OnVideo(int64_t, int64_t, const uint8_t*, int64_t size, bool, void* ctx) {
    auto* c = static_cast<Counter*>(ctx);
    ++c->packets;
    c->bytes += static_cast<uint64_t>(size);
}
void OnAudio(int64_t, int64_t, const uint8_t*, int64_t size, void* ctx) {
    auto* c = static_cast<Counter*>(ctx);
    ++c->packets;
    c->bytes += static_cast<uint64_t>(size);
}

Result RunOurs(const std::vector<uint8_t>& bytes, int io_buffer, size_t block) {
    Counter counter;
    void* demux = vemx_tsdemux_new();
    vemx_tsdemux_set_callbacks(demux, nullptr, &OnVideo, &OnAudio, &counter);
    vemx_tsdemux_set_buffer_size(demux, io_buffer);
    const auto start = Clock::now();
    const double cpu = CpuNow();
    vemx_tsdemux_init(demux);
    for (size_t at = 0; at < bytes.size(); at += block)
        vemx_tsdemux_write_data(demux, bytes.data() + at, std::min(block, bytes.size() - at));
    vemx_tsdemux_uninit(demux);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu_seconds = CpuNow() - cpu;
    vemx_tsdemux_release(demux);
    return {seconds, cpu_seconds, counter.packets};
}

// --- the plain libavformat loop -----------------------------------------------

struct Memory {
    const std::vector<uint8_t>* bytes;
    size_t at;
};

int ReadMemory(void* opaque, uint8_t* buf, int size) {
    auto* m = static_cast<Memory*>(opaque);
    const size_t n = std::min(static_cast<size_t>(size), m->bytes->size() - m->at);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buf, m->bytes->data() + m->at, n);
    m->at += n;
    return static_cast<int>(n);
}

// Reads every packet; with `decode`, decodes MPEG audio layer II and converts
// it to 16-bit stereo as the demultiplexer does.
Result RunPlain(const std::vector<uint8_t>& bytes, int io_buffer, bool decode) {
    Memory mem{&bytes, 0};
    const auto start = Clock::now();
    const double cpu = CpuNow();
    AVFormatContext* fmt = avformat_alloc_context();
    auto* buffer = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(io_buffer)));
    AVIOContext* io = avio_alloc_context(buffer, io_buffer, 0, &mem, &ReadMemory, nullptr, nullptr);
    fmt->pb = io;
    avformat_open_input(&fmt, nullptr, av_find_input_format("mpegts"), nullptr);
    avformat_find_stream_info(fmt, nullptr);

    AVCodecContext* dec = nullptr;
    SwrContext* swr = nullptr;
    int audio = -1;
    if (decode) {
        audio = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        const AVCodecParameters* par = fmt->streams[audio]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        dec = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(dec, par);
        avcodec_open2(dec, codec, nullptr);
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, dec->sample_rate, &dec->ch_layout,
                            dec->sample_fmt, dec->sample_rate, 0, nullptr);
        swr_init(swr);
    }
    std::vector<uint8_t> pcm(1 << 16);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    uint64_t packets = 0;
    while (av_read_frame(fmt, pkt) >= 0) {
        ++packets;
        if (dec && pkt->stream_index == audio && avcodec_send_packet(dec, pkt) >= 0) {
            while (avcodec_receive_frame(dec, frame) >= 0) {
                uint8_t* out[] = {pcm.data()};
                swr_convert(swr, out, static_cast<int>(pcm.size() / 4),
                            const_cast<const uint8_t**>(frame->data), frame->nb_samples);
                av_frame_unref(frame);
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    av_freep(&io->buffer);
    avio_context_free(&io);
    return {std::chrono::duration<double>(Clock::now() - start).count(), CpuNow() - cpu, packets};
}

// Best of several rounds, ours and the peer's taken in turn so that both
// see the same load.
template <class A, class B>
std::pair<Result, Result> Best(A ours, B peer, int rounds = 15) {
    Result a{1e30, 1e30, 0}, b{1e30, 1e30, 0};
    for (int i = 0; i < rounds; ++i) {
        const Result ra = ours();
        const Result rb = peer();
        a = {std::min(a.seconds, ra.seconds), std::min(a.cpu_seconds, ra.cpu_seconds), ra.packets};
        b = {std::min(b.seconds, rb.seconds), std::min(b.cpu_seconds, rb.cpu_seconds), rb.packets};
    }
    return {a, b};
}

void Print(const std::string& name, const std::vector<uint8_t>& bytes, const Result& r) {
    std::printf("%s_mb_per_s: %.1f MB/s\n", name.c_str(), bytes.size() / 1e6 / r.seconds);
    std::printf("%s_packets_per_s: %.0f packets/s\n", name.c_str(), r.packets / r.seconds);
    std::printf("%s_mb_per_cpu_s: %.1f MB/s\n", name.c_str(), bytes.size() / 1e6 / r.cpu_seconds);
    std::printf("%s_packets_per_cpu_s: %.0f packets/s\n", name.c_str(), r.packets / r.cpu_seconds);
}

}  // namespace

int main() {
    vemx_set_log_sink([](const char*, void*) {}, nullptr);
    char tmpl[] = "/tmp/vemx-bench-tsdemux-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string video = dir + "/video.ts", aac = dir + "/h264_aac.ts",
                      mp2 = dir + "/h264_mp2.ts";
    const std::string quiet = "ffmpeg -v error -nostdin -y ";
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 ";
    const bool made =
        Make(
            quiet +
            "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 -c:v libx264 -preset ultrafast "
            "-pix_fmt yuv420p -b:v 3800k -maxrate 4M -bufsize 4M -g 50 " +
            video) &&
        Make(quiet + "-i " + video + " " + tone +
             "-map 0:v -map 1:a -c:v copy -c:a aac -b:a 128k -ac 2 " + aac) &&
        Make(quiet + "-i " + video + " " + tone +
             "-map 0:v -map 1:a -c:v copy -c:a mp2 -b:a 192k -ac 2 " + mp2);
    if (!made) {
        std::filesystem::remove_all(dir);
        return 1;
    }
    const auto pass = Load(aac);
    const auto decoded = Load(mp2);
    std::filesystem::remove_all(dir);

    std::printf("input_h264_aac: %.2f Mbit/s\n", pass.size() * 8 / kSeconds / 1e6);
    // 4096 is the demultiplexer's default read buffer; both sides use the same.
    for (int io : {4096, 65536}) {
        for (size_t block : {size_t{65536}, size_t{1316}}) {
            const std::string tag = "_io" + std::to_string(io) + "_block" + std::to_string(block);
            const auto [ours, plain] = Best([&] { return RunOurs(pass, io, block); },
                                            [&] { return RunPlain(pass, io, false); });
            Print("vemx_tsdemux" + tag, pass, ours);
            Print("plain_libavformat" + tag, pass, plain);
            std::printf("vemx_vs_plain%s: %.2f x\n", tag.c_str(), plain.seconds / ours.seconds);
            std::printf("vemx_vs_plain%s_cpu: %.2f x\n", tag.c_str(),
                        plain.cpu_seconds / ours.cpu_seconds);
        }
    }
    const auto [ours, plain] = Best([&] { return RunOurs(decoded, 4096, 65536); },
                                    [&] { return RunPlain(decoded, 4096, true); });
    Print("vemx_tsdemux_mp2_decoded", decoded, ours);
    Print("plain_libavformat_mp2_decoded", decoded, plain);
    std::printf("vemx_mp2_decoded_realtime: %.0f x\n", kSeconds / ours.seconds);
    std::printf("plain_mp2_decoded_realtime: %.0f x\n", kSeconds / plain.seconds);
    std::printf("vemx_mp2_decoded_realtime_cpu: %.0f x\n", kSeconds / ours.cpu_seconds);
    std::printf("plain_mp2_decoded_realtime_cpu: %.0f x\n", kSeconds / plain.cpu_seconds);
    return 0;
}
