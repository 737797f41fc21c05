// Where the writer's bytes go and what it says when they do not get there:
// names are local paths, a full disk is reported, and timestamps at the ends
// of their range neither wrap nor lose their meaning.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "mp4/mp4_inputs.h"
#include "vemx/vemx_mp4filewriter.h"

using vemx_test::LogCapture;
using vemx_test::TempDir;

namespace {

constexpr int64_t kFrame = 240000;  // one layer II frame at 48 kHz, 100-ns units

// Layer II frames of a tone at 48 kHz.
std::vector<std::vector<uint8_t>> mp2_frames(size_t count) {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& f : vemx_test_mp4::demux(vemx_test_mp4::input("mp2.ts")))
        if (!f.video && frames.size() < count) frames.push_back(std::move(f.data));
    return frames;
}

void* audio_writer(const std::string& file) {
    void* w = vemx_mp4filewriter_new();
    vemx_mp4filewriter_set_audio_property(w, "mp2", 2, "s16", 48000);
    vemx_mp4filewriter_set_filename(w, file.c_str());
    return w;
}

void write(void* w, const std::vector<uint8_t>& frame, int64_t pts, int64_t dts) {
    vemx_mp4filewriter_write_audio_frame(w, pts, dts, frame.data(), int(frame.size()));
}

std::vector<std::string> errors(const LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& l : log.lines())
        if (l.find("[ERROR]") != std::string::npos) out.push_back(l);
    return out;
}

bool has_line_ending(const LogCapture& log, const std::string& end) {
    for (const auto& l : log.lines())
        if (l.size() >= end.size() && l.compare(l.size() - end.size(), end.size(), end) == 0)
            return true;
    return false;
}

std::string probe_pts(const std::string& file) {
    return vemx_test::run_command("ffprobe -v error -show_entries packet=pts -of csv=p=0 '" + file +
                                  "' | tr '\\n' ' '");
}

}  // namespace

TEST(Mp4FileOutput, NamesAreLocalPathsNeverUrls) {
    TempDir dir;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/out.ts";

    const auto frames = mp2_frames(10);
    ASSERT_EQ(frames.size(), 10u);
    {
        LogCapture log;
        void* w = audio_writer(url);
        EXPECT_EQ(vemx_mp4filewriter_init(w), 0);
        for (int i = 0; i < 10; ++i) write(w, frames[i], i * kFrame, i * kFrame);
        vemx_mp4filewriter_release(w);
        EXPECT_TRUE(has_line_ending(log, "avio_open, err=-2\n")) << log.lines().size();
    }
    pollfd pfd{listener, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 100), 0) << "the writer connected to " << url;
    close(listener);

    // A colon does not make a name a URL either: the file is made as named.
    for (const std::string name : {"rec-12:00.mp4", "file:take.mp4"}) {
        LogCapture log;
        void* w = audio_writer(name);
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1) << name;
        for (int i = 0; i < 10; ++i) write(w, frames[i], i * kFrame, i * kFrame);
        vemx_mp4filewriter_release(w);
        EXPECT_EQ(errors(log), std::vector<std::string>{}) << name;
        EXPECT_TRUE(std::filesystem::exists(name)) << name;
    }
    EXPECT_EQ(probe_pts("./rec-12:00.mp4"), "0 1152 2304 3456 4608 5760 6912 8064 9216 10368 ");
}

// A disk that fills while frames are written: a 16 KiB tmpfs, mounted in a
// mount namespace of this test process's own.
TEST(Mp4FileOutput, AFullDiskIsReportedWithItsReason) {
    TempDir dir;
    const auto frames = mp2_frames(80);
    ASSERT_EQ(frames.size(), 80u);
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    std::filesystem::create_directory("small");
    ASSERT_EQ(mount("tmpfs", "small", "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
    {
        LogCapture log;
        void* w = audio_writer("small/out.mp4");
        EXPECT_EQ(vemx_mp4filewriter_init(w), 1);
        // More than the I/O buffer holds, so the disk fills while writing.
        for (int i = 0; i < 400; ++i) write(w, frames[i % 80], i * kFrame, i * kFrame);
        const std::string full = "err=-28 (No space left on device)\n";
        EXPECT_TRUE(has_line_ending(log, "av_interleaved_write_frame, err=-28\n"));
        vemx_mp4filewriter_release(w);
        EXPECT_TRUE(has_line_ending(log, "av_write_trailer, " + full));
        EXPECT_TRUE(has_line_ending(log, "avio_closep, " + full));
    }
    umount("small");
}

// INT64_MIN is FFmpeg's "no time": a frame without a decoding time gets its
// presentation time, as FFmpeg does for audio.  Other times far apart
// saturate instead of wrapping (UBSan watches the subtraction).
TEST(Mp4FileOutput, UnknownTimesKeepTheirMeaningAndExtremesSaturate) {
    TempDir dir;
    const auto frames = mp2_frames(6);
    ASSERT_EQ(frames.size(), 6u);
    {
        LogCapture log;
        void* w = audio_writer("nodts.mp4");
        ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
        for (int i = 0; i < 6; ++i) write(w, frames[i], 100000000 + i * kFrame, INT64_MIN);
        vemx_mp4filewriter_release(w);
        EXPECT_EQ(errors(log), std::vector<std::string>{});
        EXPECT_EQ(probe_pts("nodts.mp4"), "0 1152 2304 3456 4608 5760 ");
    }
    LogCapture log;
    void* w = audio_writer("far.mp4");
    ASSERT_EQ(vemx_mp4filewriter_init(w), 1);
    write(w, frames[0], INT64_MAX - kFrame, INT64_MAX - kFrame);
    write(w, frames[1], INT64_MAX, INT64_MAX);
    // Far before the zero point: the difference saturates, and the muxer
    // refuses both as going backwards.
    write(w, frames[2], INT64_MIN + 1, INT64_MIN + 1);
    write(w, frames[3], 0, 0);
    vemx_mp4filewriter_release(w);
    EXPECT_EQ(probe_pts("far.mp4"), "0 1152 ");
    EXPECT_EQ(errors(log).size(), 2u);
}
