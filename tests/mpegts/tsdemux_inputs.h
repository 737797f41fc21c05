#pragma once
// Transport streams made with ffmpeg once per test program, ffprobe's view
// of their packets, and a recorder of what the demultiplexer delivers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "common/log_capture.h"
#include "vemx/vemx_tsdemux.h"

namespace ts_test {

inline std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; pipe && (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    EXPECT_EQ(pipe ? pclose(pipe) : -1, 0) << command;
    return out;
}

// The file made by `name`'s recipe, on first use, in a directory removed
// when the program ends.  One second of 160x120 video and a 440 Hz tone.
inline std::string Path(const std::string& name) {
    static const std::string more =
        "-f lavfi -i sine=sample_rate=48000:duration=1 -f lavfi -i "
        "testsrc=size=160x120:duration=1 ";
    static const std::string x264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 12 ";
    static const std::map<std::string, std::string> recipes = {
        {"h264_aac", x264 + "-c:a aac"},
        {"hevc_latm",
         "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none -c:a aac "
         "-mpegts_flags latm"},
        {"mpeg2_mp2", "-c:v mpeg2video -pix_fmt yuv420p -c:a mp2"},
        {"mp3_ac3_eac3", more + more + "-map 0:v -map 1:a -map 2:a -map 4:a " + x264 +
                             "-c:a:0 libmp3lame -c:a:1 ac3 -ar:a:1 44100 -c:a:2 eac3"},
        {"two_programs",
         more + "-map 0:v -map 1:a -map 3:v -map 2:a " + x264 +
             "-c:v:1 mpeg2video -c:a:0 aac -c:a:1 mp2 -program program_num=1:st=0:st=1 "
             "-program program_num=2:st=2:st=3"},
        {"with_mpeg4", more + "-map 0:v -map 3:v -map 1:a " + x264 + "-c:v:1 mpeg4 -c:a aac"},
        {"video_only", "-map 0:v " + x264},
    };
    struct Dir {
        Dir() {
            char tmpl[] = "/tmp/vemx-tsdemux-XXXXXX";
            path = mkdtemp(tmpl) ? tmpl : "/tmp";
        }
        ~Dir() { std::filesystem::remove_all(path); }
        std::string path;
    };
    static const Dir dir;
    const std::string path = dir.path + "/" + name + ".ts";
    if (!std::filesystem::exists(path))
        Run("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=160x120:rate=25:duration=1 -f "
            "lavfi -i "
            "sine=frequency=440:sample_rate=48000:duration=1 " +
            recipes.at(name) + " -f mpegts " + path + " 2>&1");
    return path;
}

inline std::vector<uint8_t> Bytes(const std::string& name) {
    const std::string s = vemx_test::read_file(Path(name));
    return {s.begin(), s.end()};
}

// ffprobe's packets of one stream id, timestamps in 100 ns from the start.
struct ProbePacket {
    int64_t pts, dts, size;
    bool key;
};
inline std::vector<ProbePacket> Probe(const std::string& name, int pid) {
    std::istringstream lines(
        Run("ffprobe -v error -of compact -show_entries format=start_time:stream=index,id,"
            "time_base:packet=stream_index,pts,dts,size,flags " +
            Path(name)));
    std::map<int, std::pair<int, AVRational>> streams;  // index -> pid, time base
    int64_t start = 0;
    struct Raw {
        int index;
        long long pts, dts, size;
        char flags[4];
    };
    std::vector<Raw> raw;  // packets come before the streams they belong to
    for (std::string line; std::getline(lines, line);) {
        int index, num, den;
        unsigned id;
        double seconds;
        Raw r{};
        if (std::sscanf(line.c_str(), "stream|index=%d|id=%x|time_base=%d/%d", &index, &id, &num,
                        &den) == 4)
            streams[index] = {static_cast<int>(id), AVRational{num, den}};
        else if (std::sscanf(line.c_str(), "format|start_time=%lf", &seconds) == 1)
            start = std::llround(seconds * 1e6) * 10;
        else if (std::sscanf(line.c_str(),
                             "packet|stream_index=%d|pts=%lld|dts=%lld|size=%lld|flags=%3s",
                             &r.index, &r.pts, &r.dts, &r.size, r.flags) == 5)
            raw.push_back(r);
    }
    std::vector<ProbePacket> packets;
    for (const Raw& r : raw) {
        const auto [id, tb] = streams.at(r.index);
        if (id == pid)
            packets.push_back({av_rescale_q(r.pts, tb, {1, 10000000}) - start,
                               av_rescale_q(r.dts, tb, {1, 10000000}) - start, r.size,
                               r.flags[0] == 'K'});
    }
    return packets;
}

struct Delivered {
    int64_t pts, dts, size;
    bool key;
    uint64_t hash;
    bool operator==(const Delivered&) const = default;
};

struct Info {
    std::string media_type, type, pix_fmt, sample_fmt;
    int width, height, fps_num, fps_den, channels, sample_rate, program_id;
};

// Registers every stream from inside the media-info callback and records
// what each delivers.  Read it after uninit has joined the demux thread.
struct Recorder {
    void* demux = nullptr;
    std::map<int, Info> infos;  // by stream id
    std::map<int, std::vector<Delivered>> packets;
    std::vector<int16_t> pcm;  // the first decoded samples of any stream
    std::vector<std::unique_ptr<std::pair<Recorder*, int>>> slots;

    static void OnInfos(MediaInfo* const* infos, size_t n, void* ctx) {
        auto* self = static_cast<Recorder*>(ctx);
        for (size_t i = 0; i < n; ++i) {
            const MediaInfo* m = infos[i];
            const int id = vemx_mediainfo_get_stream_id(m);
            self->infos[id] = {vemx_mediainfo_get_media_type(m), vemx_mediainfo_get_type(m),
                               vemx_mediainfo_get_pix_fmt(m),    vemx_mediainfo_get_sample_fmt(m),
                               vemx_mediainfo_get_width(m),      vemx_mediainfo_get_height(m),
                               vemx_mediainfo_get_fps_num(m),    vemx_mediainfo_get_fps_den(m),
                               vemx_mediainfo_get_channels(m),   vemx_mediainfo_get_sample_rate(m),
                               vemx_mediainfo_get_program_id(m)};
            auto* slot =
                self->slots.emplace_back(std::make_unique<std::pair<Recorder*, int>>(self, id))
                    .get();
            if (self->infos[id].media_type == "video")
                vemx_tsdemux_set_video_callback(self->demux, id, &OnVideo, slot);
            else
                vemx_tsdemux_set_audio_callback(self->demux, id, &OnAudio, slot);
        }
    }
    static void Add(void* ctx, int64_t pts, int64_t dts, const uint8_t* data, int64_t size,
                    bool key) {
        auto [self, id] = *static_cast<std::pair<Recorder*, int>*>(ctx);
        uint64_t h = 1469598103934665603ull;
        for (int64_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
        self->packets[id].push_back({pts, dts, size, key, h});
    }
    static void OnVideo(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key,
                        void* ctx) {
        Add(ctx, pts, dts, data, size, key);
    }
    static void OnAudio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
        Add(ctx, pts, dts, data, size, false);
        auto& pcm = static_cast<std::pair<Recorder*, int>*>(ctx)->first->pcm;
        for (int64_t i = 0; i < size / 2 && pcm.size() < 4096; ++i)
            pcm.push_back(reinterpret_cast<const int16_t*>(data)[i]);
    }
};

// Feeds `bytes` in blocks of next_block() bytes, then stops the thread so
// that everything libavformat still holds is delivered.
template <class NextBlock>
void Feed(void* demux, const std::vector<uint8_t>& bytes, NextBlock next_block) {
    for (size_t at = 0, n; at < bytes.size(); at += n) {
        n = std::min(bytes.size() - at, next_block());
        EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data() + at, n), 0);
    }
    vemx_tsdemux_uninit(demux);
}

template <class NextBlock>
Recorder Demux(const std::vector<uint8_t>& bytes, NextBlock next_block) {
    Recorder rec;
    rec.demux = vemx_tsdemux_new();
    vemx_tsdemux_set_media_info_callback(rec.demux, &Recorder::OnInfos, &rec);
    EXPECT_EQ(vemx_tsdemux_init(rec.demux), 1);
    Feed(rec.demux, bytes, next_block);
    vemx_tsdemux_release(rec.demux);
    return rec;
}

inline auto Blocks(size_t n) {
    return [n] { return n; };
}

// Sizes from 1 byte to 1 MiB, evenly spread on a log scale.
inline auto RandomBlocks(uint32_t seed) {
    return [rng = std::mt19937(seed)]() mutable {
        return static_cast<size_t>(
            std::exp2(std::uniform_real_distribution<double>(0.0, 20.0)(rng)));
    };
}

}  // namespace ts_test
