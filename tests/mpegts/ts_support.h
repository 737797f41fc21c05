#pragma once
// Shared by the transport-stream tests: inputs made by the ffmpeg tool,
// libavformat's and ffprobe's reading of them, a feeder and a capture for the
// multiplexer, a recorder for the demultiplexer, and a packet checker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/log_capture.h"
#include "vemx/vemx_tsdemux.h"
#include "vemx/vemx_tsmux.h"

namespace ts_test {

inline uint64_t Hash(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// ---- Multiplexer side ----

struct Frame {
    std::string bytes;
    bool key = false;
    int64_t pts = 0;  // 100-ns units when fed, 90 kHz ticks when read back
    int64_t dts = 0;
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }
    int size() const { return static_cast<int>(bytes.size()); }
};

inline bool IsVideo(const std::string& kind) {
    return kind == "h264" || kind == "hevc" || kind == "mpeg2video";
}

// Frames of a file as libavformat's demuxers and parsers split them, keyed by
// stream id (the PID in a transport stream).  Timestamps in the stream's time
// base, or in 100 ns from the start of the file.
inline std::map<int, std::vector<Frame>> ReadBack(const std::string& path, bool hns = false) {
    std::map<int, std::vector<Frame>> out;
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return out;
    AVPacket* pkt = av_packet_alloc();
    avformat_find_stream_info(fc, nullptr);
    while (av_read_frame(fc, pkt) >= 0) {
        const AVStream* st = fc->streams[pkt->stream_index];
        auto time = [&](int64_t t) {
            return hns ? av_rescale_q(t, st->time_base, {1, 10000000}) - fc->start_time * 10 : t;
        };
        out[st->id].push_back({std::string(reinterpret_cast<char*>(pkt->data), pkt->size),
                               (pkt->flags & AV_PKT_FLAG_KEY) != 0, time(pkt->pts),
                               time(pkt->dts)});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fc);
    return out;
}

// One second of `kind`, made once per test program, with timestamps of our
// own from `start`: 25 fps video, 48 kHz audio.
inline std::vector<Frame> EsFrames(const std::string& kind, int64_t start = 0) {
    static std::mutex lock;
    std::lock_guard guard(lock);
    const std::string v = "-f lavfi -i testsrc=size=160x96:rate=25 -t 1 ";
    const std::string a = "-f lavfi -i sine=r=48000 -t 1 -ac 2 -c:a ";
    const std::map<std::string, std::string> recipe = {
        {"h264", v + "-c:v libx264 -bf 0 -g 10 -x264-params aud=1 -f h264"},
        {"hevc", v + "-c:v libx265 -x265-params bframes=0:keyint=10:aud=1:log-level=0 -f hevc"},
        {"mpeg2video", v + "-c:v mpeg2video -bf 0 -g 10 -f mpeg2video"},
        {"adts", a + "aac -f adts"},
        {"mp2", a + "mp2 -f mp2"},
        {"mp3", a + "libmp3lame -write_xing 0 -id3v2_version 0 -f mp3"},
        {"ac3", a + "ac3 -f ac3"},
        {"eac3", a + "eac3 -f eac3"}};
    const std::map<std::string, int64_t> samples = {
        {"adts", 1024}, {"mp2", 1152}, {"mp3", 1152}, {"ac3", 1536}, {"eac3", 1536}};
    static std::map<std::string, std::vector<Frame>> made;
    if (!made.count(kind)) {
        const std::string path = std::filesystem::temp_directory_path().string() + "/vemx-tsmux-" +
                                 std::to_string(getpid()) + "." + kind;
        std::system(("ffmpeg -nostdin -v error -y " + recipe.at(kind) + " " + path).c_str());
        auto d = ReadBack(path);
        std::filesystem::remove(path);
        made[kind] = d.empty() ? std::vector<Frame>{} : d.begin()->second;
    }
    std::vector<Frame> frames = made[kind];
    for (size_t i = 0; i < frames.size(); ++i) {
        const int64_t n = static_cast<int64_t>(i);
        frames[i].pts = frames[i].dts =
            start + (IsVideo(kind) ? n * 400000 : n * samples.at(kind) * 10000000 / 48000);
        frames[i].key = frames[i].key || !IsVideo(kind);
    }
    return frames;
}

struct Input {
    std::string kind;
    unsigned pid;  // 0: the single stream of that medium
    std::vector<Frame> frames;
};

// PID-keyed streams for every input, in program pid / 256 when asked.
inline void AddStreams(void* mux, const std::vector<Input>& inputs, bool programs) {
    for (const auto& in : inputs) {
        if (IsVideo(in.kind))
            vemx_tsmux_set_video_property1(mux, in.pid, in.kind.c_str(), 160, 96, "yv12", 25, 1);
        else
            vemx_tsmux_set_audio_property1(mux, in.pid, in.kind.c_str(), 2, "s16", 48000);
        if (programs) vemx_tsmux_program_add_stream(mux, in.pid >> 8, in.pid);
    }
}

// Writes every frame in dts order (earlier inputs first on ties), through the
// single-stream writers for pid 0 and the PID-keyed ones otherwise.
inline void Feed(void* mux, const std::vector<Input>& inputs) {
    std::vector<std::pair<const Input*, const Frame*>> all;
    for (const auto& in : inputs)
        for (const auto& f : in.frames) all.emplace_back(&in, &f);
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& x, const auto& y) { return x.second->dts < y.second->dts; });
    for (const auto& [in, f] : all) {
        const uint8_t* d = f->data();
        const int n = f->size();
        const bool video = IsVideo(in->kind), same = f->pts == f->dts;
        if (in->pid && video)
            vemx_tsmux_write_video_frame3(mux, in->pid, f->pts, f->dts, d, n, f->key);
        if (in->pid && !video) vemx_tsmux_write_audio_frame3(mux, in->pid, f->pts, f->dts, d, n);
        if (!in->pid && video && same) vemx_tsmux_write_video_frame(mux, f->pts, d, n, f->key);
        if (!in->pid && video && !same)
            vemx_tsmux_write_video_frame2(mux, f->pts, f->dts, d, n, f->key);
        if (!in->pid && !video) vemx_tsmux_write_audio_frame2(mux, f->pts, f->dts, d, n);
    }
}

// Everything the packet callback received, block by block.
struct Capture {
    std::mutex lock;
    std::vector<std::string> blocks;

    static void OnPacket(const uint8_t* d, int64_t n, void* ctx) {
        auto* c = static_cast<Capture*>(ctx);
        std::lock_guard g(c->lock);
        c->blocks.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
    }
    std::string Bytes() {
        std::string all;
        for (const auto& b : blocks) all += b;
        return all;
    }
    std::string Save(const std::string& path) {
        std::ofstream(path, std::ios::binary) << Bytes();
        return path;
    }
};

// A multiplexer whose output is captured; released (without uninit) last.
struct Mux {
    void* h = vemx_tsmux_new();
    Capture cap;
    Mux() { vemx_tsmux_set_callbacks(h, &Capture::OnPacket, &cap); }
    ~Mux() { vemx_tsmux_release(h); }
};

// Walks 188-byte packets, checks continuity, and reads PAT, PMT, SDT and PCRs.
struct TsScan {
    std::string error;  // first inconsistency; empty when the stream is sound
    std::map<int, size_t> per_pid;
    int tsid = -1, onid = -1;
    std::map<int, int> pmt_pid;                                  // program -> PMT PID
    std::map<int, std::vector<std::pair<int, int>>> streams;     // program -> (type, PID)
    std::map<int, std::pair<int, std::string>> service;          // program -> (type, "prov/name")
    std::map<int, std::vector<std::pair<int64_t, size_t>>> pcr;  // PID -> (27 MHz, packet no.)
    std::map<int, int> random_access;                            // PID -> flagged packets

    explicit TsScan(const std::string& ts) {
        std::map<int, int> cc;
        if (ts.size() % 188) error = "length not a multiple of 188";
        for (size_t off = 0; off + 188 <= ts.size() && error.empty(); off += 188) {
            const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + off);
            const int pid = (p[1] & 0x1f) << 8 | p[2], afc = p[3] >> 4 & 3;
            if (p[0] != 0x47) error = "no sync byte at " + std::to_string(off);
            ++per_pid[pid];
            size_t pos = 4;
            if (afc & 2) {
                if (p[4] > 0 && (p[5] & 0x40)) ++random_access[pid];
                if (p[4] >= 7 && (p[5] & 0x10))
                    pcr[pid].emplace_back(
                        (int64_t{p[6]} << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7) *
                                300 +
                            ((p[10] & 1) << 8 | p[11]),
                        off / 188);
                pos += 1 + p[4];
            }
            if (!(afc & 1) || pid == 0x1fff) continue;
            if (cc.count(pid) && (p[3] & 15) != ((cc[pid] + 1) & 15))
                error = "continuity break on PID " + std::to_string(pid);
            cc[pid] = p[3] & 15;
            if ((p[1] & 0x40) && pos < 188) Section(pid, p + pos + 1 + p[pos], p + 188);
        }
        if (error.empty() && !per_pid.count(0)) error = "no PAT";
        for (const auto& [prog, pid] : pmt_pid)
            if (error.empty() && !streams.count(prog)) error = "no PMT for " + std::to_string(prog);
    }

    void Section(int pid, const uint8_t* s, const uint8_t* end) {
        if (end - s < 12 || s + 3 + ((s[1] & 0x0f) << 8 | s[2]) > end) return;
        const uint8_t* stop = s + 3 + ((s[1] & 0x0f) << 8 | s[2]) - 4;  // before the CRC
        const int id = s[3] << 8 | s[4];
        auto next = [](const uint8_t* e, int head) {
            return e + head + ((e[head - 2] & 0x0f) << 8 | e[head - 1]);
        };
        if (pid == 0 && s[0] == 0x00) {
            tsid = id;
            for (const uint8_t* e = s + 8; e + 4 <= stop; e += 4)
                if (int prog = e[0] << 8 | e[1]) pmt_pid[prog] = (e[2] & 0x1f) << 8 | e[3];
        } else if (s[0] == 0x02) {
            auto& list = streams[id];
            list.clear();
            for (const uint8_t* e = s + 12 + ((s[10] & 0x0f) << 8 | s[11]); e + 5 <= stop;
                 e = next(e, 5))
                list.emplace_back(e[0], (e[1] & 0x1f) << 8 | e[2]);
        } else if (pid == 0x11 && s[0] == 0x42) {
            onid = s[8] << 8 | s[9];
            for (const uint8_t* e = s + 11; e + 5 <= stop; e = next(e, 5)) {
                const uint8_t* d = e + 5;  // the service descriptor comes first
                if (d[0] != 0x48) continue;
                service[e[0] << 8 | e[1]] = {
                    d[2],
                    std::string(reinterpret_cast<const char*>(d + 4), d[3]) + "/" +
                        std::string(reinterpret_cast<const char*>(d + 5 + d[3]), d[4 + d[3]])};
            }
        }
    }
};

// ---- Demultiplexer side ----

// The transport stream made by `name`'s recipe, on first use, in a directory
// removed when the program ends.  One second of 160x120 video and a tone.
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
        // The same content as h264_aac, crossing the 33-bit wrap 0.8 s in,
        // and moved on by an hour.
        {"h264_aac_wrap", x264 + "-c:a aac -output_ts_offset 95441.5"},
        {"h264_aac_hour", x264 + "-c:a aac -output_ts_offset 3600"},
        // Several times the demultiplexer's feed ring (about 3 MB).
        {"mpeg2_large",
         "-f lavfi -i testsrc=size=720x576:rate=25:duration=1,noise=alls=30:allf=t -map 2:v -map "
         "1:a "
         "-c:v mpeg2video "
         "-q:v 1 -c:a mp2"},
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
        vemx_test::run_command(
            "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=160x120:rate=25:duration=1 "
            "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 " +
            recipes.at(name) + " -f mpegts " + path + " 2>&1");
    return path;
}

inline std::vector<uint8_t> Bytes(const std::string& name) {
    const std::string s = vemx_test::read_file(Path(name));
    return {s.begin(), s.end()};
}

// libavformat's packets of one stream id, in 100 ns from the start.
inline std::vector<Frame> Probe(const std::string& name, int pid) {
    return ReadBack(Path(name), true)[pid];
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

using Packets = std::map<int, std::vector<Delivered>>;  // by stream id

// A demultiplexer, set up by `configure` before its init, that registers
// every stream from inside the media-info callback and records what each
// delivers.  Read it after Feed, which ends with the uninit that joins the
// demux thread; released with the object.
struct Recorder {
    void* demux = vemx_tsdemux_new();
    std::map<int, Info> infos;  // by stream id
    Packets packets;
    std::vector<int16_t> pcm;  // the first decoded samples of any stream
    std::vector<std::unique_ptr<std::pair<Recorder*, int>>> slots;

    explicit Recorder(const std::function<void(void*)>& configure = nullptr) {
        vemx_tsdemux_set_media_info_callback(demux, &OnInfos, this);
        if (configure) configure(demux);
        EXPECT_EQ(vemx_tsdemux_init(demux), 1);
    }
    ~Recorder() { vemx_tsdemux_release(demux); }

    // Feeds `bytes` in blocks of next_block() bytes, then stops the thread so
    // that everything libavformat still holds is delivered.
    template <class NextBlock>
    Recorder& Feed(const std::vector<uint8_t>& bytes, NextBlock next_block) {
        for (size_t at = 0, n; at < bytes.size(); at += n) {
            n = std::min(bytes.size() - at, next_block());
            EXPECT_EQ(vemx_tsdemux_write_data(demux, bytes.data() + at, n), 0);
        }
        vemx_tsdemux_uninit(demux);
        return *this;
    }

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
    static void OnVideo(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, bool key,
                        void* ctx) {
        auto [self, id] = *static_cast<std::pair<Recorder*, int>*>(ctx);
        self->packets[id].push_back({pts, dts, size, key, Hash(data, size_t(size))});
    }
    static void OnAudio(int64_t pts, int64_t dts, const uint8_t* data, int64_t size, void* ctx) {
        OnVideo(pts, dts, data, size, false, ctx);
        auto& pcm = static_cast<std::pair<Recorder*, int>*>(ctx)->first->pcm;
        for (int64_t i = 0; i < size / 2 && pcm.size() < 4096; ++i)
            pcm.push_back(reinterpret_cast<const int16_t*>(data)[i]);
    }
};

template <class NextBlock>
Packets Delivery(const std::vector<uint8_t>& bytes, NextBlock next_block) {
    return Recorder().Feed(bytes, next_block).packets;
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
