#pragma once
// What the multiplexer tests share: elementary streams made by the ffmpeg
// tool, libavformat reading them and our output back, a transport-packet
// checker, and a capture of the delivered blocks.
extern "C" {
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vemx/vemx_tsmux.h"

namespace tsmux_test {

struct Frame {
    std::string bytes;
    bool key = false;
    int64_t pts = 0;  // 100-ns units when fed, 90 kHz ticks when read back
    int64_t dts = 0;
};

// One generated elementary stream per kind, made once per test program.
inline std::string MakeEs(const std::string& kind) {
    static const std::string dir = [] {
        auto d =
            std::filesystem::temp_directory_path() / ("vemx-tsmux-es-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                            ("vemx-tsmux-es-" + std::to_string(getpid())),
                                        ec);
        });
        return d.string();
    }();
    static std::mutex lock;
    std::lock_guard guard(lock);
    const std::string video = "-f lavfi -i testsrc=size=160x96:rate=25 -t 1 ";
    const std::string audio = "-f lavfi -i sine=r=48000 -t 1 -ac 2 ";
    const std::map<std::string, std::string> recipe = {
        {"h264", video + "-c:v libx264 -bf 0 -g 10 -x264-params aud=1 -f h264"},
        {"hevc",
         video + "-c:v libx265 -x265-params bframes=0:keyint=10:aud=1:log-level=error -f hevc"},
        {"mpeg2video", video + "-c:v mpeg2video -bf 0 -g 10 -f mpeg2video"},
        {"adts", audio + "-c:a aac -f adts"},
        {"mp2", audio + "-c:a mp2 -f mp2"},
        {"mp3", audio + "-c:a libmp3lame -write_xing 0 -id3v2_version 0 -f mp3"},
        {"ac3", audio + "-c:a ac3 -f ac3"},
        {"eac3", audio + "-c:a eac3 -f eac3"},
    };
    const std::string path = dir + "/es." + kind;
    if (!std::filesystem::exists(path)) {
        const std::string cmd =
            "ffmpeg -nostdin -v error -y " + recipe.at(kind) + " '" + path + "'";
        if (std::system(cmd.c_str()) != 0) return {};
    }
    return path;
}

inline bool IsVideo(const std::string& kind) {
    return kind == "h264" || kind == "hevc" || kind == "mpeg2video";
}

// Frames of a file as libavformat's demuxers and parsers split them; per
// stream id (the PID in a transport stream), in file order.
struct Demuxed {
    std::map<int, std::vector<Frame>> frames;
    std::map<int, std::string> codec;
};

inline Demuxed Demux(const std::string& path) {
    Demuxed out;
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return out;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> guard(&fc, avformat_close_input);
    if (avformat_find_stream_info(fc, nullptr) < 0) return out;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fc, pkt) >= 0) {
        const AVStream* st = fc->streams[pkt->stream_index];
        out.codec[st->id] = avcodec_get_name(st->codecpar->codec_id);
        out.frames[st->id].push_back({std::string(reinterpret_cast<char*>(pkt->data), pkt->size),
                                      (pkt->flags & AV_PKT_FLAG_KEY) != 0, pkt->pts, pkt->dts});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return out;
}

// Frames of a generated stream with timestamps of our own in 100-ns units:
// 25 fps video, 48 kHz audio with the codec's frame length.
inline std::vector<Frame> EsFrames(const std::string& kind, int64_t start = 0) {
    auto d = Demux(MakeEs(kind));
    if (d.frames.empty()) return {};
    std::vector<Frame> frames = d.frames.begin()->second;
    const std::map<std::string, int64_t> samples = {
        {"adts", 1024}, {"mp2", 1152}, {"mp3", 1152}, {"ac3", 1536}, {"eac3", 1536}};
    for (size_t i = 0; i < frames.size(); ++i) {
        const int64_t n = static_cast<int64_t>(i);
        frames[i].pts = frames[i].dts =
            start + (IsVideo(kind) ? n * 400000 : n * samples.at(kind) * 10000000 / 48000);
        if (!IsVideo(kind)) frames[i].key = true;
    }
    return frames;
}

// Everything the multiplexer delivered, block by block.
struct Capture {
    std::mutex lock;
    std::vector<std::string> blocks;
    std::vector<char> order;  // '0' packet callback, '1' second callback

    static void OnPacket(const uint8_t* d, int64_t n, void* ctx) {
        auto* c = static_cast<Capture*>(ctx);
        std::lock_guard g(c->lock);
        c->blocks.emplace_back(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
        c->order.push_back('0');
    }
    static void OnPacket1(const uint8_t*, int64_t, void* ctx, void*) {
        auto* c = static_cast<Capture*>(ctx);
        std::lock_guard g(c->lock);
        c->order.push_back('1');
    }
    std::string Bytes() {
        std::lock_guard g(lock);
        std::string all;
        for (const auto& b : blocks) all += b;
        return all;
    }
    std::string Save(const std::string& path) {
        std::ofstream(path, std::ios::binary) << Bytes();
        return path;
    }
};

// Walks 188-byte packets and reads the tables we need to judge the output.
struct TsScan {
    std::string error;  // first inconsistency; empty when the stream is sound
    size_t packets = 0;
    std::map<int, size_t> per_pid;
    int tsid = -1, onid = -1;
    std::map<int, int> pmt_pid;                               // program -> PMT PID
    std::map<int, std::vector<std::pair<int, int>>> streams;  // program -> (type, PID)
    std::map<int, std::pair<int, std::string>> service;       // program -> (type, "prov/name")
    std::map<int, std::vector<int64_t>> pcr;                  // PID -> 27 MHz values
    std::map<int, int> random_access;                         // PID -> flagged packets

    explicit TsScan(const std::string& ts) {
        std::map<int, int> cc;
        if (ts.size() % 188) error = "length not a multiple of 188";
        for (size_t off = 0; off + 188 <= ts.size() && error.empty(); off += 188) {
            const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + off);
            if (p[0] != 0x47) error = "no sync byte at " + std::to_string(off);
            const int pid = (p[1] & 0x1f) << 8 | p[2];
            const bool start = p[1] & 0x40;
            const int afc = p[3] >> 4 & 3;
            ++packets;
            ++per_pid[pid];
            size_t pos = 4;
            if (afc & 2) {
                if (p[4] > 0 && (p[5] & 0x40)) ++random_access[pid];
                if (p[4] >= 7 && (p[5] & 0x10)) {
                    const int64_t base =
                        int64_t{p[6]} << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7;
                    pcr[pid].push_back(base * 300 + ((p[10] & 1) << 8 | p[11]));
                }
                pos += 1 + p[4];
            }
            if (!(afc & 1) || pid == 0x1fff) continue;
            if (cc.count(pid) && (p[3] & 15) != ((cc[pid] + 1) & 15))
                error = "continuity break on PID " + std::to_string(pid);
            cc[pid] = p[3] & 15;
            if (start && pos < 188) Section(pid, p + pos + 1 + p[pos], p + 188);
        }
        if (error.empty() && !per_pid.count(0)) error = "no PAT";
        for (const auto& [prog, pid] : pmt_pid)
            if (error.empty() && !streams.count(prog))
                error = "no PMT for program " + std::to_string(prog);
    }

    void Section(int pid, const uint8_t* s, const uint8_t* end) {
        if (end - s < 8) return;
        const int len = (s[1] & 0x0f) << 8 | s[2];
        const uint8_t* stop = s + 3 + len - 4;  // before the CRC
        if (stop > end) return;
        const int id = s[3] << 8 | s[4];
        if (pid == 0 && s[0] == 0x00) {
            tsid = id;
            for (const uint8_t* e = s + 8; e + 4 <= stop; e += 4)
                if (int prog = e[0] << 8 | e[1]) pmt_pid[prog] = (e[2] & 0x1f) << 8 | e[3];
        } else if (s[0] == 0x02) {
            auto& list = streams[id];
            list.clear();
            for (const uint8_t* e = s + 12 + ((s[10] & 0x0f) << 8 | s[11]); e + 5 <= stop;
                 e += 5 + ((e[3] & 0x0f) << 8 | e[4]))
                list.emplace_back(e[0], (e[1] & 0x1f) << 8 | e[2]);
        } else if (pid == 0x11 && s[0] == 0x42) {
            onid = s[8] << 8 | s[9];
            for (const uint8_t* e = s + 11; e + 5 <= stop; e += 5 + ((e[3] & 0x0f) << 8 | e[4])) {
                const uint8_t* d = e + 5;  // first descriptor: the service descriptor
                if (d[0] != 0x48) continue;
                const std::string prov(reinterpret_cast<const char*>(d + 4), d[3]);
                const std::string name(reinterpret_cast<const char*>(d + 5 + d[3]), d[4 + d[3]]);
                service[e[0] << 8 | e[1]] = {d[2], prov + "/" + name};
            }
        }
    }
};

}  // namespace tsmux_test
