// Our multiplexer into our demultiplexer: the passed-through streams come
// back with the bytes, key flags and relative timestamps that went in.
#include <gtest/gtest.h>

#include "mpegts/tsmux_support.h"
#include "vemx/vemx_tsdemux.h"

using namespace tsmux_test;

namespace {

struct Received {
    std::mutex lock;
    std::map<int, std::vector<Frame>> frames;
    void* demux = nullptr;

    void Add(int pid, int64_t pts, const uint8_t* d, int64_t n, bool key) {
        std::lock_guard g(lock);
        frames[pid].push_back({std::string(reinterpret_cast<const char*>(d), n), key, pts, pts});
    }
};

template <int Pid>
void OnVideo(int64_t pts, int64_t, const uint8_t* d, int64_t n, bool key, void* ctx) {
    static_cast<Received*>(ctx)->Add(Pid, pts, d, n, key);
}
template <int Pid>
void OnAudio(int64_t pts, int64_t, const uint8_t* d, int64_t n, void* ctx) {
    static_cast<Received*>(ctx)->Add(Pid, pts, d, n, true);
}

void OnInfo(MediaInfo* const*, size_t, void* ctx) {
    auto* r = static_cast<Received*>(ctx);
    vemx_tsdemux_set_video_callback(r->demux, 0x100, OnVideo<0x100>, r);
    vemx_tsdemux_set_video_callback(r->demux, 0x200, OnVideo<0x200>, r);
    vemx_tsdemux_set_video_callback(r->demux, 0x300, OnVideo<0x300>, r);
    vemx_tsdemux_set_audio_callback(r->demux, 0x101, OnAudio<0x101>, r);
    vemx_tsdemux_set_audio_callback(r->demux, 0x201, OnAudio<0x201>, r);
    vemx_tsdemux_set_audio_callback(r->demux, 0x301, OnAudio<0x301>, r);
}

}  // namespace

TEST(TsMuxIntoTsDemux, PassedThroughStreamsComeBackUnchanged) {
    Mux m;
    std::vector<Input> in = {{"h264", 0x100, EsFrames("h264")},
                             {"adts", 0x101, EsFrames("adts")},
                             {"hevc", 0x200, EsFrames("hevc")},
                             {"mp3", 0x201, EsFrames("mp3")},
                             {"mpeg2video", 0x300, EsFrames("mpeg2video")},
                             {"eac3", 0x301, EsFrames("eac3")}};
    for (const auto& s : in) {
        if (IsVideo(s.kind))
            vemx_tsmux_set_video_property1(m.h, s.pid, s.kind.c_str(), 160, 96, "yv12", 25, 1);
        else
            vemx_tsmux_set_audio_property1(m.h, s.pid, s.kind.c_str(), 2, "s16", 48000);
        vemx_tsmux_program_add_stream(m.h, s.pid >> 8, s.pid);
    }
    ASSERT_EQ(vemx_tsmux_init(m.h), 1);
    Feed(m.h, in);
    vemx_tsmux_uninit(m.h);
    const std::string ts = m.cap.Bytes();

    Received r;
    r.demux = vemx_tsdemux_new();
    vemx_tsdemux_set_media_info_callback(r.demux, OnInfo, &r);
    ASSERT_EQ(vemx_tsdemux_init(r.demux), 1);
    for (size_t off = 0; off < ts.size(); off += 18800)
        vemx_tsdemux_write_data(r.demux, reinterpret_cast<const uint8_t*>(ts.data()) + off,
                                std::min<size_t>(18800, ts.size() - off));
    vemx_tsdemux_uninit(r.demux);
    vemx_tsdemux_release(r.demux);

    std::lock_guard g(r.lock);
    ASSERT_TRUE(r.frames.count(0x100));
    const int64_t zero = r.frames[0x100][0].pts;
    for (const auto& s : in) {
        SCOPED_TRACE(s.kind);
        const auto& got = r.frames[s.pid];
        // The last frames may stay inside the demultiplexer at the end of input.
        ASSERT_GE(got.size() + 2, s.frames.size());
        for (size_t i = 0; i < std::min(got.size(), s.frames.size()); ++i) {
            ASSERT_EQ(got[i].bytes, s.frames[i].bytes) << i;
            EXPECT_EQ(got[i].key, s.frames[i].key) << i;
            EXPECT_NEAR(got[i].pts - zero, s.frames[i].pts, 112) << i;  // one 90 kHz tick
        }
    }
}
