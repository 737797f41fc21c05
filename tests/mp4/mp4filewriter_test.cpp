// The writer's files, and those of the record command that feeds it from our
// demultiplexer, are judged by ffprobe and ffmpeg, which we did not write.
// Input frames come from transport streams made by the ffmpeg tool: Annex B
// H.264 and ADTS AAC exactly as a live recorder receives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/log_capture.h"
#include "mp4/MP4FileWriter.h"
#include "mp4/mp4_inputs.h"
#include "vemx/vemx_mp4filewriter.h"

using vemx::mp4filewriter::MP4FileWriter;
using vemx_test::LogCapture;
using vemx_test::TempDir;
using vemx_test_mp4::Frame;
using vemx_test_mp4::write_frame;
using Strings = std::vector<std::string>;

namespace {

// ffprobe's "key=value" lines, one map per stream or packet.
std::vector<std::map<std::string, std::string>> probe(const std::string& what,
                                                      const std::string& file) {
    std::istringstream in(vemx_test::run_command("ffprobe -v error -of default=nw=1 " + what +
                                                 " '" + file + "' 2>&1"));
    std::vector<std::map<std::string, std::string>> sections;
    std::map<std::string, std::string> cur;
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (cur.count(line.substr(0, eq))) sections.push_back(std::exchange(cur, {}));
        cur[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!cur.empty()) sections.push_back(cur);
    return sections;
}

double num(const std::map<std::string, std::string>& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() ? -1e9 : std::stod(it->second);
}

std::string decode_errors(const std::string& file) {
    return vemx_test::run_command("ffmpeg -v error -i '" + file + "' -f null - 2>&1");
}

// Two seconds of 320x240 H.264 (with B-frames) at 25 fps and a tone at 48 kHz
// stereo in the given audio codec, in a transport stream.
std::vector<Frame> input(const std::string& codec) {
    return vemx_test_mp4::demux(vemx_test_mp4::input(codec + ".ts"));
}

void* new_writer(const std::string& file, const char* video, const char* audio) {
    void* w = vemx_mp4filewriter_new();
    if (video) vemx_mp4filewriter_set_video_property(w, video, 320, 240, "yv12", 25, 1);
    if (audio) vemx_mp4filewriter_set_audio_property(w, audio, 2, "s16", 48000);
    vemx_mp4filewriter_set_filename(w, file.c_str());
    return w;
}

// The writer's report lines, with the source line number made N and the
// writer's address OBJ.
Strings reports(const LogCapture& log, const void* writer) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(writer)));
    Strings lines = log.lines();
    for (auto& l : lines) {
        if (const auto at = l.find(address); at != std::string::npos) l.replace(at, 18, "OBJ");
        if (const auto open = l.find('('), close = l.find("): "); open < close && close != l.npos)
            l.replace(open + 1, close - open - 1, "N");
    }
    return lines;
}

const std::string kReport =
    "[vemx][ERROR]: MP4FileWriter(N): [vemx::mp4filewriter::MP4FileWriter::";

// The frames of input(codec), video and audio apart.
std::pair<std::vector<Frame>, std::vector<Frame>> split(const std::string& codec) {
    std::pair<std::vector<Frame>, std::vector<Frame>> out;
    for (auto& f : input(codec)) (f.video ? out.first : out.second).push_back(std::move(f));
    return out;
}

}  // namespace

// Without an audio type the file has video only, and audio writes do nothing.
class RecordH264With : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordH264With, AudioCodecGivesAFileThatFfmpegReadsCompletely) {
    const std::string codec = GetParam();
    const auto frames = input(codec.empty() ? "aac" : codec);
    ASSERT_GT(frames.size(), 50u);
    size_t nvideo = 0, naudio = 0;
    int64_t first_audio = INT64_MAX, last_audio = INT64_MIN;
    for (const auto& f : frames) {
        (f.video ? nvideo : naudio)++;
        if (!f.video) first_audio = std::min(first_audio, f.pts), last_audio = f.pts;
    }
    TempDir out;
    LogCapture log;
    void* w = new_writer("out.mp4", "H264", codec == "aac" ? "ADTS" : codec.c_str());
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    for (const auto& f : frames) write_frame(w, f);
    vemx_mp4filewriter_release(w);
    EXPECT_TRUE(log.lines().empty()) << log.lines()[0];
    EXPECT_EQ(decode_errors("out.mp4"), "");

    const auto streams =
        probe("-count_packets -show_entries stream=codec_name,nb_read_packets,duration", "out.mp4");
    ASSERT_EQ(streams.size(), codec.empty() ? 1u : 2u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("nb_read_packets"), std::to_string(nvideo));
    EXPECT_NEAR(num(streams[0], "duration"), 2.0, 0.04);  // one frame at 25 fps
    if (codec.empty()) return;
    // MP4 has one object type for MPEG-1 audio; readers name layer II mp3 too.
    EXPECT_EQ(streams[1].at("codec_name"), codec == "mp2" ? "mp3" : codec);
    EXPECT_EQ(streams[1].at("nb_read_packets"), std::to_string(naudio));
    // Audio from before the zero point (the first frame written) is cut there.
    const std::map<std::string, int> samples = {
        {"aac", 1024}, {"mp2", 1152}, {"mp3", 1152}, {"ac3", 1536}, {"eac3", 1536}};
    const double frame = samples.at(codec) / 48000.0;
    const double visible = (last_audio - std::max(first_audio, frames[0].pts)) / 1e7 + frame;
    EXPECT_NEAR(num(streams[1], "duration"), visible, frame);
}

INSTANTIATE_TEST_SUITE_P(Mp4, RecordH264With,
                         ::testing::Values("aac", "mp2", "ac3", "mp3", "eac3", ""));

TEST(Mp4FileWriter, TwoThreadsIntoAContainerChosenByName) {
    const auto [video, audio] = split("aac");
    TempDir out;
    for (const char* file : {"out.mov", "out.ts"}) {
        void* w = new_writer(file, "h264", "aac");
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
        std::thread tv([&] {
            for (const auto& f : video) write_frame(w, f);
        });
        std::thread ta([&] {
            for (const auto& f : audio) write_frame(w, f);
        });
        tv.join();
        ta.join();
        vemx_mp4filewriter_release(w);
        EXPECT_EQ(decode_errors(file), "") << file;
        size_t packets[2] = {0, 0};
        for (const auto& p : probe("-show_entries packet=stream_index", file))
            ++packets[int(num(p, "stream_index"))];
        EXPECT_EQ(packets[0], video.size()) << file;
        EXPECT_EQ(packets[1], audio.size()) << file;
    }
}

TEST(Mp4FileWriter, OneZeroPointForBothStreams) {
    const auto [video, audio] = split("mp2");
    TempDir out;
    // Video first; the audio starts 0.5 s before or after it and keeps that
    // distance in the file.
    for (const int64_t shift : {-5000000LL, 5000000LL}) {
        void* w = new_writer("zero.mp4", "h264", "mp2");
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
        for (const auto& f : video) write_frame(w, f, 100000000 - video[0].pts);
        for (const auto& f : audio) write_frame(w, f, 100000000 - audio[0].pts + shift);
        vemx_mp4filewriter_release(w);
        double first[2] = {1e9, 1e9};
        for (const auto& p : probe("-show_entries packet=stream_index,pts_time", "zero.mp4")) {
            double& t = first[int(num(p, "stream_index"))];
            t = std::min(t, num(p, "pts_time"));
        }
        EXPECT_NEAR(first[1] - first[0], shift / 1e7, 0.002) << shift;
    }
}

TEST(Mp4FileWriter, HundredNanosecondTimestampsBecomeTheStreamTimeBase) {
    const auto frames = split("mp2").second;
    ASSERT_GE(frames.size(), 6u);
    TempDir out;
    LogCapture log;
    auto* w = static_cast<MP4FileWriter*>(new_writer("t.mp4", nullptr, "mp2"));
    ASSERT_EQ(w->Init(), 1);
    EXPECT_EQ(w->audio_stream()->time_base.den, 48000);
    // The fourth goes backwards: reported, dropped, and the rest still written.
    const int64_t times[] = {10000000, 20000000, 30000000, 20000000, 40000000};
    for (int i = 0; i < 5; ++i)
        w->WriteAudioFrame(times[i], times[i], frames[i].data.data(), int(frames[i].data.size()));
    // Null data and empty frames are nothing to write.
    w->WriteAudioFrame(50000000, 50000000, nullptr, 100);
    w->WriteAudioFrame(50000000, 50000000, frames[5].data.data(), 0);
    vemx_mp4filewriter_release(w);

    EXPECT_EQ(reports(log, w),
              Strings{kReport + "WriteAudioFrame], OBJ av_interleaved_write_frame, err=-22\n"});
    std::vector<std::string> pts;
    for (const auto& p : probe("-show_entries packet=pts", "t.mp4")) pts.push_back(p.at("pts"));
    EXPECT_EQ(pts, (std::vector<std::string>{"0", "48000", "96000", "144000"}));
}

TEST(Mp4FileWriter, NamesIgnoreLetterCaseAndEmptyTypesWriteNoStream) {
    TempDir out;
    for (const char* name : {"hevc", "H265", "HeVc"}) {
        auto* w = static_cast<MP4FileWriter*>(new_writer("a.mp4", name, "Eac3"));
        ASSERT_EQ(w->Init(), 1) << name;
        EXPECT_EQ(w->video_stream()->codecpar->codec_id, AV_CODEC_ID_HEVC);
        EXPECT_EQ(w->video_stream()->index, 0);
        EXPECT_EQ(w->audio_stream()->codecpar->codec_id, AV_CODEC_ID_EAC3);
        vemx_mp4filewriter_release(w);
    }
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_video_property(w, "MPEG2VIDEO", 720, 576, "YV12", 25, 1);
    vemx_mp4filewriter_set_audio_property(w, "MP3", 2, "U8", 44100);
    vemx_mp4filewriter_set_filename(w, "b.mp4");
    EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
    vemx_mp4filewriter_release(w);
}

TEST(Mp4FileWriter, InitFailuresAreReportedOnceAndLeaveNothingToWrite) {
    struct Case {
        const char *file, *video, *pix_fmt, *audio, *sample_fmt;
        int rate;
        const char* text;
    };
    const Case cases[] = {
        {"out.xyz", "", "", "", "", 0, "avformat_alloc_output_context2 failed\n"},
        {nullptr, "", "", "", "", 0, "avformat_alloc_output_context2 failed\n"},
        {"a.mp4", "h263", "yv12", "", "", 0, "unsupported video_type=h263\n"},
        {"a.mp4", "h264", "nv12", "", "", 0, "unsupported pix_fmt=nv12\n"},
        {"a.mp4", "", "", "vorbis", "s16", 48000, "unsupported audio_type=vorbis\n"},
        {"a.mp4", "", "", "aac", "flt", 48000, "unsupported sample_fmt=flt\n"},
        {"a.mp4", "", "", "mp2", "s16", 11025, "avcodec_open2(mp2) failed, err=-22\n"},
        {"/nonexistent-dir/a.mp4", "", "", "mp2", "s16", 48000, "avio_open, err=-2\n"},
    };
    TempDir out;
    for (const auto& c : cases) {
        LogCapture log;
        void* w = vemx_mp4filewriter_new();
        vemx_mp4filewriter_set_filename(w, c.file);
        vemx_mp4filewriter_set_video_property(w, c.video, 320, 240, c.pix_fmt, 25, 1);
        vemx_mp4filewriter_set_audio_property(w, c.audio, 2, c.sample_fmt, c.rate);
        EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
        // Once the container existed, the writer stays failed: a second init
        // says so, frames are ignored and the release writes no trailer.
        Strings want = {kReport + "Init], OBJ " + c.text};
        if (c.file && std::string(c.file) != "out.xyz") {
            vemx_mp4filewriter_set_video_property(w, "", 0, 0, "", 0, 0);
            vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 48000);
            vemx_mp4filewriter_set_filename(w, "ok.mp4");
            EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
            const uint8_t bytes[4] = {0, 0, 1, 9};
            vemx_mp4filewriter_write_video_frame(w, 0, 0, bytes, 4, 1);
            vemx_mp4filewriter_write_audio_frame(w, 0, 0, bytes, 4);
            want.push_back(kReport + "Init], OBJ reinit\n");
        }
        vemx_mp4filewriter_release(w);
        EXPECT_EQ(reports(log, w), want);
    }
    EXPECT_FALSE(std::filesystem::exists("a.mp4"));

    LogCapture log;
    void* w = new_writer("b.mp4", nullptr, "mp2");
    EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
    vemx_mp4filewriter_release(w);
    EXPECT_EQ(reports(log, w), Strings{kReport + "Init], OBJ reinit\n"});
    EXPECT_NE(vemx_test::read_file("b.mp4").find("moov"), std::string::npos);  // trailer written
}

TEST(RecordTool, TransportStreamBecomesAnMp4ThatFfmpegDecodesCleanly) {
    TempDir dir;
    vemx_test::run_command(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i "
        "sine=f=1000:r=48000 -t 2 -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -ac 2 in.ts");
    const std::string out =
        vemx_test::run_command("VEMX_LOG=off '" VEMX_TOOL "' record in.ts out.mp4 2>&1");
    EXPECT_NE(out.find("recorded out.mp4: 50 video and"), std::string::npos) << out;
    // The demultiplexer's thread and the feeding one share the recorder's
    // state: the TSan build of the tool says so here if it is not safe.
    EXPECT_EQ(out.find("ThreadSanitizer"), std::string::npos) << out;
    // A transport stream lists its streams again under its program.
    std::set<std::string> counts[2];
    for (int i = 0; i < 2; ++i)
        for (const auto& st :
             probe("-count_packets -show_entries stream=codec_type,nb_read_packets",
                   i ? "out.mp4" : "in.ts"))
            counts[i].insert(st.at("codec_type") + "," + st.at("nb_read_packets"));
    EXPECT_EQ(counts[1], counts[0]);
    EXPECT_EQ(decode_errors("out.mp4"), "");
    EXPECT_NEAR(num(probe("-show_entries format=duration", "out.mp4").at(0), "duration"), 2.0,
                0.05);
}
