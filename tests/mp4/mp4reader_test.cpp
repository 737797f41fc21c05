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
#include "mp4/mp4_inputs.h"
#include "mp4/mp4_reader.h"
#include "vemx/vemx_mp4filewriter.h"
#include "vemx/vemx_mp4reader.h"

namespace mr = vemx::mp4reader;
using vemx_test::LogCapture;
using vemx_test::run_command;
using vemx_test_mp4::Frame;
using vemx_test_mp4::input;
using vemx_test_mp4::read_samples;

namespace {

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// ffprobe's packets of the first stream of a kind ("v" or "a").
std::vector<Frame> Probe(const std::string& file, const char* kind) {
    const std::string select = std::string(" -select_streams ") + kind + ":0 ";
    const std::string tb = run_command("ffprobe -v error" + select +
                                       "-show_entries stream=time_base -of csv=p=0 " + Quote(file));
    int num = 0, den = 0;
    if (sscanf(tb.c_str(), "%d/%d", &num, &den) != 2) return {};
    std::istringstream in(run_command("ffprobe -v error" + select +
                                      "-show_entries packet=pts,dts,flags -of csv=p=0 " +
                                      Quote(file)));
    std::vector<Frame> packets;
    for (std::string line; std::getline(in, line);) {
        long long pts = 0, dts = 0;
        char flag = 0;
        if (sscanf(line.c_str(), "%lld,%lld,%c", &pts, &dts, &flag) != 3) continue;
        auto hns = [&](long long t) { return av_rescale_q(t, {num, den}, {1, 10000000}); };
        packets.push_back({*kind == 'v', hns(pts), hns(dts), flag == 'K', {}});
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

// Times and key flags of every sample equal ffprobe's, in both streams.
void ExpectHandleMatchesProbe(void* h, const std::string& file) {
    for (const bool video : {true, false}) {
        const auto want = Probe(file, video ? "v" : "a");
        const auto have = read_samples(h, video);
        ASSERT_EQ(have.size(), want.size()) << (video ? "video" : "audio");
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(have[i].pts, want[i].pts) << i;
            EXPECT_EQ(have[i].dts, want[i].dts) << i;
            EXPECT_EQ(have[i].key, want[i].key) << i;
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

TEST(Mp4Reader, EverySampleMatchesFfprobe) {
    for (const char* name :
         {"av.mp4", "hevc.mp4", "a.m4a", "v.mp4", "delayed_audio.mp4", "fragmented.mp4"})
        ExpectMatchesProbe(input(name));
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

TEST(Mp4Reader, HostileFilesAreRefusedWithOneLine) {
    vemx_test::TempDir scratch;
    ExpectRefused("missing.mp4", "No such file or directory");

    const std::string text = "text.mp4";
    std::ofstream(text) << "this is not a movie, just some text that goes on\n";
    ExpectRefused(text, "not an MP4 file");

    // The writer puts moov last: half the file is mdat without its end.
    const auto good = ReadAll(input("av.mp4"));
    const std::string cut = "truncated.mp4";
    WriteAll(cut, {good.begin(), good.begin() + long(good.size() / 2)});
    ExpectRefused(cut, "box 'mdat' runs past the end of the file");

    const std::string no_moov = "no_moov.mp4";
    WriteAll(no_moov, {good.begin(), good.begin() + long(FindBox(good, "moov"))});
    ExpectRefused(no_moov, "no moov box");

    const size_t stsz = FindBox(good, "stsz");
    auto damaged = good;
    Put32(damaged, stsz + 16, 0);  // the first track's sample count
    const auto video_only = ReadAll(input("v.mp4"));
    auto empty = video_only;
    Put32(empty, FindBox(empty, "stsz") + 16, 0);
    const std::string zero = "zero.mp4";
    WriteAll(zero, empty);
    ExpectRefused(zero, "no samples");

    // 2^32 - 1 samples: a table that would need 16 GB in a file of 40 KB.
    Put32(damaged, stsz + 16, 0xffffffff);
    const std::string huge = "huge.mp4";
    WriteAll(huge, damaged);
    ExpectRefused(huge, "stsz claims more entries than its box holds");
    Put32(damaged, stsz + 12, 1);  // one byte each, no table at all
    WriteAll(huge, damaged);
    ExpectRefused(huge, "stsz claims more samples than the file holds");

    // A size that does not move on would keep a naive walk in one place.
    auto looping = good;
    Put32(looping, FindBox(looping, "trak"), 4);
    const std::string loop = "loop.mp4";
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
    for (const auto& s : read_samples(h, video))
        all.insert(all.end(), s.data.begin(), s.data.end());
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

TEST(Mp4Reader, DeliveredSamplesDecodeWithoutErrors) {
    vemx_test::TempDir scratch;
    const std::pair<const char*, const char*> cases[] = {
        {"av.mp4", "h264"}, {"fragmented.mp4", "h264"}, {"hevc.mp4", "hevc"}};
    for (const auto& [name, format] : cases) {
        SCOPED_TRACE(name);
        const std::string es = Concatenate(input(name), true, std::string(name) + "." + format);
        EXPECT_EQ(run_command("ffmpeg -v error -f " + std::string(format) + " -i " + Quote(es) +
                              " -f null - 2>&1"),
                  "");
        EXPECT_EQ(FrameCount(es), FrameCount(input(name)));
    }
    // ADTS: every frame found again by a parser that knows nothing of MP4.
    const std::string adts = Concatenate(input("a.m4a"), false, "aac.adts");
    EXPECT_EQ(run_command("ffmpeg -v error -f aac -i " + Quote(adts) + " -f null - 2>&1"), "");
    // The MP4 file's decoder drops the priming frame its edit list skips.
    EXPECT_EQ(FrameCount(adts), std::to_string(Probe(input("a.m4a"), "a").size()) + "\n");
}

TEST(Mp4Reader, SmallBufferGetsTheNeededSizeAndIsNotWritten) {
    void* h = nullptr;
    ASSERT_EQ(mr::QvMP4CreateEditFileRead(input("av.mp4").c_str(), &h), mr::kReaderOk);
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
TEST(Mp4Reader, TimeAndKeyFrameLookups) {
    const std::string file = input("av.mp4");
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
TEST(Mp4Reader, TakesInFragmentsAsTheFileGrows) {
    vemx_test::TempDir scratch;
    const auto whole = ReadAll(input("fragmented.mp4"));
    std::vector<size_t> moofs;
    for (size_t at = 0; at + 8 <= whole.size();) {
        const uint32_t size =
            uint32_t(whole[at]) << 24 | whole[at + 1] << 16 | whole[at + 2] << 8 | whole[at + 3];
        if (std::string(whole.begin() + long(at) + 4, whole.begin() + long(at) + 8) == "moof")
            moofs.push_back(at);
        at += size;
    }
    ASSERT_GE(moofs.size(), 3u);
    const std::string file = "growing.mp4";
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
    ExpectHandleMatchesProbe(h, input("fragmented.mp4"));
    mr::QvMP4ReleaseEditFileRead(h);
}

// The exported family over the same reader, and one handle shared by
// threads: each must see the bytes a lone reader sees.
TEST(Mp4Reader, ExportedFamilySharedByThreads) {
    EXPECT_EQ(vemx_mp4reader_open(nullptr), nullptr);
    uint32_t n = 7;
    double seconds = 0;
    EXPECT_EQ(vemx_mp4reader_get_sample_counts(nullptr, &n, &n), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(vemx_mp4reader_get_duration(nullptr, &seconds), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(vemx_mp4reader_get_key_frame(nullptr, 1, &n), VEMX_MP4READER_BAD_HANDLE);
    EXPECT_EQ(n, 7u);
    vemx_mp4reader_release(nullptr);

    const std::string file = input("av.mp4");
    const auto video = Probe(file, "v");
    void* r = vemx_mp4reader_open(file.c_str());
    ASSERT_NE(r, nullptr);
    uint32_t vc = 0, ac = 0;
    ASSERT_EQ(vemx_mp4reader_get_sample_counts(r, &vc, &ac), VEMX_MP4READER_OK);
    EXPECT_EQ(vc, video.size());
    EXPECT_EQ(ac, Probe(file, "a").size());
    ASSERT_EQ(vemx_mp4reader_get_duration(r, &seconds), VEMX_MP4READER_OK);
    EXPECT_NEAR(seconds, 3.0, 0.05);

    const auto alone = read_samples(file, true);

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

    // Too small a buffer reports the size it needs.
    uint8_t small[8];
    uint32_t size = 0;
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

// Our writer's files, plain and fragmented, fed as a recorder feeds them;
// the player's time-shift test follows the fragmented one as it grows.
TEST(Mp4Reader, ReadsOurWritersFiles) {
    vemx_test::TempDir scratch;
    auto frames = vemx_test_mp4::demux(input("aac.ts"));
    ASSERT_FALSE(frames.empty());
    // A recording starts at the first picture: audio from before it is left out.
    const int64_t start = frames[0].pts;
    std::erase_if(frames, [&](const Frame& f) { return !f.video && f.pts < start; });
    for (const int fragmented : {0, 1}) {
        const std::string file = fragmented ? "fragmented.mp4" : "plain.mp4";
        void* w = vemx_mp4filewriter_new();
        vemx_mp4filewriter_set_video_property(w, "h264", 320, 240, "yv12", 25, 1);
        vemx_mp4filewriter_set_audio_property(w, "aac", 2, "s16", 48000);
        vemx_mp4filewriter_set_filename(w, file.c_str());
        vemx_mp4filewriter_set_fragmented(w, fragmented);
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
        for (const auto& f : frames) vemx_test_mp4::write_frame(w, f);
        vemx_mp4filewriter_release(w);
        ExpectMatchesProbe(file);
    }
}

}  // namespace
