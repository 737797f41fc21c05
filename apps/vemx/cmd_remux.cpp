// vemx remux: our demultiplexer feeding our multiplexer, stream by stream,
// each stream keeping its PID.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"

namespace {

struct Remux;

struct Stream {
    Remux* owner = nullptr;
    unsigned pid = 0;
    uint64_t frames = 0;
};

struct Remux {
    void* demux = nullptr;
    void* mux = nullptr;
    std::string out_path;
    std::vector<int> wanted;  // empty: every stream
    std::map<int, Stream> streams;
    // Set on the demultiplexer's thread, read on the feeding one.
    std::atomic<bool> ready{false};
    std::atomic<bool> failed{false};
};

void on_video(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key, void* ctx) {
    auto& s = *static_cast<Stream*>(ctx);
    if (!s.owner->ready) return;
    vemx_tsmux_write_video_frame3(s.owner->mux, s.pid, pts, dts, data, static_cast<int>(size),
                                  key ? 1 : 0);
    ++s.frames;
}

void on_audio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
    auto& s = *static_cast<Stream*>(ctx);
    if (!s.owner->ready) return;
    vemx_tsmux_write_audio_frame3(s.owner->mux, s.pid, pts, dts, data, static_cast<int>(size));
    ++s.frames;
}

// All streams are known at once: describe the chosen ones to the
// multiplexer, start it, and route each stream's packets to it.
void on_media_infos(MediaInfo* const* infos, size_t n, void* ctx) {
    auto& r = *static_cast<Remux*>(ctx);
    if (r.ready || r.failed) return;
    for (size_t i = 0; i < n; ++i) {
        const MediaInfo* m = infos[i];
        const int pid = vemx_mediainfo_get_stream_id(m);
        if (!r.wanted.empty() && std::find(r.wanted.begin(), r.wanted.end(), pid) == r.wanted.end())
            continue;
        const bool video = std::strcmp(vemx_mediainfo_get_media_type(m), "video") == 0;
        const std::string type = vemx_mediainfo_get_type(m);
        if (video) {
            // Full-range 4:2:0 is still 4:2:0 to the multiplexer.
            vemx_tsmux_set_video_property1(
                r.mux, static_cast<unsigned>(pid), type.c_str(), vemx_mediainfo_get_width(m),
                vemx_mediainfo_get_height(m), "yv12", vemx_mediainfo_get_fps_num(m),
                vemx_mediainfo_get_fps_den(m));
        } else if (type == "pcm") {
            // Layer II, AC-3 and LATM reach us decoded; PCM has no place in
            // a transport stream of ours.
            std::fprintf(stderr, "vemx remux: pid %d is delivered decoded, left out\n", pid);
            continue;
        } else {
            // Compressed audio is described by its codec; "s16" only names
            // the sample size the multiplexer expects.
            vemx_tsmux_set_audio_property1(r.mux, static_cast<unsigned>(pid), type.c_str(),
                                           vemx_mediainfo_get_channels(m), "s16",
                                           vemx_mediainfo_get_sample_rate(m));
        }
        Stream& s = r.streams[pid];
        s.owner = &r;
        s.pid = static_cast<unsigned>(pid);
        if (video)
            vemx_tsdemux_set_video_callback(r.demux, pid, on_video, &s);
        else
            vemx_tsdemux_set_audio_callback(r.demux, pid, on_audio, &s);
    }
    vemx_tsmux_set_filename(r.mux, r.out_path.c_str());
    r.ready = !r.streams.empty() && vemx_tsmux_init(r.mux) != 0;
    r.failed = !r.ready;
}

constexpr char kUsage[] = "usage: vemx remux IN.ts OUT.ts [--pid PID ...]\n";

int run_remux(const std::vector<std::string>& args) {
    Remux r;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--pid" && i + 1 < args.size())
            r.wanted.push_back(int(vemx_tool::IntOption(kUsage, "--pid", args[++i], 0, 0x1FFF)));
        else
            paths.push_back(args[i]);
    }
    if (paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    FILE* in = std::fopen(paths[0].c_str(), "rb");
    if (!in) {
        std::perror(paths[0].c_str());
        return 1;
    }
    r.out_path = paths[1];
    r.demux = vemx_tsdemux_new();
    r.mux = vemx_tsmux_new();
    if (r.demux && r.mux) {
        vemx_tsdemux_set_media_info_callback(r.demux, on_media_infos, &r);
        if (vemx_tsdemux_init(r.demux)) {
            std::vector<uint8_t> block(64 * 1024);
            size_t n;
            while (!r.failed && (n = std::fread(block.data(), 1, block.size(), in)) > 0)
                vemx_tsdemux_write_data(r.demux, block.data(), n);
            // Uninit delivers what the demultiplexer still holds.
            vemx_tsdemux_uninit(r.demux);
        }
        if (r.ready) vemx_tsmux_uninit(r.mux);
    }
    std::fclose(in);
    if (r.demux) vemx_tsdemux_release(r.demux);
    if (r.mux) vemx_tsmux_release(r.mux);
    if (!r.ready) {
        std::fprintf(stderr, "vemx remux: no stream of %s could be multiplexed\n",
                     paths[0].c_str());
        return 1;
    }
    std::printf("remuxed %s -> %s\n", paths[0].c_str(), r.out_path.c_str());
    for (const auto& [pid, s] : r.streams)
        std::printf("pid=%d frames=%" PRIu64 "\n", pid, s.frames);
    return 0;
}

}  // namespace

VEMX_TOOL_COMMAND("remux", "IN.ts OUT.ts [--pid PID ...]: demultiplex and multiplex again",
                  run_remux);
