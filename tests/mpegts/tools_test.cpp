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

// What every command shares: the library's error lines by default (with
// FFmpeg's text for its codes), every line with -v, and numbers checked
// before any work starts.
TEST(ToolCommandLine, ShowsTheLibrarysErrorsAndEverythingWithV) {
    vemx_test::TempDir dir;
    ASSERT_EQ(run("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 1 "
                  "-c:v libx264 -g 25 -pix_fmt yuv420p in.ts"),
              "");
    // A clean run, to its normal end of input: the report alone.
    const std::string quiet = run("'" VEMX_TOOL "' probe in.ts");
    EXPECT_EQ(quiet.rfind("in.ts: ", 0), 0u) << quiet;
    EXPECT_EQ(quiet.find("INFO"), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("ERROR"), std::string::npos) << quiet;

    const std::string all = run("'" VEMX_TOOL "' -v probe in.ts");
    EXPECT_NE(all.find("INFO[vemx] INI file path: "), std::string::npos) << all;
    EXPECT_NE(all.find("TsDemux::Main: begins"), std::string::npos) << all;
    EXPECT_NE(all.find("av_read_frame failed, err=-1 (Operation not permitted)"), std::string::npos)
        << all;

    const std::string failed = run("'" VEMX_TOOL "' record in.ts /nonexistent/out.mp4");
    EXPECT_NE(failed.find("avio_open, err=-2 (No such file or directory)\n"), std::string::npos)
        << failed;
    EXPECT_EQ(failed.find("INFO"), std::string::npos) << failed;
}

TEST(ToolCommandLine, NumbersOutOfRangeGiveAReasonAndTheUsage) {
    vemx_test::TempDir dir;
    const struct {
        const char *args, *reason;
    } cases[] = {
        {"probe --block -1 in.ts", "--block must be an integer in 1..67108864, not '-1'"},
        {"probe --block 64k in.ts", "--block must be an integer in 1..67108864, not '64k'"},
        {"remux in.ts out.ts --pid 0x", "--pid must be an integer in 0..8191, not '0x'"},
        {"mux out.ts --video-pid 0x2000",
         "--video-pid must be an integer in 16..8190, not '0x2000'"},
        {"pace 1 ' 5'", "delay_ms must be an integer in 0..60000, not ' 5'"},
        {"timer 1 30000/0", "DEN must be an integer in 1..1000000, not '0'"},
        {"timer nan", "seconds must be a number in 0.001..86400, not 'nan'"},
        {"encode --codec aac --bitrate -5 a.wav b.mp4",
         "--bitrate must be an integer in 0..100000000, not '-5'"},
        {"procamp --contrast 1e999 --layout yv12 --size 2x2 a b",
         "--contrast must be a number in 0..8, not '1e999'"},
    };
    for (const auto& c : cases) {
        const std::string out =
            run("'" VEMX_TOOL "' " + std::string(c.args) + " 2>&1; echo status=$?");
        const std::string name = std::string(c.args).substr(0, std::string(c.args).find(' '));
        EXPECT_EQ(out.rfind("vemx " + name + ": " + c.reason + "\nusage: vemx " + name, 0), 0u)
            << out;
        EXPECT_NE(out.find("status=2\n"), std::string::npos) << out;
    }
}
