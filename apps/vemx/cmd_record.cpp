// vemx record: a transport-stream file through the demultiplexer into the
// MP4 file writer, as a recorder of a live stream would do it.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "vemx/vemx.h"

namespace {

struct Recorder {
    void* writer = nullptr;
    std::string out_path;
    // Set on the demultiplexer's thread, read on the feeding one.
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};
    bool audio = false;
    uint64_t video_frames = 0;
    uint64_t audio_frames = 0;
    uint64_t bytes = 0;
    int64_t first_pts = INT64_MIN;
    int64_t next_report = 0;

    // One progress line per second of recorded media time.
    void progress(int64_t pts) {
        if (first_pts == INT64_MIN) first_pts = pts;
        const int64_t t = pts - first_pts;
        if (t < next_report) return;
        next_report = t + 10000000;
        std::printf("recording %s: %.1f s, %" PRIu64 " video and %" PRIu64 " audio frames, %" PRIu64
                    " bytes\n",
                    out_path.c_str(), t / 1e7, video_frames, audio_frames, bytes);
        std::fflush(stdout);
    }
};

// The demultiplexer describes the streams it chose in the terms the writer
// takes; decoded audio ("pcm") has no place in an MP4 and is left out.
void on_format(const char* video_type, int width, int height, const char* pix_fmt, int fps_num,
               int fps_den, const char* audio_type, int channels, const char* sample_fmt,
               int sample_rate, void* ctx) {
    auto& r = *static_cast<Recorder*>(ctx);
    if (r.ready || r.failed) return;
    if (video_type && *video_type)
        vemx_mp4filewriter_set_video_property(r.writer, video_type, width, height, pix_fmt, fps_num,
                                              fps_den);
    r.audio = audio_type && *audio_type && std::strcmp(audio_type, "pcm") != 0;
    // The writer describes compressed audio by its codec; the decoder's
    // sample format (often planar float) plays no part, and the writer takes
    // the 16-bit name for it.
    (void)sample_fmt;
    if (r.audio)
        vemx_mp4filewriter_set_audio_property(r.writer, audio_type, channels, "s16", sample_rate);
    else if (audio_type && *audio_type)
        std::fprintf(stderr, "vemx record: decoded %s audio is not recorded\n", audio_type);
    vemx_mp4filewriter_set_filename(r.writer, r.out_path.c_str());
    r.ready = vemx_mp4filewriter_init(r.writer) != 0;
    r.failed = !r.ready;
    if (r.failed) std::fprintf(stderr, "vemx record: cannot start %s\n", r.out_path.c_str());
}

void on_video(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key, void* ctx) {
    auto& r = *static_cast<Recorder*>(ctx);
    if (!r.ready) return;
    vemx_mp4filewriter_write_video_frame(r.writer, pts, dts, data, static_cast<int>(size),
                                         key ? 1 : 0);
    ++r.video_frames;
    r.bytes += static_cast<uint64_t>(size);
    r.progress(pts);
}

void on_audio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
    auto& r = *static_cast<Recorder*>(ctx);
    if (!r.ready || !r.audio) return;
    vemx_mp4filewriter_write_audio_frame(r.writer, pts, dts, data, static_cast<int>(size));
    ++r.audio_frames;
    r.bytes += static_cast<uint64_t>(size);
    r.progress(pts);
}

int run_record(const std::vector<std::string>& all_args) {
    // --fragmented: a file that can be played while it is written.
    const bool fragmented = !all_args.empty() && all_args[0] == "--fragmented";
    const std::vector<std::string> args(all_args.begin() + (fragmented ? 1 : 0), all_args.end());
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: vemx record [--fragmented] IN.ts OUT.mp4\n");
        return 2;
    }
    FILE* in = std::fopen(args[0].c_str(), "rb");
    if (!in) {
        std::perror(args[0].c_str());
        return 1;
    }
    Recorder r;
    r.out_path = args[1];
    r.writer = vemx_mp4filewriter_new();
    if (r.writer && fragmented) vemx_mp4filewriter_set_fragmented(r.writer, 1);
    void* demux = vemx_tsdemux_new();
    int rc = 1;
    if (r.writer && demux) {
        vemx_tsdemux_set_callbacks(demux, on_format, on_video, on_audio, &r);
        if (vemx_tsdemux_init(demux)) {
            std::vector<uint8_t> block(64 * 1024);
            size_t n;
            while (!r.failed && (n = std::fread(block.data(), 1, block.size(), in)) > 0)
                vemx_tsdemux_write_data(demux, block.data(), n);
            // Uninit delivers what the demultiplexer still holds.
            vemx_tsdemux_uninit(demux);
            rc = r.ready ? 0 : 1;
        }
    }
    std::fclose(in);
    if (demux) vemx_tsdemux_release(demux);
    // The last release writes the file's trailer.
    if (r.writer) vemx_mp4filewriter_release(r.writer);
    if (rc == 0)
        std::printf("recorded %s: %" PRIu64 " video and %" PRIu64 " audio frames, %" PRIu64
                    " bytes\n",
                    r.out_path.c_str(), r.video_frames, r.audio_frames, r.bytes);
    else if (!r.failed)
        std::fprintf(stderr, "vemx record: no usable stream in %s\n", args[0].c_str());
    return rc;
}

}  // namespace

VEMX_TOOL_COMMAND("record",
                  "[--fragmented] IN.ts OUT.mp4: record a transport stream into an MP4 file",
                  run_record);
