// Recording speed in MB/s of 60 s of 720p H.264 + AAC packets into an MP4
// file: vemx's writer beside libavformat's MP4 muxer driven directly.  The
// packets come from a 10 s clip made by the ffmpeg tool, repeated six times.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vemx/vemx.h"

namespace {

struct Frame {
    bool video;
    int64_t pts, dts;  // 100-ns units
    bool key;
    std::vector<uint8_t> data;
};

struct Input {
    std::vector<Frame> frames;
    AVCodecParameters* video = nullptr;
    AVCodecParameters* audio = nullptr;
    int64_t bytes = 0;
};

constexpr AVRational kHns{1, 10000000};

bool load(const std::string& path, Input& in) {
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(ctx, nullptr);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVCodecParameters*& slot =
            ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? in.video : in.audio;
        slot = avcodec_parameters_alloc();
        avcodec_parameters_copy(slot, ctx->streams[i]->codecpar);
    }
    std::vector<Frame> clip;
    int64_t start = INT64_MAX, end = 0;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const AVStream* st = ctx->streams[pkt->stream_index];
        Frame f{st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO,
                av_rescale_q(pkt->pts, st->time_base, kHns),
                av_rescale_q(pkt->dts, st->time_base, kHns), (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                std::vector<uint8_t>(pkt->data, pkt->data + pkt->size)};
        start = std::min(start, f.dts);
        end = std::max(end, f.pts);
        clip.push_back(std::move(f));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    const int64_t span = 105000000;  // the clip with room for its audio tail
    for (int rep = 0; rep < 6; ++rep)
        for (const auto& f : clip) {
            Frame g = f;
            g.pts += rep * span;
            g.dts += rep * span;
            in.bytes += int64_t(g.data.size());
            in.frames.push_back(std::move(g));
        }
    return !clip.empty();
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double run_vemx(const Input& in, const std::string& out) {
    const auto t0 = std::chrono::steady_clock::now();
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_video_property(w, "h264", 1280, 720, "yv12", 25, 1);
    vemx_mp4filewriter_set_audio_property(w, "aac", 2, "s16", 48000);
    vemx_mp4filewriter_set_filename(w, out.c_str());
    if (!vemx_mp4filewriter_init(w)) return 0;
    for (const auto& f : in.frames) {
        if (f.video)
            vemx_mp4filewriter_write_video_frame(w, f.pts, f.dts, f.data.data(), int(f.data.size()),
                                                 f.key);
        else
            vemx_mp4filewriter_write_audio_frame(w, f.pts, f.dts, f.data.data(),
                                                 int(f.data.size()));
    }
    vemx_mp4filewriter_release(w);
    return seconds_since(t0);
}

double run_direct(const Input& in, const std::string& out) {
    const auto t0 = std::chrono::steady_clock::now();
    AVFormatContext* oc = nullptr;
    avformat_alloc_output_context2(&oc, nullptr, nullptr, out.c_str());
    AVStream* vs = avformat_new_stream(oc, nullptr);
    avcodec_parameters_copy(vs->codecpar, in.video);
    vs->codecpar->codec_tag = 0;
    vs->avg_frame_rate = AVRational{25, 1};
    AVStream* as = avformat_new_stream(oc, nullptr);
    avcodec_parameters_copy(as->codecpar, in.audio);
    as->codecpar->codec_tag = 0;
    as->time_base = AVRational{1, 48000};
    avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE);
    if (avformat_write_header(oc, nullptr) < 0) return 0;
    AVPacket* pkt = av_packet_alloc();
    const int64_t base = in.frames.front().pts;
    for (const auto& f : in.frames) {
        AVStream* st = f.video ? vs : as;
        pkt->data = const_cast<uint8_t*>(f.data.data());
        pkt->size = int(f.data.size());
        pkt->stream_index = st->index;
        pkt->flags = f.key ? AV_PKT_FLAG_KEY : 0;
        pkt->pts = f.pts - base;
        pkt->dts = f.dts - base;
        av_packet_rescale_ts(pkt, kHns, st->time_base);
        av_interleaved_write_frame(oc, pkt);
        av_packet_unref(pkt);
    }
    av_write_trailer(oc);
    av_packet_free(&pkt);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    return seconds_since(t0);
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = tmp ? tmp : "/tmp";
    const std::string clip = dir + "/vemx-bench-720p.ts";
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi "
        "-i sine=f=1000:r=48000 -ac 2 -t 10 -c:v libx264 -preset ultrafast -b:v 4M -g 50 "
        "-c:a aac -b:a 128k -f mpegts '" +
        clip + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot make the input clip with ffmpeg\n");
        return 1;
    }
    Input in;
    if (!load(clip, in) || !in.video || !in.audio) {
        std::fprintf(stderr, "cannot read %s\n", clip.c_str());
        return 1;
    }
    const std::string ours_file = dir + "/vemx-bench-ours.mp4",
                      peer_file = dir + "/vemx-bench-peer.mp4";
    double ours = 1e9, peer = 1e9;
    // Alternating which goes first evens out the cost of truncating the
    // previous round's file.
    for (int round = 0; round < 6; ++round) {
        if (round % 2) {
            ours = std::min(ours, run_vemx(in, ours_file));
            peer = std::min(peer, run_direct(in, peer_file));
        } else {
            peer = std::min(peer, run_direct(in, peer_file));
            ours = std::min(ours, run_vemx(in, ours_file));
        }
    }
    const double mb = double(in.bytes) / 1e6;
    std::printf("# 60 s of 720p H.264 + AAC, %zu packets, %.1f MB of payload (best of 6)\n",
                in.frames.size(), mb);
    std::printf("mp4_write_vemx: %.1f MB/s\n", mb / ours);
    std::printf("mp4_write_libavformat: %.1f MB/s\n", mb / peer);
    std::printf("mp4_write_ratio: %.3f\n", peer / ours);
    std::remove(clip.c_str());
    std::remove(ours_file.c_str());
    std::remove(peer_file.c_str());
    avcodec_parameters_free(&in.video);
    avcodec_parameters_free(&in.audio);
    return 0;
}
