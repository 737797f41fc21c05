// The tool's mux and remux commands, judged by FFmpeg's own tools.
#include <gtest/gtest.h>

#include <set>

#include "mpegts/ts_support.h"

namespace {

std::string run(const std::string& cmd) {
    return vemx_test::run_command(cmd + " 2>&1");  // a clean run prints nothing
}

// "pid,codec,packets" per stream; a transport stream lists its streams again
// under its program, hence the set.
std::set<std::string> streams(const std::string& path) {
    std::istringstream in(
        run("ffprobe -v error -count_packets -show_entries "
            "stream=id,codec_name,nb_read_packets -of csv=p=0 '" +
            path + "'"));
    std::set<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.insert(line);
    return lines;
}

}  // namespace

TEST(TsMuxTool, MuxWritesADecodableStreamOnTheChosenPids) {
    vemx_test::TempDir dir;
    const std::string out = run("VEMX_LOG=off '" VEMX_TOOL
                                "' mux out.ts --seconds 2 --video-pid 0x44 --audio-pid 0x45 "
                                "--service Demo");
    EXPECT_EQ(out.rfind("out.ts: 50 video and ", 0), 0u) << out;
    ts_test::TsScan scan(vemx_test::read_file("out.ts"));
    ASSERT_EQ(scan.error, "");
    EXPECT_EQ(scan.streams[1], (std::vector<std::pair<int, int>>{{0x1b, 0x44}, {0x03, 0x45}}));
    EXPECT_EQ(scan.service[1].second, "Dovrex/Demo");
    EXPECT_EQ(ts_test::ReadBack("out.ts").at(0x44).size(), 50u);
    EXPECT_EQ(run("ffmpeg -nostdin -v error -i out.ts -f null -"), "");
}

TEST(RemuxTool, KeepsEveryStreamWithItsPidAndSelectsByPid) {
    vemx_test::TempDir dir;
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
                  "-i sine=f=1000:r=48000 -t 2 -c:v libx264 -g 25 -pix_fmt yuv420p -c:a aac -ac 2 "
                  "-streamid 0:0x300 -streamid 1:0x311 in.ts"),
              "");
    const std::string all = run("VEMX_LOG=off '" VEMX_TOOL "' remux in.ts all.ts");
    EXPECT_NE(all.find("pid=768 frames=50"), std::string::npos) << all;
    EXPECT_EQ(streams("all.ts"), streams("in.ts"));
    EXPECT_EQ(run("ffmpeg -v error -i all.ts -f null -"), "");

    run("VEMX_LOG=off '" VEMX_TOOL "' remux in.ts audio.ts --pid 0x311");
    const auto audio = streams("audio.ts");
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio.begin()->rfind("aac,0x311,", 0), 0u) << *audio.begin();
}
