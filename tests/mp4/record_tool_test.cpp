// The recording chain a user runs: transport stream -> our demultiplexer ->
// our MP4 writer, judged by FFmpeg's own tools.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "common/log_capture.h"

namespace {

// Both output streams: a clean run prints nothing at all.
std::string run(const std::string& cmd) {
    return vemx_test::run_command(cmd + " 2>&1");
}

// "video,N" and "audio,M" packet counts of a file, as ffprobe counts them
// (a transport stream lists its streams again under its program).
std::set<std::string> packet_counts(const std::string& path) {
    const std::string text =
        run("ffprobe -v error -count_packets -show_entries stream=codec_type,nb_read_packets "
            "-of csv=p=0 '" +
            path + "'");
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.insert(line);
    return lines;
}

}  // namespace

TEST(RecordTool, TransportStreamBecomesAnMp4ThatFfmpegDecodesCleanly) {
    vemx_test::TempDir dir;
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                  "-i sine=f=1000:r=48000 -t 2 -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -ac 2 "
                  "in.ts"),
              "");
    const std::string out = run("VEMX_LOG=off '" VEMX_TOOL "' record in.ts out.mp4");
    EXPECT_NE(out.find("recorded out.mp4: 50 video and"), std::string::npos) << out;

    EXPECT_EQ(packet_counts("out.mp4"), packet_counts("in.ts"));
    EXPECT_EQ(run("ffmpeg -v error -i out.mp4 -f null -"), "");
    const std::string duration =
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 out.mp4");
    EXPECT_NEAR(std::stod(duration), 2.0, 0.05) << duration;
}
