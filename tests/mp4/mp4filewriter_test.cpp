// The writer's files are judged by ffprobe and ffmpeg, which we did not write.
// Input frames come from transport streams made by the ffmpeg tool: Annex B
// H.264 and ADTS AAC exactly as a live recorder receives them.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "mp4/MP4FileWriter.h"
#include "vemx/vemx_mp4filewriter.h"

using vemx::mp4filewriter::MP4FileWriter;
using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct Frame {
    bool video;
    int64_t pts, dts;  // 100-ns units
    bool key;
    std::vector<uint8_t> data;
};

// Reads every packet of a file with libavformat, timestamps in 100-ns units.
std::vector<Frame> read_frames(const std::string& path) {
    std::vector<Frame> frames;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return frames;
    avformat_find_stream_info(ctx, nullptr);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const AVStream* st = ctx->streams[pkt->stream_index];
        const AVRational hns{1, 10000000};
        frames.push_back({st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO,
                          av_rescale_q(pkt->pts, st->time_base, hns),
                          av_rescale_q(pkt->dts, st->time_base, hns),
                          (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                          std::vector<uint8_t>(pkt->data, pkt->data + pkt->size)});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return frames;
}

// One "key=value" per line from ffprobe's default writer, per section.
std::vector<std::map<std::string, std::string>> probe(const std::string& what,
                                                      const std::string& file) {
    const std::string out =
        run("ffprobe -v error -of default=nw=1 " + what + " '" + file + "' 2>&1");
    std::vector<std::map<std::string, std::string>> sections;
    std::istringstream in(out);
    std::string line;
    std::map<std::string, std::string> cur;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        if (cur.count(key)) {
            sections.push_back(cur);
            cur.clear();
        }
        cur[key] = line.substr(eq + 1);
    }
    if (!cur.empty()) sections.push_back(cur);
    return sections;
}

// Shared inputs: 2 s of 320x240 H.264 (with B-frames) at 25 fps
// and a 1 kHz tone at 48 kHz stereo in each audio codec.
class Inputs : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { dir_ = new TempDir(); }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    // Made on first use: CTest runs each test in a process of its own.
    static std::string input(const std::string& codec) {
        const std::string path = dir_->path() + "/" + codec + ".ts";
        if (!std::filesystem::exists(path)) {
            const std::string encoder = codec == "mp3" ? "libmp3lame" : codec;
            run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 "
                "-f lavfi -i sine=f=1000:r=48000 -ac 2 -t 2 -c:v libx264 -preset veryfast -g 25 "
                "-c:a " +
                encoder + " -f mpegts " + path);
        }
        return path;
    }

    static TempDir* dir_;
};
TempDir* Inputs::dir_ = nullptr;

void* new_writer(const std::string& file, const char* video, const char* audio, int rate = 48000) {
    void* w = vemx_mp4filewriter_new();
    if (video) vemx_mp4filewriter_set_video_property(w, video, 320, 240, "yv12", 25, 1);
    if (audio) vemx_mp4filewriter_set_audio_property(w, audio, 2, "s16", rate);
    vemx_mp4filewriter_set_filename(w, file.c_str());
    return w;
}

void write_all(void* w, const std::vector<Frame>& frames) {
    for (const auto& f : frames) {
        if (f.video)
            vemx_mp4filewriter_write_video_frame(w, f.pts, f.dts, f.data.data(), int(f.data.size()),
                                                 f.key);
        else
            vemx_mp4filewriter_write_audio_frame(w, f.pts, f.dts, f.data.data(),
                                                 int(f.data.size()));
    }
}

double num(const std::map<std::string, std::string>& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() ? -1e9 : std::stod(it->second);
}

}  // namespace

class RecordEachAudioCodec : public Inputs, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordEachAudioCodec, GivesAFileThatFfmpegReadsCompletely) {
    const std::string codec = GetParam();
    const auto frames = read_frames(input(codec));
    ASSERT_GT(frames.size(), 50u);
    size_t nvideo = 0, naudio = 0;
    for (const auto& f : frames) (f.video ? nvideo : naudio)++;

    TempDir out;
    LogCapture log;
    const std::string file = out.path() + "/out.mp4";
    void* w = new_writer(file, "H264", codec == "aac" ? "ADTS" : codec.c_str());
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    write_all(w, frames);
    vemx_mp4filewriter_release(w);
    EXPECT_TRUE(log.lines().empty()) << log.lines()[0];

    const auto streams = probe(
        "-count_packets -show_entries stream=index,codec_name,nb_read_packets,duration", file);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    // MP4 has one object type for MPEG-1 audio; readers name it mp3 for layer II too.
    EXPECT_EQ(streams[1].at("codec_name"), codec == "mp2" ? "mp3" : codec);
    EXPECT_EQ(streams[0].at("nb_read_packets"), std::to_string(nvideo));
    EXPECT_EQ(streams[1].at("nb_read_packets"), std::to_string(naudio));
    EXPECT_NEAR(num(streams[0], "duration"), 2.0, 0.04);  // one frame at 25 fps
    const std::map<std::string, int> frame_samples = {
        {"aac", 1024}, {"mp2", 1152}, {"mp3", 1152}, {"ac3", 1536}, {"eac3", 1536}};
    const double frame = frame_samples.at(codec) / 48000.0;
    // Audio that starts before the zero point (the first frame written) is cut
    // there by the player.
    int64_t first_audio = INT64_MAX, last_audio = INT64_MIN;
    for (const auto& f : frames)
        if (!f.video)
            first_audio = std::min(first_audio, f.pts), last_audio = std::max(last_audio, f.pts);
    const double visible = (last_audio - std::max(first_audio, frames[0].pts)) / 1e7 + frame;
    EXPECT_NEAR(num(streams[1], "duration"), visible, frame);
    EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -f null - 2>&1"), "");
}

INSTANTIATE_TEST_SUITE_P(Mp4, RecordEachAudioCodec,
                         ::testing::Values("aac", "mp2", "ac3", "mp3", "eac3"));

TEST_F(Inputs, OtherContainersFollowTheFileName) {
    const auto frames = read_frames(input("aac"));
    TempDir out;
    for (const std::string ext : {"ts", "mov"}) {
        const std::string file = out.path() + "/out." + ext;
        void* w = new_writer(file, "h264", "aac");
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1) << ext;
        write_all(w, frames);
        vemx_mp4filewriter_release(w);
        EXPECT_EQ(run("ffmpeg -v error -i '" + file + "' -f null - 2>&1"), "") << ext;
        std::set<std::string> codecs;
        for (const auto& s : probe("-show_entries stream=codec_name", file))
            codecs.insert(s.at("codec_name"));
        EXPECT_EQ(codecs, (std::set<std::string>{"h264", "aac"})) << ext;
    }
}

TEST_F(Inputs, VideoAndAudioFromTwoThreads) {
    const auto frames = read_frames(input("mp2"));
    std::vector<Frame> video, audio;
    for (const auto& f : frames) (f.video ? video : audio).push_back(f);
    TempDir out;
    const std::string file = out.path() + "/out.mp4";
    void* w = new_writer(file, "h264", "mp2");
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    std::thread tv([&] { write_all(w, video); });
    std::thread ta([&] { write_all(w, audio); });
    tv.join();
    ta.join();
    vemx_mp4filewriter_release(w);
    const auto streams = probe("-count_packets -show_entries stream=nb_read_packets", file);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].at("nb_read_packets"), std::to_string(video.size()));
    EXPECT_EQ(streams[1].at("nb_read_packets"), std::to_string(audio.size()));
}

TEST_F(Inputs, OneZeroPointForBothStreams) {
    const auto frames = read_frames(input("mp2"));
    std::vector<Frame> video, audio;
    for (const auto& f : frames) (f.video ? video : audio).push_back(f);
    TempDir out;
    // Video first, audio starting 0.5 s before it and 0.5 s after it: the audio
    // keeps its distance from the video in both cases.
    for (const int64_t shift : {-5000000LL, 5000000LL}) {
        const std::string file = out.path() + "/zero" + std::to_string(shift) + ".mp4";
        void* w = new_writer(file, "h264", "mp2");
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
        const int64_t v0 = video[0].pts + 100000000, a0 = v0 + shift;
        for (const auto& f : video)
            vemx_mp4filewriter_write_video_frame(w, f.pts - video[0].pts + v0,
                                                 f.dts - video[0].pts + v0, f.data.data(),
                                                 int(f.data.size()), f.key);
        for (size_t i = 0; i < audio.size(); ++i)
            vemx_mp4filewriter_write_audio_frame(w, a0 + int64_t(i) * 240000,
                                                 a0 + int64_t(i) * 240000, audio[i].data.data(),
                                                 int(audio[i].data.size()));
        vemx_mp4filewriter_release(w);
        const auto pk = probe("-show_entries packet=stream_index,pts_time", file);
        double first[2] = {1e9, 1e9};
        for (const auto& p : pk) {
            const int s = int(num(p, "stream_index"));
            first[s] = std::min(first[s], num(p, "pts_time"));
        }
        EXPECT_NEAR(first[1] - first[0], shift / 1e7, 0.002) << shift;
    }
}

TEST(Mp4FileWriter, HundredNanosecondTimestampsBecomeTheStreamTimeBase) {
    TempDir out;
    const std::string file = out.path() + "/t.mp4";
    // Three MPEG-1 layer II frames (1152 samples each) made by the encoder.
    run("ffmpeg -v error -f lavfi -i sine=r=48000 -ac 2 -t 0.07 -c:a mp2 -f mp2 " + out.path() +
        "/t.mp2");
    const auto frames = read_frames(out.path() + "/t.mp2");
    ASSERT_GE(frames.size(), 3u);
    auto* w = static_cast<MP4FileWriter*>(new_writer(file, nullptr, "mp2"));
    ASSERT_EQ(w->Init(), 1);
    ASSERT_EQ(w->audio_stream()->time_base.num, 1);
    ASSERT_EQ(w->audio_stream()->time_base.den, 48000);
    for (int i = 0; i < 3; ++i) {
        const int64_t t = 10000000 + i * 10000000LL;
        w->WriteAudioFrame(t, t, frames[i].data.data(), int(frames[i].data.size()));
    }
    vemx_mp4filewriter_release(w);
    const auto pk = probe("-show_entries packet=pts", file);
    ASSERT_EQ(pk.size(), 3u);
    EXPECT_EQ(pk[0].at("pts"), "0");
    EXPECT_EQ(pk[1].at("pts"), "48000");
    EXPECT_EQ(pk[2].at("pts"), "96000");
}

TEST(Mp4FileWriter, NamesIgnoreLetterCase) {
    TempDir out;
    for (const char* name : {"hevc", "H265", "HeVc"}) {
        auto* w = static_cast<MP4FileWriter*>(new_writer(out.path() + "/a.mp4", name, "Eac3"));
        ASSERT_EQ(w->Init(), 1) << name;
        EXPECT_EQ(w->video_stream()->codecpar->codec_id, AV_CODEC_ID_HEVC);
        EXPECT_EQ(w->audio_stream()->codecpar->codec_id, AV_CODEC_ID_EAC3);
        EXPECT_EQ(w->video_stream()->index, 0);
        vemx_mp4filewriter_release(w);
    }
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_video_property(w, "MPEG2VIDEO", 720, 576, "YV12", 25, 1);
    vemx_mp4filewriter_set_audio_property(w, "MP3", 2, "U8", 44100);
    vemx_mp4filewriter_set_filename(w, (out.path() + "/b.mkv").c_str());
    EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
    vemx_mp4filewriter_release(w);
}

TEST(Mp4FileWriter, VideoOnlyFileIgnoresAudioWrites) {
    TempDir out;
    const std::string file = out.path() + "/v.mp4";
    run("ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 0.4 -c:v libx264 -preset "
        "ultrafast "
        "-f h264 " +
        out.path() + "/v.h264");
    const auto frames = read_frames(out.path() + "/v.h264");
    ASSERT_EQ(frames.size(), 10u);
    void* w = new_writer(file, "h264", "");
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    for (size_t i = 0; i < frames.size(); ++i) {
        const int64_t t = int64_t(i) * 400000;
        vemx_mp4filewriter_write_video_frame(w, t, t, frames[i].data.data(),
                                             int(frames[i].data.size()), frames[i].key);
        vemx_mp4filewriter_write_audio_frame(w, t, t, frames[i].data.data(),
                                             int(frames[i].data.size()));
    }
    vemx_mp4filewriter_release(w);
    const auto streams =
        probe("-count_frames -show_entries stream=codec_name,nb_read_frames", file);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("nb_read_frames"), "10");
}

namespace {

// Runs Init on a writer set up by configure and returns the report lines.
std::vector<std::string> init_fails(void (*configure)(void*), std::string* address = nullptr) {
    LogCapture log;
    void* w = vemx_mp4filewriter_new();
    configure(w);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
    // Frames after a failed init are ignored, and the release writes no trailer.
    const uint8_t bytes[4] = {0, 0, 1, 9};
    vemx_mp4filewriter_write_video_frame(w, 0, 0, bytes, 4, 1);
    vemx_mp4filewriter_write_audio_frame(w, 0, 0, bytes, 4);
    if (address) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%016lX", reinterpret_cast<unsigned long>(w));
        *address = buf;
    }
    vemx_mp4filewriter_release(w);
    return log.lines();
}

// The text after the object address of a report line.
std::string report_text(const std::string& line) {
    const auto p = line.find(", 0x");
    return p == std::string::npos ? line : line.substr(p + 4 + 16 + 1);
}

}  // namespace

TEST(Mp4FileWriter, InitFailuresAreReportedOnceWithTheirText) {
    TempDir out;
    struct Case {
        void (*configure)(void*);
        const char* text;
    };
    static const Case cases[] = {
        {[](void* w) { vemx_mp4filewriter_set_filename(w, "out.xyz"); },
         "avformat_alloc_output_context2 failed\n"},
        {[](void* w) { vemx_mp4filewriter_set_filename(w, nullptr); },
         "avformat_alloc_output_context2 failed\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "a.mp4");
             vemx_mp4filewriter_set_video_property(w, "h263", 320, 240, "yv12", 25, 1);
         },
         "unsupported video_type=h263\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "a.mp4");
             vemx_mp4filewriter_set_video_property(w, "h264", 320, 240, "nv12", 25, 1);
         },
         "unsupported pix_fmt=nv12\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "a.mp4");
             vemx_mp4filewriter_set_audio_property(w, "vorbis", 2, "s16", 48000);
         },
         "unsupported audio_type=vorbis\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "a.mp4");
             vemx_mp4filewriter_set_audio_property(w, "aac", 2, "flt", 48000);
         },
         "unsupported sample_fmt=flt\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "a.mp4");
             vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 11025);
         },
         "avcodec_open2(mp2) failed, err=-22\n"},
        {[](void* w) {
             vemx_mp4filewriter_set_filename(w, "/nonexistent-dir/a.mp4");
             vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 48000);
         },
         "avio_open, err=-2\n"},
    };
    for (const auto& c : cases) {
        std::string address;
        const auto lines = init_fails(c.configure, &address);
        ASSERT_EQ(lines.size(), 1u) << c.text;
        EXPECT_EQ(lines[0].rfind("[vemx][ERROR]: MP4FileWriter(", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("): [vemx::mp4filewriter::MP4FileWriter::Init], " + address + " "),
                  std::string::npos)
            << lines[0];
        EXPECT_EQ(report_text(lines[0]), c.text);
    }
    EXPECT_FALSE(std::filesystem::exists("a.mp4"));
}

TEST(Mp4FileWriter, SecondInitFailsWithReinitAlsoAfterAFailure) {
    TempDir out;
    LogCapture log;
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_filename(w, "a.mp4");
    vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "x", 48000);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
    vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 48000);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
    vemx_mp4filewriter_release(w);

    w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_filename(w, "b.mp4");
    vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 48000);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
    vemx_mp4filewriter_release(w);

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(report_text(lines[0]), "unsupported sample_fmt=x\n");
    EXPECT_EQ(report_text(lines[1]), "reinit\n");
    EXPECT_EQ(report_text(lines[2]), "reinit\n");
}

TEST(Mp4FileWriter, RejectedFrameIsReportedAndLaterFramesAreKept) {
    TempDir out;
    run("ffmpeg -v error -f lavfi -i sine=r=48000 -ac 2 -t 0.2 -c:a mp2 -f mp2 " + out.path() +
        "/t.mp2");
    const auto frames = read_frames(out.path() + "/t.mp2");
    ASSERT_GE(frames.size(), 6u);
    LogCapture log;
    void* w = new_writer(out.path() + "/t.mp4", nullptr, "mp2");
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    const int64_t times[] = {0, 240000, 480000, 240000 /* backwards */, 720000, 960000};
    for (int i = 0; i < 6; ++i)
        vemx_mp4filewriter_write_audio_frame(w, times[i], times[i], frames[i].data.data(),
                                             int(frames[i].data.size()));
    // Null data and empty frames are nothing to write.
    vemx_mp4filewriter_write_audio_frame(w, 1200000, 1200000, nullptr, 100);
    vemx_mp4filewriter_write_audio_frame(w, 1200000, 1200000, frames[0].data.data(), 0);
    vemx_mp4filewriter_release(w);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[vemx::mp4filewriter::MP4FileWriter::WriteAudioFrame], 0x"),
              std::string::npos);
    EXPECT_EQ(report_text(lines[0]), "av_interleaved_write_frame, err=-22\n");
    EXPECT_EQ(probe("-show_entries packet=pts", out.path() + "/t.mp4").size(), 5u);
}
