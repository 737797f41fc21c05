// Our demultiplexer feeding our multiplexer through the public interface, as
// `vemx remux` does, judged by ffprobe.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "common/log_capture.h"

namespace {

std::string run(const std::string& cmd) {
    return vemx_test::run_command(cmd + " 2>&1");
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
