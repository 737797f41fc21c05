// vemx probe: feeds a transport-stream file through the demultiplexer in
// blocks and reports its streams and what was delivered of each.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "command.h"
#include "options.h"
#include "vemx/vemx.h"

namespace {

struct StreamCount {
    bool video = false;
    uint64_t packets = 0;
    uint64_t keys = 0;
    uint64_t bytes = 0;
    int64_t first_pts = 0;
    int64_t last_pts = 0;
};

struct Probe {
    void* demux = nullptr;
    std::vector<std::string> infos;
    // Keyed by stream id; std::map keeps the element addresses stable for
    // the callback contexts.
    std::map<int, StreamCount> streams;
};

void count(StreamCount& s, int64_t pts, int64_t size) {
    if (s.packets == 0) s.first_pts = pts;
    s.last_pts = pts;
    ++s.packets;
    s.bytes += static_cast<uint64_t>(size);
}

void on_video(int64_t pts, int64_t, const uint8_t*, int64_t size, bool key, void* ctx) {
    auto& s = *static_cast<StreamCount*>(ctx);
    count(s, pts, size);
    if (key) ++s.keys;
}

void on_audio(int64_t pts, int64_t, const uint8_t*, int64_t size, void* ctx) {
    count(*static_cast<StreamCount*>(ctx), pts, size);
}

void on_media_infos(MediaInfo* const* infos, size_t n, void* ctx) {
    auto& probe = *static_cast<Probe*>(ctx);
    for (size_t i = 0; i < n; ++i) {
        const MediaInfo* m = infos[i];
        const std::string kind = vemx_mediainfo_get_media_type(m);
        const int id = vemx_mediainfo_get_stream_id(m);
        char line[256];
        if (kind == "video") {
            std::snprintf(line, sizeof line, "stream pid=%d program=%d video %s %dx%d %s %d/%d fps",
                          id, vemx_mediainfo_get_program_id(m), vemx_mediainfo_get_type(m),
                          vemx_mediainfo_get_width(m), vemx_mediainfo_get_height(m),
                          vemx_mediainfo_get_pix_fmt(m), vemx_mediainfo_get_fps_num(m),
                          vemx_mediainfo_get_fps_den(m));
        } else {
            std::snprintf(line, sizeof line, "stream pid=%d program=%d audio %s %d Hz %d ch %s", id,
                          vemx_mediainfo_get_program_id(m), vemx_mediainfo_get_type(m),
                          vemx_mediainfo_get_sample_rate(m), vemx_mediainfo_get_channels(m),
                          vemx_mediainfo_get_sample_fmt(m));
        }
        probe.infos.emplace_back(line);
        StreamCount& s = probe.streams[id];
        s.video = kind == "video";
        if (s.video)
            vemx_tsdemux_set_video_callback(probe.demux, id, on_video, &s);
        else
            vemx_tsdemux_set_audio_callback(probe.demux, id, on_audio, &s);
    }
}

constexpr char kUsage[] = "usage: vemx probe [--block BYTES] FILE.ts\n";

int run_probe(const std::vector<std::string>& args) {
    std::string path;
    size_t block = 64 * 1024;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--block" && i + 1 < args.size()) {
            block = size_t(vemx_tool::IntOption(kUsage, "--block", args[++i], 1, 64 << 20));
        } else if (path.empty()) {
            path = args[i];
        } else {
            path.clear();
            break;
        }
    }
    if (path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::perror(path.c_str());
        return 1;
    }

    Probe probe;
    probe.demux = vemx_tsdemux_new();
    if (!probe.demux) {
        std::fclose(file);
        return 1;
    }
    vemx_tsdemux_set_media_info_callback(probe.demux, on_media_infos, &probe);
    if (!vemx_tsdemux_init(probe.demux)) {
        std::fclose(file);
        vemx_tsdemux_release(probe.demux);
        return 1;
    }
    std::vector<uint8_t> buffer(block);
    uint64_t total = 0;
    for (;;) {
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
        if (n == 0) break;
        vemx_tsdemux_write_data(probe.demux, buffer.data(), n);
        total += n;
    }
    std::fclose(file);
    // Stopping flushes what libavformat still holds.
    vemx_tsdemux_uninit(probe.demux);
    vemx_tsdemux_release(probe.demux);

    std::printf("%s: %" PRIu64 " bytes in blocks of %zu\n", path.c_str(), total, block);
    for (const std::string& line : probe.infos) std::printf("%s\n", line.c_str());
    for (const auto& [id, s] : probe.streams) {
        std::printf("pid=%d packets=%" PRIu64 " bytes=%" PRIu64, id, s.packets, s.bytes);
        if (s.video) std::printf(" keys=%" PRIu64, s.keys);
        std::printf(" first_pts=%.2f ms last_pts=%.2f ms\n", s.first_pts / 10000.0,
                    s.last_pts / 10000.0);
    }
    return probe.infos.empty() ? 1 : 0;
}

}  // namespace

VEMX_TOOL_COMMAND("probe", "[--block BYTES] FILE.ts: stream infos and per-stream packet counts",
                  run_probe);
