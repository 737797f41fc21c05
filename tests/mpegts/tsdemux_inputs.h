#pragma once
// Transport streams made with the ffmpeg tool once per test run, their
// packets as ffprobe lists them, and a recorder of what the demultiplexer
// delivers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
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
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return out;
}

// The directory holding this run's inputs; removed when the program ends.
inline const std::string& InputDir() {
    struct Dir {
        Dir() {
            char tmpl[] = "/tmp/vemx-tsdemux-XXXXXX";
            const char* made = mkdtemp(tmpl);
            path = made ? made : "";
            EXPECT_FALSE(path.empty());
        }
        ~Dir() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove_all(path, ignored);
        }
        std::string path;
    };
    static const Dir dir;
    return dir.path;
}

// Makes `name` with the given ffmpeg arguments on first use.
inline std::string Input(const std::string& name, const std::string& args) {
    static std::mutex lock;
    static std::map<std::string, std::string> made;
    std::lock_guard guard(lock);
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    const std::string path = InputDir() + "/" + name;
    Run("ffmpeg -v error -nostdin -y " + args + " -f mpegts " + path + " 2>&1");
    made[name] = path;
    return path;
}

inline const std::string kVideo = "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 ";
inline const std::string kTone = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 ";
inline const std::string kX264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 12 ";

inline std::string H264Aac() {
    return Input("h264_aac.ts", kVideo + kTone + kX264 + "-c:a aac -b:a 64k");
}
inline std::string HevcLatm() {
    return Input("hevc_latm.ts", kVideo + kTone +
                                     "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params log-level=none "
                                     "-c:a aac -mpegts_flags latm");
}
inline std::string Mpeg2Mp2() {
    return Input("mpeg2_mp2.ts", kVideo + kTone + "-c:v mpeg2video -pix_fmt yuv420p -c:a mp2 -ac 1");
}
inline std::string H264Mp3Ac3Eac3() {
    return Input("h264_mp3_ac3_eac3.ts", kVideo + kTone + kTone + kTone + "-map 0:v -map 1:a -map 2:a -map 3:a " +
                                             kX264 + "-c:a:0 libmp3lame -c:a:1 ac3 -c:a:2 eac3 -ar:a:1 44100");
}
inline std::string TwoPrograms() {
    return Input("two_programs.ts",
                 kVideo + kTone + kVideo + kTone + "-map 0:v -map 1:a -map 2:v -map 3:a " + kX264 +
                     "-c:v:1 mpeg2video -c:a:0 aac -c:a:1 mp2 "
                     "-program program_num=1:st=0:st=1 -program program_num=2:st=2:st=3");
}
inline std::string WithMpeg4() {
    return Input("with_mpeg4.ts",
                 kVideo + kVideo + kTone + "-map 0:v -map 1:v -map 2:a " + kX264 + "-c:v:1 mpeg4 -c:a aac");
}
inline std::string VideoOnly() { return Input("video_only.ts", kVideo + kX264); }

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    const std::string s = vemx_test::read_file(path);
    return {s.begin(), s.end()};
}

// One packet as ffprobe lists it, timestamps already in 100 ns from the
// start of the input.
struct ProbePacket {
    int pid;
    int64_t pts;
    int64_t dts;
    int64_t size;
    bool key;
};

inline std::vector<ProbePacket> ReadProbePackets(const std::string& path) {
    std::map<int, int> pid_of;
    std::map<int, AVRational> base_of;
    std::istringstream streams(
        Run("ffprobe -v error -show_entries stream=index,id,time_base -of csv=p=0 " + path));
    for (std::string line; std::getline(streams, line);) {
        int index = 0, num = 0, den = 0;
        unsigned pid = 0;
        if (std::sscanf(line.c_str(), "%d,%x,%d/%d", &index, &pid, &num, &den) == 4) {
            pid_of[index] = static_cast<int>(pid);
            base_of[index] = AVRational{num, den};
        }
    }
    const double start = std::stod(Run("ffprobe -v error -show_entries format=start_time -of csv=p=0 " + path));
    const int64_t start_100ns = static_cast<int64_t>(start * 1e6 + 0.5) * 10;

    std::vector<ProbePacket> packets;
    std::istringstream lines(
        Run("ffprobe -v error -show_entries packet=stream_index,pts,dts,size,flags -of csv=p=0 " + path));
    for (std::string line; std::getline(lines, line);) {
        int index = 0;
        long long pts = 0, dts = 0, size = 0;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%d,%lld,%lld,%lld,%7s", &index, &pts, &dts, &size, flags) != 5) continue;
        const AVRational tb = base_of[index];
        packets.push_back({pid_of[index], av_rescale_q(pts, tb, {1, 10000000}) - start_100ns,
                           av_rescale_q(dts, tb, {1, 10000000}) - start_100ns, size, flags[0] == 'K'});
    }
    return packets;
}

inline const std::vector<ProbePacket>& ProbePackets(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, std::vector<ProbePacket>> cache;
    std::lock_guard guard(lock);
    auto it = cache.find(path);
    if (it == cache.end()) it = cache.emplace(path, ReadProbePackets(path)).first;
    return it->second;
}

// What one callback received: per stream id, the packets in order.
struct Delivered {
    int64_t pts;
    int64_t dts;
    int64_t size;
    bool key;
    uint64_t hash;
    bool operator==(const Delivered&) const = default;
};

inline uint64_t Fnv(const uint8_t* p, int64_t n) {
    uint64_t h = 1469598103934665603ull;
    for (int64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

struct MediaRecord {
    std::string media_type, type, pix_fmt, sample_fmt;
    int width, height, fps_num, fps_den, channels, sample_rate, stream_id, program_id;
};

// Registers every reported stream from inside the media-info callback and
// records what each delivers.  Reads happen after uninit joined the thread.
struct Recorder {
    void* demux = nullptr;
    std::vector<MediaRecord> infos;
    std::map<int, std::vector<Delivered>> packets;
    std::map<int, std::vector<int16_t>> pcm_head;  // the first decoded samples
    bool register_streams = true;

    struct Slot {
        Recorder* self;
        int pid;
    };
    std::vector<std::unique_ptr<Slot>> slots;

    static void OnInfos(MediaInfo* const* infos, size_t n, void* ctx) {
        auto* self = static_cast<Recorder*>(ctx);
        for (size_t i = 0; i < n; ++i) {
            const MediaInfo* m = infos[i];
            MediaRecord r{vemx_mediainfo_get_media_type(m), vemx_mediainfo_get_type(m),
                          vemx_mediainfo_get_pix_fmt(m),    vemx_mediainfo_get_sample_fmt(m),
                          vemx_mediainfo_get_width(m),      vemx_mediainfo_get_height(m),
                          vemx_mediainfo_get_fps_num(m),    vemx_mediainfo_get_fps_den(m),
                          vemx_mediainfo_get_channels(m),   vemx_mediainfo_get_sample_rate(m),
                          vemx_mediainfo_get_stream_id(m),  vemx_mediainfo_get_program_id(m)};
            self->infos.push_back(r);
            if (!self->register_streams) continue;
            self->slots.push_back(std::make_unique<Slot>(Slot{self, r.stream_id}));
            if (r.media_type == "video")
                vemx_tsdemux_set_video_callback(self->demux, r.stream_id, &OnVideo, self->slots.back().get());
            else
                vemx_tsdemux_set_audio_callback(self->demux, r.stream_id, &OnAudio, self->slots.back().get());
        }
    }
    static void OnVideo(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key, void* ctx) {
        auto* slot = static_cast<Slot*>(ctx);
        slot->self->packets[slot->pid].push_back({pts, dts, size, key, Fnv(data, size)});
    }
    static void OnAudio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
        auto* slot = static_cast<Slot*>(ctx);
        slot->self->packets[slot->pid].push_back({pts, dts, size, false, Fnv(data, size)});
        auto& head = slot->self->pcm_head[slot->pid];
        const auto* samples = reinterpret_cast<const int16_t*>(data);
        for (int64_t i = 0; i < size / 2 && head.size() < 4096; ++i) head.push_back(samples[i]);
    }

    const MediaRecord* Info(int pid) const {
        for (const auto& r : infos)
            if (r.stream_id == pid) return &r;
        return nullptr;
    }
};

// Feeds `bytes` in blocks whose sizes `next_block` picks, then stops the
// demultiplexer so that everything libavformat holds is delivered.
template <class NextBlock>
void Feed(void* demux, const std::vector<uint8_t>& bytes, NextBlock next_block) {
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min(bytes.size() - at, next_block());
        EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data() + at, n), 0);
        at += n;
    }
    vemx_tsdemux_uninit(demux);
}

// Runs a whole file through a fresh demultiplexer.
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

// Sizes from 1 byte to 1 MiB, spread evenly on a log scale.
inline auto RandomBlocks(uint32_t seed) {
    return [rng = std::mt19937(seed)]() mutable {
        std::uniform_real_distribution<double> exponent(0.0, 20.0);
        return static_cast<size_t>(std::exp2(exponent(rng)));
    };
}

}  // namespace ts_test
