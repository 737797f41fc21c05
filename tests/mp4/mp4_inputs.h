#pragma once
// Inputs for the MP4 tests, made by the ffmpeg tool on first use in each test
// process (CTest runs every test in a process of its own), and the two ways
// of reading a file back: libavformat, which we did not write, and our reader.
extern "C" {
#include <libavformat/avformat.h>
}

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "mp4/mp4_reader.h"
#include "vemx/vemx_mp4filewriter.h"

namespace vemx_test_mp4 {

constexpr int64_t kSecond = 10000000;  // 100-ns units

struct Frame {
    bool video;
    int64_t pts, dts;
    bool key;
    std::vector<uint8_t> data;
};

// The path of a named input, made when first asked for.
inline std::string input(const std::string& name) {
    static const std::string lavfi =
        "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 ";
    static const std::string x264 = "-c:v libx264 -preset ultrafast -bf 2 ";
    static const std::map<std::string, std::string> recipes = {
        // 3 s: key frames at 0 and 2 s, B-frames between.
        {"av.mp4", lavfi + "-t 3 " + x264 + "-g 50 -keyint_min 50 -sc_threshold 0 -c:a aac"},
        {"v.mp4", lavfi + "-t 1 -an " + x264 + "-g 50"},
        {"a.m4a", lavfi + "-t 1 -vn -c:a aac"},
        {"hevc.mp4", lavfi + "-t 3 -an -c:v libx265 -x265-params log-level=none -g 25"},
        // Audio half a second late: an empty edit in front of its track.
        {"delayed_audio.mp4",
         "-f lavfi -i testsrc=size=64x36:rate=30 -itsoffset 0.5 -f lavfi "
         "-i sine=sample_rate=48000 -t 3 " +
             x264 + "-c:a aac"},
        {"fragmented.mp4",
         lavfi + "-t 5 " + x264 + "-g 60 -c:a aac -movflags frag_keyframe+empty_moov"},
    };
    static const struct Dir {
        Dir() {
            char tmpl[] = "/tmp/vemx-mp4-XXXXXX";
            path = mkdtemp(tmpl);
        }
        ~Dir() { std::filesystem::remove_all(path); }
        std::string path;
    } dir;
    const std::string path = dir.path + "/" + name;
    if (std::filesystem::exists(path)) return path;
    std::string recipe;
    if (auto it = recipes.find(name); it != recipes.end()) {
        recipe = it->second;
    } else {  // CODEC.ts: 2 s of 320x240 H.264 and stereo audio in CODEC
        const std::string codec = name.substr(0, name.find('.'));
        recipe =
            "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=r=48000 -ac 2 -t 2 "
            "-c:v libx264 -preset veryfast -g 25 -f mpegts -c:a " +
            (codec == "mp3" ? std::string("libmp3lame") : codec);
    }
    vemx_test::run_command("ffmpeg -v error -y " + recipe + " '" + path + "' 2>&1");
    return path;
}

// Every packet of a file, read with libavformat.
inline std::vector<Frame> demux(const std::string& path) {
    std::vector<Frame> frames;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return frames;
    avformat_find_stream_info(ctx, nullptr);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const AVStream* st = ctx->streams[pkt->stream_index];
        auto hns = [&](int64_t t) { return av_rescale_q(t, st->time_base, {1, kSecond}); };
        frames.push_back({st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO, hns(pkt->pts),
                          hns(pkt->dts), (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                          std::vector<uint8_t>(pkt->data, pkt->data + pkt->size)});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return frames;
}

// Every sample of one stream as our reader delivers it.
inline std::vector<Frame> read_samples(void* h, bool video) {
    namespace mr = vemx::mp4reader;
    unsigned long vc = 0, ac = 0;
    mr::QvMP4GetSampleNumber(h, &vc, &ac);
    std::vector<Frame> out;
    std::vector<unsigned char> buffer(1 << 22);
    for (unsigned long id = 1; id <= (video ? vc : ac); ++id) {
        Frame s{video, 0, 0, true, {}};
        unsigned char* data = buffer.data();
        auto size = static_cast<unsigned int>(buffer.size());
        int key = 1;
        const int rc = video ? mr::QvMP4GetVideoSample(h, id, &data, &size, &s.dts, &s.pts, &key)
                             : mr::QvMP4GetAudioSample(h, id, &data, &size, &s.pts, &s.dts);
        if (rc != mr::kReaderOk) break;
        s.key = key != 0;
        s.data.assign(data, data + size);
        out.push_back(std::move(s));
    }
    return out;
}

inline std::vector<Frame> read_samples(const std::string& path, bool video) {
    void* h = nullptr;
    vemx::mp4reader::QvMP4CreateEditFileRead(path.c_str(), &h);
    auto out = read_samples(h, video);
    vemx::mp4reader::QvMP4ReleaseEditFileRead(h);
    return out;
}

// Hands a frame to our writer, its times moved by shift.
inline void write_frame(void* w, const Frame& f, int64_t shift = 0) {
    if (f.video)
        vemx_mp4filewriter_write_video_frame(w, f.pts + shift, f.dts + shift, f.data.data(),
                                             int(f.data.size()), f.key);
    else
        vemx_mp4filewriter_write_audio_frame(w, f.pts + shift, f.dts + shift, f.data.data(),
                                             int(f.data.size()));
}

}  // namespace vemx_test_mp4
