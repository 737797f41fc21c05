// The reader is judged against ffprobe and ffmpeg on files the ffmpeg tool
// made: every sample's times and key flag, and whether what it delivers
// decodes.  Hostile files are made by damaging those files in known places.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "mp4/mp4_reader.h"
#include "vemx/vemx_mp4filewriter.h"
#include "vemx/vemx_mp4reader.h"

namespace mr = vemx::mp4reader;
using vemx_test::LogCapture;
using vemx_test::run_command;

namespace {

struct Packet {
    int64_t pts, dts;  // 100-ns units
    bool key;
};

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// ffprobe's packets of the first stream of a kind ("v" or "a").
std::vector<Packet> Probe(const std::string& file, const char* kind) {
    const std::string select = std::string(" -select_streams ") + kind + ":0 ";
    const std::string tb = run_command("ffprobe -v error" + select +
                                       "-show_entries stream=time_base -of csv=p=0 " + Quote(file));
    int num = 0, den = 0;
    if (sscanf(tb.c_str(), "%d/%d", &num, &den) != 2) return {};
    std::istringstream in(run_command("ffprobe -v error" + select +
                                      "-show_entries packet=pts,dts,flags -of csv=p=0 " +
                                      Quote(file)));
    std::vector<Packet> packets;
    for (std::string line; std::getline(in, line);) {
        long long pts = 0, dts = 0;
        char flag = 0;
        if (sscanf(line.c_str(), "%lld,%lld,%c", &pts, &dts, &flag) != 3) continue;
        auto hns = [&](long long t) { return av_rescale_q(t, {num, den}, {1, 10000000}); };
        packets.push_back({hns(pts), hns(dts), flag == 'K'});
    }
    return packets;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Offset of the first box of this type (its size field), or npos.
size_t FindBox(const std::vector<uint8_t>& bytes, const char* type) {
    const std::string t(type);
    const auto it = std::search(bytes.begin(), bytes.end(), t.begin(), t.end());
    return it == bytes.end() ? std::string::npos : size_t(it - bytes.begin()) - 4;
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (24 - 8 * i));
}

// Reads every sample of a stream through the reader's interface.
struct Sample {
    Packet times;
    std::vector<uint8_t> data;
};
std::vector<Sample> ReadStream(void* h, bool video) {
    unsigned long vc = 0, ac = 0;
    EXPECT_EQ(mr::QvMP4GetSampleNumber(h, &vc, &ac), mr::kReaderOk);
    std::vector<Sample> out;
    std::vector<unsigned char> buffer(1 << 20);
    for (unsigned long id = 1; id <= (video ? vc : ac); ++id) {
        Sample s;
        unsigned char* data = buffer.data();
        unsigned int size = unsigned(buffer.size());
        int key = 1;
        const int rc =
            video ? mr::QvMP4GetVideoSample(h, id, &data, &size, &s.times.dts, &s.times.pts, &key)
                  : mr::QvMP4GetAudioSample(h, id, &data, &size, &s.times.pts, &s.times.dts);
        EXPECT_EQ(rc, mr::kReaderOk) << id;
        s.times.key = key != 0;
        s.data.assign(data, data + size);
        out.push_back(std::move(s));
    }
    return out;
}

// The files made once for the whole suite.
class Mp4ReaderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vemx-mp4reader-XXXXXX";
        dir_ = mkdtemp(tmpl);
        const std::string lavfi =
            "ffmpeg -v error -y -f lavfi -i testsrc=size=64x36:rate=30 "
            "-f lavfi -i sine=frequency=440:sample_rate=48000 ";
        Make("avc_bframes.mp4",
             lavfi + "-t 5 -c:v libx264 -preset ultrafast -bf 2 -g 60 -c:a aac -b:a 64k");
        Make("hevc.mp4",
             "ffmpeg -v error -y -f lavfi -i testsrc=size=64x36:rate=25 -t 3 "
             "-c:v libx265 -x265-params log-level=none -g 25");
        Make("aac_only.mp4", lavfi + "-t 2 -vn -c:a aac");
        Make("video_only.mp4", lavfi + "-t 3 -an -c:v libx264 -preset ultrafast -bf 0 -g 30");
        // Audio half a second late: an empty edit in front of its track.
        Make("delayed_audio.mp4",
             "ffmpeg -v error -y -f lavfi -i testsrc=size=64x36:rate=30 -itsoffset 0.5 -f lavfi "
             "-i sine=sample_rate=48000 -t 3 -c:v libx264 -preset ultrafast -bf 2 -c:a aac");
        Make("fragmented.mp4", lavfi +
                                   "-t 5 -c:v libx264 -preset ultrafast -bf 2 -g 60 -c:a aac "
                                   "-movflags frag_keyframe+empty_moov");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    static void Make(const std::string& name, const std::string& command) {
        run_command(command + " " + Quote(Path(name)) + " 2>&1");
    }
    static std::string Path(const std::string& name) { return dir_ + "/" + name; }

    static std::string dir_;
};
std::string Mp4ReaderTest::dir_;

// Times and key flags of every sample equal ffprobe's, in both streams.
void ExpectHandleMatchesProbe(void* h, const std::string& file) {
    for (const bool video : {true, false}) {
        const auto want = Probe(file, video ? "v" : "a");
        const auto have = ReadStream(h, video);
        ASSERT_EQ(have.size(), want.size()) << (video ? "video" : "audio");
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(have[i].times.pts, want[i].pts) << i;
            EXPECT_EQ(have[i].times.dts, want[i].dts) << i;
            EXPECT_EQ(have[i].times.key, want[i].key) << i;
        }
    }
}

void ExpectMatchesProbe(const std::string& file) {
    SCOPED_TRACE(file);
    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    ExpectHandleMatchesProbe(h, file);
    mr::QvMP4ReleaseEditFileRead(h);
}

TEST_F(Mp4ReaderTest, EverySampleMatchesFfprobe) {
    for (const char* name : {"avc_bframes.mp4", "hevc.mp4", "aac_only.mp4", "video_only.mp4",
                             "delayed_audio.mp4", "fragmented.mp4"})
        ExpectMatchesProbe(Path(name));
}

// A file that cannot be read gives a handle that fails every call, and one
// error line naming the file and the reason.
void ExpectRefused(const std::string& file, const std::string& reason) {
    SCOPED_TRACE(file);
    LogCapture log;
    void* h = reinterpret_cast<void*>(1);
    EXPECT_NE(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    unsigned long v = 9, a = 9, id = 9;
    double seconds = 0;
    unsigned int size = 0;
    EXPECT_EQ(mr::QvMP4GetSampleNumber(h, &v, &a), mr::kReaderBadHandle);
    EXPECT_EQ(mr::QvMP4GetTotalDuration(h, &seconds), mr::kReaderBadHandle);
    EXPECT_EQ(mr::QvMP4GetVideoSample(h, 1, nullptr, &size, nullptr, nullptr, nullptr),
              mr::kReaderBadHandle);
    EXPECT_EQ(mr::QvMP4GetVideoFrameId(h, 0.0, &id), mr::kReaderBadHandle);
    EXPECT_EQ(mr::QvMP4GetKeyFrameTimeAndId(h, 1, &id, &id, &seconds, &seconds),
              mr::kReaderBadHandle);
    EXPECT_EQ(mr::ReaderPath(h), nullptr);
    EXPECT_EQ(v, 9u);
    mr::QvMP4ReleaseEditFileRead(h);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ERROR[vemx!mp4reader] Cannot open " + file + ": " + reason + "\n");
}

TEST_F(Mp4ReaderTest, HostileFilesAreRefusedWithOneLine) {
    ExpectRefused(Path("missing.mp4"), "No such file or directory");

    const std::string text = Path("text.mp4");
    std::ofstream(text) << "this is not a movie, just some text that goes on\n";
    ExpectRefused(text, "not an MP4 file");

    // The writer puts moov last: half the file is mdat without its end.
    const auto good = ReadAll(Path("avc_bframes.mp4"));
    const std::string cut = Path("truncated.mp4");
    WriteAll(cut, {good.begin(), good.begin() + long(good.size() / 2)});
    ExpectRefused(cut, "box 'mdat' runs past the end of the file");

    const std::string no_moov = Path("no_moov.mp4");
    WriteAll(no_moov, {good.begin(), good.begin() + long(FindBox(good, "moov"))});
    ExpectRefused(no_moov, "no moov box");

    const size_t stsz = FindBox(good, "stsz");
    auto damaged = good;
    Put32(damaged, stsz + 16, 0);  // the first track's sample count
    const auto video_only = ReadAll(Path("video_only.mp4"));
    auto empty = video_only;
    Put32(empty, FindBox(empty, "stsz") + 16, 0);
    const std::string zero = Path("zero.mp4");
    WriteAll(zero, empty);
    ExpectRefused(zero, "no samples");

    // 2^32 - 1 samples: a table that would need 16 GB in a file of 40 KB.
    Put32(damaged, stsz + 16, 0xffffffff);
    const std::string huge = Path("huge.mp4");
    WriteAll(huge, damaged);
    ExpectRefused(huge, "stsz claims more entries than its box holds");
    Put32(damaged, stsz + 12, 1);  // one byte each, no table at all
    WriteAll(huge, damaged);
    ExpectRefused(huge, "stsz claims more samples than the file holds");

    // A size that does not move on would keep a naive walk in one place.
    auto looping = good;
    Put32(looping, FindBox(looping, "trak"), 4);
    const std::string loop = Path("loop.mp4");
    WriteAll(loop, looping);
    ExpectRefused(loop, "box 'trak' smaller than its header");
    looping = good;
    Put32(looping, FindBox(looping, "mdia"), 0x7fffffff);
    WriteAll(loop, looping);
    ExpectRefused(loop, "box 'mdia' runs past the end of its parent");
}

// Writes a stream's delivered samples one after the other, as a player's
// callback would hand them to a decoder.
std::string Concatenate(const std::string& file, bool video, const std::string& out) {
    void* h = nullptr;
    EXPECT_EQ(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    std::vector<uint8_t> all;
    for (const auto& s : ReadStream(h, video)) all.insert(all.end(), s.data.begin(), s.data.end());
    mr::QvMP4ReleaseEditFileRead(h);
    WriteAll(out, all);
    return out;
}

std::string FrameCount(const std::string& file) {
    return run_command(
        "ffprobe -v error -count_frames -select_streams 0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 " +
        Quote(file));
}

TEST_F(Mp4ReaderTest, DeliveredSamplesDecodeWithoutErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"avc_bframes.mp4", "h264"}, {"fragmented.mp4", "h264"}, {"hevc.mp4", "hevc"}};
    for (const auto& [name, format] : cases) {
        SCOPED_TRACE(name);
        const std::string es =
            Concatenate(Path(name), true, Path(std::string(name) + "." + format));
        EXPECT_EQ(run_command("ffmpeg -v error -f " + std::string(format) + " -i " + Quote(es) +
                              " -f null - 2>&1"),
                  "");
        EXPECT_EQ(FrameCount(es), FrameCount(Path(name)));
    }
    // ADTS: every frame found again by a parser that knows nothing of MP4.
    const std::string adts = Concatenate(Path("aac_only.mp4"), false, Path("aac.adts"));
    EXPECT_EQ(run_command("ffmpeg -v error -f aac -i " + Quote(adts) + " -f null - 2>&1"), "");
    // The MP4 file's decoder drops the priming frame its edit list skips.
    EXPECT_EQ(FrameCount(adts), std::to_string(Probe(Path("aac_only.mp4"), "a").size()) + "\n");
}

TEST_F(Mp4ReaderTest, SmallBufferGetsTheNeededSizeAndIsNotWritten) {
    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(Path("avc_bframes.mp4").c_str(), &h), mr::kReaderOk);
    unsigned int needed = 0;
    ASSERT_EQ(mr::QvMP4GetVideoSample(h, 1, nullptr, &needed, nullptr, nullptr, nullptr),
              mr::kReaderOk);
    ASSERT_GT(needed, 0u);
    std::vector<unsigned char> buffer(needed + 16, 0xee);
    unsigned char* data = buffer.data();
    unsigned int size = needed - 1;
    EXPECT_EQ(mr::QvMP4GetVideoSample(h, 1, &data, &size, nullptr, nullptr, nullptr),
              mr::kReaderBufferTooSmall);
    EXPECT_EQ(size, needed);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xee; }));
    data = nullptr;
    size = 1 << 20;
    EXPECT_EQ(mr::QvMP4GetVideoSample(h, 1, &data, &size, nullptr, nullptr, nullptr),
              mr::kReaderBufferTooSmall);
    data = buffer.data();
    size = needed;
    EXPECT_EQ(mr::QvMP4GetVideoSample(h, 1, &data, &size, nullptr, nullptr, nullptr),
              mr::kReaderOk);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[needed], 0xee);

    unsigned long vc = 0, ac = 0;
    mr::QvMP4GetSampleNumber(h, &vc, &ac);
    for (unsigned long id : {0ul, vc + 1}) {
        EXPECT_EQ(mr::QvMP4GetVideoSample(h, id, &data, &size, nullptr, nullptr, nullptr),
                  mr::kReaderNoSuchSample);
        EXPECT_EQ(mr::QvMP4GetAudioSample(h, id == 0 ? 0 : ac + 1, &data, &size, nullptr, nullptr),
                  mr::kReaderNoSuchSample);
    }
    mr::QvMP4ReleaseEditFileRead(h);
}

// Lookups by time and key frame agree with ffprobe's view of the B-frame file.
TEST_F(Mp4ReaderTest, TimeAndKeyFrameLookups) {
    const std::string file = Path("avc_bframes.mp4");
    const auto video = Probe(file, "v");
    const auto audio = Probe(file, "a");
    ASSERT_FALSE(video.empty());
    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    std::vector<size_t> shown(video.size());  // storage indices in presentation order
    for (size_t i = 0; i < shown.size(); ++i) shown[i] = i;
    std::sort(shown.begin(), shown.end(),
              [&](size_t a, size_t b) { return video[a].pts < video[b].pts; });
    unsigned long id = 0;
    ASSERT_EQ(mr::QvMP4GetVideoFrameId(h, -1.0, &id), mr::kReaderOk);
    EXPECT_EQ(id, shown[0] + 1);
    for (size_t k = 0; k < shown.size(); ++k) {
        const size_t i = shown[k];
        double seconds = 0;
        ASSERT_EQ(mr::QvMP4GetVideoFrameTime(h, i + 1, &seconds), mr::kReaderOk);
        EXPECT_EQ(seconds, video[i].pts / 1e7);
        ASSERT_EQ(mr::QvMP4GetVideoFrameId(h, seconds, &id), mr::kReaderOk);
        EXPECT_EQ(id, i + 1);
        // Just before the next frame is shown, this one still is.
        const int64_t next = k + 1 < shown.size() ? video[shown[k + 1]].pts : video[i].pts + 1;
        ASSERT_EQ(mr::QvMP4GetVideoFrameId(h, (next - 1) / 1e7, &id), mr::kReaderOk);
        EXPECT_EQ(id, i + 1);

        size_t key = i;
        while (!video[key].key) --key;
        unsigned long key_id = 0, audio_id = 0;
        double key_seconds = 0, audio_seconds = 0;
        ASSERT_EQ(mr::QvMP4GetKeyFrameTimeAndId(h, i + 1, &key_id, &audio_id, &key_seconds,
                                                &audio_seconds),
                  mr::kReaderOk);
        EXPECT_EQ(key_id, key + 1);
        EXPECT_EQ(key_seconds, video[key].pts / 1e7);
        ASSERT_GE(audio_id, 1u);
        EXPECT_LE(audio[audio_id - 1].pts, video[key].pts);
        if (audio_id < audio.size()) {
            EXPECT_GT(audio[audio_id].pts, video[key].pts);
        }
        EXPECT_EQ(audio_seconds, audio[audio_id - 1].pts / 1e7);
    }
    ASSERT_EQ(mr::QvMP4GetAudioSampleId(h, 1.0, &id), mr::kReaderOk);
    EXPECT_LE(audio[id - 1].pts, 10000000);
    EXPECT_GT(audio[id].pts, 10000000);
    mr::QvMP4ReleaseEditFileRead(h);
}

// The file grows a piece at a time, cut at box boundaries and inside them;
// only whole fragments are taken in, and in the end the tables are those a
// fresh open builds.
TEST_F(Mp4ReaderTest, TakesInFragmentsAsTheFileGrows) {
    const auto whole = ReadAll(Path("fragmented.mp4"));
    std::vector<size_t> moofs;
    for (size_t at = 0; at + 8 <= whole.size();) {
        const uint32_t size =
            uint32_t(whole[at]) << 24 | whole[at + 1] << 16 | whole[at + 2] << 8 | whole[at + 3];
        if (std::string(whole.begin() + long(at) + 4, whole.begin() + long(at) + 8) == "moof")
            moofs.push_back(at);
        at += size;
    }
    ASSERT_GE(moofs.size(), 3u);
    const std::string file = Path("growing.mp4");
    auto grow_to = [&](size_t n) { WriteAll(file, {whole.begin(), whole.begin() + long(n)}); };
    grow_to(moofs[0] + 100);  // moov, and a moof cut short
    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    unsigned long video = 1, audio = 1;
    ASSERT_EQ(mr::QvMP4GetSampleNumber(h, &video, &audio), mr::kReaderOk);
    EXPECT_EQ(video + audio, 0u);

    unsigned long before = 0;
    for (size_t f = 1; f < moofs.size(); ++f) {
        grow_to(moofs[f] - 50);  // the fragment's mdat not yet complete
        ASSERT_EQ(mr::QvMP4GetSampleNumber(h, &video, &audio), mr::kReaderOk);
        EXPECT_EQ(video, before) << f;
        grow_to(moofs[f]);
        double seconds = 0;
        ASSERT_EQ(mr::QvMP4GetTotalDuration(h, &seconds), mr::kReaderOk);
        ASSERT_EQ(mr::QvMP4GetSampleNumber(h, &video, &audio), mr::kReaderOk);
        EXPECT_GT(video, before) << f;
        EXPECT_GT(seconds, 0.0);
        before = video;
    }
    grow_to(whole.size());
    ExpectHandleMatchesProbe(h, Path("fragmented.mp4"));
    mr::QvMP4ReleaseEditFileRead(h);
}

// The exported family over the same reader, and one handle shared by
// threads: each must see the bytes a lone reader sees.
TEST_F(Mp4ReaderTest, ExportedFamilySharedByThreads) {
    EXPECT_EQ(vemx_mp4reader_open(nullptr), nullptr);
    uint32_t n = 7;
    double seconds = 0;
    EXPECT_EQ(vemx_mp4reader_get_sample_counts(nullptr, &n, &n), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(vemx_mp4reader_get_duration(nullptr, &seconds), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(vemx_mp4reader_get_key_frame(nullptr, 1, &n), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(n, 7u);
    vemx_mp4reader_release(nullptr);

    const std::string file = Path("avc_bframes.mp4");
    const auto video = Probe(file, "v");
    void* r = vemx_mp4reader_open(file.c_str());
    ASSERT_NE(r, nullptr);
    uint32_t vc = 0, ac = 0;
    ASSERT_EQ(vemx_mp4reader_get_sample_counts(r, &vc, &ac), VEMX_MP4READER_OK);
    EXPECT_EQ(vc, video.size());
    EXPECT_EQ(ac, Probe(file, "a").size());
    ASSERT_EQ(vemx_mp4reader_get_duration(r, &seconds), VEMX_MP4READER_OK);
    EXPECT_NEAR(seconds, 5.0, 0.05);

    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(file.c_str(), &h), mr::kReaderOk);
    const auto alone = ReadStream(h, true);
    mr::QvMP4ReleaseEditFileRead(h);

    auto read_all = [&](std::vector<std::vector<uint8_t>>& out) {
        std::vector<uint8_t> buffer(1 << 16);
        for (uint32_t id = 1; id <= vc; ++id) {
            uint32_t size = 0;
            int64_t dts = 0, pts = 0;
            int key = 0;
            if (vemx_mp4reader_read_video_sample(r, id, buffer.data(), uint32_t(buffer.size()),
                                                 &size, &dts, &pts, &key) != VEMX_MP4READER_OK)
                return;
            out.emplace_back(buffer.begin(), buffer.begin() + size);
        }
    };
    std::vector<std::vector<uint8_t>> seen[3];
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back(read_all, std::ref(s));
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) vemx_mp4reader_get_sample_counts(r, &n, &n);
    });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) {
        ASSERT_EQ(s.size(), alone.size());
        for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i], alone[i].data) << i;
    }

    uint32_t size = 0;
    ASSERT_EQ(vemx_mp4reader_read_video_sample(r, 1, nullptr, 0, &size, nullptr, nullptr, nullptr),
              VEMX_MP4READER_OK);
    EXPECT_EQ(size, alone[0].data.size());
    uint8_t small[8];
    EXPECT_EQ(vemx_mp4reader_read_video_sample(r, 1, small, sizeof small, &size, nullptr, nullptr,
                                               nullptr),
              VEMX_MP4READER_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, alone[0].data.size());
    for (uint32_t id = 1; id <= vc; id += 7) {
        uint32_t at = 0, key = 0;
        ASSERT_EQ(vemx_mp4reader_get_frame_at(r, video[id - 1].pts, &at), VEMX_MP4READER_OK);
        EXPECT_EQ(at, id);
        ASSERT_EQ(vemx_mp4reader_get_key_frame(r, id, &key), VEMX_MP4READER_OK);
        EXPECT_TRUE(video[key - 1].key);
        EXPECT_LE(key, id);
    }
    vemx_mp4reader_release(r);
}

struct TsFrame {
    bool video;
    int64_t pts, dts;
    bool key;
    std::vector<uint8_t> data;
};

// The packets of a transport stream: Annex B video and ADTS audio, as our
// demultiplexer hands them to a recorder.
std::vector<TsFrame> ReadTs(const std::string& path) {
    std::vector<TsFrame> frames;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return frames;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const AVStream* st = ctx->streams[pkt->stream_index];
        auto hns = [&](int64_t t) { return av_rescale_q(t, st->time_base, {1, 10000000}); };
        frames.push_back({st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO, hns(pkt->pts),
                          hns(pkt->dts), (pkt->flags & AV_PKT_FLAG_KEY) != 0,
                          std::vector<uint8_t>(pkt->data, pkt->data + pkt->size)});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return frames;
}

void* NewWriter(const std::string& path, bool fragmented) {
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_video_property(w, "h264", 64, 36, "yv12", 30, 1);
    vemx_mp4filewriter_set_audio_property(w, "aac", 1, "s16", 48000);
    vemx_mp4filewriter_set_filename(w, path.c_str());
    vemx_mp4filewriter_set_fragmented(w, fragmented ? 1 : 0);
    EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
    return w;
}

void Write(void* w, const TsFrame& f) {
    if (f.video)
        vemx_mp4filewriter_write_video_frame(w, f.pts, f.dts, f.data.data(), int(f.data.size()),
                                             f.key ? 1 : 0);
    else
        vemx_mp4filewriter_write_audio_frame(w, f.pts, f.dts, f.data.data(), int(f.data.size()));
}

// Our writer's files, plain and fragmented, read back while and after they
// are written.  The reader follows the fragmented one as it grows.
TEST_F(Mp4ReaderTest, FollowsOurWriterWhileItRecords) {
    const std::string ts = Path("source.ts");
    run_command(
        "ffmpeg -v error -y -f lavfi -i testsrc=size=64x36:rate=30 -f lavfi -i "
        "sine=sample_rate=48000 -t 6 -c:v libx264 -preset ultrafast -bf 2 -g 30 "
        "-c:a aac -ac 1 " +
        Quote(ts) + " 2>&1");
    auto frames = ReadTs(ts);
    ASSERT_FALSE(frames.empty());
    // A recording starts at the first picture: audio from before it is left out.
    const int64_t start = frames[0].pts;
    std::erase_if(frames, [&](const TsFrame& f) { return !f.video && f.pts < start; });

    const std::string plain = Path("ours.mp4");
    void* w = NewWriter(plain, false);
    for (const auto& f : frames) Write(w, f);
    vemx_mp4filewriter_release(w);
    ExpectMatchesProbe(plain);

    const std::string growing = Path("ours_fragmented.mp4");
    w = NewWriter(growing, true);
    void* h = nullptr;
    unsigned long last_count = 0, video = 0, audio = 0;
    int grew = 0;
    for (const auto& f : frames) {
        Write(w, f);
        if (!f.video || !f.key) continue;
        // A key frame closes the fragment before it.
        if (!h) {
            mr::QvMP4CreateEditFileRead(growing.c_str(), &h);
            continue;
        }
        ASSERT_EQ(mr::QvMP4GetSampleNumber(h, &video, &audio), mr::kReaderOk);
        EXPECT_GE(video, last_count);
        grew += video > last_count;
        last_count = video;
    }
    vemx_mp4filewriter_release(w);
    ASSERT_NE(h, nullptr);
    // The muxer holds a packet or two back, so not every key frame shows.
    EXPECT_GE(grew, 2);
    double seconds = 0;
    ASSERT_EQ(mr::QvMP4GetTotalDuration(h, &seconds), mr::kReaderOk);
    EXPECT_NEAR(seconds, 6.0, 0.1);
    ASSERT_EQ(mr::QvMP4GetSampleNumber(h, &video, &audio), mr::kReaderOk);
    EXPECT_EQ(video, Probe(growing, "v").size());
    EXPECT_EQ(audio, Probe(growing, "a").size());
    mr::QvMP4ReleaseEditFileRead(h);
    ExpectMatchesProbe(growing);
}

}  // namespace
